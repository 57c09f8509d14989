#pragma once

// What the survey has already said about each emitter, and what it must say next: a new
// emitter is detected, a changed one (mode, variant, class) is updated at once, an unchanged
// one is announced again every 2 s of its own last-seen time, and one that has left the
// engine's report list is lost. An emitter that comes back under the same identifier after
// leaving the list is detected again; one that flaps within the list keeps its identifier and
// its memory.

#include <cstdint>
#include <map>
#include <vector>

#include "core/sig/event.hpp"
#include "sig/survey/emitter_report.hpp"

namespace sig {

struct SurveyEmitterEvent {
    Event event;  // kind, t, mode, variant, rf_hz, bw_hz, snr, signal_class set
    std::uint64_t id = 0;
    bool ham = false;
};

class SurveyReportMemory {
public:
    static constexpr double kRepeatSeconds = 2.0;
    static constexpr double kAttributionHz = 500.0;

    // The events one snapshot of the engine's report list makes, in order: detected and
    // updated in list order, then lost in ascending identifier order.
    std::vector<SurveyEmitterEvent> update(const std::vector<EmitterReport>& snapshot);

    std::size_t size() const { return memory_.size(); }

    // The emitter a decoder's event at rf_hz belongs to: the nearest report within
    // max(bandwidth, 500 Hz), the first on a tie; 0 when none is that close.
    static std::uint64_t nearest_emitter(const std::vector<EmitterReport>& snapshot, double rf_hz);

private:
    struct Remembered {
        EmitterReport report;
        double last_event_t = 0.0;
    };
    std::map<std::uint64_t, Remembered> memory_;
};

}  // namespace sig
