#include "sig/reporter_sink.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace sig {

const char* psk_reporter_mode(Mode mode) {
    switch (mode) {
    case Mode::PSK31:
    case Mode::QPSK31: return "PSK31";
    case Mode::PSK63: return "PSK63";
    case Mode::RTTY: return "RTTY";
    case Mode::OLIVIA: return "OLIVIA";
    case Mode::CW: return "CW";
    case Mode::JTTY: return "JTTY";
    default: return nullptr;
    }
}

std::optional<PskSpot> make_analysis_spot(const Event& event) {
    const char* mode = psk_reporter_mode(event.mode);
    if (event.kind != EventKind::SPOT || mode == nullptr) return std::nullopt;
    if (!(event.conf >= ReporterSink::kMinConf) || event.call.empty()) return std::nullopt;
    if (!std::isfinite(event.rf_hz) || event.rf_hz < 1.0 || event.rf_hz > 4294967295.0) return std::nullopt;
    if (!std::isfinite(event.t) || event.t < 0.0 || event.t > 4294967295.0) return std::nullopt;
    if (!std::isfinite(event.snr)) return std::nullopt;

    PskSpot spot;
    spot.sender_call = event.call;
    for (const CallEvidence& record : event.calls) {
        if (record.call == event.call && !record.grid.empty()) {
            spot.sender_grid = record.grid;
            break;
        }
    }
    spot.frequency_hz = static_cast<std::uint32_t>(std::llround(event.rf_hz));
    spot.time = static_cast<std::uint32_t>(event.t);
    // Clamped before the conversion: an SNR of 1e300 must not overflow the integer.
    spot.snr = static_cast<std::int32_t>(std::lround(std::clamp(event.snr, -128.0, 127.0)));
    spot.mode = mode;
    return spot;
}

ReporterSink::ReporterSink(std::shared_ptr<PskReporter> reporter) : reporter_(std::move(reporter)) {}

void ReporterSink::on_event(const ChannelInfo&, const Event& event) {
    if (event.kind != EventKind::SPOT) return;
    std::optional<PskSpot> spot;
    if (reporter_) spot = make_analysis_spot(event);
    if (!spot) {
        rejected_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    reporter_->submit(*spot);
    accepted_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace sig
