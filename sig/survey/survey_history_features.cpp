#include "sig/survey/survey_history_features.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "sig/survey/extract_block_features.hpp"

namespace sig {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr std::size_t kTaps = 127;
constexpr std::size_t kMiddle = 63;
constexpr double kMaxBandwidthHz = 30000.0;

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
    // The filter is centred: output k takes the inputs k - 63 .. k + 63, so it is not delayed.
    for (std::size_t k = kMiddle + 1; k + kMiddle + 2 <= n; ++k) {
        double re = 0.0, im = 0.0;
        const std::complex<float>* x = history + (k + kMiddle);
        for (std::size_t j = 0; j < kTaps; ++j) {
            re += taps[j] * static_cast<double>(x[-static_cast<std::ptrdiff_t>(j)].real());
            im += taps[j] * static_cast<double>(x[-static_cast<std::ptrdiff_t>(j)].imag());
        }
        y[k] = {re, im};
    }
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
