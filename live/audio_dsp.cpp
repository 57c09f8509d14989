#include "live/audio_dsp.hpp"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <numbers>
#include <stdexcept>
#include <string>

#include "core/fft_bins.hpp"
#include "core/complex_fft.hpp"
#include "core/log_line.hpp"
#include "live/audio_channel_spec.hpp"
#include "live/channel_filter.hpp"
#include "live/output.hpp"

namespace {

constexpr double two_pi = 2.0 * std::numbers::pi;
constexpr std::size_t resampler_frames = 4096;

std::uint64_t least_power_of_two_from(double wanted)
{
    std::uint64_t n = 1;
    while (static_cast<double>(n) < wanted)
        n *= 2;
    return n;
}

// Products spelled out on the parts: std::complex's operator* carries NaN recovery that keeps
// the loops from vectorising.
inline std::complex<float> multiply(std::complex<float> a, std::complex<float> b)
{
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

struct ResamplerDelete {
    void operator()(SRC_STATE* state) const { src_delete(state); }
};

}  // namespace

struct AudioDSP::State {
    AudioChannel channel;
    std::atomic<double> working_gain {0.0};
    std::uint64_t fft_size = 1;
    std::uint64_t extract_size = 1;
    std::uint64_t bin_step = 1;
    double input_rate = 0.0;
    double input_centre = 0.0;
    double intermediate_rate = 0.0;
    double residual = 0.0;
    std::int32_t centre_bin = 0;
    float dc_input = 0.0f;
    float dc_output = 0.0f;
    float dc_pole = 0.0f;
    float agc_peak = 0.0f;
    float agc_decay = 0.0f;
    std::complex<float> rotator_step {1.0f, 0.0f};
    std::complex<float> fm_previous {1.0f, 0.0f};
    float fm_scale = 0.0f;
    float fm_deemphasis = 0.0f;
    float fm_state = 0.0f;
    float fm_gain = 1.0f;
    std::shared_ptr<ChannelFilter const> filter;
    std::complex<float> const* response = nullptr;  // the filter's M values
    FftBuffer work;
    std::vector<std::uint32_t> frame_indexes;
    std::vector<float> demodulated;
    std::vector<float> resampled;
    std::unique_ptr<ComplexFft> inverse;
    std::unique_ptr<SRC_STATE, ResamplerDelete> resampler;
    std::shared_ptr<SpectrumRows> engine;
    int row_id = -1;
    std::shared_ptr<Output> output;
    std::atomic<bool> disabled {false};

