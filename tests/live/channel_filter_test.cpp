// The live channel filter against a direct double-precision computation of the windowed sinc
// and its transform; the sharing of one filter between channels of one design; and the audio of
// a channel built on it against the audio of the same channel on the reference filter.
#include "live/channel_filter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "core/fft_bins.hpp"
#include "decode/channelizer.hpp"
#include "live/audio_channel_spec.hpp"
#include "live/audio_dsp.hpp"
#include "testbed/lib/cpu_receive_engine.hpp"
#include "tests/support/tone_measure.hpp"

namespace {

constexpr double pi = std::numbers::pi;

// The filter as written down: taps h[n] = sin(2 pi fc t) / (pi t) (2 fc at t = 0), t = n - N/4,
// times 0.42 - 0.5 cos(4 pi n / N) + 0.08 cos(8 pi n / N), for n = 0 .. N/2; g[n] = h[n] / sum h
// x exp(+j 2 pi n shift / rate); the response at offset d is the N-point transform of g at bin
// d mod N. Everything in double precision, each bin summed directly.
std::vector<std::complex<double>> reference_response(ChannelFilter::Design const& design,
                                                     std::vector<std::int64_t> const& offsets)
{
    std::uint64_t const n = design.fft_size;
    double const fc = design.width_hz / (2.0 * design.input_rate_hz);
    std::vector<std::complex<double>> taps(n / 2 + 1);
    double sum = 0.0;
    for (std::uint64_t i = 0; i < taps.size(); ++i) {
        double const x = static_cast<double>(i);
        double const t = x - static_cast<double>(n) / 4.0;
        double const sinc = t == 0.0 ? 2.0 * fc : std::sin(2.0 * pi * fc * t) / (pi * t);
        double const window = 0.42 - 0.5 * std::cos(4.0 * pi * x / static_cast<double>(n))
                              + 0.08 * std::cos(8.0 * pi * x / static_cast<double>(n));
        taps[i] = sinc * window;
        sum += sinc * window;
    }
    for (std::uint64_t i = 0; i < taps.size(); ++i)
        taps[i] *= std::polar(1.0 / sum, 2.0 * pi * static_cast<double>(i) * design.shift_hz / design.input_rate_hz);
    // exp(-j 2 pi r / N) for every r, so each term is an exact table entry.
    std::vector<std::complex<double>> turn(n);
    for (std::uint64_t r = 0; r < n; ++r)
        turn[r] = std::polar(1.0, -2.0 * pi * static_cast<double>(r) / static_cast<double>(n));
    std::vector<std::complex<double>> response;
    for (std::int64_t const d : offsets) {
        std::uint64_t const bin = natural_bin(d, n);
        std::complex<double> value;
        for (std::uint64_t i = 0; i < taps.size(); ++i)
            value += taps[i] * turn[(i * bin) % n];
        response.push_back(value);
    }
    return response;
}

struct DesignCase {
    std::string name;
    ChannelFilter::Design design;
    std::uint64_t every;  // bins checked: every this many, and all near the passband edges
};

std::ostream& operator<<(std::ostream& out, DesignCase const& c) { return out << c.name; }

class ChannelFilterResponse : public testing::TestWithParam<DesignCase> {};

TEST_P(ChannelFilterResponse, IsTheWindowedSincOfDoublePrecisionToSinglePrecision)
{
    ChannelFilter::Design const& design = GetParam().design;
    std::uint64_t const m = design.extract_size;
    double const bin_hz = design.input_rate_hz / static_cast<double>(design.fft_size);
    std::vector<std::uint64_t> checked;
    for (std::uint64_t k = 0; k < m; k += GetParam().every)
        checked.push_back(k);
    for (double const edge : {-design.width_hz / 2.0, design.width_hz / 2.0}) {
        auto const middle = std::llround((edge + design.shift_hz) / bin_hz);
        for (std::int64_t d = middle - 12; d <= middle + 12; ++d) {
            if (d >= -static_cast<std::int64_t>(m / 2) && d < static_cast<std::int64_t>(m / 2))
                checked.push_back(natural_bin(d, m));
        }
    }
    std::vector<std::int64_t> offsets;
    for (std::uint64_t const k : checked)
        offsets.push_back(fft_order_offset(k, m));

    ChannelFilter const filter(design);
    ASSERT_EQ(filter.response().size(), m);
    std::vector<std::complex<double>> const expected = reference_response(design, offsets);
    for (std::size_t i = 0; i < checked.size(); ++i) {
        std::complex<double> const got = filter.response()[checked[i]];
        EXPECT_NEAR(got.real(), expected[i].real(), 1e-6) << "offset " << offsets[i];
        EXPECT_NEAR(got.imag(), expected[i].imag(), 1e-6) << "offset " << offsets[i];
    }
}

// Capture rates of a test, of an RTL dongle and of a fast SDR; the passband middle off its bin
// either way (a shift is at most half a bin), or on it; widths of SSB, AM and broadcast FM; and
// a channel that takes the whole transform.
INSTANTIATE_TEST_SUITE_P(
    Designs, ChannelFilterResponse,
    testing::Values(DesignCase {"usb_at_64_k", {4096, 2048, 64000, 2800, 7.0}, 1},
                    DesignCase {"whole_transform", {4096, 4096, 64000, 40000, -3.1}, 1},
                    DesignCase {"usb_at_2_m", {131072, 2048, 2000000, 2800, 5.5}, 17},
                    DesignCase {"fm_200k_at_2_m", {131072, 8192, 2000000, 200000, 0.0}, 67},
                    DesignCase {"am_at_10_m", {524288, 2048, 10000000, 6000, -9.0}, 61}),
    [](testing::TestParamInfo<DesignCase> const& info) { return info.param.name; });

TEST(ChannelFilter, RefusesSizesThatAreNoTransform)
{
    for (ChannelFilter::Design const design : {ChannelFilter::Design {4096, 8192, 64000, 3000, 0},
                                               ChannelFilter::Design {4096, 1000, 64000, 3000, 0},
                                               ChannelFilter::Design {0, 0, 64000, 3000, 0}})
        EXPECT_THROW(ChannelFilter {design}, std::invalid_argument) << design.fft_size << " " << design.extract_size;
}

// ---------------------------------------------------------------------------------------------
// Sharing

TEST(ChannelFilter, ChannelsOfOneDesignShareOneFilterWhileOneHoldsIt)
{
    ChannelFilter::Design const design {131072, 2048, 2000000, 2800, 3.25};
    std::shared_ptr<ChannelFilter const> const first = ChannelFilter::shared(design);
    EXPECT_EQ(ChannelFilter::shared(design), first);
    // Each field is part of the key.
    std::vector<ChannelFilter::Design> others(5, design);
    others[0].fft_size = 262144;
    others[1].extract_size = 4096;
    others[2].input_rate_hz = 2048000;
    others[3].width_hz = 2700;
    others[4].shift_hz = -3.25;
    for (ChannelFilter::Design const& other : others)
        EXPECT_NE(ChannelFilter::shared(other), first) << other.fft_size << " " << other.extract_size << " "
                                                       << other.input_rate_hz << " " << other.width_hz << " "
                                                       << other.shift_hz;

    std::weak_ptr<ChannelFilter const> const gone = ChannelFilter::shared({4096, 2048, 64000, 2800, 1.0});
    EXPECT_TRUE(gone.expired()) << "nobody holds a filter no channel uses";
}

TEST(ChannelFilter, ThreadsAskingAtOnceGetOneFilter)
{
    ChannelFilter::Design const design {131072, 4096, 2000000, 6000, -1.5};
    std::vector<std::shared_ptr<ChannelFilter const>> got(4);
    {
        std::vector<std::jthread> threads;
        for (auto& slot : got)
            threads.emplace_back([&slot, &design] { slot = ChannelFilter::shared(design); });
    }
    for (auto const& filter : got)
        EXPECT_EQ(filter, got.front());
}

TEST(ChannelFilter, ChannelsOfOnePassbandOnOneBinGridShareTheirFilter)
{
    // 64000 Hz over 4096 bins: 15.625 Hz apart. Dials a whole number of bins apart, with one
    // width, differ only in their centre bin.
    auto const chain = [](std::string const& spec) {
        return std::make_unique<AudioDSP>(parse_audio_channel(spec), 64000, 7100000, nullptr);
    };
    auto const first = chain("id=a,frequency=7090000");
    auto const same_grid = chain("id=b,frequency=7093125");  // 200 bins higher
    auto const agc_off = chain("id=c,frequency=7090000,agc=off,audio-gain=20");
    auto const off_grid = chain("id=d,frequency=7093130");
    auto const narrower = chain("id=e,frequency=7090000,bandwidth=2400");
    EXPECT_EQ(same_grid->filter(), first->filter());
    EXPECT_EQ(agc_off->filter(), first->filter());
    EXPECT_NE(off_grid->filter(), first->filter());
    EXPECT_NE(narrower->filter(), first->filter());
}

// ---------------------------------------------------------------------------------------------
// The audio of a channel on its shared filter against the same channel on the reference filter:
// both chains run on one receive engine, which for the second replaces the weights the chain
// registers by the double-precision design.

class ReferenceWeights final : public RawSpectrum {
public:
    explicit ReferenceWeights(std::shared_ptr<testbed::CpuReceiveEngine> inner) : inner_(std::move(inner)) {}

