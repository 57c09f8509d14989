#include "sig/survey/upper_sideband_audio.hpp"

#include <cmath>
#include <numbers>

namespace sig {

UpperSidebandAudio::UpperSidebandAudio() {
    constexpr double kPi = std::numbers::pi;
    constexpr double intervals = kTaps - 1;
    for (int i = 0; i < kDelay / 2; ++i) {
        const int k = 2 * i + 1;
        const int n = kDelay + k;
        const double window =
            0.42 - 0.5 * std::cos(2.0 * kPi * n / intervals) + 0.08 * std::cos(4.0 * kPi * n / intervals);
        taps_[static_cast<std::size_t>(i)] = static_cast<float>(2.0 / (kPi * k) * window);
    }
}

float UpperSidebandAudio::push(std::complex<float> z) {
    newest_ = newest_ + 1 == kTaps ? 0 : newest_ + 1;
    const auto at = static_cast<std::size_t>(newest_);
    re_[at] = re_[at + kTaps] = z.real();
    im_[at] = im_[at + kTaps] = z.imag();
    // The window of the last kTaps samples, oldest first; its centre is kDelay samples back.
    const float* re = re_.data() + at + 1;
    const float* im = im_.data() + at + 1;
    // The transformer is odd about the centre: each tap weighs the difference of the samples
    // before and after it.
    float hilbert = 0.0f;
    for (int i = 0; i < kDelay / 2; ++i) {
        const int k = 2 * i + 1;
        hilbert += taps_[static_cast<std::size_t>(i)] * (im[kDelay - k] - im[kDelay + k]);
    }
    return 0.5f * (re[kDelay] - hilbert);
}

}  // namespace sig
