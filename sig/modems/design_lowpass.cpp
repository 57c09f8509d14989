#include "sig/modems/design_lowpass.hpp"

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace sig {
namespace {

constexpr double kPi = std::numbers::pi;

// Power series of the modified Bessel function of order 0. The term limits keep every machine
// on the same number of terms, so the taps come out bit for bit alike.
double bessel_i0(double x) {
    const double y = (x / 2.0) * (x / 2.0);
    double sum = 1.0 + y;
    double term = y;
    if (term < 1e-15 * sum) return sum;
    for (int m = 2; m <= 79; ++m) {
        term *= y / (static_cast<double>(m) * m);
        sum += term;
        if (term < 1e-15 * sum) break;
    }
    return sum;
}

double sinc_tap(double cutoff, double t) {
    return t == 0.0 ? 2.0 * cutoff : std::sin(2.0 * kPi * cutoff * t) / (kPi * t);
}

// The double sum of the unrounded products, not of the float taps, sets the gain.
std::vector<float> normalised(std::vector<float> taps, double sum) {
    for (float& tap : taps) tap = static_cast<float>(static_cast<double>(tap) / sum);
    return taps;
}

}  // namespace

std::vector<float> design_kaiser_lowpass(int tap_count, double cutoff) {
    if (tap_count < 2) throw std::runtime_error("Kaiser lowpass needs at least 2 taps");
    if (!(cutoff > 0.0 && cutoff < 0.5))
        throw std::runtime_error("Kaiser lowpass cutoff must lie between 0 and 0.5 cycles per sample");
    constexpr double beta = 7.0;
    const double i0_beta = bessel_i0(beta);
    const double half = (tap_count - 1) / 2.0;
    std::vector<float> taps(static_cast<std::size_t>(tap_count));
    double sum = 0.0;
    for (int k = 0; k < tap_count; ++k) {
        const double t = k - half;
        const double r = 2.0 * t / (tap_count - 1);
        const double inside = 1.0 - r * r;
        const double window = inside > 0.0 ? bessel_i0(beta * std::sqrt(inside)) / i0_beta : 1.0 / i0_beta;
        const double value = window * sinc_tap(cutoff, t);
        taps[static_cast<std::size_t>(k)] = static_cast<float>(value);
        sum += value;
    }
    return normalised(std::move(taps), sum);
}

std::vector<float> design_blackman_lowpass(double cutoff_hz) {
    if (!(cutoff_hz > 0.0 && cutoff_hz < 6000.0))
        throw std::runtime_error("Blackman lowpass cutoff must lie between 0 and 6000 Hz");
    constexpr int count = 81;
    const double f = cutoff_hz / 12000.0;
    std::vector<float> taps(count);
    double sum = 0.0;
    for (int k = 0; k < count; ++k) {
        const double t = k - 40;
        const double window = 0.42 - 0.5 * std::cos(2.0 * kPi * k / 80.0) + 0.08 * std::cos(4.0 * kPi * k / 80.0);
        const double value = window * sinc_tap(f, t);
        taps[static_cast<std::size_t>(k)] = static_cast<float>(value);
        sum += value;
    }
    return normalised(std::move(taps), sum);
}

}  // namespace sig
