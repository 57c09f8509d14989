#include "sig/survey/survey_report_memory.hpp"

#include <algorithm>
#include <cmath>

namespace sig {
namespace {

SurveyEmitterEvent emitter_event(const EmitterReport& report, EventKind kind, double t)
{
    SurveyEmitterEvent out;
    out.id = report.id;
    out.ham = report.category == 0;
    out.event.kind = kind;
    out.event.t = t;
    out.event.mode = static_cast<Mode>(report.mode);
    out.event.variant = report.variant;
    out.event.rf_hz = report.rf_hz;
    out.event.bw_hz = report.bw_hz;
    out.event.snr = report.snr;
    out.event.signal_class = report.signal_class;
    return out;
}

}  // namespace

std::vector<SurveyEmitterEvent> SurveyReportMemory::update(const std::vector<EmitterReport>& snapshot)
{
    std::vector<SurveyEmitterEvent> events;
    std::vector<std::uint64_t> present;
    present.reserve(snapshot.size());
    for (const EmitterReport& r : snapshot) {
        present.push_back(r.id);
        auto const known = memory_.find(r.id);
        if (known == memory_.end()) {
            events.push_back(emitter_event(r, EventKind::DETECTED, r.first_seen));
            memory_.emplace(r.id, Remembered{r, r.last_seen});
            continue;
        }
        const EmitterReport& s = known->second.report;
        if (r.mode != s.mode || r.variant != s.variant || r.signal_class != s.signal_class
            || r.last_seen - known->second.last_event_t >= kRepeatSeconds) {
            events.push_back(emitter_event(r, EventKind::UPDATED, r.last_seen));
            known->second.last_event_t = r.last_seen;
        }
        known->second.report = r;
    }
    std::sort(present.begin(), present.end());
    for (auto it = memory_.begin(); it != memory_.end();) {
        if (std::binary_search(present.begin(), present.end(), it->first)) {
            ++it;
            continue;
        }
        events.push_back(emitter_event(it->second.report, EventKind::LOST, it->second.report.last_seen));
        it = memory_.erase(it);
    }
    return events;
}

std::uint64_t SurveyReportMemory::nearest_emitter(const std::vector<EmitterReport>& snapshot, double rf_hz)
{
    std::uint64_t nearest = 0;
    bool found = false;
    double best = 0.0;
    for (const EmitterReport& r : snapshot) {
        double const distance = std::fabs(r.rf_hz - rf_hz);
        if (distance <= std::max(r.bw_hz, kAttributionHz) && (!found || distance < best)) {
            nearest = r.id;
            best = distance;
            found = true;
        }
    }
    return nearest;
}

}  // namespace sig
