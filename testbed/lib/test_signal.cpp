#include "testbed/lib/test_signal.hpp"

#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>

namespace testbed {
namespace {

constexpr double kPi = std::numbers::pi;

double blackman(double k, double length) {
    return 0.42 - 0.5 * std::cos(2.0 * kPi * k / length) + 0.08 * std::cos(4.0 * kPi * k / length);
}

}  // namespace

double mean_power(const std::vector<float>& samples) {
    if (samples.empty()) return 0.0;
    double sum = 0.0;
    for (const float x : samples) sum += static_cast<double>(x) * x;
    return sum / static_cast<double>(samples.size());
}

double noise_rms_for_snr(double signal_power, double snr_db, double rate_hz) {
    const double noise_in_band = signal_power / std::pow(10.0, snr_db / 10.0);
    return std::sqrt(noise_in_band * (rate_hz / 2.0) / kSnrBandwidthHz);
}

std::vector<float> white_noise(std::size_t count, double rms, std::uint64_t seed) {
    std::vector<float> out(count);
    std::mt19937_64 engine(seed);
    std::normal_distribution<double> normal(0.0, rms);
    for (float& x : out) x = static_cast<float>(normal(engine));
    return out;
}

void add_white_noise(std::vector<float>& samples, double rms, std::uint64_t seed) {
    const std::vector<float> noise = white_noise(samples.size(), rms, seed);
    for (std::size_t k = 0; k < samples.size(); ++k) samples[k] += noise[k];
}

std::vector<float> shift_frequency(const std::vector<float>& samples, double offset_hz, double drift_hz_per_s,
                                   double rate_hz) {
    // Windowed Hilbert transformer: only odd taps are non-zero.
    constexpr int half = 255;
    std::vector<double> hilbert(2 * half + 1, 0.0);
    for (int n = -half; n <= half; ++n)
        if (n % 2 != 0) hilbert[n + half] = 2.0 / (kPi * n) * blackman(n + half, 2.0 * half);

    const std::size_t count = samples.size();
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        double quadrature = 0.0;
        for (int n = -half; n <= half; n += 2) {
            const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(i) - n;
            if (j >= 0 && j < static_cast<std::ptrdiff_t>(count)) quadrature += hilbert[n + half] * samples[j];
        }
        const double t = static_cast<double>(i) / rate_hz;
        const double phase = 2.0 * kPi * (offset_hz * t + 0.5 * drift_hz_per_s * t * t);
        out[i] = static_cast<float>(samples[i] * std::cos(phase) - quadrature * std::sin(phase));
    }
    return out;
}

std::vector<float> apply_clock_error(const std::vector<float>& samples, double ppm) {
    const double ratio = 1.0 + ppm * 1e-6;
    if (!(ratio > 0.5 && ratio < 2.0)) throw std::runtime_error("clock error out of range");
    constexpr int half = 32;
    const auto count = static_cast<std::size_t>(std::floor(static_cast<double>(samples.size()) / ratio));
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double position = static_cast<double>(i) * ratio;
        const auto centre = static_cast<std::ptrdiff_t>(std::floor(position));
        double sum = 0.0;
        for (std::ptrdiff_t j = centre - half + 1; j <= centre + half; ++j) {
            if (j < 0 || j >= static_cast<std::ptrdiff_t>(samples.size())) continue;
            const double t = position - static_cast<double>(j);
            const double sinc = t == 0.0 ? 1.0 : std::sin(kPi * t) / (kPi * t);
            sum += samples[static_cast<std::size_t>(j)] * sinc * blackman(t + half, 2.0 * half);
        }
        out[i] = static_cast<float>(sum);
    }
    return out;
}

std::vector<float> silence(double seconds, double rate_hz) {
    return std::vector<float>(static_cast<std::size_t>(std::llround(seconds * rate_hz)), 0.0f);
}

std::vector<float> concatenate(std::vector<float> a, const std::vector<float>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace testbed
