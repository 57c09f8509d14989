// The channelizer against a slow double-precision model of its filter bank, written from the
// definition alone: natural bin order, direct transforms, no FFT library. Every sample must agree,
// so a change of window, bin choice, sign rule, NCO or DC blocker shows up here even where the
// tone and mask tests cannot see it.

#include "decode/channelizer.hpp"

#include <gtest/gtest.h>
#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <numbers>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Complex = std::complex<double>;
constexpr double two_pi = 2.0 * std::numbers::pi;
constexpr double centre = 7074000.0;

std::uint64_t least_power_of_two(double at_least)
{
    std::uint64_t size = 2;
    while (static_cast<double>(size) < at_least) {
        size *= 2;
    }
    return size;
}

// exp(-2 pi i m / size) for m = 0..size-1: every direct transform below indexes it by (k n mod size).
std::vector<Complex> unit_roots(std::uint64_t size)
{
    std::vector<Complex> roots(size);
    for (std::uint64_t m = 0; m < size; ++m) {
        roots[m] = std::polar(1.0, -two_pi * static_cast<double>(m) / static_cast<double>(size));
    }
    return roots;
}

std::uint64_t modulo(std::int64_t value, std::uint64_t size)
{
    auto const n = static_cast<std::int64_t>(size);
    return static_cast<std::uint64_t>(((value % n) + n) % n);
}

struct ResamplerDelete {
    void operator()(SRC_STATE* state) const { src_delete(state); }
};

// One channel of the model.
struct ModelChannel {
    std::int64_t bin = 0;
    double residual = 0.0;
    std::vector<Complex> response;  // the filter's response at bin offset d = -M/2..M/2-1, index d + M/2
    double dc_input = 0.0;
    double dc_output = 0.0;
    std::unique_ptr<SRC_STATE, ResamplerDelete> resampler;
    std::vector<float> audio;
};

class ModelFilterBank {
public:
    ModelFilterBank(double rate, double gain, std::vector<double> const& dials, std::vector<double> const& widths)
        : rate_(rate), gain_(gain)
    {
        n_ = least_power_of_two(0.04 * rate);
        double const bin_hz = rate / static_cast<double>(n_);
        m_ = least_power_of_two(24000.0 / bin_hz);
        hop_ = n_ / 2;
        channel_rate_ = rate / static_cast<double>(n_ / m_);
        dc_coefficient_ = std::exp(-40.0 * std::numbers::pi / channel_rate_);
        forward_roots_ = unit_roots(n_);
        inverse_roots_ = unit_roots(m_);
        history_.assign(n_, Complex{});

        for (std::size_t c = 0; c < dials.size(); ++c) {
            double const w = widths[c];
            // Blackman-windowed sinc, L + 1 taps with L = hop, cutoff w/2, unit gain at 0 Hz.
            std::uint64_t const l = hop_;
            std::vector<double> taps(l + 1);
            double sum = 0.0;
            double const fc = w / (2.0 * rate);
            for (std::uint64_t t = 0; t <= l; ++t) {
                double const m = static_cast<double>(t) - std::floor(static_cast<double>(l) / 2.0);
                double const h = m == 0.0 ? 2.0 * fc : std::sin(two_pi * fc * m) / (std::numbers::pi * m);
                double const x = static_cast<double>(t) / static_cast<double>(l);
                taps[t] = h * (0.42 - 0.5 * std::cos(two_pi * x) + 0.08 * std::cos(2.0 * two_pi * x));
                sum += taps[t];
            }
            double const offset = dials[c] + w / 2.0 - centre;
            ModelChannel channel;
            channel.bin = std::llround(offset * static_cast<double>(n_) / rate);
            double const bin_frequency = static_cast<double>(channel.bin) * bin_hz;
            channel.residual = (dials[c] - centre) - bin_frequency;
            // The lowpass moved by the fraction of a bin between the bin and the passband centre.
            std::vector<Complex> shifted(l + 1);
            for (std::uint64_t t = 0; t <= l; ++t) {
                shifted[t] = taps[t] / sum
                             * std::polar(1.0, two_pi * static_cast<double>(t) * (offset - bin_frequency) / rate);
            }
            channel.response.resize(m_);
            for (std::uint64_t j = 0; j < m_; ++j) {
                std::int64_t const d = static_cast<std::int64_t>(j) - static_cast<std::int64_t>(m_ / 2);
                std::uint64_t const k = modulo(d, n_);
                Complex value;
                for (std::uint64_t t = 0; t <= l; ++t) {
                    value += shifted[t] * forward_roots_[(k * t) % n_];
                }
                channel.response[j] = value;
            }
            int error = 0;
            channel.resampler.reset(src_new(SRC_SINC_FASTEST, 1, &error));
            if (!channel.resampler) {
                throw std::runtime_error(src_strerror(error));
            }
            channels_.push_back(std::move(channel));
        }
    }

