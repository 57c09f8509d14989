#include "decode/channelizer.hpp"

#include "core/fft_bins.hpp"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <thread>

#include "decode/fft.hpp"
#include "decode/worker_pool.hpp"

namespace {

constexpr double output_rate_hz = 12000.0;
constexpr std::size_t resampler_frames = 4096;
constexpr double two_pi = 2.0 * std::numbers::pi;

bool within(double value, double low, double high) { return value >= low && value <= high; }

std::uint64_t next_power_of_two_from(double least)
{
    std::uint64_t size = 2;
    while (static_cast<double>(size) < least) {
        size *= 2;
    }
    return size;
}

// Complex products spelled out on the parts: std::complex's operator* carries NaN recovery
// that would stop the compiler from vectorising the loops below.
inline std::complex<float> multiply(std::complex<float> a, std::complex<float> b)
{
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// Bin offset of element j of an M-point inverse transform: non-negative offsets first.
std::int64_t inverse_offset(std::uint64_t j, std::uint64_t m)
{
    return j < m / 2 ? static_cast<std::int64_t>(j) : static_cast<std::int64_t>(j) - static_cast<std::int64_t>(m);
}

struct ResamplerDelete {
    void operator()(SRC_STATE* state) const { src_delete(state); }
};

struct ChannelState {
    std::int32_t bin = 0;
    double residual = 0.0;
    std::complex<float> nco_step;
    float dc_last_input = 0.0f;
    float dc_last_output = 0.0f;
    std::vector<std::complex<float>> coefficients;
    std::vector<std::uint32_t> positions;
    std::unique_ptr<SRC_STATE, ResamplerDelete> resampler;
};

}  // namespace

struct Channelizer::Impl::State {
    State(double rate_hz, double centre_hz, double gain_value, std::uint64_t n, std::uint64_t m)
        : rate(rate_hz), gain(gain_value), fft_size(n), channel_fft_size(m), hop(n / 2), decimation(n / m),
          channel_rate(rate_hz / static_cast<double>(n / m)), input(n), work(n), fft(n),
          inverse(m, ComplexFft::Direction::backward), centre(centre_hz)
    {
    }

    double rate;
    double gain;
    std::uint64_t fft_size;
    std::uint64_t channel_fft_size;
    std::uint64_t hop;
    std::uint64_t decimation;
    double channel_rate;
    std::uint64_t sample_index = 0;
    std::uint64_t clipped = 0;
    FftBuffer input;
    FftBuffer channel_spectra;
    std::uint64_t fill = 0;
    std::vector<float> slot_samples;
    std::vector<float> slot_output;  // the resampler's 4096-frame output buffer of each slot
    std::vector<std::uint64_t> slot_clips;
    std::unique_ptr<WorkerPool> pool;
    std::vector<WorkRange> channel_ranges;
    float scale = 0.0f;
    float dc_coefficient = 0.0f;
    FftBuffer work;
    FourStepFft fft;
    ComplexFft inverse;
    std::vector<std::unique_ptr<ChannelState>> channels;
    double centre;
    SpectrumHook spectrum_hook;
    ForwardHook forward_hook;
    std::shared_ptr<RawSpectrum> engine;
    std::vector<int> row_ids;
    std::uint64_t raw_fill = 0;
    std::uint64_t engine_frames = 0;