    std::vector<float> replacement;  // used for the next complex row when not empty

    int add_complex_row(std::vector<std::int64_t> offsets, std::vector<float> weights, double frequency_hz) override
    {
        if (!replacement.empty()) {
            EXPECT_EQ(replacement.size(), weights.size());
            weights = std::exchange(replacement, {});
        }
        return inner_->add_complex_row(std::move(offsets), std::move(weights), frequency_hz);
    }
    int add_real_row(std::vector<std::int64_t> offsets, std::vector<std::uint64_t> bounds, double frequency_hz) override
    {
        return inner_->add_real_row(std::move(offsets), std::move(bounds), frequency_hz);
    }
    void remove(int id) override { inner_->remove(id); }
    void set_window(double centre_hz, double width_hz, double radius_hz) override
    {
        inner_->set_window(centre_hz, width_hz, radius_hz);
    }
    std::uint64_t block_samples() const override { return inner_->block_samples(); }
    std::uint64_t decimation() const override { return inner_->decimation(); }
    void reset() override { inner_->reset(); }
    std::int16_t* input_slot() override { return inner_->input_slot(); }
    bool process(std::uint64_t frame, ResultsCallback const& callback) override
    {
        return inner_->process(frame, callback);
    }

private:
    std::shared_ptr<testbed::CpuReceiveEngine> inner_;
};

struct AudioCase {
    std::string name;
    std::string spec;
    std::vector<double> tones_hz;  // above the dial; one near each passband edge tests the slopes
};

std::ostream& operator<<(std::ostream& out, AudioCase const& c) { return out << c.name; }

class ChannelFilterAudio : public testing::TestWithParam<AudioCase> {};

TEST_P(ChannelFilterAudio, IsTheAudioOfTheDoublePrecisionFilter)
{
    constexpr double rate = 64000;  // N = 4096
    constexpr double centre = 32000;  // the real ADC stream reaches 64 kHz
    constexpr std::uint64_t decimation = 2;
    constexpr double adc_rate = rate * decimation;
    AudioChannel const channel = parse_audio_channel(GetParam().spec);

    auto inner = std::make_shared<testbed::CpuReceiveEngine>(4096, decimation, adc_rate);
    auto engine = std::make_shared<ReferenceWeights>(inner);
    AudioDSP shared(AudioChannel(channel), rate, centre, engine);

    auto const [low, high] = audio_passband(channel);
    double const middle = (low + high) / 2.0;
    double const bin_hz = rate / 4096.0;
    std::int64_t const c = std::llround((middle - centre) / bin_hz);
    ASSERT_EQ(c, shared.centre_bin());
    ChannelFilter::Design const design {4096, shared.extract_size(), rate, high - low,
                                        middle - centre - static_cast<double>(c) * bin_hz};
    std::vector<std::int64_t> offsets;
    for (std::uint64_t k = 0; k < design.extract_size; ++k)
        offsets.push_back(fft_order_offset(k, design.extract_size));
    for (std::complex<double> const value : reference_response(design, offsets)) {
        engine->replacement.push_back(static_cast<float>(value.real()));
        engine->replacement.push_back(static_cast<float>(value.imag()));
    }
    AudioDSP reference(AudioChannel(channel), rate, centre, engine);
    ASSERT_TRUE(engine->replacement.empty());

    std::size_t const count = 40 * inner->block_samples();
    std::vector<std::int16_t> words(count);
    for (std::size_t i = 0; i < count; ++i) {
        double value = 0.0;
        for (double const tone : GetParam().tones_hz)
            value += 0.1 * std::cos(2.0 * pi * std::fmod((channel.frequency + tone) * static_cast<double>(i) / adc_rate, 1.0));
        words[i] = static_cast<std::int16_t>(std::lround(value * 32767.0));
    }
    Channelizer::Impl channelizer(rate, centre, 2500, 1.0, {}, nullptr);
    channelizer.attach_engine(engine);
    std::vector<float> shared_audio;
    std::vector<float> reference_audio;
    std::vector<float> block;
    channelizer.set_spectrum_hook([&](SpectrumFrame const& frame) {
        process_channel_block(shared, frame, block);
        shared_audio.insert(shared_audio.end(), block.begin(), block.end());
        process_channel_block(reference, frame, block);
        reference_audio.insert(reference_audio.end(), block.begin(), block.end());
    });
    Channelizer::Impl::Rows rows;
    channelizer.push_raw(words.data(), words.size(), rows);

    ASSERT_EQ(shared_audio.size(), reference_audio.size());
    ASSERT_GT(shared_audio.size(), 48000u);
    double level = 0.0;
    double worst = 0.0;
    for (std::size_t i = 0; i < shared_audio.size(); ++i) {
        level = std::max(level, static_cast<double>(std::fabs(reference_audio[i])));
        worst = std::max(worst, static_cast<double>(std::fabs(shared_audio[i] - reference_audio[i])));
    }
    EXPECT_GT(level, 0.05) << "the tones are heard";
    EXPECT_LT(level, 0.9) << "and not clipped";
    EXPECT_LT(worst, 1e-5 * level) << "audio level " << level;
}

INSTANTIATE_TEST_SUITE_P(
    Channels, ChannelFilterAudio,
    testing::Values(AudioCase {"usb_tones_at_the_edges", "id=u,frequency=37007,agc=off,audio-gain=2",
                               {40, 1000, 2790}},
                    AudioCase {"lsb_with_low_cut", "id=l,frequency=29003,modulation=LSB,low-cut=300,agc=off,audio-gain=2",
                                {-280, -1500, -2990}},
                    AudioCase {"am", "id=a,frequency=41011,modulation=AM,bandwidth=6000,agc=off,audio-gain=2", {0, 2990}}),
    [](testing::TestParamInfo<AudioCase> const& info) { return info.param.name; });

}  // namespace
