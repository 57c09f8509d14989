#include "sig/test_audio_spectrum.hpp"

#include <cmath>
#include <complex>

namespace sig {

std::vector<float> test_audio_spectrum_db(ClassifierState& state, const float* audio, std::size_t count) {
    const auto n = static_cast<std::size_t>(state.fft_size);
    const auto hop = static_cast<std::size_t>(state.hop);
    if (count < n || hop == 0) return state.averaged_db;
    const auto bins = static_cast<std::size_t>(state.half) + 1;
    std::vector<double> sum(bins, 0.0);
    const float scale = 4.0f / static_cast<float>(n);
    std::size_t frames = 0;
    // Frames end at the last sample, as the classifier's newest frame does.
    for (std::size_t end = count; end >= n; end -= hop) {
        float* in = state.fft.real_input(n);
        const float* frame = audio + (end - n);
        for (std::size_t i = 0; i < n; ++i) in[i] = frame[i] * state.window[i];
        const std::complex<float>* spectrum = state.fft.real_forward(n);
        for (std::size_t k = 0; k < bins; ++k) sum[k] += std::norm(spectrum[k] * scale);
        ++frames;
        if (end < n + hop) break;
    }
    std::vector<float> level(bins);
    for (std::size_t k = 0; k < bins; ++k)
        level[k] = static_cast<float>(10.0 * std::log10(sum[k] / static_cast<double>(frames) + 1e-30));
    return level;
}

}  // namespace sig
