#include "sig/survey/emitter_extractor.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace sig {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr int kMinTaps = 151;
constexpr int kMaxTaps = 1025;
constexpr std::uint64_t kRenormalisePeriod = 1024;
constexpr double kAudioCentreHz = 1500.0;

bool positive_finite(double x) { return std::isfinite(x) && x > 0.0; }

// The oscillators turn by complex multiplication; their magnitude drifts by rounding, so every
// kRenormalisePeriod steps it is pulled back to 1.
void advance(std::complex<float>& phasor, std::complex<float> step, std::uint64_t& count) {
    phasor *= step;
    if (++count % kRenormalisePeriod == 0) {
        const float magnitude = std::abs(phasor);
        if (magnitude > 1e-12f) phasor /= magnitude;
    }
}

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

// One filter output over the count samples starting at work. Eight interleaved partial sums
// (four complex) let the compiler use vector registers without reordering any one sum.
std::complex<float> dot(const float* taps, const std::complex<float>* work, int count) {
    const auto* w = reinterpret_cast<const float*>(work);
    float acc[8] = {};
    int k = 0;
    for (; k + 4 <= count; k += 4) {
        const float* x = w + 2 * k;
        const float* t = taps + k;
        acc[0] += t[0] * x[0];
        acc[1] += t[0] * x[1];
        acc[2] += t[1] * x[2];
        acc[3] += t[1] * x[3];
        acc[4] += t[2] * x[4];
        acc[5] += t[2] * x[5];
        acc[6] += t[3] * x[6];
        acc[7] += t[3] * x[7];
    }
    float re = (acc[0] + acc[2]) + (acc[4] + acc[6]);
    float im = (acc[1] + acc[3]) + (acc[5] + acc[7]);
    for (; k < count; ++k) {
        re += taps[k] * w[2 * k];
        im += taps[k] * w[2 * k + 1];
    }
    return {re, im};
}

// The sample at fraction p of the way from a to b, magnitude and phase each interpolated on a
// straight line (the phase the short way round). A straight line between the complex values
// themselves would cut the corner of the circle: a constant envelope whose phase turns by a
// quarter of a cycle per sample would dip by 30 % half way, and as the position slides through
// the samples at the beat of the two rates, an FM signal would look amplitude-modulated at that
// beat, noise-like and flat.
std::complex<float> interpolate(std::complex<float> a, std::complex<float> b, float p) {
    const float magnitude = (1.0f - p) * std::abs(a) + p * std::abs(b);
    const float turn = std::remainder(std::arg(b) - std::arg(a), 2.0f * static_cast<float>(kPi));
    const float angle = std::arg(a) + p * turn;
    return {magnitude * std::cos(angle), magnitude * std::sin(angle)};
}

}  // namespace

EmitterExtractor::EmitterExtractor(double input_rate_hz, double offset_hz, double output_rate_hz, double passband_hz)
    : input_rate_(input_rate_hz), output_rate_(output_rate_hz), offset_hz_(offset_hz) {
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
    delay_.assign(static_cast<std::size_t>(tap_count_ - 1), {0.0f, 0.0f});
    mix_step_ = unit_phasor(-2.0 * kPi * offset_hz / input_rate_hz);
    audio_step_ = unit_phasor(2.0 * kPi * kAudioCentreHz / output_rate_hz);
}

void EmitterExtractor::retune(double offset_hz) {
    if (!std::isfinite(offset_hz)) throw std::invalid_argument("Emitter extractor offset must be finite");
    offset_hz_ = offset_hz;
    mix_step_ = unit_phasor(-2.0 * kPi * offset_hz / input_rate_);
}

void EmitterExtractor::emit(std::complex<float> y, std::vector<float>& audio,
                            std::vector<std::complex<float>>* complex_out) {
    if (complex_out != nullptr) complex_out->push_back(y);
    audio.push_back((y * audio_phasor_).real());
    advance(audio_phasor_, audio_step_, audio_count_);
}

void EmitterExtractor::process(const std::complex<float>* input, std::size_t n, std::vector<float>& audio,
                               std::vector<std::complex<float>>* complex_out) {
    if (n == 0 || input == nullptr) return;
    const std::size_t history = delay_.size();
    work_.resize(history + n);
    std::copy(delay_.begin(), delay_.end(), work_.begin());
    for (std::size_t i = 0; i < n; ++i) {
        work_[history + i] = input[i] * mix_phasor_;
        advance(mix_phasor_, mix_step_, mixed_count_);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (++phase_ < decimation_) continue;
        phase_ = 0;
        // The T samples ending at new sample i start at work index i.
        const std::complex<float> y = dot(taps_.data(), work_.data() + i, tap_count_);
        if (!resampling_) {
            emit(y, audio, complex_out);
            continue;
        }
        if (!have_previous_) {
            previous_ = y;
            have_previous_ = true;
            position_ = 0.0;
            continue;
        }
        while (position_ <= 1.0) {
            emit(interpolate(previous_, y, static_cast<float>(position_)), audio, complex_out);
            position_ += resampling_step_;
        }
        position_ -= 1.0;
        previous_ = y;
    }
    std::copy(work_.end() - static_cast<std::ptrdiff_t>(history), work_.end(), delay_.begin());
}

}  // namespace sig
