#include "sig/survey/emitter_extractor.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <stdexcept>

namespace sig {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr int kMinTaps = 151;
constexpr int kMaxTaps = 1025;
constexpr std::uint64_t kRenormalisePeriod = 1024;
constexpr double kAudioCentreHz = 1500.0;

// Eight floats: one AVX register, or two SSE registers of the baseline x86-64. Each lane does the
// arithmetic one sample or one partial sum would do alone, and the same lanes are summed in the
// same order whichever registers carry them, so the results do not depend on the machine.
using Lanes = float __attribute__((vector_size(8 * sizeof(float))));
constexpr std::size_t kLanes = 8;

// The loops that carry the extractor are built twice, for AVX2 and for the baseline, and the
// loader picks the one the processor runs; vectors travel only inside them and through memory
// (no vector arguments, whose passing would differ between the two).
#define NORVANE_WIDE_LOOP __attribute__((target_clones("avx2", "default")))

bool positive_finite(double x) { return std::isfinite(x) && x > 0.0; }

std::complex<float> unit_phasor(double radians_per_sample) {
    const auto angle = static_cast<float>(radians_per_sample);
    return {std::cos(angle), std::sin(angle)};
}

// Blackman-windowed sinc of `count` taps, cut-off cutoff_hz at input_rate_hz, unit gain at 0 Hz.
std::vector<float> design_taps(int count, double cutoff_hz, double input_rate_hz) {
    std::vector<double> h(static_cast<std::size_t>(count));
    const double intervals = static_cast<double>(count - 1);
    const double twice_cutoff = 2.0 * cutoff_hz / input_rate_hz;
    double sum = 0.0;
    for (int n = 0; n < count; ++n) {
        const double m = n - intervals / 2.0;
        const double ideal = std::fabs(twice_cutoff * m) < 1e-9 ? twice_cutoff
                                                                 : std::sin(kPi * twice_cutoff * m) / (kPi * m);
        const double window =
            0.42 - 0.5 * std::cos(2.0 * kPi * n / intervals) + 0.08 * std::cos(4.0 * kPi * n / intervals);
        h[static_cast<std::size_t>(n)] = ideal * window;
        sum += ideal * window;
    }
    std::vector<float> taps(h.size());
    for (std::size_t i = 0; i < h.size(); ++i) taps[i] = static_cast<float>(h[i] / sum);
    return taps;
}

// One filter output over the count samples starting at re and im: 32 partial sums for each part
// (four registers), enough independent additions to keep the adders busy, added up in a fixed
// order.
NORVANE_WIDE_LOOP std::complex<float> dot(const float* taps, const float* re, const float* im, int count) {
    Lanes r0{}, r1{}, r2{}, r3{}, i0{}, i1{}, i2{}, i3{};
    Lanes t0, t1, t2, t3, x0, x1, x2, x3;
    int k = 0;
    for (; k + 32 <= count; k += 32) {
        std::memcpy(&t0, taps + k, sizeof t0);
        std::memcpy(&t1, taps + k + 8, sizeof t1);
        std::memcpy(&t2, taps + k + 16, sizeof t2);
        std::memcpy(&t3, taps + k + 24, sizeof t3);
        std::memcpy(&x0, re + k, sizeof x0);
        std::memcpy(&x1, re + k + 8, sizeof x1);
        std::memcpy(&x2, re + k + 16, sizeof x2);
        std::memcpy(&x3, re + k + 24, sizeof x3);
        r0 += t0 * x0;
        r1 += t1 * x1;
        r2 += t2 * x2;
        r3 += t3 * x3;
        std::memcpy(&x0, im + k, sizeof x0);
        std::memcpy(&x1, im + k + 8, sizeof x1);
        std::memcpy(&x2, im + k + 16, sizeof x2);
        std::memcpy(&x3, im + k + 24, sizeof x3);
        i0 += t0 * x0;
        i1 += t1 * x1;
        i2 += t2 * x2;
        i3 += t3 * x3;
    }
    for (; k + 8 <= count; k += 8) {
        std::memcpy(&t0, taps + k, sizeof t0);
        std::memcpy(&x0, re + k, sizeof x0);
        std::memcpy(&x1, im + k, sizeof x1);
        r0 += t0 * x0;
        i0 += t0 * x1;
    }
    const Lanes rs = (r0 + r1) + (r2 + r3);
    const Lanes is = (i0 + i1) + (i2 + i3);
    float sum_re = ((rs[0] + rs[1]) + (rs[2] + rs[3])) + ((rs[4] + rs[5]) + (rs[6] + rs[7]));
    float sum_im = ((is[0] + is[1]) + (is[2] + is[3])) + ((is[4] + is[5]) + (is[6] + is[7]));
    for (; k < count; ++k) {
        sum_re += taps[k] * re[k];
        sum_im += taps[k] * im[k];
    }
    return {sum_re, sum_im};
}

// len samples of x (interleaved) times the phasors b * (tr + i ti), the parts of the products
// written apart, eight samples at once.
NORVANE_WIDE_LOOP void mix_stretch(const float* x, float br, float bi, const float* tr, const float* ti,
                                   std::size_t len, float* re, float* im) {
    std::size_t j = 0;
    for (; j + kLanes <= len; j += kLanes) {
        Lanes lo, hi, pr_t, pi_t;
        std::memcpy(&lo, x + 2 * j, sizeof lo);
        std::memcpy(&hi, x + 2 * j + kLanes, sizeof hi);
        const Lanes xr = __builtin_shufflevector(lo, hi, 0, 2, 4, 6, 8, 10, 12, 14);
        const Lanes xi = __builtin_shufflevector(lo, hi, 1, 3, 5, 7, 9, 11, 13, 15);
        std::memcpy(&pr_t, tr + j, sizeof pr_t);
        std::memcpy(&pi_t, ti + j, sizeof pi_t);
        const Lanes pr = br * pr_t - bi * pi_t;
        const Lanes pi = br * pi_t + bi * pr_t;
        const Lanes yr = xr * pr - xi * pi;
        const Lanes yi = xr * pi + xi * pr;
        std::memcpy(re + j, &yr, sizeof yr);
        std::memcpy(im + j, &yi, sizeof yi);
    }
    for (; j < len; ++j) {
        const float xr = x[2 * j], xi = x[2 * j + 1];
        const float pr = br * tr[j] - bi * ti[j];
        const float pi = br * ti[j] + bi * tr[j];
        re[j] = xr * pr - xi * pi;
        im[j] = xr * pi + xi * pr;
    }
}

}  // namespace