    void demodulate(std::complex<float> const* z, std::complex<float> rotator);
};

AudioDSP::AudioDSP(AudioChannel&& channel, double input_rate_hz, double input_centre_hz,
                   std::shared_ptr<SpectrumRows> engine)
    : state_(std::make_unique<State>())
{
    State& s = *state_;
    s.channel = std::move(channel);
    s.working_gain.store(s.channel.audio_gain);
    s.engine = std::move(engine);
    s.input_rate = input_rate_hz;
    s.input_centre = input_centre_hz;

    std::uint64_t const n = least_power_of_two_from(0.04 * input_rate_hz);
    s.fft_size = n;
    s.bin_step = n / std::min<std::uint64_t>(n, 1024);

    bool const envelope = s.channel.modulation == AudioModulation::AM || s.channel.modulation == AudioModulation::FM;
    double const width = envelope ? s.channel.bandwidth / 2.0 : s.channel.bandwidth;
    double const target = std::max(2.5 * width, 24000.0);
    std::uint64_t m = 1;
    while (static_cast<double>(m) * input_rate_hz / static_cast<double>(n) < target && m <= n)
        m *= 2;
    if (m > n)
        throw std::runtime_error("Audio bandwidth exceeds input rate");
    s.extract_size = m;
    s.intermediate_rate = static_cast<double>(m) * input_rate_hz / static_cast<double>(n);

    auto const [low, high] = audio_passband(s.channel);
    double const middle = (low + high) / 2.0;
    double const bin_hz = input_rate_hz / static_cast<double>(n);
    s.centre_bin = static_cast<std::int32_t>(std::llround((middle - input_centre_hz) / bin_hz));
    s.residual = (s.channel.frequency - input_centre_hz) - s.centre_bin * bin_hz;
    float sine = 0.0f;
    float cosine = 1.0f;
    ::sincosf(static_cast<float>(-two_pi * s.residual / s.intermediate_rate), &sine, &cosine);
    s.rotator_step = {cosine, sine};
    s.dc_pole = static_cast<float>(std::exp(-two_pi * 20.0 / s.intermediate_rate));
    s.agc_decay = static_cast<float>(std::exp(-1.0 / (0.5 * s.intermediate_rate)));
    if (s.channel.bandwidth <= 30000.0) {
        s.fm_scale = static_cast<float>(s.intermediate_rate / (two_pi * 5000.0));
        s.fm_deemphasis = static_cast<float>(1.0 - std::exp(-two_pi * 300.0 / s.intermediate_rate));
        s.fm_gain = 4.0f;
    } else {
        s.fm_scale = static_cast<float>(s.intermediate_rate / (two_pi * 75000.0));
        s.fm_deemphasis = static_cast<float>(1.0 - std::exp(-1.0 / (75e-6 * s.intermediate_rate)));
        s.fm_gain = 1.0f;
    }

    // Blackman-windowed sinc over half the transform, its passband moved from the centre bin
    // to the middle of the channel; channels of one design share it.
    s.filter = ChannelFilter::shared({.fft_size = n,
                                      .extract_size = m,
                                      .input_rate_hz = input_rate_hz,
                                      .width_hz = high - low,
                                      .shift_hz = middle - input_centre_hz - s.centre_bin * bin_hz});
    s.response = s.filter->response().data();
    s.frame_indexes.resize(m);
    for (std::uint64_t k = 0; k < m; ++k) {
        std::int64_t const d = fft_order_offset(k, m);
        s.frame_indexes[k] = static_cast<std::uint32_t>(frame_position(natural_bin(s.centre_bin + d, n), n));
    }

    s.work = FftBuffer(m);
    s.demodulated.resize(m / 2);
    s.resampled.resize(resampler_frames);
    s.inverse = std::make_unique<ComplexFft>(m, ComplexFft::Direction::backward);
    int error = 0;
    s.resampler.reset(src_new(SRC_SINC_FASTEST, 1, &error));
    if (!s.resampler)
        throw std::runtime_error(src_strerror(error));

    if (s.engine) {
        std::vector<std::int64_t> bins(m);
        std::vector<float> weights(2 * m);
        for (std::uint64_t k = 0; k < m; ++k) {
            bins[k] = wrap_signed_bin(s.centre_bin + fft_order_offset(k, m), n);
            weights[2 * k] = s.response[k].real();
            weights[2 * k + 1] = s.response[k].imag();
        }
        s.row_id = s.engine->add_complex_row(std::move(bins), std::move(weights), input_centre_hz);
    }
}

AudioDSP::~AudioDSP()
{
    if (state_ && state_->engine && state_->row_id >= 0)
        state_->engine->remove(state_->row_id);
}

void AudioDSP::State::demodulate(std::complex<float> const* z, std::complex<float> rotator)
{
    std::uint64_t const half = extract_size / 2;
    auto const gain = static_cast<float>(working_gain.load(std::memory_order_relaxed));
    float const scale = 1.0f / static_cast<float>(fft_size);
    AudioModulation const modulation = channel.modulation;
    bool const agc = channel.agc;
    float const agc_target = std::min(gain * 0.03f, 1.0f);
    for (std::uint64_t k = 0; k < half; ++k) {
        std::complex<float> value = z[k];
        if (!std::isfinite(value.real()) || !std::isfinite(value.imag()))
            value = {};  // one bad IQ sample must not poison the state until the next reset
        std::complex<float> const x = multiply(value, rotator);
        float sample = 0.0f;
        if (modulation == AudioModulation::FM) {
            std::complex<float> const q = multiply(x, std::conj(fm_previous));
            fm_previous = x;
            float const a = std::atan2(q.imag(), q.real()) * fm_scale;
            fm_state += (a - fm_state) * fm_deemphasis;
            float const y = fm_state;
            float const v = dc_pole * dc_output + (y - dc_input);
            dc_input = y;
            dc_output = v;
            sample = std::clamp(gain * 0.03f * fm_gain * v, -1.0f, 1.0f);
        } else {
            float const y = modulation == AudioModulation::AM ? std::abs(x) * scale : x.real() * scale;
            float const v = dc_pole * dc_output + (y - dc_input);
            dc_input = y;
            dc_output = v;
            if (!agc) {
                sample = v * gain;
            } else {
                float const magnitude = std::fabs(v);
                agc_peak = magnitude > agc_peak ? magnitude : std::max(agc_peak * agc_decay, 1e-12f);
                sample = v * agc_target / agc_peak;
            }
        }
        demodulated[k] = sample;
        rotator = multiply(rotator, rotator_step);
        if (k % 256 == 255)
            rotator /= std::abs(rotator);
    }
}

void process_channel_block(AudioDSP& chain, SpectrumFrame const& frame, std::vector<float>& out)
{
    AudioDSP::State& s = *chain.state_;
    out.clear();
    if (frame.fft_size != s.fft_size || frame.bin_step != s.bin_step)
        throw std::runtime_error("Audio FFT geometry changed");
    std::uint64_t const m = s.extract_size;
    std::uint64_t const half = m / 2;

    // A frame's transform starts half a frame before its first new sample, which turns an odd
    // bin by half a turn on every other frame; the sign refers the centre bin to sample 0.
    bool const even_hop = (frame.sample_index / (s.fft_size / 2)) % 2 == 0;
    float const sign = even_hop && (s.centre_bin & 1) != 0 ? -1.0f : 1.0f;
    // The shift is tied to the absolute sample clock: no phase error builds up across frames.
    double const theta = std::remainder(-two_pi * s.residual * static_cast<double>(frame.sample_index) / s.input_rate,
                                        two_pi);
    std::complex<float> rotator {static_cast<float>(std::cos(theta)), static_cast<float>(std::sin(theta))};

    if (frame.results == nullptr) {
        if (frame.bins == nullptr)
            return;
        std::complex<float>* work = s.work.data();
        for (std::uint64_t k = 0; k < m; ++k) {
            std::complex<float> const v = multiply(frame.bins[s.frame_indexes[k]], s.response[k]);
            work[k] = {v.real() * sign, v.imag() * sign};
        }
        s.inverse->execute(work);
        s.demodulate(work + half, rotator);
    } else {
        float const* row = s.row_id >= 0 ? frame.results->complex_row(s.row_id) : nullptr;
        if (row == nullptr)
            return;
        s.demodulate(reinterpret_cast<std::complex<float> const*>(row), rotator * sign);
    }

    double const ratio = static_cast<double>(s.channel.audio_rate) / s.intermediate_rate;
    out.reserve(static_cast<std::size_t>(static_cast<double>(s.fft_size / 2) * s.channel.audio_rate / s.input_rate)
                + 32);
    std::uint64_t consumed = 0;
    while (consumed < half) {
        SRC_DATA data {};
        data.data_in = s.demodulated.data() + consumed;
        data.input_frames = static_cast<long>(half - consumed);
        data.data_out = s.resampled.data();
        data.output_frames = static_cast<long>(s.resampled.size());
        data.end_of_input = 0;
        data.src_ratio = ratio;
        if (int const error = src_process(s.resampler.get(), &data); error != 0)
            throw std::runtime_error(src_strerror(error));
        consumed += static_cast<std::uint64_t>(data.input_frames_used);
        for (long i = 0; i < data.output_frames_gen; ++i) {
            float const v = s.resampled[static_cast<std::size_t>(i)];
            out.push_back(std::isfinite(v) ? std::clamp(v, -1.0f, 1.0f) : 0.0f);
        }
        if (data.input_frames_used == 0 && data.output_frames_gen == 0)
            throw std::runtime_error("Audio resampler stalled");
    }
}

void AudioDSP::process(SpectrumFrame const& frame) noexcept
{
    State& s = *state_;
    if (s.disabled.load(std::memory_order_relaxed))
        return;
    std::vector<float> block;
    try {
        process_channel_block(*this, frame, block);
    } catch (std::exception const& error) {
        s.disabled.store(true);
        log_line("Audio " + s.channel.id + ": disabled: " + error.what());
        return;
    }
    if (block.empty() || !s.output)
        return;
    s.output->offer(std::move(block));
}

void AudioDSP::reset() noexcept
{
    State& s = *state_;
    s.fm_previous = {1.0f, 0.0f};
    s.dc_input = 0.0f;
    s.dc_output = 0.0f;
    s.agc_peak = 0.0f;
    s.fm_state = 0.0f;
    src_reset(s.resampler.get());
}

AudioChannel const& AudioDSP::channel() const { return state_->channel; }

void AudioDSP::set_gain(double gain)
{
    state_->channel.audio_gain = gain;
    state_->working_gain.store(gain);
}

double AudioDSP::working_gain() const { return state_->working_gain.load(); }

std::shared_ptr<Output> const& AudioDSP::output() const { return state_->output; }

void AudioDSP::set_output(std::shared_ptr<Output> output) { state_->output = std::move(output); }

bool AudioDSP::disabled() const { return state_->disabled.load(); }

double AudioDSP::input_rate() const { return state_->input_rate; }

std::uint64_t AudioDSP::fft_size() const { return state_->fft_size; }
std::uint64_t AudioDSP::extract_size() const { return state_->extract_size; }
double AudioDSP::intermediate_rate() const { return state_->intermediate_rate; }
std::int32_t AudioDSP::centre_bin() const { return state_->centre_bin; }
int AudioDSP::engine_row() const { return state_->row_id; }
std::shared_ptr<ChannelFilter const> const& AudioDSP::filter() const { return state_->filter; }
