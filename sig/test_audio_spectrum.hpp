#pragma once

#include <cstddef>
#include <vector>

#include "sig/classifier_state.hpp"

namespace sig {

// The dB spectrum of the whole test audio, the mean power of the classifier's windowed frames
// (its transform size, window and hop) across it, on the classifier's bins and scale. The
// running average follows about 0.3 s of audio, in which the tones of a random MFSK signal
// differ by many dB and some are missing; over the 1.2 to 2 s a test looks at, each tone of an
// Olivia comb has been sent several times. Fewer samples than one frame give the running
// average itself.
std::vector<float> test_audio_spectrum_db(ClassifierState& state, const float* audio, std::size_t count);

}  // namespace sig
