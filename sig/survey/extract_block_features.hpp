#pragma once

#include <complex>
#include <vector>

#include "sig/survey/survey_envelope_features.hpp"

namespace sig {

// Envelope statistics, on/off keying and the strongest keying line of complex samples at
// rate_hz from an emitter bandwidth_hz wide. The first and last 64 samples are skipped (the
// edges of the pre-filter). 256 samples or fewer, or a non-finite sample, give the defaults
// (valid false).
SurveyEnvelopeFeatures extract_block_features(double rate_hz, double bandwidth_hz,
                                              const std::vector<std::complex<double>>& samples);

}  // namespace sig
