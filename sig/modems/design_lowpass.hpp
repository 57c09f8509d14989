#pragma once

#include <vector>

namespace sig {

// Kaiser-windowed (beta 7) sinc lowpass of tap_count taps, cutoff in cycles per sample,
// normalised to unit gain at 0 Hz.
std::vector<float> design_kaiser_lowpass(int tap_count, double cutoff);

// Blackman-windowed sinc lowpass of 81 taps for 12000 Hz input, unit gain at 0 Hz.
std::vector<float> design_blackman_lowpass(double cutoff_hz);

}  // namespace sig
