#pragma once

// Cuts one emitter out of the survey's wideband complex stream: a mixer moves the emitter to
// 0 Hz, a Blackman-windowed sinc low-pass evaluated once per output decimates, and when the
// integer decimation misses the wanted rate an interpolator between neighbouring outputs
// (magnitude and phase each on a straight line) resamples to it exactly. Two
// outputs: the complex baseband at the output rate and real audio with the emitter at 1500 Hz.
//
// All state (delay line, decimation phase, both oscillators, interpolation position) carries
// over between calls, so a stream cut into blocks of any size gives the same output as one long
// block. A plain object of one thread; process() allocates only when a block is longer than any
// before it.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <vector>

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
    void emit(std::complex<float> y, std::vector<float>& audio, std::vector<std::complex<float>>* complex_out);

    double input_rate_;
    double output_rate_;
    int decimation_ = 1;
    double decimated_rate_ = 0.0;
    bool resampling_ = false;
    double resampling_step_ = 1.0;
    int tap_count_ = 0;
    std::vector<float> taps_;
    std::vector<std::complex<float>> delay_;
    std::vector<std::complex<float>> work_;
    double offset_hz_ = 0.0;
    std::complex<float> mix_phasor_{1.0f, 0.0f};
    std::complex<float> mix_step_{1.0f, 0.0f};
    std::complex<float> audio_phasor_{1.0f, 0.0f};
    std::complex<float> audio_step_{1.0f, 0.0f};
    std::uint64_t mixed_count_ = 0;
    std::uint64_t audio_count_ = 0;
    int phase_ = 0;
    std::complex<float> previous_{0.0f, 0.0f};
    bool have_previous_ = false;
    double position_ = 0.0;
};

}  // namespace sig
