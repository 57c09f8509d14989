#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// The audio mode demodulates at this fixed IQ rate; faster radio streams are brought down to it.
inline constexpr double demodulator_iq_rate_hz = 64000.0;

// One USB, LSB or AM channel out of 64000 Hz complex IQ: mixes the wanted passband down to
// 0 Hz, low-pass filters it, demodulates, blocks DC, applies the gain and resamples to the
// audio rate. Output samples are held within -1..1; how many had to be clamped is counted.
// Used by one thread; process and resample allocate only while their output buffers grow.
class Demodulator {
public:
    enum Modulation : std::uint32_t { usb = 0, lsb = 1, am = 2 };

    // Refuses settings the filter or the audio rate cannot carry with "Invalid demodulator
    // settings"; a converter that cannot be made gives the libsamplerate error text.
    Demodulator(std::uint32_t modulation, double bandwidth_hz, double gain, std::int32_t audio_rate_hz,
                double tuning_offset_hz);
    ~Demodulator();
    Demodulator(Demodulator const&) = delete;
    Demodulator& operator=(Demodulator const&) = delete;

    // Replaces `audio` with the audio of one block of 64000 Hz IQ at the audio rate.
    void process(std::span<std::complex<float> const> iq, std::vector<float>& audio);

    // Converts 64000 Hz audio to the audio rate and appends it to `audio`; with end_of_input
    // the converter is drained of what it still holds.
    void resample(std::span<float const> samples, bool end_of_input, std::vector<float>& audio);

    // After a discontinuity: filters, mixers and converter start again from silence.
    void reset();

    std::uint64_t clipped() const { return clipped_; }

private:
    struct Converter;

    std::uint32_t modulation_;
    std::int32_t audio_rate_hz_;
    double gain_;
    double shift_hz_;
    double tuning_offset_hz_;
    double first_phase_ = 0.0;
    double second_phase_ = 0.0;
    std::vector<float> taps_;
    std::vector<float> delay_i_;
    std::vector<float> delay_q_;
    std::uint64_t position_ = 0;
    float dc_previous_in_ = 0.0f;
    float dc_previous_out_ = 0.0f;
    std::unique_ptr<Converter> converter_;
    std::uint64_t clipped_ = 0;
    std::vector<float> baseband_audio_;  // 64000 Hz audio of the block in hand
};

// Brings a radio's IQ stream down to 64000 Hz, I and Q through one two-channel converter.
class IqResampler {
public:
    // Refuses a rate that is not finite, below 64000 Hz, or whose ratio libsamplerate cannot
    // take with "Unsupported IQ input rate"; a converter that cannot be made gives the
    // libsamplerate error text.
    explicit IqResampler(double input_rate_hz);
    ~IqResampler();
    IqResampler(IqResampler const&) = delete;
    IqResampler& operator=(IqResampler const&) = delete;

    void reset();

private:
    friend std::span<std::complex<float> const> resample_iq(IqResampler& state,
                                                            std::span<std::complex<float> const> iq);
    struct Converter;

    double ratio_;
    std::unique_ptr<Converter> converter_;
    std::vector<std::complex<float>> output_;
};

// The block at 64000 Hz: the input itself when the rate already is 64000 Hz, else a view of
// the resampler's buffer, valid until its next call.
std::span<std::complex<float> const> resample_iq(IqResampler& state, std::span<std::complex<float> const> iq);
