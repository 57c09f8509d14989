#pragma once

#include <complex>
#include <cstddef>
#include <vector>

#include "sig/survey/survey_envelope_features.hpp"

namespace sig {

// The envelope pre-filter: a centred 127-tap Blackman-windowed sinc low-pass with its cut-off at
// min(max(150, 0.6 * bandwidth), 0.45 * rate) Hz, so the envelope shows the emitter and not the
// noise beside it. The output has the input's length; the first 64 and last 64 samples stay 0.
// A rate or bandwidth not above 0 gives all zeros.
std::vector<std::complex<double>> survey_envelope_prefilter(double rate_hz, double bandwidth_hz,
                                                            const std::complex<float>* history, std::size_t n);

// The envelope features of an emitter's history (its most recent second of extracted samples at
// rate_hz): pre-filtered, then extract_block_features. The defaults (valid false) unless the
// history holds at least half a second of samples (and at least 256), the rate and bandwidth are
// above 0 and the bandwidth is at most 30000 Hz.
SurveyEnvelopeFeatures survey_history_features(double rate_hz, double bandwidth_hz, const std::complex<float>* history,
                                               std::size_t n);

}  // namespace sig
