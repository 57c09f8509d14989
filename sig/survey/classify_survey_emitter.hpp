#pragma once

#include "core/sig/signal_class.hpp"
#include "sig/survey/survey_band_stats.hpp"
#include "sig/survey/survey_envelope_features.hpp"

namespace sig {

// The emitter's class after one feature pass, from its band statistics and envelope features.
// `current` is the class it has so far: without valid band statistics and envelope features it
// stays, and from the spectrum alone only an unclassified emitter is named (CARRIER always is).
SignalClass classify_survey_emitter(const SurveyBandStats& stats, const SurveyEnvelopeFeatures& features,
                                    SignalClass current);

}  // namespace sig
