#include "sig/survey/survey_history_features.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

#include "sig/survey/extract_block_features.hpp"

namespace sig {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr std::size_t kTaps = 127;
constexpr std::size_t kMiddle = 63;
constexpr double kMaxBandwidthHz = 30000.0;

// Four doubles: one AVX register, or two SSE registers of the baseline x86-64: the parts of two
// samples, or of two partial sums. The same lanes are summed in the same order whichever
// registers carry them, so the output does not depend on the machine.
using Quad = double __attribute__((vector_size(4 * sizeof(double))));

// The pre-filter's loop, built for AVX2 and for the baseline; the loader picks the one the
// processor runs. Outputs first .. last - 1 of the centred filter over the interleaved parts x,
// with the taps in input order and each given twice (paired, 2 * kTaps values).
__attribute__((target_clones("avx2", "default"))) void prefilter_outputs(const double* x, const double* paired,
                                                                          std::size_t first, std::size_t last,
                                                                          double* out) {
    for (std::size_t k = first; k < last; ++k) {
        const double* window = x + 2 * (k - kMiddle);
        Quad a0{}, a1{}, a2{}, a3{}, t, v;
        std::size_t j = 0;
        for (; j + 16 <= 2 * kTaps; j += 16) {
            std::memcpy(&t, paired + j, sizeof t);
            std::memcpy(&v, window + j, sizeof v);
            a0 += t * v;
            std::memcpy(&t, paired + j + 4, sizeof t);
            std::memcpy(&v, window + j + 4, sizeof v);
            a1 += t * v;
            std::memcpy(&t, paired + j + 8, sizeof t);
            std::memcpy(&v, window + j + 8, sizeof v);
            a2 += t * v;
            std::memcpy(&t, paired + j + 12, sizeof t);
            std::memcpy(&v, window + j + 12, sizeof v);
            a3 += t * v;
        }
        for (; j + 4 <= 2 * kTaps; j += 4) {
            std::memcpy(&t, paired + j, sizeof t);
            std::memcpy(&v, window + j, sizeof v);
            a0 += t * v;
        }
        const Quad sum = (a0 + a1) + (a2 + a3);
        double re = sum[0] + sum[2];
        double im = sum[1] + sum[3];
        for (; j < 2 * kTaps; j += 2) {
            re += paired[j] * window[j];
            im += paired[j + 1] * window[j + 1];
        }
        out[2 * k] = re;
        out[2 * k + 1] = im;
    }
}

std::array<double, kTaps> prefilter_taps(double cutoff) {
    std::array<double, kTaps> taps{};
    const double intervals = static_cast<double>(kTaps - 1);
    double sum = 0.0;
    for (std::size_t n = 0; n < kTaps; ++n) {
        const double x = static_cast<double>(n);
        const double window = 0.42 - 0.5 * std::cos(2.0 * kPi * x / intervals) + 0.08 * std::cos(4.0 * kPi * x / intervals);
        const double m = x - static_cast<double>(kMiddle);
        taps[n] = n == kMiddle ? window * 2.0 * cutoff : window * std::sin(2.0 * kPi * cutoff * m) / (kPi * m);
        sum += taps[n];
    }
    for (double& tap : taps) tap /= sum;
    return taps;
}

}  // namespace

std::vector<std::complex<double>> survey_envelope_prefilter(double rate_hz, double bandwidth_hz,
                                                            const std::complex<float>* history, std::size_t n) {
    std::vector<std::complex<double>> y(n);
    if (history == nullptr || !(rate_hz > 0.0) || !(bandwidth_hz > 0.0) || !std::isfinite(rate_hz)) return y;
    const double cutoff = std::min(std::max(150.0, 0.6 * bandwidth_hz), 0.45 * rate_hz) / rate_hz;
    const std::array<double, kTaps> taps = prefilter_taps(cutoff);
    if (n < 2 * kMiddle + 2) return y;
    // The history in double precision once, interleaved as it came, instead of a conversion per
    // tap and output.
    std::vector<double> x(2 * n);
    const auto* in = reinterpret_cast<const float*>(history);
    for (std::size_t i = 0; i < 2 * n; ++i) x[i] = static_cast<double>(in[i]);
    // The taps in the order the inputs come, each given twice for the two parts of a sample.
    std::array<double, 2 * kTaps> paired{};
    for (std::size_t j = 0; j < kTaps; ++j) paired[2 * j] = paired[2 * j + 1] = taps[kTaps - 1 - j];
    // The filter is centred: output k takes the inputs k - 63 .. k + 63, so it is not delayed.
    prefilter_outputs(x.data(), paired.data(), kMiddle + 1, n - kMiddle - 1, reinterpret_cast<double*>(y.data()));
    return y;
}

SurveyEnvelopeFeatures survey_history_features(double rate_hz, double bandwidth_hz, const std::complex<float>* history,
                                               std::size_t n) {
    if (history == nullptr || !(rate_hz > 0.0) || !std::isfinite(rate_hz) || !(bandwidth_hz > 0.0) ||
        bandwidth_hz > kMaxBandwidthHz || n < 256)
        return {};
    if (static_cast<double>(n) < std::trunc(0.5 * rate_hz)) return {};
    return extract_block_features(rate_hz, bandwidth_hz, survey_envelope_prefilter(rate_hz, bandwidth_hz, history, n));
}

}  // namespace sig
