#include "testbed/lib/speech_like.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace testbed {
namespace {

// A two-pole resonator at f with bandwidth b, unit gain near its peak.
struct Resonator {
    double a1 = 0.0, a2 = 0.0, gain = 0.0, y1 = 0.0, y2 = 0.0;
    Resonator(double f, double b, double rate) {
        const double r = std::exp(-std::numbers::pi * b / rate);
        a1 = 2.0 * r * std::cos(2.0 * std::numbers::pi * f / rate);
        a2 = -r * r;
        gain = 1.0 - r;
    }
    double step(double x) {
        const double y = x + a1 * y1 + a2 * y2;
        y2 = y1;
        y1 = y;
        return gain * y;
    }
};

}  // namespace

std::vector<float> speech_like(double seconds, const SpeechLike& speech) {
    constexpr double pi = std::numbers::pi;
    const double rate = speech.rate_hz;
    const auto count = static_cast<std::size_t>(std::llround(seconds * rate));
    std::mt19937_64 engine(speech.seed);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);

    std::vector<double> raw(count, 0.0);
    double pitch = 100.0 + 120.0 * uniform(engine);
    double phase = 0.0;
    std::size_t n = 0;
    while (n < count) {
        const auto length = static_cast<std::size_t>((0.15 + 0.2 * uniform(engine)) * rate);
        const double kind = uniform(engine);
        const bool silent = kind < 0.2;
        const bool unvoiced = !silent && kind < 0.4;
        const double target = 100.0 + 120.0 * uniform(engine);
        Resonator first(300.0 + 500.0 * uniform(engine), 80.0, rate);
        Resonator second(900.0 + 1400.0 * uniform(engine), 120.0, rate);
        for (std::size_t k = 0; k < length && n < count; ++k, ++n) {
            if (silent) continue;
            pitch += 0.0005 * (target - pitch);
            double source;
            if (unvoiced) {
                source = 0.3 * normal(engine);
            } else {
                phase += pitch / rate;
                if (phase >= 1.0) phase -= 1.0;
                source = phase < 0.1 ? 1.0 : -0.11;
            }
            const double envelope = std::sin(pi * static_cast<double>(k) / static_cast<double>(length));
            raw[n] = envelope * (first.step(source) + 0.5 * second.step(source));
        }
    }

    // Band-limited by a Blackman-windowed sinc band-pass.
    constexpr int half = 128;
    std::vector<double> taps(2 * half + 1);
    for (int k = -half; k <= half; ++k) {
        const double t = k / rate;
        const auto sinc = [&](double f) { return k == 0 ? 2.0 * f / rate : std::sin(2.0 * pi * f * t) / (pi * k); };
        const double window = 0.42 + 0.5 * std::cos(pi * k / half) + 0.08 * std::cos(2.0 * pi * k / half);
        taps[static_cast<std::size_t>(k + half)] = (sinc(speech.high_hz) - sinc(speech.low_hz)) * window;
    }
    std::vector<double> filtered(count, 0.0);
    double peak = 1e-12;
    for (std::size_t m = 0; m < count; ++m) {
        double sum = 0.0;
        for (int k = -half; k <= half; ++k) {
            const long j = static_cast<long>(m) + k;
            if (j < 0 || j >= static_cast<long>(count)) continue;
            sum += taps[static_cast<std::size_t>(k + half)] * raw[static_cast<std::size_t>(j)];
        }
        filtered[m] = sum;
        peak = std::max(peak, std::fabs(sum));
    }
    std::vector<float> out(count);
    for (std::size_t m = 0; m < count; ++m) out[m] = static_cast<float>(filtered[m] / peak);
    return out;
}

}  // namespace testbed
