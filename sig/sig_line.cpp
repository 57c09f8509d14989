#include "sig/sig_line.hpp"

#include <cmath>
#include <cstdio>

#include "core/sig/mode.hpp"
#include "sig/event_time.hpp"

namespace sig {
namespace {

// yymmdd_HHMMSS of the event's whole second; a time outside years 0..9999 prints as the epoch.
std::string time_stamp(double t) {
    const std::tm f = utc_fields(calendar_second(t));
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%02d%02d%02d_%02d%02d%02d", (f.tm_year + 1900) % 100, f.tm_mon + 1,
                  f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec);
    return buffer;
}

// The part both lines share up to the kind word.
void append_head(std::string& line, const Event& event) {
    line += mode_label(event);
    line += ' ';
    line += time_stamp(event.t);
    line += ' ';
    line += format_number(event.rf_hz / 1000000.0, "%.6f");
    line += " MHz: ";
    line += event_kind_word(event.kind);
}

const char* signal_class_word(std::uint32_t value) {
    switch (value) {
    case 1: return "NOISE";
    case 2: return "CARRIER";
    case 3: return "CW";
    case 4: return "SSB";
    case 5: return "AM";
    case 6: return "FM";
    case 7: return "PSK";
    case 8: return "OFDM";
    default: return "UNKNOWN";
    }
}

// The fields both lines print alike for the text, spot and picture kinds; false for the others.
bool append_common_tail(std::string& line, const Event& event, std::string_view text, bool with_spot_snr) {
    switch (event.kind) {
    case EventKind::TEXT:
        line += " text=";
        line += quote_text(text);
        if (!event.calls.empty()) {
            line += " calls=";
            line += format_call_list(event.calls);
        }
        return true;
    case EventKind::SPOT:
        line += " call=";
        line += sanitize_token(event.call);
        line += " conf=";
        line += format_number(event.conf, "%.2f");
        if (with_spot_snr) {
            line += " snr=";
            line += format_number(event.snr, "%.1f");
        }
        if (!event.calls.empty() && !event.calls.front().grid.empty()) {
            line += " grid=";
            line += sanitize_token(event.calls.front().grid);
        }
        return true;
    case EventKind::WEFAX_START:
        line += " lpm=" + std::to_string(event.lpm) + " ioc=" + std::to_string(event.ioc);
        return true;
    case EventKind::WEFAX_PROGRESS:
    case EventKind::WEFAX_STOP:
        line += " lines=" + std::to_string(event.lines);
        return true;
    case EventKind::WEFAX_IMAGE:
        line += " lines=" + std::to_string(event.lines) + " path=";
        line += quote_text(text);
        return true;
    default:
        return false;
    }
}

}  // namespace

std::string format_number(double value, const char* format) {
    if (!std::isfinite(value)) value = 0.0;
    char buffer[64];
    const int length = std::snprintf(buffer, sizeof buffer, format, value);
    if (length < 0) return "0";
    return buffer;
}

std::string sanitize_token(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 32 || c == 127 || c == '"' || c == ',' || c == ':') continue;
        out.push_back(ch);
    }
    return out;
}

std::string escape_text(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(ch);
        } else if (c < 32 || c == 127) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\x%02X", static_cast<unsigned>(c));
            out += buffer;
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

std::string quote_text(std::string_view text) {
    std::string out = "\"";
    out += escape_text(text);
    out += '"';
    return out;
}

std::string format_call_list(const std::vector<CallEvidence>& calls) {
    std::string out;
    for (const CallEvidence& record : calls) {
        if (record.call.empty()) continue;
        if (!out.empty()) out.push_back(',');
        out += sanitize_token(record.call);
        out.push_back(':');
        out += format_number(record.conf, "%.2f");
    }
    return out;
}

const char* event_kind_word(EventKind kind) {
    switch (kind) {
    case EventKind::DETECTED: return "detected";
    case EventKind::LOST: return "lost";
    case EventKind::TEXT: return "text";
    case EventKind::SPOT: return "spot";
    case EventKind::WEFAX_START: return "wefax-start";
    case EventKind::WEFAX_PROGRESS: return "wefax-progress";
    case EventKind::WEFAX_IMAGE: return "wefax-image";
    case EventKind::WEFAX_STOP: return "wefax-stop";
    case EventKind::UPDATED: return "updated";
    }
    return "unknown";
}

std::string mode_label(const Event& event) {
    std::string label = mode_name(event.mode);
    const bool with_variant = event.mode == Mode::RTTY || event.mode == Mode::OLIVIA || event.mode == Mode::WEFAX ||
                              event.mode == Mode::SSTV;
    if (!with_variant) return label;
    std::string variant;
    for (char ch : event.variant) {
        const auto c = static_cast<unsigned char>(ch);
        if (c > 32 && c != 127) variant.push_back(ch);
    }
    if (!variant.empty()) label += "-" + variant;
    return label;
}

std::string format_sig_line(const ChannelInfo& channel, const Event& event, std::string_view text) {
    std::string line = "SIG ";
    append_head(line, event);
    line += " track=" + std::to_string(event.track);
    if (!channel.channel.empty()) {
        line += " ch=";
        line += sanitize_token(channel.channel);
    }
    switch (event.kind) {
    case EventKind::DETECTED:
    case EventKind::UPDATED:
        line += " bw=" + format_number(event.bw_hz, "%.0f") + " snr=" + format_number(event.snr, "%.1f");
        break;
    case EventKind::TEXT:
        line += " snr=" + format_number(event.snr, "%.1f");
        append_common_tail(line, event, text, false);
        break;
    default:
        append_common_tail(line, event, text, true);
        break;
    }
    return line;
}

std::string format_survey_line(const Event& event, std::uint64_t emitter, bool ham, std::string_view text,
                               std::string_view run) {
    std::string line = ham ? "SIG HAM " : "SIG OTHER ";
    append_head(line, event);
    line += " id=" + std::to_string(emitter);
    line += " bw=" + format_number(event.bw_hz, "%.0f") + " snr=" + format_number(event.snr, "%.1f");
    if (!run.empty()) {
        line += " run=";
        line += sanitize_token(run);
    }
    line += event.mode != Mode::UNKNOWN ? " decoded=1" : " decoded=0";
    switch (event.kind) {
    case EventKind::DETECTED:
    case EventKind::LOST:
    case EventKind::UPDATED:
        line += " class=";
        line += signal_class_word(event.signal_class);
        break;
    default:
        append_common_tail(line, event, text, false);
        break;
    }
    return line;
}

}  // namespace sig