    std::uint64_t hop() const { return hop_; }

    // Feeds whole hops.
    void push(std::vector<std::complex<float>> const& iq)
    {
        for (std::size_t start = 0; start + hop_ <= iq.size(); start += hop_) {
            std::copy(history_.begin() + static_cast<std::ptrdiff_t>(hop_), history_.end(), history_.begin());
            for (std::uint64_t i = 0; i < hop_; ++i) {
                history_[hop_ + i] = Complex(iq[start + i]);
            }
            frame();
        }
    }

    std::vector<float> const& audio(std::size_t channel) const { return channels_[channel].audio; }

private:
    void frame()
    {
        // The whole spectrum of the frame, bin by bin.
        std::vector<Complex> spectrum(n_);
        for (std::uint64_t k = 0; k < n_; ++k) {
            Complex sum;
            for (std::uint64_t t = 0; t < n_; ++t) {
                sum += history_[t] * forward_roots_[(k * t) % n_];
            }
            spectrum[k] = sum;
        }
        bool const even_frame = (sample_index_ / hop_) % 2 == 0;
        for (ModelChannel& channel : channels_) {
            double const sign = even_frame && channel.bin % 2 != 0 ? -1.0 : 1.0;
            std::vector<Complex> bins(m_);
            for (std::uint64_t j = 0; j < m_; ++j) {
                std::int64_t const d = static_cast<std::int64_t>(j) - static_cast<std::int64_t>(m_ / 2);
                bins[j] = channel.response[j] * spectrum[modulo(channel.bin + d, n_)] * sign;
            }
            // The second half of the unnormalised inverse transform, NCO, real part, DC blocker, gain.
            std::vector<float> samples(m_ / 2);
            for (std::uint64_t s = m_ / 2; s < m_; ++s) {
                Complex sum;
                for (std::uint64_t j = 0; j < m_; ++j) {
                    std::int64_t const d = static_cast<std::int64_t>(j) - static_cast<std::int64_t>(m_ / 2);
                    sum += bins[j] * std::conj(inverse_roots_[modulo(d * static_cast<std::int64_t>(s), m_)]);
                }
                double const seconds = static_cast<double>(sample_index_) / rate_
                                       + static_cast<double>(s - m_ / 2) / channel_rate_;
                double const v =
                    (sum * std::polar(1.0, -two_pi * channel.residual * seconds)).real() / static_cast<double>(n_);
                double const y = v - channel.dc_input + dc_coefficient_ * channel.dc_output;
                channel.dc_input = v;
                channel.dc_output = y;
                samples[s - m_ / 2] = static_cast<float>(y * gain_);
            }
            resample(channel, samples);
        }
        sample_index_ += hop_;
    }

    void resample(ModelChannel& channel, std::vector<float> const& samples)
    {
        std::vector<float> out(4096);
        std::size_t used = 0;
        while (used < samples.size()) {
            SRC_DATA data{};
            data.data_in = samples.data() + used;
            data.input_frames = static_cast<long>(samples.size() - used);
            data.data_out = out.data();
            data.output_frames = static_cast<long>(out.size());
            data.src_ratio = 12000.0 / channel_rate_;
            ASSERT_EQ(src_process(channel.resampler.get(), &data), 0);
            ASSERT_TRUE(data.input_frames_used > 0 || data.output_frames_gen > 0);
            used += static_cast<std::size_t>(data.input_frames_used);
            for (long k = 0; k < data.output_frames_gen; ++k) {
                channel.audio.push_back(std::clamp(out[static_cast<std::size_t>(k)], -1.0f, 1.0f));
            }
        }
    }

    double rate_;
    double gain_;
    std::uint64_t n_ = 0;
    std::uint64_t m_ = 0;
    std::uint64_t hop_ = 0;
    double channel_rate_ = 0.0;
    double dc_coefficient_ = 0.0;
    std::vector<Complex> forward_roots_;
    std::vector<Complex> inverse_roots_;
    std::vector<Complex> history_;
    std::uint64_t sample_index_ = 0;
    std::vector<ModelChannel> channels_;
};