void EmitterExtractor::Oscillator::set_powers(std::complex<float> step) {
    step_ = step;
    const std::complex<double> s(step);
    powers_[0] = {1.0, 0.0};
    for (std::size_t k = 1; k < powers_.size(); ++k) powers_[k] = powers_[k - 1] * s;
    for (std::size_t k = 0; k < powers_.size(); ++k) {
        power_re_[k] = static_cast<float>(powers_[k].real());
        power_im_[k] = static_cast<float>(powers_[k].imag());
    }
}

void EmitterExtractor::Oscillator::retune(std::complex<float> step) {
    if (step == step_) return;
    base_ *= powers_[count_ - origin_];
    origin_ = count_;
    set_powers(step);
}

std::complex<float> EmitterExtractor::Oscillator::phasor() const {
    const std::complex<float> b = base();
    const float pr = *power_re();
    const float pi = *power_im();
    return {b.real() * pr - b.imag() * pi, b.real() * pi + b.imag() * pr};
}

void EmitterExtractor::Oscillator::advance(std::size_t k) {
    const std::uint64_t end = stretch_end();
    count_ += k;
    if (count_ < end) return;
    base_ *= powers_[end - origin_];
    origin_ = end;
    if (end % kRenormalisePeriod == 0) {
        const double magnitude = std::abs(base_);
        if (magnitude > 1e-12) base_ /= magnitude;
    }
}

EmitterExtractor::EmitterExtractor(double input_rate_hz, double offset_hz, double output_rate_hz, double passband_hz)
    : input_rate_(input_rate_hz),
      output_rate_(output_rate_hz),
      offset_hz_(offset_hz),
      mixer_(unit_phasor(-2.0 * kPi * offset_hz / input_rate_hz)),
      audio_oscillator_(unit_phasor(2.0 * kPi * kAudioCentreHz / output_rate_hz)) {
    if (!positive_finite(input_rate_hz) || !positive_finite(output_rate_hz))
        throw std::invalid_argument("Emitter extractor rates must be positive");
    if (!positive_finite(passband_hz)) throw std::invalid_argument("Emitter extractor passband must be positive");
    if (!std::isfinite(offset_hz)) throw std::invalid_argument("Emitter extractor offset must be finite");
    const double ratio = std::round(input_rate_hz / output_rate_hz);
    // A ratio beyond an int's range cannot be a survey's; it would overflow lround's result.
    if (ratio > 1e8) throw std::invalid_argument("Emitter extractor output rate is too low for its input");
    decimation_ = std::max(1, static_cast<int>(ratio));
    decimated_rate_ = input_rate_hz / decimation_;
    resampling_ = std::fabs(decimated_rate_ - output_rate_hz) > 0.001;
    resampling_step_ = decimated_rate_ / output_rate_hz;
    tap_count_ = std::clamp(8 * decimation_ + 1, kMinTaps, kMaxTaps);
    const double cutoff_hz = std::min(0.5 * passband_hz, 0.45 * decimated_rate_);
    taps_ = design_taps(tap_count_, cutoff_hz, input_rate_hz);
    work_re_.assign(static_cast<std::size_t>(tap_count_ - 1), 0.0f);
    work_im_.assign(static_cast<std::size_t>(tap_count_ - 1), 0.0f);
}

