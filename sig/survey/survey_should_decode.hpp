#pragma once

#include "sig/survey/survey_band_stats.hpp"
#include "sig/survey/survey_envelope_features.hpp"

namespace sig {

// Whether the emitter looks like a decodable digital signal: a constant or strongly keyed
// envelope, a clean keying line, or a carrier with sidebands, judged by bandwidth and shape.
bool survey_should_decode(const SurveyBandStats& stats, const SurveyEnvelopeFeatures& features);

}  // namespace sig
