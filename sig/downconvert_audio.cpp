#include "sig/downconvert_audio.hpp"

#include <cmath>
#include <numbers>
#include <vector>

namespace sig {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kRate = 12000.0;

// Complex taps: a Blackman-windowed sinc lowpass of the given cutoff, normalised to unit gain,
// turned by the mixer so that it passes the band around centre_hz.
void make_taps(std::size_t count, double centre_hz, double cutoff_hz, std::vector<float>& re, std::vector<float>& im) {
    const double intervals = static_cast<double>(count - 1);
    const double middle = intervals / 2.0;
    std::vector<double> h(count);
    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = static_cast<double>(i);
        const double w = 0.42 - 0.5 * std::cos(2.0 * kPi * x / intervals) + 0.08 * std::cos(4.0 * kPi * x / intervals);
        const double u = (x - middle) * 2.0 * cutoff_hz / kRate;
        h[i] = std::fabs(u) < 1e-12 ? w : w * std::sin(kPi * u) / (kPi * u);
        sum += h[i];
    }
    re.resize(count);
    im.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double theta = -2.0 * kPi * centre_hz * static_cast<double>(i) / kRate;
        const double g = h[i] / sum;
        re[i] = static_cast<float>(g * std::cos(theta));
        im[i] = static_cast<float>(g * std::sin(theta));
    }
}

Baseband downconvert(const float* audio, std::size_t n, int decimation, double centre_hz, double cutoff_hz,
                     std::size_t taps) {
    Baseband result;
    if (audio == nullptr || n < taps || decimation < 1) return result;
    std::vector<float> re, im;
    make_taps(taps, centre_hz, cutoff_hz, re, im);
    const auto step = static_cast<std::size_t>(decimation);
    const std::size_t count = (n - taps) / step + 1;
    result.samples.resize(count);
    result.rate = kRate / decimation;
    const float* rp = re.data();
    const float* ip = im.data();
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t s = k * step;
        const float* x = audio + s;
        float r0 = 0, r1 = 0, r2 = 0, r3 = 0, i0 = 0, i1 = 0, i2 = 0, i3 = 0;
        // Four partial sums let the compiler keep the products in flight; the tail is counted
        // once, up front, so the optimiser sees two plainly bounded loops.
        const std::size_t whole = taps - taps % 4;
        for (std::size_t i = 0; i < whole; i += 4) {
            r0 += rp[i] * x[i];
            i0 += ip[i] * x[i];
            r1 += rp[i + 1] * x[i + 1];
            i1 += ip[i + 1] * x[i + 1];
            r2 += rp[i + 2] * x[i + 2];
            i2 += ip[i + 2] * x[i + 2];
            r3 += rp[i + 3] * x[i + 3];
            i3 += ip[i + 3] * x[i + 3];
        }
        for (std::size_t i = whole; i < taps; ++i) {
            r0 += rp[i] * x[i];
            i0 += ip[i] * x[i];
        }
        const std::complex<float> a{(r0 + r1) + (r2 + r3), (i0 + i1) + (i2 + i3)};
        // The taps start the mixer at phase 0 for every output; turning back by the phase the
        // mixer has reached at input s keeps it running continuously from input 0.
        const double t = static_cast<double>(s) * centre_hz / kRate;
        const double phase = -2.0 * kPi * (t - std::floor(t));
        result.samples[k] = a * std::complex<float>(static_cast<float>(std::cos(phase)), static_cast<float>(std::sin(phase)));
    }
    return result;
}

}  // namespace

int baseband_decimation(double needed_rate) {
    if (needed_rate <= 500.0) return 24;
    if (needed_rate <= 1000.0) return 12;
    if (needed_rate <= 1500.0) return 8;
    if (needed_rate <= 2000.0) return 6;
    return 4;
}

Baseband downconvert_audio(const float* audio, std::size_t n, int decimation, double centre_hz, double cutoff_hz) {
    return downconvert(audio, n, decimation, centre_hz, cutoff_hz, 384);
}

Baseband downconvert_audio_1900(const float* audio, std::size_t n, int decimation) {
    return downconvert(audio, n, decimation, 1900.0, 480.0, 192);
}

}  // namespace sig