struct Channel {
    double dial_offset;  // dial - centre
    double width;
};

struct BankCase {
    std::string name;
    double rate;
    double gain;
    std::vector<Channel> channels;
};

void PrintTo(BankCase const& c, std::ostream* os) { *os << c.name; }

// Complex white noise with, per channel, a tone inside the passband and one in each transition
// band just outside it, where the window shapes the response most.
std::vector<std::complex<float>> noise_and_tones(BankCase const& c, std::size_t count)
{
    std::mt19937 generator(7);
    std::normal_distribution<double> noise(0.0, 0.02);
    std::vector<std::complex<float>> iq(count);
    for (std::size_t i = 0; i < count; ++i) {
        double const t = static_cast<double>(i) / c.rate;
        Complex sum(noise(generator), noise(generator));
        for (std::size_t k = 0; k < c.channels.size(); ++k) {
            Channel const& channel = c.channels[k];
            double const phase = 0.9 * static_cast<double>(k);
            for (auto [audio_hz, amplitude] : {std::pair{0.37 * channel.width, 0.1}, std::pair{-120.0, 0.2},
                                               std::pair{channel.width + 90.0, 0.2}}) {
                double const cycles = std::fmod((channel.dial_offset + audio_hz) * t, 1.0);
                sum += std::polar(amplitude, two_pi * cycles + phase);
            }
        }
        iq[i] = std::complex<float>(sum);
    }
    return iq;
}

class ChannelizerReference : public ::testing::TestWithParam<BankCase> {};

TEST_P(ChannelizerReference, AgreesWithTheModelSampleBySample)
{
    BankCase const& c = GetParam();
    std::vector<double> dials;
    std::vector<double> widths;
    for (Channel const& channel : c.channels) {
        dials.push_back(centre + channel.dial_offset);
        widths.push_back(channel.width);
    }
    Channelizer::Impl channelizer(c.rate, centre, 2500.0, c.gain, dials, &widths);
    ModelFilterBank model(c.rate, c.gain, dials, widths);
    ASSERT_EQ(channelizer.hop(), model.hop());

    std::vector<std::complex<float>> const iq = noise_and_tones(c, 14 * model.hop());
    Channelizer::Impl::Rows rows(dials.size());
    channelizer.push_iq(iq.data(), iq.size(), rows);
    model.push(iq);
    ASSERT_EQ(channelizer.clipped(), 0u);

    for (std::size_t k = 0; k < dials.size(); ++k) {
        std::vector<float> const& expected = model.audio(k);
        ASSERT_EQ(rows[k].size(), expected.size()) << "channel " << k;
        ASSERT_GT(expected.size(), 2000u);
        double worst = 0.0;
        double level = 0.0;
        std::size_t worst_at = 0;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            double const difference = std::abs(static_cast<double>(rows[k][i]) - expected[i]);
            level = std::max(level, std::abs(static_cast<double>(expected[i])));
            if (difference > worst) {
                worst = difference;
                worst_at = i;
            }
        }
        EXPECT_GT(level, 0.05) << "channel " << k << " carries signal";
        EXPECT_LT(worst, 2e-5) << "channel " << k << " (dial " << c.channels[k].dial_offset
                               << " Hz from the centre): sample " << worst_at << " of " << expected.size();
    }
}

// Bins (forward bin nearest each passband centre): at 64000 Hz, 15.625 Hz apart, M = 2048;
// at 100000 Hz, 24.4140625 Hz apart, M = 1024 (decimation 4).
INSTANTIATE_TEST_SUITE_P(
    Banks, ChannelizerReference,
    ::testing::Values(BankCase{"Rate64000", 64000.0, 1.0,
                               {{3010.0, 2500.0},    // bin 273: odd
                                {-6993.0, 1000.0},   // bin -416: negative, even
                                {-12360.0, 5000.0},  // bin -631: negative, odd
                                {9007.0, 5000.0},    // bin 736: even, same width as before
                                {-1530.0, 3000.0}}},  // bin -2: negative, even, passband across the centre
                      BankCase{"Rate100000", 100000.0, 2.0,
                               {{1500.0, 2800.0},     // bin 119: odd
                                {-20000.0, 1000.0},   // bin -799: negative, odd
                                {-4000.0, 4000.0},    // bin -82: negative, even
                                {30000.0, 3000.0}}}),  // bin 1290: even
    [](auto const& info) { return info.param.name; });

}  // namespace
