#include "sig/analysis_channel_spec.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/ascii_case.hpp"
#include "core/capture_fit_error.hpp"
#include "core/capture_usable_fraction.hpp"
#include "core/spec_text.hpp"
#include "core/sig/olivia_variants.hpp"

namespace {

constexpr std::size_t max_spec_bytes = 4096;
constexpr std::size_t max_olivia_entries = 8;
constexpr double olivia_low_margin_hz = 100.0;

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

constexpr sig::Mode named_modes[] = {sig::Mode::PSK31, sig::Mode::QPSK31, sig::Mode::PSK63,
                                     sig::Mode::RTTY,  sig::Mode::OLIVIA, sig::Mode::CW,
                                     sig::Mode::WEFAX, sig::Mode::SSTV,   sig::Mode::JTTY};

bool is_named_mode(sig::Mode mode) {
    return std::find(std::begin(named_modes), std::end(named_modes), mode) != std::end(named_modes);
}

std::vector<sig::Mode> parse_modes(std::string_view lowered) {
    std::vector<sig::Mode> modes;
    std::size_t start = 0;
    while (true) {
        const std::size_t plus = lowered.find('+', start);
        const std::string name = upper_ascii(
            lowered.substr(start, plus == std::string_view::npos ? std::string_view::npos : plus - start));
        const auto* found = std::find_if(std::begin(named_modes), std::end(named_modes),
                                         [&](sig::Mode mode) { return name == sig::mode_name(mode); });
        if (found == std::end(named_modes))
            fail("Analysis modes must be auto or '+'-separated names from psk31, qpsk31, psk63, rtty, olivia, cw, "
                 "wefax, sstv, jtty");
        if (std::find(modes.begin(), modes.end(), *found) != modes.end()) fail("Analysis modes must not repeat");
        modes.push_back(*found);
        if (plus == std::string_view::npos) break;
        start = plus + 1;
    }
    return modes;
}

std::vector<sig::OliviaEntry> parse_olivia(std::string_view value) {
    std::vector<sig::OliviaEntry> entries;
    std::size_t start = 0;
    while (true) {
        const std::size_t plus = value.find('+', start);
        const std::string_view entry =
            value.substr(start, plus == std::string_view::npos ? std::string_view::npos : plus - start);
        const std::size_t at = entry.find('@');
        if (at == std::string_view::npos || at == 0)
            fail("Analysis olivia entries are FORMAT@AUDIO_HZ, for example 8/250@1500");
        entries.push_back(sig::OliviaEntry{std::string(entry.substr(0, at)), parse_analysis_number(entry.substr(at + 1))});
        if (plus == std::string_view::npos) break;
        start = plus + 1;
    }
    return entries;
}

// Digits only: no blank, no sign. Saturates so that a long run of digits cannot overflow;
// a saturated value is no variant anyway.
bool read_decimal(std::string_view text, int& value) {
    if (text.empty()) return false;
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = std::min(v * 10 + (c - '0'), 1000000000LL);
    }
    value = static_cast<int>(v);
    return true;
}

// "T/B", both plain decimal integers, naming a variant the Olivia decoder accepts.
bool olivia_bandwidth(std::string_view format, int& bandwidth_hz) {
    const std::size_t slash = format.find('/');
    if (slash == std::string_view::npos) return false;
    int tones = 0;
    if (!read_decimal(format.substr(0, slash), tones) || !read_decimal(format.substr(slash + 1), bandwidth_hz))
        return false;
    return sig::is_olivia_variant(tones, bandwidth_hz);
}

bool is_one_of(const std::string& text, std::initializer_list<std::string_view> choices) {
    return std::find(choices.begin(), choices.end(), text) != choices.end();
}

}  // namespace

double parse_analysis_number(std::string_view text) {
    if (text.empty()) fail("Missing analysis channel number");
    const auto value = read_spec_number(text);
    if (!value) fail("Invalid analysis channel number");
    return *value;
}

bool parse_analysis_bool(std::string_view value, std::string_view key) {
    if (value == "true" || value == "on" || value == "1") return true;
    if (value == "false" || value == "off" || value == "0") return false;
    fail("Analysis " + std::string(key) + " must be true or false");
}

AnalysisChannel parse_analysis_channel(std::string_view spec) {
    if (spec.empty() || spec.size() > max_spec_bytes || spec.find_first_of("\r\n") != std::string_view::npos)
        fail("Invalid analysis channel specification");
    const auto fields = split_spec_fields(spec);
    if (!fields) fail("Analysis channel fields must be unique key=value pairs (separate modes with '+')");

    AnalysisChannel channel;
    bool frequency_set = false;
    // Keys are applied in byte order, so with several bad fields the same one always decides.
    for (const auto& [key, value] : *fields) {
        if (key == "id") {
            channel.id = value;
        } else if (key == "frequency") {
            channel.dial_hz = parse_analysis_number(value);
            frequency_set = true;
        } else if (key == "bandwidth") {
            channel.bandwidth_hz = parse_analysis_number(value);
        } else if (key == "modulation") {
            const std::string lowered = lower_ascii(value);
            if (lowered == "usb") {
                channel.usb = true;
            } else if (lowered == "lsb") {
                channel.usb = false;
            } else {
                fail("Analysis modulation must be USB or LSB");
            }
        } else if (key == "modes") {
            const std::string lowered = lower_ascii(value);
            if (lowered == "auto") {
                channel.modes_auto = true;
                channel.modes.clear();
            } else {
                channel.modes_auto = false;
                channel.modes = parse_modes(lowered);
            }
        } else if (key == "rtty") {
            channel.rtty = value;
        } else if (key == "wefax") {
            channel.wefax = value;
        } else if (key == "olivia") {
            channel.olivia = parse_olivia(value);
        } else if (key == "report") {
            channel.report = parse_analysis_bool(value, key);
        } else if (key == "enabled") {
            channel.enabled = parse_analysis_bool(value, key);
        } else {
            fail("Unknown analysis channel field: " + key);
        }
    }
    if (!frequency_set) fail("Analysis channel frequency is required");
    validate_analysis_channel(channel);
    return channel;
}

