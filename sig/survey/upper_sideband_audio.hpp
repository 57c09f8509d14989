#pragma once

// Real audio of the upper sideband alone. The real part of a complex signal holds its negative
// frequencies too, folded onto the positive ones: whatever lies below the dial would be heard
// as a mirror image, at a frequency where nothing sends. Here the imaginary part goes through
// a Hilbert transformer and the real part through the same delay, and half their difference
// keeps a positive frequency at its full amplitude while a negative one cancels.
//
// The transformer has 129 taps (Blackman window) at any rate: at 12000 Hz a mirror 200 Hz or
// more from 0 Hz, or from the Nyquist frequency, is at least 44 dB down, one 300 Hz or more at
// least 79 dB. The audio comes out kTaps / 2 samples late. A plain object of one thread.

#include <array>
#include <complex>

namespace sig {

class UpperSidebandAudio {
public:
    static constexpr int kTaps = 129;
    static constexpr int kDelay = kTaps / 2;

    UpperSidebandAudio();

    // Takes the next complex sample; returns the audio sample of the one kDelay samples back.
    float push(std::complex<float> z);

private:
    // Taps of odd distance from the centre only (the others are 0), by distance 1, 3, 5, ...
    std::array<float, kDelay / 2> taps_{};
    // The last kTaps samples, each written twice (at i and i + kTaps) so that the window ending
    // at the newest sample is contiguous.
    std::array<float, 2 * kTaps> re_{};
    std::array<float, 2 * kTaps> im_{};
    int newest_ = 0;
};

}  // namespace sig
