#include "live/track_text.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "core/sig/mode.hpp"
#include "sig/sig_line.hpp"

namespace {

bool continuation_byte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0u) == 0x80u; }

// Beyond these a figure says nothing more, and the line stays short enough to be read whole.
constexpr double max_hertz = 1e15;
constexpr double max_decibels = 1e6;
constexpr double max_age_s = 1e9;

double held(double value, double limit)
{
    if (!std::isfinite(value))
        return 0.0;
    return std::clamp(value, -limit, limit);
}

std::string whole(double value)
{
    return std::to_string(std::llround(held(value, max_hertz)));
}

std::string tenths(double value, double limit)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", held(value, limit));
    return text;
}

}  // namespace

void TrackText::on_event(sig::ChannelInfo const& channel, sig::Event const& event)
{
    if (event.kind != sig::EventKind::TEXT && event.kind != sig::EventKind::LOST)
        return;
    std::scoped_lock lock(mutex_);
    auto key = std::make_pair(channel.channel, event.track);
    if (event.kind == sig::EventKind::LOST) {
        texts_.erase(key);
        return;
    }
    std::string& text = texts_[std::move(key)];
    text += event.text;
    if (text.size() > kMaxBytes) {
        std::size_t cut = text.size() - kMaxBytes;
        while (cut < text.size() && continuation_byte(text[cut]))
            ++cut;
        text.erase(0, cut);
    }
}

std::string TrackText::text(std::string const& channel, std::uint32_t track) const
{
    std::scoped_lock lock(mutex_);
    auto const found = texts_.find(std::make_pair(channel, track));
    return found == texts_.end() ? std::string() : found->second;
}

void TrackText::forget(std::string const& channel)
{
    std::scoped_lock lock(mutex_);
    std::erase_if(texts_, [&](auto const& entry) { return entry.first.first == channel; });
}

std::string format_track_line(std::string const& channel, double dial_hz, bool usb, sig::Candidate const& track,
                              std::string const& text)
{
    double const rf = usb ? dial_hz + track.audio_hz : dial_hz - track.audio_hz;
    double const age = track.last_seen - track.start_time;
    std::string line = "track id=";
    line += channel;
    line += " mode=";
    line += sig::mode_name(track.mode);
    if (!track.variant.empty()) {
        line += '-';
        line += sig::sanitize_token(track.variant);
    }
    line += " hz=";
    line += whole(rf);
    line += " bw=";
    line += whole(track.bandwidth_hz);
    line += " snr=";
    line += tenths(track.snr_db, max_decibels);
    line += " age=";
    line += tenths(age > 0.0 ? age : 0.0, max_age_s);
    line += " text=\"";
    line += sig::escape_text(text);
    line += '"';
    return line;
}
