#pragma once

// The survey's front filter: brings the whole capture down to the survey rate with a windowed
// sinc low-pass computed only at the kept instants. State carries over between calls, so a
// stream cut into any blocks gives the same output.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sig {

class SurveyDecimator {
public:
    // floor(capture / target), at least 1; 1 when either rate is not positive.
    static std::int32_t factor_for(double capture_rate_hz, double target_rate_hz);

    // 8 D + 1 taps held to 31..257, cut-off 0.45 / D of the input rate, Blackman window, unit
    // gain at 0 Hz. One tap of 1 for D = 1.
    static std::vector<float> design_taps(std::int32_t factor);

    // Throws std::invalid_argument for a factor below 1.
    explicit SurveyDecimator(std::int32_t factor);

    std::int32_t factor() const { return factor_; }
    const std::vector<float>& taps() const { return taps_; }

    // Replaces out with one filtered sample per D input samples of the stream so far. For D = 1
    // the input is copied unchanged.
    void process(const std::complex<float>* in, std::size_t n, std::vector<std::complex<float>>& out);

private:
    std::int32_t factor_;
    std::vector<float> taps_;
    std::vector<float> paired_taps_;  // each tap twice, for the interleaved parts of a sample
    std::vector<std::complex<float>> history_;  // the last taps - 1 inputs
    std::vector<std::complex<float>> work_;
    std::int32_t phase_ = 0;
};

}  // namespace sig
