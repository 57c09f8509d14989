#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "report/psk_reporter.hpp"
#include "report/psk_spot.hpp"
#include "sig/event_sink.hpp"

namespace sig {

// Turns confident spot events of the keyboard modes into PSK Reporter spots and hands them to
// the shared reporter, which checks, de-duplicates and sends them. Holds no lock: the counters
// are atomic and submit locks the reporter.
class ReporterSink final : public EventSink {
public:
    static constexpr float kMinConf = 0.8f;

    explicit ReporterSink(std::shared_ptr<PskReporter> reporter);

    void on_event(const ChannelInfo& channel, const Event& event) override;

    // Spots handed to the reporter (also those it drops itself), and spot events refused here.
    std::uint64_t accepted() const { return accepted_.load(std::memory_order_relaxed); }
    std::uint64_t rejected() const { return rejected_.load(std::memory_order_relaxed); }

private:
    std::shared_ptr<PskReporter> reporter_;
    std::atomic<std::uint64_t> accepted_{0};
    std::atomic<std::uint64_t> rejected_{0};
};

// The PSK Reporter mode text of a mode ("PSK31" also for QPSK31); nullptr for modes that are
// not reported (pictures, unknown).
const char* psk_reporter_mode(Mode mode);

// The spot a spot event makes, or nothing when the event is not reportable (not a spot, an
// unreported mode, a weak call, a frequency, time or SNR out of range).
std::optional<PskSpot> make_analysis_spot(const Event& event);

}  // namespace sig
