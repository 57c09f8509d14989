#include "sig/survey/survey_decimator.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>

namespace sig {
namespace {

// Eight floats: one AVX register, or two SSE registers of the baseline x86-64: four complex
// samples, real and imaginary parts in alternate lanes. Each lane does the arithmetic one partial
// sum would do alone, and the lanes are summed in the same order whichever registers carry
// them, so the output does not depend on the machine.
using Lanes = float __attribute__((vector_size(8 * sizeof(float))));

// The outputs of one block, one per D inputs from the first, each over the `floats` interleaved
// floats of its window (twice the tap count) with each tap given twice in a row: 32 partial sums
// in four registers, so the adders need not wait on one another, added up in a fixed order.
// Built for AVX2 and for the baseline; the loader picks the one the processor runs.
__attribute__((target_clones("avx2", "default"))) void filter_outputs(const float* paired_taps, std::size_t floats,
                                                                       const float* work, std::size_t first,
                                                                       std::size_t end, std::size_t step,
                                                                       std::complex<float>* out)
{
    for (std::size_t j = first; j < end; j += step) {
        const float* window = work + 2 * j;
        Lanes a0{}, a1{}, a2{}, a3{}, t, v;
        std::size_t k = 0;
        for (; k + 32 <= floats; k += 32) {
            std::memcpy(&t, paired_taps + k, sizeof t);
            std::memcpy(&v, window + k, sizeof v);
            a0 += t * v;
            std::memcpy(&t, paired_taps + k + 8, sizeof t);
            std::memcpy(&v, window + k + 8, sizeof v);
            a1 += t * v;
            std::memcpy(&t, paired_taps + k + 16, sizeof t);
            std::memcpy(&v, window + k + 16, sizeof v);
            a2 += t * v;
            std::memcpy(&t, paired_taps + k + 24, sizeof t);
            std::memcpy(&v, window + k + 24, sizeof v);
            a3 += t * v;
        }
        for (; k + 8 <= floats; k += 8) {
            std::memcpy(&t, paired_taps + k, sizeof t);
            std::memcpy(&v, window + k, sizeof v);
            a0 += t * v;
        }
        Lanes const s = (a0 + a1) + (a2 + a3);
        float re = (s[0] + s[2]) + (s[4] + s[6]);
        float im = (s[1] + s[3]) + (s[5] + s[7]);
        for (; k < floats; k += 2) {
            re += paired_taps[k] * window[k];
            im += paired_taps[k + 1] * window[k + 1];
        }
        *out++ = {re, im};
    }
}

}  // namespace

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
    paired_taps_.reserve(2 * taps_.size());
    for (float const tap : taps_) {
        paired_taps_.push_back(tap);
        paired_taps_.push_back(tap);
    }
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
    // The first new sample that completes a decimation period; the window ending at new sample j
    // starts at work sample j.
    auto const d = static_cast<std::size_t>(factor_);
    std::size_t const first = d - 1 - static_cast<std::size_t>(phase_);
    out.resize(first < n ? (n - first + d - 1) / d : 0);
    filter_outputs(paired_taps_.data(), paired_taps_.size(), reinterpret_cast<const float*>(work_.data()), first, n, d,
                   out.data());
    phase_ = static_cast<std::int32_t>((static_cast<std::size_t>(phase_) + n) % d);
    std::copy(work_.end() - static_cast<std::ptrdiff_t>(history), work_.end(), history_.begin());
}

}  // namespace sig
