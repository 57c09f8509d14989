#include "radio/demodulator.hpp"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace {

constexpr std::size_t tap_count = 2049;
constexpr std::size_t mixer_chunk = 4096;      // samples between exact sin/cos evaluations
constexpr long converter_block = 4096;          // output frames per libsamplerate call
constexpr float dc_pole = 0.9980384f;
constexpr double two_pi = 2.0 * std::numbers::pi;

struct SrcDeleter {
    void operator()(SRC_STATE* state) const
    {
        if (state)
            src_delete(state);
    }
};

std::unique_ptr<SRC_STATE, SrcDeleter> make_converter(int channels)
{
    int error = 0;
    std::unique_ptr<SRC_STATE, SrcDeleter> state(src_new(SRC_SINC_FASTEST, channels, &error));
    if (!state)
        throw std::runtime_error(src_strerror(error));
    return state;
}

bool settings_valid(std::uint32_t modulation, double bandwidth_hz, double gain, std::int32_t audio_rate_hz)
{
    if (modulation > Demodulator::am)
        return false;
    if (!std::isfinite(bandwidth_hz) || bandwidth_hz < 200.0 || bandwidth_hz > 20000.0)
        return false;
    if (!std::isfinite(gain) || !(gain > 0.0))
        return false;
    if (audio_rate_hz < 8000 || audio_rate_hz > 192000)
        return false;
    double const rate = audio_rate_hz;
    // A sideband's audio reaches up to the full bandwidth, AM's only to half of it.
    if (modulation == Demodulator::am)
        return bandwidth_hz < rate;
    return bandwidth_hz < rate / 2.0;
}

// Blackman-windowed sinc with its cut-off at half the bandwidth, scaled for unity gain at 0 Hz.
std::vector<float> low_pass_taps(double bandwidth_hz)
{
    std::vector<float> taps(tap_count);
    double const fc = (bandwidth_hz / 2.0) / demodulator_iq_rate_hz;
    double const span = static_cast<double>(tap_count - 1);
    double sum = 0.0;
    for (std::size_t n = 0; n < tap_count; ++n) {
        double const m = static_cast<double>(n) - span / 2.0;
        double const w = 0.42 - 0.5 * std::cos(two_pi * static_cast<double>(n) / span) +
                         0.08 * std::cos(2.0 * two_pi * static_cast<double>(n) / span);
        double const h = m == 0.0 ? 2.0 * fc : std::sin(two_pi * fc * m) / (std::numbers::pi * m);
        taps[n] = static_cast<float>(h * w);
        sum += taps[n];
    }
    for (float& tap : taps)
        tap = static_cast<float>(tap / sum);
    return taps;
}

// Eight running sums in a fixed order: the compiler may keep them in one vector register, and
// the result stays the same on every machine.
float dot(float const* taps, float const* line)
{
    float partial[8] = {};
    std::size_t k = 0;
    for (; k + 8 <= tap_count; k += 8)
        for (std::size_t j = 0; j < 8; ++j)
            partial[j] += taps[k + j] * line[k + j];
    float sum = 0.0f;
    for (; k < tap_count; ++k)
        sum += taps[k] * line[k];
    for (float value : partial)
        sum += value;
    return sum;
}

}  // namespace

struct Demodulator::Converter {
    std::unique_ptr<SRC_STATE, SrcDeleter> state;
};

struct IqResampler::Converter {
    std::unique_ptr<SRC_STATE, SrcDeleter> state;
};

Demodulator::Demodulator(std::uint32_t modulation, double bandwidth_hz, double gain, std::int32_t audio_rate_hz,
                         double tuning_offset_hz)
    : modulation_(modulation), audio_rate_hz_(audio_rate_hz), gain_(gain), shift_hz_(0.0),
      tuning_offset_hz_(tuning_offset_hz)
{
    if (!settings_valid(modulation, bandwidth_hz, gain, audio_rate_hz) || !std::isfinite(tuning_offset_hz))
        throw std::runtime_error("Invalid demodulator settings");
    if (modulation == usb)
        shift_hz_ = bandwidth_hz / 2.0;
    else if (modulation == lsb)
        shift_hz_ = -bandwidth_hz / 2.0;
    taps_ = low_pass_taps(bandwidth_hz);
    delay_i_.assign(2 * tap_count, 0.0f);
    delay_q_.assign(2 * tap_count, 0.0f);
    converter_ = std::make_unique<Converter>(Converter{make_converter(1)});
}

Demodulator::~Demodulator() = default;

void Demodulator::reset()
{
    std::fill(delay_i_.begin(), delay_i_.end(), 0.0f);
    std::fill(delay_q_.begin(), delay_q_.end(), 0.0f);
    position_ = 0;
    dc_previous_in_ = 0.0f;
    dc_previous_out_ = 0.0f;
    first_phase_ = 0.0;
    second_phase_ = 0.0;
    src_reset(converter_->state.get());
}

