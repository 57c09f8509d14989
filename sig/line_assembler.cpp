#include "sig/line_assembler.hpp"

#include <algorithm>
#include <string_view>

#include "sig/parse_callsign_events.hpp"

namespace sig {
namespace {

bool is_blank_byte(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 11 || c == 12; }

// other is longer than call and begins or ends with it: call is a piece of other.
bool is_fragment_of(std::string_view call, std::string_view other) {
    return other.size() > call.size() && (other.starts_with(call) || other.ends_with(call));
}

}  // namespace

LineAssembler::LineAssembler(double idle_flush_s, std::size_t max_line_chars, float min_call_conf,
                             double spot_hold_s)
    : idle_flush_s_(idle_flush_s),
      max_line_chars_(std::max<std::size_t>(max_line_chars, 2)),
      min_call_conf_(min_call_conf),
      spot_hold_s_(spot_hold_s) {}

std::vector<Event> LineAssembler::append(const Candidate& track, const std::string& text, double t) {
    PendingLine& line = tracks_[track.track];
    line.track = track.track;
    line.mode = track.mode;
    line.variant = track.variant;
    line.audio_hz = track.audio_hz;
    line.bandwidth_hz = track.bandwidth_hz;
    line.snr_db = track.snr_db;
    line.snr_2500_db = track.snr_2500_db;

    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_blank_byte(c)) {
            if (!line.text.empty() && line.text.back() != ' ') line.text.push_back(' ');
        } else if (c >= 32 && c != 127) {
            line.text.push_back(ch);
        }
    }
    if (line.text.empty()) return {};
    line.last_t = t;

    std::vector<Event> events;
    const std::size_t half = max_line_chars_ / 2;
    while (line.text.size() >= max_line_chars_) {
        const std::size_t blank = line.text.rfind(' ', max_line_chars_);
        std::string rest;
        PendingLine finished = line;
        if (blank != std::string::npos && blank > half) {
            finished.text = line.text.substr(0, blank);
            rest = line.text.substr(blank + 1);
        } else {
            finished.text = line.text.substr(0, max_line_chars_);
            rest = line.text.substr(max_line_chars_);
        }
        std::vector<Event> done = finish_line(finished, t);
        events.insert(events.end(), std::make_move_iterator(done.begin()), std::make_move_iterator(done.end()));
        line.text = std::move(rest);
        if (!line.text.empty()) line.last_t = t;
    }
    return events;
}

std::vector<Event> LineAssembler::flush_aged(double now) {
    std::vector<Event> events;
    for (auto& [id, line] : tracks_) {
        if (line.text.empty()) continue;
        const double idle = line.mode == Mode::OLIVIA ? std::max(kOliviaIdleS, idle_flush_s_) : idle_flush_s_;
        if (!(now - line.last_t >= idle)) continue;
        std::vector<Event> done = finish_line(line, now);
        events.insert(events.end(), std::make_move_iterator(done.begin()), std::make_move_iterator(done.end()));
        line.text.clear();
    }
    return events;
}

std::vector<Event> LineAssembler::flush_track(std::uint32_t track, double t) {
    std::vector<Event> events;
    const auto found = tracks_.find(track);
    if (found != tracks_.end()) {
        if (!found->second.text.empty()) events = finish_line(found->second, t);
        tracks_.erase(found);
    }
    late_start_tracks_.erase(track);
    return events;
}

void LineAssembler::mark_late_start(std::uint32_t track) { late_start_tracks_.insert(track); }

void LineAssembler::remember_spot(const std::string& key, double t) {
    last_spot_[key] = t;
    if (last_spot_.size() < prune_spots_at_) return;
    // An entry older than the hold time blocks nothing; dropping it keeps months of spots from
    // piling up without changing which spots come out.
    std::erase_if(last_spot_, [&](const auto& entry) { return t - entry.second >= spot_hold_s_; });
    prune_spots_at_ = std::max<std::size_t>(1024, 2 * last_spot_.size());
}

std::vector<Event> LineAssembler::finish_line(const PendingLine& line, double t) {
    const std::size_t first = line.text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    const std::size_t last = line.text.find_last_not_of(' ');

    Event text_event;
    text_event.kind = EventKind::TEXT;
    text_event.t = line.last_t > 0.0 ? line.last_t : t;
    text_event.mode = line.mode;
    text_event.variant = line.variant;
    text_event.track = line.track;
    text_event.audio_hz = line.audio_hz;
    text_event.bw_hz = line.bandwidth_hz;
    text_event.snr = line.snr_2500_db > -900.0 ? line.snr_2500_db : line.snr_db;
    text_event.text = line.text.substr(first, last - first + 1);
    const double when = text_event.t;

    const bool late = late_start_tracks_.erase(line.track) > 0;
    std::vector<CallEvidence> calls = parse_callsign_events(text_event.text, late);

    std::erase_if(call_history_, [&](const auto& entry) { return when - entry.second.last_t > kCallMemoryS; });

    std::vector<CallEvidence> kept;
    for (const CallEvidence& r : calls) {
        bool fragment = false;
        for (const CallEvidence& other : calls) fragment = fragment || is_fragment_of(r.call, other.call);
        for (const auto& [known, seen] : call_history_) fragment = fragment || is_fragment_of(r.call, known);
        if (!fragment) kept.push_back(r);
    }

    for (CallEvidence& r : kept) {
        std::erase_if(call_history_, [&](const auto& entry) { return is_fragment_of(entry.first, r.call); });
        CallSeen& seen = call_history_[r.call];
        seen.count += r.evidence == "REPEAT" ? 2 : 1;
        seen.last_t = when;
        if (r.evidence == "BARE" && seen.count > 1) {
            r.conf = kRepeatConfidence;
            r.evidence = "REPEAT";
        }
    }
    text_event.calls = kept;

    std::vector<Event> events;
    events.push_back(text_event);
    for (const CallEvidence& r : kept) {
        if (!(r.conf >= min_call_conf_)) continue;
        const std::string key = r.call + "|" + mode_name(line.mode);
        const auto previous = last_spot_.find(key);
        if (previous != last_spot_.end() && !(when - previous->second >= spot_hold_s_)) continue;
        remember_spot(key, when);
        Event spot = text_event;
        spot.kind = EventKind::SPOT;
        spot.text.clear();
        spot.calls = {r};
        spot.call = r.call;
        spot.conf = r.conf;
        events.push_back(std::move(spot));
    }
    return events;
}

}  // namespace sig
