#pragma once

// Real audio of the upper sideband alone. The real part of a complex signal holds its negative
// frequencies too, folded onto the positive ones: whatever lies below the dial would be heard
// as a mirror image, at a frequency where nothing sends. Here the imaginary part goes through
// a Hilbert transformer and the real part through the same delay, and half their difference
// keeps a positive frequency at its full amplitude while a negative one cancels.
//
// The transformer has 129 taps (Blackman window) at any rate: at 12000 Hz a mirror 200 Hz or
// more from 0 Hz, or from the Nyquist frequency, is at least 44 dB down, one 300 Hz or more at
// least 79 dB. The audio comes out kDelay samples late. The state carries over between calls,
// so a stream cut into blocks of any size gives the same audio. A plain object of one thread;
// process() allocates only when a block is longer than any before it.

#include <array>
#include <complex>
#include <cstddef>
#include <vector>

namespace sig {

class UpperSidebandAudio {
public:
    static constexpr int kTaps = 129;
    static constexpr int kDelay = kTaps / 2;

    UpperSidebandAudio();

    // Appends one audio sample per complex sample; each is the audio of the sample kDelay
    // samples before. n = 0 changes nothing.
    void process(const std::complex<float>* z, std::size_t n, std::vector<float>& audio);

private:
    // Half of each tap of odd distance from the centre (the others are 0), by distance 1, 3, 5,
    // ...
    std::array<float, kDelay / 2> half_taps_{};
    // Real and imaginary parts apart: the last kTaps - 1 samples of the previous call, then the
    // current block.
    std::vector<float> re_;
    std::vector<float> im_;
};

}  // namespace sig