    std::uint64_t slot_count() const { return slot_clips.size(); }
    // A frame's transform starts hop x (frame - 1) samples into the stream, which turns an odd
    // bin half a turn on every other frame; the sign refers the shift by `bin` to sample 0.
    float bin_sign(std::int32_t bin) const
    {
        return ((sample_index / hop) % 2 == 0 && (bin & 1) != 0) ? -1.0f : 1.0f;
    }
    void check_rows(Rows const& rows) const
    {
        if (rows.size() != channels.size()) {
            throw std::logic_error("Channelizer rows must hold one vector per channel");
        }
    }
    void forward(std::complex<float> const* in, std::complex<float>* out);
    void processor_frame(Rows& rows);
    void engine_frame(Rows& rows);
    void finish_channel(std::uint64_t channel, std::uint64_t slot, std::complex<float> const* in, Rows& rows,
                        float sign);
    void feed_raw(std::int16_t const* raw, std::uint64_t count, Rows& rows);
    void collect_clips()
    {
        for (std::uint64_t& count : slot_clips) {
            clipped += count;
            count = 0;
        }
    }
};

Channelizer::Impl::Impl(double rate, double centre, double bandwidth, double gain,
                        std::vector<double> const& frequencies, std::vector<double> const* bandwidths)
{
    if (!within(rate, 64000.0, 64000000.0) || !within(bandwidth, 1000.0, 5000.0) || !std::isfinite(gain)
        || !(gain > 0.0) || !std::isfinite(centre)) {
        throw std::runtime_error("Invalid channelizer configuration");
    }
    if (bandwidths != nullptr && bandwidths->size() != frequencies.size()) {
        throw std::runtime_error("Channel bandwidth count differs from frequency count");
    }
    std::uint64_t const n = next_power_of_two_from(0.04 * rate);
    double const bin_hz = rate / static_cast<double>(n);
    std::uint64_t const m = next_power_of_two_from(24000.0 / bin_hz);
    state_ = std::make_unique<State>(rate, centre, gain, n, m);
    State& s = *state_;
    s.scale = 1.0f / static_cast<float>(n);
    s.dc_coefficient = static_cast<float>(std::exp(-40.0 * std::numbers::pi / s.channel_rate));
    // The pool is there from the start: each channel's response takes one forward transform,
    // which at 2^20 points and more is worth spreading.
    unsigned const threads = std::thread::hardware_concurrency();
    std::uint32_t const workers = n > 1048575 && threads > 3 ? std::min(threads / 4, 8u) : 1u;
    configure_workers(workers);

    std::uint64_t const taps_span = s.hop;  // L: the prototype has L + 1 taps
    std::vector<double> taps(taps_span + 1);
    double tap_sum = 0.0;
    double previous_width = std::nan("");
    std::size_t const rows_r = s.fft.rows();
    std::size_t const columns_b = s.fft.columns();
    for (std::size_t i = 0; i < frequencies.size(); ++i) {
        double const f = frequencies[i];
        double const w = bandwidths != nullptr ? (*bandwidths)[i] : bandwidth;
        if (!within(w, 1000.0, 5000.0)) {
            throw std::runtime_error("Invalid channel bandwidth");
        }
        if (!(w == previous_width)) {
            // Blackman-windowed sinc lowpass with its cutoff at w/2.
            double const fc = w / (2.0 * rate);
            tap_sum = 0.0;
            double const l = static_cast<double>(taps_span);
            for (std::uint64_t t = 0; t <= taps_span; ++t) {
                double const mid = static_cast<double>(t) - std::floor(l / 2.0);
                double const h = mid == 0.0 ? 2.0 * fc : std::sin(two_pi * fc * mid) / (std::numbers::pi * mid);
                double const x = static_cast<double>(t);
                double const window = 0.42 - 0.5 * std::cos(two_pi * x / l) + 0.08 * std::cos(2.0 * two_pi * x / l);
                taps[t] = h * window;
                tap_sum += taps[t];
            }
            previous_width = w;
        }
        double const offset = f + w / 2.0 - centre;
        if (!std::isfinite(f) || std::abs(offset) + w / 2.0 >= rate / 2.0) {
            throw std::runtime_error("Channel outside IQ Nyquist bandwidth");
        }
        auto channel = std::make_unique<ChannelState>();
        channel->bin = static_cast<std::int32_t>(std::llround(offset * static_cast<double>(n) / rate));
        double const bin_frequency = channel->bin * bin_hz;
        channel->residual = (f - centre) - bin_frequency;
        float const step_angle = static_cast<float>(-two_pi * channel->residual / s.channel_rate);
        channel->nco_step = {std::cos(step_angle), std::sin(step_angle)};

        // The unit-gain lowpass moved by the fraction of a bin between the bin and the passband
        // centre; its transform is the channel's frequency response. The shift turns by a
        // double-precision phasor, set exactly every 1024 taps: a sine and cosine per tap made
        // building 96 channels at high rates take seconds. (Beyond the taps `input` is zero.)
        double const shift = offset - bin_frequency;
        std::complex<double> const turn(std::cos(two_pi * shift / rate), std::sin(two_pi * shift / rate));
        std::complex<double> phasor;
        for (std::uint64_t t = 0; t <= taps_span; ++t) {
            if (t % 1024 == 0) {
                double const angle = two_pi * static_cast<double>(t) * shift / rate;
                phasor = {std::cos(angle), std::sin(angle)};
            }
            double const tap = taps[t] / tap_sum;
            s.input[t] = {static_cast<float>(tap * phasor.real()), static_cast<float>(tap * phasor.imag())};
            phasor = {phasor.real() * turn.real() - phasor.imag() * turn.imag(),
                      phasor.real() * turn.imag() + phasor.imag() * turn.real()};
        }
        s.forward(s.input.data(), s.work.data());
        channel->coefficients.resize(m);
        channel->positions.resize(m);
        for (std::uint64_t j = 0; j < m; ++j) {
            std::int64_t const d = inverse_offset(j, m);
            channel->coefficients[j] = s.work[FourStepFft::position(natural_bin(d, n), rows_r, columns_b)];
            channel->positions[j] =
                static_cast<std::uint32_t>(FourStepFft::position(natural_bin(channel->bin + d, n), rows_r, columns_b));
        }
        int error = 0;
        channel->resampler.reset(src_new(SRC_SINC_FASTEST, 1, &error));
        if (!channel->resampler) {
            throw std::runtime_error(src_strerror(error));
        }
        s.channels.push_back(std::move(channel));
    }
    s.channel_spectra = FftBuffer(s.channels.size() * m);
    configure_workers(workers);  // now with the channel ranges and slots
    std::fill(s.input.begin(), s.input.begin() + static_cast<std::ptrdiff_t>(s.hop), std::complex<float>{});
    s.fill = 0;
}

Channelizer::Impl::~Impl()
{
    if (state_ && state_->engine) {
        for (int id : state_->row_ids) {
            state_->engine->remove(id);
        }
    }
}

void Channelizer::Impl::configure_workers(std::uint32_t count)
{
    State& s = *state_;
    count = std::min<std::uint32_t>(count, 16);
    if (count <= 1) {
        s.pool.reset();
    } else if (!s.pool || s.pool->thread_count() != count - 1) {
        s.pool.reset();
        s.pool = std::make_unique<WorkerPool>(count);
    }
    std::uint64_t const parts = s.pool ? count : 1;
    s.fft.set_ranges(split_ranges(s.fft.columns(), parts), split_ranges(s.fft.rows(), parts));
    std::uint64_t const channels = s.channels.size();
    if (s.pool) {
        s.channel_ranges = split_ranges(channels, channels);
    } else {
        s.channel_ranges = {WorkRange{0, channels}};
    }
    std::uint64_t const slots = s.pool && channels > 1 ? channels : 1;
    s.slot_samples.assign(slots * (s.channel_fft_size / 2), 0.0f);
    s.slot_output.assign(slots * resampler_frames, 0.0f);
    s.slot_clips.assign(slots, 0);
}

void Channelizer::Impl::forward(std::complex<float> const* in, std::complex<float>* out)
{
    state_->forward(in, out);
}

void Channelizer::Impl::State::forward(std::complex<float> const* in, std::complex<float>* out)
{
    if (forward_hook) {
        if (forward_hook(in, out)) {
            return;
        }
        forward_hook = nullptr;  // it reported its failure; the processor takes over for good
    }
    if (!pool) {
        fft.forward(in, out);
        return;
    }
    FourStepFft const& transform = fft;
    pool->run(transform.column_ranges().size(),
              [&transform, in, out](std::uint64_t i) { transform.column_pass(i, in, out); });
    pool->run(transform.row_ranges().size(), [&transform, out](std::uint64_t i) { transform.row_pass(i, out); });
}

void Channelizer::Impl::push_iq(std::complex<float> const* samples, std::uint64_t count, Rows& rows)
{
    State& s = *state_;
    s.check_rows(rows);
    while (count > 0) {
        std::uint64_t const n = std::min(count, s.hop - s.fill);
        std::copy_n(samples, n, s.input.data() + s.hop + s.fill);
        s.fill += n;
        samples += n;
        count -= n;
        if (s.fill == s.hop) {
            s.processor_frame(rows);
        }
    }
}

void Channelizer::Impl::push_zeros(std::uint64_t count, Rows& rows)
{
    State& s = *state_;
    s.check_rows(rows);
    if (s.engine) {
        s.feed_raw(nullptr, count * s.engine->decimation(), rows);
        return;
    }
    while (count > 0) {
        std::uint64_t const n = std::min(count, s.hop - s.fill);
        std::fill_n(s.input.data() + s.hop + s.fill, n, std::complex<float>{});
        s.fill += n;
        count -= n;
        if (s.fill == s.hop) {
            s.processor_frame(rows);
        }
    }
}

void Channelizer::Impl::push_raw(std::int16_t const* raw, std::uint64_t count, Rows& rows)
{
    State& s = *state_;
    s.check_rows(rows);
    if (!s.engine) {
        throw std::logic_error("Raw receiver samples need a receive engine");
    }
    s.feed_raw(raw, count, rows);
}

void Channelizer::Impl::State::feed_raw(std::int16_t const* raw, std::uint64_t count, Rows& rows)
{
    std::uint64_t const block = engine->block_samples();
    while (count > 0) {
        std::uint64_t const n = std::min(count, block - raw_fill);
        std::int16_t* slot = engine->input_slot() + raw_fill;
        if (raw != nullptr) {
            std::copy_n(raw, n, slot);
            raw += n;
        } else {
            std::fill_n(slot, n, std::int16_t{0});
        }
        raw_fill += n;
        count -= n;
        if (raw_fill == block) {
            engine_frame(rows);
        }
    }
}

void Channelizer::Impl::State::engine_frame(Rows& rows)
{
    // The block is handed over whatever happens next, so a failure cannot leave a full block
    // that later calls would spin on.
    raw_fill = 0;
    auto const deliver = [this, &rows](SpectrumResults const& results) {
        if (spectrum_hook) {
            spectrum_hook(SpectrumFrame{nullptr, fft_size, fft.rows(), sample_index, rate, centre, &results, 1});
        }
        auto const finish = [this, &rows, &results](std::uint64_t channel, std::uint64_t slot) {
            float const* row = results.complex_row(row_ids[channel]);
            if (row == nullptr) {
                throw std::runtime_error("GPU receive engine lost a channel row");
            }
            finish_channel(channel, slot, reinterpret_cast<std::complex<float> const*>(row), rows,
                           bin_sign(channels[channel]->bin));
        };
        if (pool && slot_count() > 1) {
            pool->run(channels.size(), [&finish](std::uint64_t channel) { finish(channel, channel); });
        } else {
            for (std::uint64_t channel = 0; channel < channels.size(); ++channel) {
                finish(channel, 0);
            }
        }
        sample_index += hop;
    };
    bool const ok = engine->process(engine_frames++, deliver);
    collect_clips();
    if (!ok) {
        throw std::runtime_error("The RX-888 GPU receive engine failed");
    }
}

void Channelizer::Impl::State::processor_frame(Rows& rows)
{
    forward(input.data(), work.data());
    if (spectrum_hook) {
        spectrum_hook(SpectrumFrame{work.data(), fft_size, fft.rows(), sample_index, rate, centre, nullptr, 0});
    }

    std::uint64_t const m = channel_fft_size;
    auto const inverse_range = [this, m](WorkRange range) {
        for (std::uint64_t c = range.start; c < range.start + range.length; ++c) {
            ChannelState const& channel = *channels[c];
            float const sign = bin_sign(channel.bin);
            std::complex<float>* y = channel_spectra.data() + c * m;
            std::complex<float> const* bins = work.data();
            for (std::uint64_t j = 0; j < m; ++j) {
                std::complex<float> const v = multiply(channel.coefficients[j], bins[channel.positions[j]]);
                y[j] = {v.real() * sign, v.imag() * sign};
            }
            inverse.execute(y);
        }
    };
    if (pool) {
        pool->run(channel_ranges.size(), [&](std::uint64_t i) { inverse_range(channel_ranges[i]); });
    } else {
        inverse_range(WorkRange{0, channels.size()});
    }

    if (pool && slot_count() > 1) {
        pool->run(channels.size(), [this, &rows, m](std::uint64_t c) {
            finish_channel(c, c, channel_spectra.data() + c * m + m / 2, rows, 1.0f);
        });
    } else {
        for (std::uint64_t c = 0; c < channels.size(); ++c) {
            finish_channel(c, 0, channel_spectra.data() + c * m + m / 2, rows, 1.0f);
        }
    }
    collect_clips();

    sample_index += hop;
    std::copy_n(input.data() + hop, hop, input.data());
    fill = 0;
}

void Channelizer::Impl::State::finish_channel(std::uint64_t channel_index, std::uint64_t slot,
                                              std::complex<float> const* in, Rows& rows, float sign)
{
    ChannelState& channel = *channels[channel_index];
    std::uint64_t const half = channel_fft_size / 2;
    float* samples = slot_samples.data() + slot * half;
    std::uint64_t clips = 0;

    // The NCO phase comes from the absolute sample clock, so it needs no state between frames
    // and restarts with the stream.
    double const phase =
        std::remainder(-two_pi * channel.residual * (static_cast<double>(sample_index) / rate), two_pi);
    std::complex<float> p{sign * static_cast<float>(std::cos(phase)), sign * static_cast<float>(std::sin(phase))};
    for (std::uint64_t j = 0; j < half; ++j) {
        float v = (in[j].real() * p.real() - in[j].imag() * p.imag()) * scale;
        if (!std::isfinite(v)) {
            // Kept out of the DC blocker, whose state it would poison for good.
            v = 0.0f;
            ++clips;
        }
        float const y = v - channel.dc_last_input + dc_coefficient * channel.dc_last_output;
        channel.dc_last_input = v;
        channel.dc_last_output = y;
        samples[j] = static_cast<float>(static_cast<double>(y) * gain);
        p = multiply(p, channel.nco_step);
        if (j % 256 == 255) {
            float const magnitude = std::abs(p);
            p = {p.real() / magnitude, p.imag() / magnitude};
        }
    }

    std::vector<float>& row = rows[channel_index];
    auto const ahead =
        static_cast<std::size_t>(std::floor(static_cast<double>(half) * output_rate_hz / channel_rate)) + 8;
    if (row.size() + ahead > row.capacity()) {
        // Geometric growth: a block of many hops must not copy its row once per hop.
        row.reserve(std::max(row.size() + ahead, 2 * row.capacity()));
    }
    float* output = slot_output.data() + slot * resampler_frames;
    std::uint64_t consumed = 0;
    while (consumed < half) {
        SRC_DATA data{};
        data.data_in = samples + consumed;
        data.input_frames = static_cast<long>(half - consumed);
        data.data_out = output;
        data.output_frames = static_cast<long>(resampler_frames);
        data.end_of_input = 0;
        data.src_ratio = output_rate_hz / channel_rate;
        if (int const error = src_process(channel.resampler.get(), &data); error != 0) {
            throw std::runtime_error(src_strerror(error));
        }
        consumed += static_cast<std::uint64_t>(data.input_frames_used);
        for (long k = 0; k < data.output_frames_gen; ++k) {
            float v = output[k];
            if (!std::isfinite(v)) {
                v = 0.0f;
                ++clips;
            } else if (v > 1.0f || v < -1.0f) {
                v = v > 1.0f ? 1.0f : -1.0f;
                ++clips;
            }
            row.push_back(v);
        }
        if (data.input_frames_used == 0 && data.output_frames_gen == 0) {
            throw std::runtime_error("Channel resampler stalled");
        }
    }
    slot_clips[slot] += clips;
}

void Channelizer::Impl::reset()
{
    State& s = *state_;
    s.sample_index = 0;
    s.fill = 0;
    std::fill(s.input.begin(), s.input.begin() + static_cast<std::ptrdiff_t>(s.hop), std::complex<float>{});
    if (s.engine) {
        s.engine->reset();
        s.raw_fill = 0;
        s.engine_frames = 0;
    }
    for (auto& channel : s.channels) {
        channel->dc_last_input = 0.0f;
        channel->dc_last_output = 0.0f;
        src_reset(channel->resampler.get());
    }
}

void Channelizer::Impl::set_spectrum_hook(SpectrumHook hook) { state_->spectrum_hook = std::move(hook); }

void Channelizer::Impl::set_forward_hook(ForwardHook hook) { state_->forward_hook = std::move(hook); }

void Channelizer::Impl::attach_engine(std::shared_ptr<RawSpectrum> engine)
{
    State& s = *state_;
    if (!engine || engine->block_samples() != engine->decimation() * s.hop) {
        throw std::runtime_error("GPU receive engine frame differs from the channelizer's");
    }
    if (s.engine) {
        throw std::logic_error("Channelizer already has a receive engine");
    }
    std::uint64_t const m = s.channel_fft_size;
    std::vector<int> ids;
    try {
        for (auto const& channel : s.channels) {
            std::vector<std::int64_t> bins(m);
            std::vector<float> weights(2 * m);
            for (std::uint64_t j = 0; j < m; ++j) {
                bins[j] = wrap_signed_bin(channel->bin + inverse_offset(j, m), s.fft_size);
                weights[2 * j] = channel->coefficients[j].real();
                weights[2 * j + 1] = channel->coefficients[j].imag();
            }
            ids.push_back(engine->add_complex_row(std::move(bins), std::move(weights), s.centre));
        }
    } catch (...) {
        for (int id : ids) {
            engine->remove(id);
        }
        throw;
    }
    s.row_ids = std::move(ids);
    s.engine = std::move(engine);
    s.raw_fill = 0;
    s.engine_frames = 0;
}

double Channelizer::Impl::rate() const { return state_->rate; }
double Channelizer::Impl::centre() const { return state_->centre; }
double Channelizer::Impl::channel_rate() const { return state_->channel_rate; }
std::uint64_t Channelizer::Impl::fft_size() const { return state_->fft_size; }
std::uint64_t Channelizer::Impl::channel_fft_size() const { return state_->channel_fft_size; }
std::uint64_t Channelizer::Impl::hop() const { return state_->hop; }
std::uint64_t Channelizer::Impl::decimation() const { return state_->decimation; }
std::uint64_t Channelizer::Impl::sample_index() const { return state_->sample_index; }
std::uint64_t Channelizer::Impl::clipped() const { return state_->clipped; }
std::uint64_t Channelizer::Impl::channel_count() const { return state_->channels.size(); }
std::vector<int> const& Channelizer::Impl::row_ids() const { return state_->row_ids; }
