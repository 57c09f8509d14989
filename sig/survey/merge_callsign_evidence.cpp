#include "sig/survey/merge_callsign_evidence.hpp"

#include <algorithm>

#include "sig/survey/survey_engine_impl.hpp"

namespace sig {
namespace {

void merge_one(std::vector<CallEvidence>& calls, const CallEvidence& c) {
    const auto found = std::find_if(calls.begin(), calls.end(), [&](const CallEvidence& e) { return e.call == c.call; });
    if (found == calls.end())
        calls.push_back(c);
    else if (c.conf > found->conf)
        *found = c;
}

}  // namespace

void merge_callsign_evidence(SurveyEngine::EmitterDecoder& decoder, const Event& event) {
    for (const CallEvidence& c : event.calls) merge_one(decoder.calls, c);
    if (!event.call.empty()) merge_one(decoder.calls, CallEvidence{event.call, {}, event.conf, {}});
}

}  // namespace sig
