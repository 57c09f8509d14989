#include "sig/survey/survey_decimator.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace sig {

std::int32_t SurveyDecimator::factor_for(double capture_rate_hz, double target_rate_hz)
{
    if (!(capture_rate_hz > 0.0) || !(target_rate_hz > 0.0))
        return 1;
    double const ratio = std::floor(capture_rate_hz / target_rate_hz);
    if (!(ratio >= 1.0))
        return 1;
    return static_cast<std::int32_t>(std::min(ratio, 2147483647.0));
}

std::vector<float> SurveyDecimator::design_taps(std::int32_t factor)
{
    if (factor <= 1)
        return {1.0f};
    std::int64_t const wanted = 8 * static_cast<std::int64_t>(factor) + 1;
    int const count = static_cast<int>(std::clamp<std::int64_t>(wanted, 31, 257));
    double const fc = 0.45 / factor;
    double const m = count - 1;
    double const pi = std::numbers::pi;
    std::vector<float> taps(static_cast<std::size_t>(count));
    double sum = 0.0;
    for (int i = 0; i < count; ++i) {
        double const x = i - m / 2.0;
        double const h = std::fabs(x) < 1e-9 ? 2.0 * fc : std::sin(2.0 * pi * fc * x) / (pi * x);
        double const w = 0.42 - 0.5 * std::cos(2.0 * pi * i / m) + 0.08 * std::cos(4.0 * pi * i / m);
        taps[static_cast<std::size_t>(i)] = static_cast<float>(h * w);
        sum += h * w;
    }
    for (float& tap : taps)
        tap = static_cast<float>(tap / sum);
    return taps;
}

SurveyDecimator::SurveyDecimator(std::int32_t factor) : factor_(factor)
{
    if (factor < 1)
        throw std::invalid_argument("Survey decimation factor must be at least 1");
    taps_ = design_taps(factor);
    history_.assign(taps_.size() - 1, {0.0f, 0.0f});
}

void SurveyDecimator::process(const std::complex<float>* in, std::size_t n, std::vector<std::complex<float>>& out)
{
    out.clear();
    if (factor_ == 1) {
        out.assign(in, in + n);
        return;
    }
    std::size_t const history = history_.size();
    work_.resize(history + n);
    std::copy(history_.begin(), history_.end(), work_.begin());
    std::copy(in, in + n, work_.begin() + static_cast<std::ptrdiff_t>(history));
    out.reserve(n / static_cast<std::size_t>(factor_) + 1);
    std::size_t const count = taps_.size();
    const float* const taps = taps_.data();
    for (std::size_t j = 0; j < n; ++j) {
        if (++phase_ < factor_)
            continue;
        phase_ = 0;
        const std::complex<float>* window = work_.data() + j;
        float re = 0.0f;
        float im = 0.0f;
        for (std::size_t t = 0; t < count; ++t) {
            re += taps[t] * window[t].real();
            im += taps[t] * window[t].imag();
        }
        out.emplace_back(re, im);
    }
    std::copy(work_.end() - static_cast<std::ptrdiff_t>(history), work_.end(), history_.begin());
}

}  // namespace sig