void EmitterExtractor::retune(double offset_hz) {
    if (!std::isfinite(offset_hz)) throw std::invalid_argument("Emitter extractor offset must be finite");
    offset_hz_ = offset_hz;
    mixer_.retune(unit_phasor(-2.0 * kPi * offset_hz / input_rate_));
}

// x times the mixer's phasor, one stretch of the oscillator at a time; within a stretch each
// sample's phasor is the stretch phasor times its power of the step, both products written out
// (no library call for the rare infinite operand).
void EmitterExtractor::mix(const std::complex<float>* input, std::size_t n, float* re, float* im) {
    const auto* x = reinterpret_cast<const float*>(input);
    std::size_t i = 0;
    while (i < n) {
        const std::size_t len = std::min(n - i, mixer_.room());
        const std::complex<float> b = mixer_.base();
        mix_stretch(x + 2 * i, b.real(), b.imag(), mixer_.power_re(), mixer_.power_im(), len, re + i, im + i);
        mixer_.advance(len);
        i += len;
    }
}

void EmitterExtractor::emit(std::complex<float> y, std::vector<std::complex<float>>* complex_out) {
    if (complex_out != nullptr) complex_out->push_back(y);
    const std::complex<float> p = audio_oscillator_.phasor();
    shifted_.push_back({y.real() * p.real() - y.imag() * p.imag(), y.real() * p.imag() + y.imag() * p.real()});
    audio_oscillator_.advance(1);
}

void EmitterExtractor::process(const std::complex<float>* input, std::size_t n, std::vector<float>& audio,
                               std::vector<std::complex<float>>* complex_out) {
    if (n == 0 || input == nullptr) return;
    const std::size_t history = static_cast<std::size_t>(tap_count_ - 1);
    work_re_.resize(history + n);
    work_im_.resize(history + n);
    mix(input, n, work_re_.data() + history, work_im_.data() + history);

    // The first new sample that completes a decimation period; the T samples ending at new sample
    // i start at work index i.
    const auto d = static_cast<std::size_t>(decimation_);
    for (std::size_t i = d - 1 - static_cast<std::size_t>(phase_); i < n; i += d) {
        const std::complex<float> y = dot(taps_.data(), work_re_.data() + i, work_im_.data() + i, tap_count_);
        if (!resampling_) {
            emit(y, complex_out);
            continue;
        }
        // Magnitude and phase of each decimated sample are taken once, for every output
        // interpolated between it and its neighbours.
        const float magnitude = std::abs(y);
        const float angle = std::arg(y);
        if (!have_previous_) {
            previous_magnitude_ = magnitude;
            previous_angle_ = angle;
            have_previous_ = true;
            position_ = 0.0;
            continue;
        }
        // Between neighbouring samples the magnitude and the phase (the short way round) each
        // move on a straight line. A straight line between the complex values themselves would
        // cut the corner of the circle: a constant envelope whose phase turns by a quarter of a
        // cycle per sample would dip by 30 % half way, and as the position slides through the
        // samples at the beat of the two rates, an FM signal would look amplitude-modulated at
        // that beat, noise-like and flat.
        const float turn = std::remainder(angle - previous_angle_, 2.0f * static_cast<float>(kPi));
        while (position_ <= 1.0) {
            const auto p = static_cast<float>(position_);
            const float m = (1.0f - p) * previous_magnitude_ + p * magnitude;
            const float a = previous_angle_ + p * turn;
            emit({m * std::cos(a), m * std::sin(a)}, complex_out);
            position_ += resampling_step_;
        }
        position_ -= 1.0;
        previous_magnitude_ = magnitude;
        previous_angle_ = angle;
    }
    sideband_.process(shifted_.data(), shifted_.size(), audio);
    shifted_.clear();
    phase_ = static_cast<int>((static_cast<std::size_t>(phase_) + n) % d);
    std::copy(work_re_.end() - static_cast<std::ptrdiff_t>(history), work_re_.end(), work_re_.begin());
    std::copy(work_im_.end() - static_cast<std::ptrdiff_t>(history), work_im_.end(), work_im_.begin());
}

}  // namespace sig
