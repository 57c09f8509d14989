#pragma once

// Cuts one emitter out of the survey's wideband complex stream: a mixer moves the emitter to
// 0 Hz, a Blackman-windowed sinc low-pass evaluated once per output decimates, and when the
// integer decimation misses the wanted rate an interpolator between neighbouring outputs
// (magnitude and phase each on a straight line) resamples to it exactly. Two
// outputs: the complex baseband at the output rate and real audio with the emitter at 1500 Hz.
// The audio is the upper sideband of a dial 1500 Hz below the emitter: what the passband holds
// further below than that is left out rather than mirrored into the audio.
//
// All state (delay line, decimation phase, both oscillators, interpolation position) carries
// over between calls, so a stream cut into blocks of any size gives the same output as one long
// block. A plain object of one thread; process() allocates only when a block is longer than any
// before it.

#include <array>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sig/survey/upper_sideband_audio.hpp"

namespace sig {

class EmitterExtractor {
public:
    // input_rate_hz and output_rate_hz above 0, passband_hz above 0 (all finite); anything else
    // throws std::invalid_argument. offset_hz is the emitter's frequency relative to the input's
    // centre.
    EmitterExtractor(double input_rate_hz, double offset_hz, double output_rate_hz, double passband_hz);

    // Appends the outputs of n input samples to audio and, when given, to complex_out. n = 0
    // changes nothing.
    void process(const std::complex<float>* input, std::size_t n, std::vector<float>& audio,
                 std::vector<std::complex<float>>* complex_out);

    // Follows a drifting emitter: only the mixing frequency changes; the mixer's phase, the
    // filter and its delay line run on, so the output does not jump.
    void retune(double offset_hz);

    double input_rate() const { return input_rate_; }
    double output_rate() const { return output_rate_; }
    int decimation() const { return decimation_; }
    double decimated_rate() const { return decimated_rate_; }
    bool resampling() const { return resampling_; }
    double resampling_step() const { return resampling_step_; }
    int tap_count() const { return tap_count_; }
    const std::vector<float>& taps() const { return taps_; }
    double mixing_offset() const { return offset_hz_; }

private:
    // An oscillator turning by a fixed single-precision step per sample, pulled back to unit
    // magnitude whenever its sample count reaches a multiple of 1024. Its phasor at a sample is
    // the phasor at the start of the current stretch of samples times a power of the step from a
    // table, so the samples of a stretch do not wait on one another (the mixer's loop
    // vectorises), and the stretch phasor runs on in double precision, so the phase does not
    // wander with rounding as a float phasor multiplied sample after sample does.
    class Oscillator {
    public:
        static constexpr std::size_t kStretch = 64;

        explicit Oscillator(std::complex<float> step) { set_powers(step); }
        // The phase runs on; the new step applies from the current sample.
        void retune(std::complex<float> step);
        // Samples left in the current stretch (at least 1).
        std::size_t room() const { return static_cast<std::size_t>(stretch_end() - count_); }
        // The stretch phasor and the powers of the step from the current sample on; valid for
        // room() samples.
        std::complex<float> base() const { return std::complex<float>(base_); }
        const float* power_re() const { return power_re_.data() + (count_ - origin_); }
        const float* power_im() const { return power_im_.data() + (count_ - origin_); }
        std::complex<float> phasor() const;
        // k at most room().
        void advance(std::size_t k);

    private:
        std::uint64_t stretch_end() const { return (count_ / kStretch + 1) * kStretch; }
        void set_powers(std::complex<float> step);

        std::complex<float> step_;
        std::complex<double> base_{1.0, 0.0};  // the phasor at sample origin_
        std::uint64_t origin_ = 0;             // the stretch's start, or the last retune within it
        std::uint64_t count_ = 0;              // samples turned so far
        std::array<std::complex<double>, kStretch + 1> powers_{};
        std::array<float, kStretch + 1> power_re_{};
        std::array<float, kStretch + 1> power_im_{};
    };

    void mix(const std::complex<float>* input, std::size_t n, float* re, float* im);
    // Hands out one output: to the complex output, and shifted to 1500 Hz for the audio.
    void emit(std::complex<float> y, std::vector<std::complex<float>>* complex_out);

    double input_rate_;
    double output_rate_;
    int decimation_ = 1;
    double decimated_rate_ = 0.0;
    bool resampling_ = false;
    double resampling_step_ = 1.0;
    int tap_count_ = 0;
    std::vector<float> taps_;
    // Mixed samples, real and imaginary parts apart: the last T - 1 of the previous call, then
    // the current block.
    std::vector<float> work_re_;
    std::vector<float> work_im_;
    double offset_hz_ = 0.0;
    Oscillator mixer_;
    Oscillator audio_oscillator_;
    UpperSidebandAudio sideband_;
    std::vector<std::complex<float>> shifted_;  // this call's outputs shifted, for the audio
    int phase_ = 0;
    float previous_magnitude_ = 0.0f;
    float previous_angle_ = 0.0f;
    bool have_previous_ = false;
    double position_ = 0.0;
};

}  // namespace sig