void Demodulator::process(std::span<std::complex<float> const> iq, std::vector<float>& audio)
{
    double const first_step = -(tuning_offset_hz_ + shift_hz_) * two_pi / demodulator_iq_rate_hz;
    double const second_step = shift_hz_ * two_pi / demodulator_iq_rate_hz;
    std::complex<double> const first_rotation(std::cos(first_step), std::sin(first_step));
    std::complex<double> const second_rotation(std::cos(second_step), std::sin(second_step));
    float const gain = static_cast<float>(gain_);
    bool const sideband = modulation_ != am;

    baseband_audio_.resize(iq.size());
    for (std::size_t start = 0; start < iq.size(); start += mixer_chunk) {
        std::size_t const length = std::min(mixer_chunk, iq.size() - start);
        std::complex<double> first(std::cos(first_phase_), std::sin(first_phase_));
        std::complex<double> second(std::cos(second_phase_), std::sin(second_phase_));
        for (std::size_t i = start; i < start + length; ++i) {
            std::complex<float> const z = iq[i] * std::complex<float>(first);
            position_ = position_ == 0 ? tap_count - 1 : position_ - 1;
            delay_i_[position_] = delay_i_[position_ + tap_count] = z.real();
            delay_q_[position_] = delay_q_[position_ + tap_count] = z.imag();
            float const fi = dot(taps_.data(), delay_i_.data() + position_);
            float const fq = dot(taps_.data(), delay_q_.data() + position_);
            float y;
            if (sideband)
                y = fi * static_cast<float>(second.real()) - fq * static_cast<float>(second.imag());
            else
                y = std::sqrt(fi * fi + fq * fq);
            float const out = y - dc_previous_in_ + dc_pole * dc_previous_out_;
            dc_previous_in_ = y;
            dc_previous_out_ = out;
            baseband_audio_[i] = out * gain;
            first *= first_rotation;
            second *= second_rotation;
        }
        first_phase_ = std::remainder(first_phase_ + first_step * static_cast<double>(length), two_pi);
        second_phase_ = std::remainder(second_phase_ + second_step * static_cast<double>(length), two_pi);
    }
    audio.clear();
    resample(baseband_audio_, false, audio);
}

void Demodulator::resample(std::span<float const> samples, bool end_of_input, std::vector<float>& audio)
{
    double const ratio = static_cast<double>(audio_rate_hz_) / demodulator_iq_rate_hz;
    audio.reserve(audio.size() + static_cast<std::size_t>(static_cast<double>(samples.size()) * ratio) + 64);
    std::size_t used = 0;
    while (true) {
        std::size_t const before = audio.size();
        audio.resize(before + converter_block);
        SRC_DATA data{};
        // libsamplerate drains short of the end when handed a null input pointer, even with
        // no input frames: an empty block points at a real (unused) float instead.
        static float const no_input = 0.0f;
        data.data_in = samples.empty() ? &no_input : samples.data() + used;
        data.input_frames = static_cast<long>(samples.size() - used);
        data.data_out = audio.data() + before;
        data.output_frames = converter_block;
        data.end_of_input = end_of_input ? 1 : 0;
        data.src_ratio = ratio;
        if (int const error = src_process(converter_->state.get(), &data); error != 0) {
            audio.resize(before);
            throw std::runtime_error(src_strerror(error));
        }
        auto const produced = static_cast<std::size_t>(data.output_frames_gen);
        audio.resize(before + produced);
        for (std::size_t i = before; i < audio.size(); ++i) {
            float& sample = audio[i];
            if (std::fabs(sample) > 1.0f) {
                ++clipped_;
                sample = sample > 0.0f ? 1.0f : -1.0f;
            }
        }
        used += static_cast<std::size_t>(data.input_frames_used);
        if (used == samples.size()) {
            // A full output area at the end of input may mean the converter still holds more.
            if (!end_of_input || produced < static_cast<std::size_t>(converter_block))
                return;
            continue;
        }
        if (data.input_frames_used == 0 && produced == 0)
            throw std::runtime_error("Audio resampler made no progress");
    }
}

IqResampler::IqResampler(double input_rate_hz) : ratio_(demodulator_iq_rate_hz / input_rate_hz)
{
    if (!std::isfinite(input_rate_hz) || input_rate_hz < demodulator_iq_rate_hz || !src_is_valid_ratio(ratio_))
        throw std::runtime_error("Unsupported IQ input rate");
    converter_ = std::make_unique<Converter>(Converter{make_converter(2)});
}

IqResampler::~IqResampler() = default;

void IqResampler::reset() { src_reset(converter_->state.get()); }

std::span<std::complex<float> const> resample_iq(IqResampler& state, std::span<std::complex<float> const> iq)
{
    if (state.ratio_ == 1.0)
        return iq;
    state.output_.clear();
    // complex<float> is laid out as two floats, I then Q: exactly the interleaved frames.
    auto const* input = reinterpret_cast<float const*>(iq.data());
    std::size_t used = 0;
    while (used < iq.size()) {
        std::size_t const before = state.output_.size();
        state.output_.resize(before + converter_block);
        SRC_DATA data{};
        data.data_in = input + 2 * used;
        data.input_frames = static_cast<long>(iq.size() - used);
        data.data_out = reinterpret_cast<float*>(state.output_.data() + before);
        data.output_frames = converter_block;
        data.end_of_input = 0;
        data.src_ratio = state.ratio_;
        if (int const error = src_process(state.converter_->state.get(), &data); error != 0) {
            state.output_.resize(before);
            throw std::runtime_error(src_strerror(error));
        }
        state.output_.resize(before + static_cast<std::size_t>(data.output_frames_gen));
        if (data.input_frames_used == 0 && data.output_frames_gen == 0)
            throw std::runtime_error("IQ resampler made no progress");
        used += static_cast<std::size_t>(data.input_frames_used);
    }
    return state.output_;
}
