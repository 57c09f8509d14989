#include "sig/held_tone_fraction.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

namespace sig {

double held_tone_fraction(const Baseband& baseband, double first_tone_hz, double spacing_hz, std::uint32_t tones) {
    if (tones < 2 || !(spacing_hz > 0.0) || !(baseband.rate > 0.0)) return 0.0;
    const auto symbol = static_cast<std::size_t>(std::lround(baseband.rate / spacing_hz));
    // Four frames per symbol: one of the four timings lies within an eighth of a symbol of the
    // symbol boundaries.
    constexpr std::size_t kPhases = 4;
    const std::size_t hop = std::max<std::size_t>(1, symbol / kPhases);
    const std::size_t n = baseband.samples.size();
    if (symbol < 4 || n < 2 * symbol) return 0.0;

    std::vector<std::complex<float>> turn(static_cast<std::size_t>(tones) * symbol);
    for (std::uint32_t k = 0; k < tones; ++k) {
        const double hz = first_tone_hz + k * spacing_hz;
        for (std::size_t i = 0; i < symbol; ++i) {
            const double phase = -2.0 * std::numbers::pi * hz * static_cast<double>(i) / baseband.rate;
            turn[k * symbol + i] = {static_cast<float>(std::cos(phase)), static_cast<float>(std::sin(phase))};
        }
    }
    std::vector<std::uint32_t> strongest;
    std::vector<double> total;
    std::vector<double> peak;
    for (std::size_t start = 0; start + symbol <= n; start += hop) {
        const std::complex<float>* z = baseband.samples.data() + start;
        double best = 0.0;
        double sum = 0.0;
        std::uint32_t at = 0;
        for (std::uint32_t k = 0; k < tones; ++k) {
            const std::complex<float>* w = turn.data() + k * symbol;
            float re = 0.0f;
            float im = 0.0f;
            for (std::size_t i = 0; i < symbol; ++i) {
                re += z[i].real() * w[i].real() - z[i].imag() * w[i].imag();
                im += z[i].real() * w[i].imag() + z[i].imag() * w[i].real();
            }
            const double energy = static_cast<double>(re) * re + static_cast<double>(im) * im;
            sum += energy;
            if (energy > best) {
                best = energy;
                at = k;
            }
        }
        strongest.push_back(at);
        total.push_back(sum);
        peak.push_back(best);
    }
    const std::size_t step = symbol / hop;
    std::vector<double> phase_peak(step, 0.0);
    std::vector<double> phase_total(step, 0.0);
    for (std::size_t i = 0; i < strongest.size(); ++i) {
        phase_peak[i % step] += peak[i];
        phase_total[i % step] += total[i];
    }
    std::size_t timing = 0;
    for (std::size_t p = 1; p < step; ++p)
        if (phase_peak[p] * phase_total[timing] > phase_peak[timing] * phase_total[p]) timing = p;
    double weight = 0.0;
    double held = 0.0;
    for (std::size_t i = timing; i + step < strongest.size(); i += step) {
        const double w = std::min(total[i], total[i + step]);
        weight += w;
        if (strongest[i] == strongest[i + step]) held += w;
    }
    if (!(weight > 0.0)) return 0.0;
    const double chance = 1.0 / tones;
    return (held / weight - chance) / (1.0 - chance);
}

}  // namespace sig
