#pragma once

#include <cstddef>
#include <vector>

#include "sig/classifier_state.hpp"
#include "sig/classifier_track.hpp"
#include "sig/keying_stats.hpp"

namespace sig {

// The test of a narrow signal: a comb of lines around it goes to the Olivia test; a signal up to
// 150 Hz wide is cut out at 500 Hz and named PSK31, QPSK31, PSK63, CW or WEFAX from the keying
// lines of its envelope, the carrier that squaring restores and the timing of its on/off keying.
// Fills the track and returns true on acceptance; a rejection may raise score_floor.
bool classify_narrowband_emitter(ClassifierState& state, ClassifierTrack& track, const float* audio, std::size_t count,
                                 double& score_floor);

// sqrt(sum (x - mean)^2 / (n - 1)) / mean; 0 for fewer than two values or a mean not above 0.
double relative_standard_deviation(const std::vector<double>& values);

// The on/off timing of an envelope power series sampled at rate_hz (at least 16 values; fewer
// give the all-zero record).
KeyingStats keying_stats(const std::vector<float>& power, double rate_hz);

}  // namespace sig
