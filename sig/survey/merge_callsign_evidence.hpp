#pragma once

#include "core/sig/event.hpp"
#include "sig/survey/survey_engine.hpp"

namespace sig {

// Merges the calls of an event (its list, then its single call with its confidence) into the
// decoder's list: each call once, with the best confidence seen. The list never shrinks.
void merge_callsign_evidence(SurveyEngine::EmitterDecoder& decoder, const Event& event);

}  // namespace sig
