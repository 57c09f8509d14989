#include "live/audio_channel_spec.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

#include "core/ascii_case.hpp"
#include "core/capture_fit_error.hpp"
#include "core/capture_usable_fraction.hpp"
#include "core/spec_text.hpp"

namespace {

constexpr std::size_t max_spec_bytes = 4096;

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

bool is_sideband(AudioModulation modulation) {
    return modulation == AudioModulation::USB || modulation == AudioModulation::LSB;
}

const char* modulation_name(AudioModulation modulation) {
    switch (modulation) {
    case AudioModulation::USB: return "USB";
    case AudioModulation::LSB: return "LSB";
    case AudioModulation::AM: return "AM";
    case AudioModulation::FM: return "FM";
    }
    return "USB";
}

AudioModulation parse_modulation(std::string_view text) {
    const std::string upper = upper_ascii(text);
    if (upper == "USB") return AudioModulation::USB;
    if (upper == "LSB") return AudioModulation::LSB;
    if (upper == "AM") return AudioModulation::AM;
    if (upper == "FM") return AudioModulation::FM;
    fail("Audio modulation must be USB, LSB, AM or FM");
}

std::uint32_t parse_audio_rate(std::string_view text) {
    const double rate = parse_channel_number(text);
    if (rate != std::floor(rate) || rate < 8000.0 || rate > 192000.0) fail("Invalid audio output rate");
    return static_cast<std::uint32_t>(rate);
}

bool is_sink_name_byte(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

bool is_safe_sink(const std::string& sink) {
    if (sink.empty() || sink == "@DEFAULT_SINK@") return true;
    if (sink.size() > 128) return false;
    for (char c : sink)
        if (!is_sink_name_byte(c)) return false;
    return true;
}

bool is_safe_socket(const AudioChannel& channel) {
    const std::string& path = channel.socket;
    if (path.empty()) return true;
    if (path.size() > 100 || path.front() != '/' || path.find("..") != std::string::npos) return false;
    if (!channel.sink.empty() || !channel.wav.empty()) return false;
    for (char c : path)
        if (!is_sink_name_byte(c) && c != '/') return false;
    return true;
}

}  // namespace

double parse_channel_number(std::string_view text) {
    if (text.empty()) fail("Missing audio channel number");
    const auto value = read_spec_number(text);
    if (!value) fail("Invalid audio channel number");
    return *value;
}

bool parse_enabled_flag(std::string_view text) {
    if (text == "true" || text == "on" || text == "1") return true;
    if (text == "false" || text == "off" || text == "0") return false;
    fail("Audio enabled must be true or false");
}

AudioChannel parse_audio_channel(std::string_view spec) {
    if (spec.empty() || spec.size() > max_spec_bytes || spec.find_first_of("\r\n") != std::string_view::npos)
        fail("Invalid audio channel specification");
    const auto fields = split_spec_fields(spec);
    if (!fields) fail("Audio channel fields must be unique key=value pairs");

    AudioChannel channel;
    bool frequency_set = false;
    bool bandwidth_set = false;
    // The map visits keys in byte order, so with several bad fields the message does not
    // depend on the order the user wrote them in.
    for (const auto& [key, value] : *fields) {
        if (key == "id") {
            channel.id = value;
        } else if (key == "frequency") {
            channel.frequency = parse_channel_number(value);
            frequency_set = true;
        } else if (key == "bandwidth") {
            channel.bandwidth = parse_channel_number(value);
            bandwidth_set = true;
        } else if (key == "modulation") {
            channel.modulation = parse_modulation(value);
        } else if (key == "audio-rate") {
            channel.audio_rate = parse_audio_rate(value);
        } else if (key == "audio-gain") {
            channel.audio_gain = parse_channel_number(value);
        } else if (key == "low-cut") {
            channel.low_cut = parse_channel_number(value);
        } else if (key == "agc") {
            channel.agc = parse_enabled_flag(value);
        } else if (key == "enabled") {
            channel.enabled = parse_enabled_flag(value);
        } else if (key == "wav") {
            channel.wav = value;
        } else if (key == "sink") {
            channel.sink = value;
        } else if (key == "socket") {
            channel.socket = value;
        } else {
            fail("Unknown audio channel field: " + key);
        }
    }
    if (!frequency_set) fail("Audio channel frequency is required");
    if (!bandwidth_set) {
        if (channel.modulation == AudioModulation::AM) channel.bandwidth = 6000.0;
        if (channel.modulation == AudioModulation::FM) channel.bandwidth = 10000.0;
    }
    validate_audio_channel(channel);
    return channel;
}

std::pair<double, double> audio_passband(const AudioChannel& channel) {
    const double f = channel.frequency;
    const double b = channel.bandwidth;
    const double c = channel.low_cut;
    switch (channel.modulation) {
    case AudioModulation::USB: return {f + c, f + b};
    case AudioModulation::LSB: return {f - b, f - c};
    case AudioModulation::AM:
    case AudioModulation::FM: break;
    }
    return {f - b / 2.0, f + b / 2.0};
}

void validate_audio_channel(const AudioChannel& channel) {
    if (!is_valid_channel_id(channel.id)) fail("Audio channel ID must be 1..32 letters, digits, underscores or hyphens");

    const bool fm = channel.modulation == AudioModulation::FM;
    const double max_bandwidth = fm ? 250000.0 : 20000.0;
    // Written as "inside the limits" so that NaN, which compares false, is refused.
    const bool numbers_ok = std::isfinite(channel.frequency) && std::isfinite(channel.bandwidth) &&
                            std::isfinite(channel.audio_gain) && channel.bandwidth >= 200.0 &&
                            channel.bandwidth <= max_bandwidth && channel.audio_gain >= 0.0 &&
                            channel.audio_gain <= 10000.0 && channel.audio_rate >= 8000 &&
                            channel.audio_rate <= 192000;
    if (!numbers_ok)
        fail("Audio channel requires 200..20000 Hz bandwidth (FM up to 250000, broadcast FM), 0..10000 gain and "
             "8000..192000 Hz output");

    const bool low_cut_ok = std::isfinite(channel.low_cut) && channel.low_cut >= 0.0 &&
                            (!is_sideband(channel.modulation) || channel.low_cut <= channel.bandwidth - 200.0);
    if (!low_cut_ok) fail("Audio low-cut must leave at least 200 Hz of passband");

    const auto [low, high] = audio_passband(channel);
    if (!(low >= 1000.0 && high <= 2000000000.0)) fail("Audio passband must be within 1k..2000M Hz");

    if (!fm) {
        const double width = channel.modulation == AudioModulation::AM ? channel.bandwidth / 2.0 : channel.bandwidth;
        if (!(width < 0.45 * channel.audio_rate))
            fail("Audio output rate needs Nyquist/filter margin above the requested bandwidth");
    }

    // A NUL byte would cut the path short when the file is opened, so the file written would
    // not be the one named.
    if (channel.wav.find_first_of(std::string_view(",\r\n\0", 4)) != std::string::npos) fail("Unsafe audio WAV path");
    if (!is_safe_sink(channel.sink)) fail("Unsafe audio sink name");
    if (!is_safe_socket(channel))
        fail("Audio socket must be an absolute path of letters, digits, _ - . / (no sink or WAV with it)");
}

void require_passband_in_capture(const AudioChannel& channel, double centre_hz, double capture_width_hz) {
    validate_audio_channel(channel);
    if (!channel.enabled) return;
    const auto [low, high] = audio_passband(channel);
    const double half_width = capture_usable_fraction * capture_width_hz;
    // Negated "fits" test: a capture described by NaN holds nothing.
    if (!(low >= centre_hz - half_width && high <= centre_hz + half_width))
        throw CaptureFitError("Audio passband is outside the running capture; receiver restart required");
}

std::string format_audio_channel(const AudioChannel& channel) {
    validate_audio_channel(channel);
    std::string text = "id=" + channel.id;
    text += ",frequency=" + format_spec_number(channel.frequency);
    text += std::string(",modulation=") + modulation_name(channel.modulation);
    text += ",bandwidth=" + format_spec_number(channel.bandwidth);
    text += ",audio-rate=" + std::to_string(channel.audio_rate);
    text += ",audio-gain=" + format_spec_number(channel.audio_gain);
    text += channel.enabled ? ",enabled=true" : ",enabled=false";
    if (channel.low_cut > 0.0) text += ",low-cut=" + format_spec_number(channel.low_cut);
    if (!channel.agc) text += ",agc=off";
    if (!channel.wav.empty()) text += ",wav=" + channel.wav;
    if (!channel.sink.empty()) text += ",sink=" + channel.sink;
    if (!channel.socket.empty()) text += ",socket=" + channel.socket;
    return text;
}
