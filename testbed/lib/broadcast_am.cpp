#include "testbed/lib/broadcast_am.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace testbed {

std::vector<float> broadcast_am(double seconds, const BroadcastAm& signal) {
    constexpr double pi = std::numbers::pi;
    const auto count = static_cast<std::size_t>(std::llround(seconds * signal.rate_hz));
    std::mt19937_64 engine(signal.seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.2, 1.0);

    // Programme: white noise through a windowed-sinc band-pass.
    constexpr int half = 128;
    std::vector<double> taps(2 * half + 1);
    for (int k = -half; k <= half; ++k) {
        const double t = k / signal.rate_hz;
        const auto sinc = [&](double f) { return k == 0 ? 2.0 * f / signal.rate_hz : std::sin(2.0 * pi * f * t) / (pi * k); };
        const double window = 0.42 + 0.5 * std::cos(pi * k / half) + 0.08 * std::cos(2.0 * pi * k / half);
        taps[static_cast<std::size_t>(k + half)] = (sinc(signal.audio_high_hz) - sinc(signal.audio_low_hz)) * window;
    }
    std::vector<double> noise(count + taps.size());
    for (double& x : noise) x = normal(engine);
    std::vector<double> programme(count);
    double peak = 1e-12;
    for (std::size_t n = 0; n < count; ++n) {
        double sum = 0.0;
        for (std::size_t k = 0; k < taps.size(); ++k) sum += taps[k] * noise[n + k];
        programme[n] = sum;
    }
    // Syllables: a loudness that moves to a new random level every 1/syllable_hz seconds,
    // smoothly.
    const auto syllable = static_cast<std::size_t>(signal.rate_hz / signal.syllable_hz);
    std::vector<double> levels(count / syllable + 2);
    for (double& l : levels) l = uniform(engine);
    for (std::size_t n = 0; n < count; ++n) {
        const std::size_t s = n / syllable;
        const double within = static_cast<double>(n % syllable) / static_cast<double>(syllable);
        const double loudness = levels[s] + (levels[s + 1] - levels[s]) * (0.5 - 0.5 * std::cos(pi * within));
        programme[n] *= loudness;
        peak = std::max(peak, std::fabs(programme[n]));
    }
    std::vector<float> out(count);
    for (std::size_t n = 0; n < count; ++n) {
        const double carrier = std::cos(2.0 * pi * signal.carrier_hz * static_cast<double>(n) / signal.rate_hz);
        out[n] = static_cast<float>(signal.amplitude * (1.0 + signal.depth * programme[n] / peak) * carrier);
    }
    return out;
}

std::vector<float> amplitude_modulate(const std::vector<float>& programme, const BroadcastAm& signal) {
    std::vector<float> out(programme.size());
    for (std::size_t n = 0; n < programme.size(); ++n) {
        const double carrier =
            std::cos(2.0 * std::numbers::pi * signal.carrier_hz * static_cast<double>(n) / signal.rate_hz);
        out[n] = static_cast<float>(signal.amplitude * (1.0 + signal.depth * programme[n]) * carrier);
    }
    return out;
}

}  // namespace testbed
