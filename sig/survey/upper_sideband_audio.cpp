#include "sig/survey/upper_sideband_audio.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace sig {
namespace {

// Four floats, one SSE register of the baseline x86-64; the results do not depend on the
// vector width.
using Lanes = float __attribute__((vector_size(4 * sizeof(float))));
constexpr std::size_t kLanes = 4;

Lanes load_lanes(const float* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store_lanes(float* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

}  // namespace

UpperSidebandAudio::UpperSidebandAudio()
    : re_(static_cast<std::size_t>(kTaps - 1), 0.0f), im_(static_cast<std::size_t>(kTaps - 1), 0.0f) {
    constexpr double kPi = std::numbers::pi;
    constexpr double intervals = kTaps - 1;
    for (int i = 0; i < kDelay / 2; ++i) {
        const int k = 2 * i + 1;
        const int n = kDelay + k;
        const double window =
            0.42 - 0.5 * std::cos(2.0 * kPi * n / intervals) + 0.08 * std::cos(4.0 * kPi * n / intervals);
        half_taps_[static_cast<std::size_t>(i)] = static_cast<float>(0.5 * 2.0 / (kPi * k) * window);
    }
}

void UpperSidebandAudio::process(const std::complex<float>* z, std::size_t n, std::vector<float>& audio) {
    if (n == 0 || z == nullptr) return;
    const auto history = static_cast<std::size_t>(kTaps - 1);
    re_.resize(history + n);
    im_.resize(history + n);
    for (std::size_t j = 0; j < n; ++j) {
        re_[history + j] = z[j].real();
        im_[history + j] = z[j].imag();
    }

    // The window of new sample j is work[j .. j + kTaps - 1]; its centre lies kDelay in.
    const std::size_t first = audio.size();
    audio.resize(first + n);
    float* out = audio.data() + first;
    const float* centre_re = re_.data() + kDelay;
    for (std::size_t j = 0; j < n; ++j) out[j] = 0.5f * centre_re[j];
    // The transformer is odd about the centre: each tap weighs the difference of the samples
    // before and after it. Tap by tap over the whole block, so that neighbouring outputs share
    // a register.
    for (int i = 0; i < kDelay / 2; ++i) {
        const int k = 2 * i + 1;
        const float t = half_taps_[static_cast<std::size_t>(i)];
        const Lanes tl = {t, t, t, t};
        const float* before = im_.data() + kDelay - k;
        const float* after = im_.data() + kDelay + k;
        std::size_t j = 0;
        for (; j + kLanes <= n; j += kLanes)
            store_lanes(out + j, load_lanes(out + j) - tl * (load_lanes(before + j) - load_lanes(after + j)));
        for (; j < n; ++j) out[j] -= t * (before[j] - after[j]);
    }
    std::copy(re_.end() - static_cast<std::ptrdiff_t>(history), re_.end(), re_.begin());
    std::copy(im_.end() - static_cast<std::ptrdiff_t>(history), im_.end(), im_.begin());
}

}  // namespace sig