std::pair<double, double> passband_edges(const AnalysisChannel& channel) {
    if (channel.usb) return {channel.dial_hz, channel.dial_hz + channel.bandwidth_hz};
    return {channel.dial_hz - channel.bandwidth_hz, channel.dial_hz};
}

void validate_analysis_channel(const AnalysisChannel& channel) {
    if (!is_valid_channel_id(channel.id))
        fail("Analysis channel ID must be 1..32 letters, digits, underscores or hyphens");
    if (!(std::isfinite(channel.dial_hz) && std::isfinite(channel.bandwidth_hz) && channel.bandwidth_hz >= 200.0 &&
          channel.bandwidth_hz <= 20000.0))
        fail("Analysis channel requires 200..20000 Hz bandwidth");
    const auto [low, high] = passband_edges(channel);
    if (!(low >= 1000.0 && high <= 2000000000.0)) fail("Analysis passband must be within 1k..2000M Hz");
    if (!channel.modes_auto) {
        if (channel.modes.empty()) fail("Analysis modes must name at least one mode");
        // Values outside the list are unknown too: they would print as "unknown" and not parse back.
        if (!std::all_of(channel.modes.begin(), channel.modes.end(), is_named_mode))
            fail("Analysis modes must not include unknown");
    }
    if (!is_one_of(channel.rtty, {"auto", "45.45/170", "50/170", "75/850"}))
        fail("Analysis rtty must be 45.45/170, 50/170, 75/850 or auto");
    if (!is_one_of(channel.wefax, {"auto", "120/576", "60/288", "90/576", "240/576"}))
        fail("Analysis wefax must be 120/576, 60/288, 90/576, 240/576 or auto");
    if (channel.olivia.size() > max_olivia_entries) fail("At most 8 fixed Olivia decoders per analysis channel");
    for (const sig::OliviaEntry& entry : channel.olivia) {
        int bandwidth_hz = 0;
        const bool ok = olivia_bandwidth(entry.format, bandwidth_hz) &&
                        entry.audio_hz - bandwidth_hz / 2.0 >= olivia_low_margin_hz &&
                        entry.audio_hz + bandwidth_hz / 2.0 <= channel.bandwidth_hz;
        if (!ok) fail("Analysis olivia entries are FORMAT@AUDIO_HZ inside the channel, for example 8/250@1500");
    }
}

void check_passband_in_capture(const AnalysisChannel& channel, double centre_hz, double capture_width_hz) {
    validate_analysis_channel(channel);
    if (!channel.enabled) return;
    const auto [low, high] = passband_edges(channel);
    const double half_width = capture_usable_fraction * capture_width_hz;
    // Negated "fits" test: a capture described by NaN holds nothing.
    if (!(low >= centre_hz - half_width && high <= centre_hz + half_width))
        throw CaptureFitError("Analysis passband is outside the running capture; receiver restart required");
}

std::string format_analysis_channel(const AnalysisChannel& channel) {
    validate_analysis_channel(channel);
    std::string text = "id=" + channel.id;
    text += ",frequency=" + format_spec_number(channel.dial_hz);
    text += channel.usb ? ",modulation=USB" : ",modulation=LSB";
    text += ",bandwidth=" + format_spec_number(channel.bandwidth_hz);
    text += ",modes=";
    if (channel.modes_auto) {
        text += "auto";
    } else {
        for (std::size_t i = 0; i < channel.modes.size(); ++i) {
            if (i > 0) text += '+';
            text += lower_ascii(sig::mode_name(channel.modes[i]));
        }
    }
    text += ",rtty=" + channel.rtty;
    text += ",wefax=" + channel.wefax;
    text += channel.report ? ",report=on" : ",report=off";
    text += channel.enabled ? ",enabled=true" : ",enabled=false";
    if (!channel.olivia.empty()) {
        text += ",olivia=";
        for (std::size_t i = 0; i < channel.olivia.size(); ++i) {
            if (i > 0) text += '+';
            text += channel.olivia[i].format + "@" + format_spec_number(channel.olivia[i].audio_hz);
        }
    }
    return text;
}

bool only_jtty_modes(const AnalysisChannel& channel, bool fallback) {
    const bool all_jtty = !channel.modes_auto && !channel.modes.empty() &&
                          std::all_of(channel.modes.begin(), channel.modes.end(),
                                      [](sig::Mode mode) { return mode == sig::Mode::JTTY; });
    return all_jtty || fallback;
}
