#include "decode/channelizer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <numbers>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "decode/fft.hpp"
#include "testbed/lib/cpu_receive_engine.hpp"

namespace {

using Rows = Channelizer::Impl::Rows;
using Iq = std::vector<std::complex<float>>;
constexpr double pi = std::numbers::pi;
constexpr double audio_rate = 12000.0;

struct Tone {
    double offset_hz;  // from the IQ centre
    double amplitude;
    double phase = 0.0;
};

Iq tones(double rate, std::vector<Tone> const& parts, std::size_t count)
{
    Iq iq(count);
    for (std::size_t n = 0; n < count; ++n) {
        std::complex<double> sum;
        for (Tone const& tone : parts) {
            double const cycles = std::fmod(tone.offset_hz * static_cast<double>(n) / rate, 1.0);
            sum += std::polar(tone.amplitude, 2.0 * pi * cycles + tone.phase);
        }
        iq[n] = std::complex<float>(sum);
    }
    return iq;
}

Rows empty_rows(Channelizer::Impl const& channelizer) { return Rows(channelizer.channel_count()); }

Rows run(Channelizer::Impl& channelizer, Iq const& iq)
{
    Rows rows = empty_rows(channelizer);
    channelizer.push_iq(iq.data(), iq.size(), rows);
    return rows;
}

// Amplitude of the sinusoid of frequency_hz in the audio after skip_s (settling) seconds.
double amplitude_at(std::vector<float> const& audio, double frequency_hz, double skip_s = 0.25)
{
    auto const first = static_cast<std::size_t>(skip_s * audio_rate);
    std::complex<double> sum;
    std::size_t count = 0;
    for (std::size_t i = first; i < audio.size(); ++i, ++count) {
        double const cycles = std::fmod(frequency_hz * static_cast<double>(i) / audio_rate, 1.0);
        sum += static_cast<double>(audio[i]) * std::polar(1.0, -2.0 * pi * cycles);
    }
    return count == 0 ? 0.0 : 2.0 * std::abs(sum) / static_cast<double>(count);
}

double rms(std::vector<float> const& audio, double skip_s = 0.25)
{
    auto const first = static_cast<std::size_t>(skip_s * audio_rate);
    double sum = 0.0;
    for (std::size_t i = first; i < audio.size(); ++i) {
        sum += static_cast<double>(audio[i]) * audio[i];
    }
    return audio.size() > first ? std::sqrt(sum / static_cast<double>(audio.size() - first)) : 0.0;
}

double db(double ratio) { return 20.0 * std::log10(ratio); }

constexpr double centre = 14074000.0;

// ---------------------------------------------------------------------------------------------
// Geometry and validation

struct Geometry {
    double rate;
    std::uint64_t fft_size;
    std::uint64_t channel_fft_size;
    std::uint64_t decimation;
    double channel_rate;
};

void PrintTo(Geometry const& g, std::ostream* os) { *os << g.rate << " Hz"; }

class ChannelizerGeometry : public ::testing::TestWithParam<Geometry> {};

TEST_P(ChannelizerGeometry, FollowsFromTheRate)
{
    Geometry const g = GetParam();
    Channelizer::Impl channelizer(g.rate, centre, 2500.0, 1.0, {}, nullptr);
    EXPECT_EQ(channelizer.fft_size(), g.fft_size);
    EXPECT_EQ(channelizer.channel_fft_size(), g.channel_fft_size);
    EXPECT_EQ(channelizer.decimation(), g.decimation);
    EXPECT_DOUBLE_EQ(channelizer.channel_rate(), g.channel_rate);
    EXPECT_EQ(channelizer.hop(), g.fft_size / 2);
    EXPECT_DOUBLE_EQ(channelizer.rate(), g.rate);
    EXPECT_DOUBLE_EQ(channelizer.centre(), centre);
    EXPECT_EQ(channelizer.sample_index(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rates, ChannelizerGeometry,
                         ::testing::Values(Geometry{64000, 4096, 2048, 2, 32000},
                                           Geometry{2000000, 131072, 2048, 64, 31250},
                                           Geometry{2048000, 131072, 2048, 64, 32000},
                                           Geometry{3200000, 131072, 1024, 128, 25000},
                                           Geometry{8000000, 524288, 2048, 256, 31250},
                                           Geometry{16000000, 1048576, 2048, 512, 31250},
                                           Geometry{64000000, 4194304, 2048, 2048, 31250}));

struct Refusal {
    std::string name;
    double rate;
    double centre;
    double bandwidth;
    double gain;
    std::vector<double> frequencies;
    std::vector<double> bandwidths;  // empty: none given
    bool give_bandwidths;
    std::string message;
};

void PrintTo(Refusal const& r, std::ostream* os) { *os << r.name; }

class ChannelizerRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(ChannelizerRefusal, SaysWhy)
{
    Refusal const r = GetParam();
    try {
        Channelizer::Impl channelizer(r.rate, r.centre, r.bandwidth, r.gain, r.frequencies,
                                      r.give_bandwidths ? &r.bandwidths : nullptr);
        FAIL() << "accepted";
    } catch (std::runtime_error const& error) {
        EXPECT_EQ(std::string(error.what()), r.message);
    }
}

double const nan = std::numeric_limits<double>::quiet_NaN();
double const inf = std::numeric_limits<double>::infinity();
std::string const invalid = "Invalid channelizer configuration";
std::string const nyquist = "Channel outside IQ Nyquist bandwidth";

INSTANTIATE_TEST_SUITE_P(
    Configurations, ChannelizerRefusal,
    ::testing::Values(Refusal{"RateTooLow", 63999, 0, 2500, 1, {}, {}, false, invalid},
                      Refusal{"RateTooHigh", 64000001, 0, 2500, 1, {}, {}, false, invalid},
                      Refusal{"RateNaN", nan, 0, 2500, 1, {}, {}, false, invalid},
                      Refusal{"RateInfinite", inf, 0, 2500, 1, {}, {}, false, invalid},
                      Refusal{"DefaultBandwidthTooNarrow", 64000, 0, 999.9, 1, {}, {}, false, invalid},
                      Refusal{"DefaultBandwidthTooWide", 64000, 0, 5000.1, 1, {}, {}, false, invalid},
                      Refusal{"DefaultBandwidthNaN", 64000, 0, nan, 1, {}, {}, false, invalid},
                      Refusal{"GainZero", 64000, 0, 2500, 0, {}, {}, false, invalid},
                      Refusal{"GainNegative", 64000, 0, 2500, -1, {}, {}, false, invalid},
                      Refusal{"GainNaN", 64000, 0, 2500, nan, {}, {}, false, invalid},
                      Refusal{"GainInfinite", 64000, 0, 2500, inf, {}, {}, false, invalid},
                      Refusal{"CentreNaN", 64000, nan, 2500, 1, {1000}, {}, false, invalid},
                      Refusal{"BandwidthCount", 64000, 0, 2500, 1, {1000, 2000}, {2500}, true,
                              "Channel bandwidth count differs from frequency count"},
                      Refusal{"ChannelBandwidthTooNarrow", 64000, 0, 2500, 1, {1000}, {999.9}, true,
                              "Invalid channel bandwidth"},
                      Refusal{"ChannelBandwidthTooWide", 64000, 0, 2500, 1, {1000}, {5000.1}, true,
                              "Invalid channel bandwidth"},
                      Refusal{"ChannelBandwidthNaN", 64000, 0, 2500, 1, {1000}, {nan}, true,
                              "Invalid channel bandwidth"},
                      Refusal{"FrequencyNaN", 64000, 0, 2500, 1, {nan}, {}, false, nyquist},
                      Refusal{"FrequencyInfinite", 64000, 0, 2500, 1, {inf}, {}, false, nyquist},
                      // Passband edge exactly at +rate/2 and at -rate/2.
                      Refusal{"TouchesUpperNyquist", 64000, 0, 2000, 1, {30000}, {}, false, nyquist},
                      Refusal{"TouchesLowerNyquist", 64000, 0, 2000, 1, {-32000}, {}, false, nyquist},
                      Refusal{"FarOutside", 64000, 0, 2000, 1, {500000}, {}, false, nyquist}),
    [](auto const& info) { return info.param.name; });

TEST(Channelizer, AcceptsTheLimits)
{
    std::vector<double> const bandwidths{1000, 5000};
    EXPECT_NO_THROW(Channelizer::Impl(64000, 0, 1000, 1, {0, 5000}, &bandwidths));
    EXPECT_NO_THROW(Channelizer::Impl(64000, 0, 5000, 1e-6, {1000}, nullptr));
    EXPECT_NO_THROW(Channelizer::Impl(64000000, 0, 2500, 1, {}, nullptr));
    // Just inside the Nyquist band on both sides.
    EXPECT_NO_THROW(Channelizer::Impl(64000, 0, 2000, 1, {29999, -31999}, nullptr));
}

// ---------------------------------------------------------------------------------------------
// Output of a tone

struct ToneCase {
    std::string name;
    double rate;
    double dial_offset;  // dial - centre
    double bandwidth;
    double gain;
    double seconds;
};

void PrintTo(ToneCase const& c, std::ostream* os) { *os << c.name; }

class ChannelizerTone : public ::testing::TestWithParam<ToneCase> {};

TEST_P(ChannelizerTone, PassbandCentreBecomesAHalfBandwidthSine)
{
    ToneCase const c = GetParam();
    double const amplitude = 0.2;
    std::vector<double> const bandwidths{c.bandwidth};
    Channelizer::Impl with_width(c.rate, centre, 2500.0, c.gain, {centre + c.dial_offset}, &bandwidths);
    auto const count = static_cast<std::size_t>(c.seconds * c.rate);
    Rows const rows = run(with_width, tones(c.rate, {{c.dial_offset + c.bandwidth / 2, amplitude, 0.7}}, count));
    ASSERT_EQ(rows.size(), 1u);
    double const whole_hops = static_cast<double>(count / with_width.hop() * with_width.hop());
    double const expected_samples = whole_hops * audio_rate / c.rate;
    EXPECT_NEAR(static_cast<double>(rows[0].size()), expected_samples, 0.01 * expected_samples + 64);
    EXPECT_NEAR(amplitude_at(rows[0], c.bandwidth / 2), amplitude * c.gain, 0.01 * amplitude * c.gain);
    EXPECT_EQ(with_width.clipped(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Channels, ChannelizerTone,
    ::testing::Values(
        // Bin 401 and bin -689: odd bins flip the sign of every other frame.
        ToneCase{"AboveCentreOddBin", 64000, 5015.625, 2500, 1.0, 1.5},
        ToneCase{"BelowCentreNegativeOddBin", 64000, -12015.625, 2500, 2.0, 1.5},
        ToneCase{"BelowCentreEvenBin", 64000, -3000, 1000, 1.0, 1.5},
        ToneCase{"WideBetweenBins", 250000, 70007.3, 5000, 0.5, 1.5},
        ToneCase{"TwoMegahertz", 2048000, -612345.6, 3000, 3.0, 1.2}),
    [](auto const& info) { return info.param.name; });

TEST(Channelizer, FilterMeetsItsMask)
{
    // Passband flat within 0.2 dB from 200 Hz to bandwidth - 200 Hz; everything 400 Hz or more
    // outside the passband at least 60 dB down, wherever it would land in the audio.
    double const rate = 64000;
    double const dial_offset = 3000;
    double const bandwidth = 2500;
    std::size_t const count = 64000;
    for (double audio : {200.0, 700.0, 1250.0, 1800.0, 2300.0}) {
        Channelizer::Impl channelizer(rate, centre, bandwidth, 1.0, {centre + dial_offset}, nullptr);
        Rows const rows = run(channelizer, tones(rate, {{dial_offset + audio, 0.5}}, count));
        EXPECT_NEAR(db(amplitude_at(rows[0], audio) / 0.5), 0.0, 0.2) << "passband tone at " << audio << " Hz";
    }
    for (double audio : {-400.0, -3000.0, bandwidth + 400, 5000.0, 9000.0, 20000.0}) {
        Channelizer::Impl channelizer(rate, centre, bandwidth, 1.0, {centre + dial_offset}, nullptr);
        Rows const rows = run(channelizer, tones(rate, {{dial_offset + audio, 0.5}}, count));
        EXPECT_LT(db(rms(rows[0]) * std::sqrt(2.0) / 0.5), -60.0) << "stopband tone at " << audio << " Hz";
    }
}

// ---------------------------------------------------------------------------------------------
// Identities: the output must not depend on how the input arrives

std::vector<double> four_dials() { return {centre - 20000, centre - 2990.3, centre + 1000, centre + 15015.625}; }

Iq test_signal(std::size_t count)
{
    Iq iq = tones(64000, {{-18700, 0.1}, {-1712.5, 0.2}, {2000, 0.15}, {16200, 0.1}}, count);
    std::mt19937 generator(1);
    std::normal_distribution<float> noise(0.0f, 0.01f);
    for (auto& v : iq) {
        v += std::complex<float>(noise(generator), noise(generator));
    }
    return iq;
}

TEST(Channelizer, OutputDoesNotDependOnHowTheInputIsCut)
{
    Iq const iq = test_signal(40000);
    Channelizer::Impl whole(64000, centre, 2500, 1.0, four_dials(), nullptr);
    Rows const expected = run(whole, iq);

    Channelizer::Impl pieces(64000, centre, 2500, 1.0, four_dials(), nullptr);
    Rows actual = empty_rows(pieces);
    std::size_t const sizes[] = {1, 7, 1000, 2047, 4096, 333, 2048};
    std::size_t at = 0;
    for (std::size_t i = 0; at < iq.size(); ++i) {
        std::size_t const n = std::min(sizes[i % std::size(sizes)], iq.size() - at);
        pieces.push_iq(iq.data() + at, n, actual);
        at += n;
    }
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(pieces.sample_index(), whole.sample_index());
    EXPECT_EQ(whole.sample_index(), 40000 / 2048 * 2048u);
}

TEST(Channelizer, ZerosGoThroughTheSamePathAsSamples)
{
    Iq iq = test_signal(30000);
    Channelizer::Impl explicit_zeros(64000, centre, 2500, 1.0, four_dials(), nullptr);
    std::fill(iq.begin() + 10000, iq.begin() + 20000, std::complex<float>{});
    Rows const expected = run(explicit_zeros, iq);

    Channelizer::Impl filled(64000, centre, 2500, 1.0, four_dials(), nullptr);
    Rows actual = empty_rows(filled);
    filled.push_iq(iq.data(), 10000, actual);
    filled.push_zeros(0, actual);
    EXPECT_EQ(filled.sample_index(), 4 * 2048u);
    filled.push_zeros(3000, actual);
    filled.push_zeros(7000, actual);
    filled.push_iq(iq.data() + 20000, 10000, actual);
    EXPECT_EQ(actual, expected);
}

TEST(Channelizer, ResetStartsAFreshStream)
{
    Iq const iq = test_signal(30000);
    Channelizer::Impl fresh(64000, centre, 2500, 1.0, four_dials(), nullptr);
    Rows const expected = run(fresh, iq);

    Channelizer::Impl reused(64000, centre, 2500, 1.0, four_dials(), nullptr);
    Iq other = tones(64000, {{-1000, 0.9}, {2100, 0.7}}, 12345);
    run(reused, other);
    EXPECT_GT(reused.sample_index(), 0u);
    reused.reset();
    EXPECT_EQ(reused.sample_index(), 0u);
    EXPECT_EQ(run(reused, iq), expected);
}

TEST(Channelizer, ChannelsComeOutTheSameWhateverTheirCompany)
{
    Iq const iq = test_signal(30000);
    std::vector<double> dials = four_dials();
    Channelizer::Impl four(64000, centre, 2500, 1.0, dials, nullptr);
    dials.pop_back();
    Channelizer::Impl three(64000, centre, 2500, 1.0, dials, nullptr);
    Rows const with_four = run(four, iq);
    Rows const with_three = run(three, iq);
    for (std::size_t c = 0; c < 3; ++c) {
        EXPECT_EQ(with_three[c], with_four[c]) << "channel " << c;
    }
}

TEST(Channelizer, EachChannelKeepsItsOwnBandwidth)
{
    // Alternating widths: every channel must come out as if it ran alone with its width.
    Iq const iq = test_signal(30000);
    std::vector<double> const dials = four_dials();
    std::vector<double> const widths{2500, 1000, 1000, 5000};
    Channelizer::Impl mixed(64000, centre, 2500, 1.0, dials, &widths);
    Rows const together = run(mixed, iq);
    for (std::size_t c = 0; c < dials.size(); ++c) {
        Channelizer::Impl alone(64000, centre, widths[c], 1.0, {dials[c]}, nullptr);
        EXPECT_EQ(run(alone, iq)[0], together[c]) << "channel " << c;
    }
}

TEST(Channelizer, WorkerPoolGivesTheSameOutput)
{
    double const rate = 2048000;
    Iq const iq = tones(rate, {{-600000, 0.2}, {1300.5, 0.3}, {700000, 0.1}}, 3 * 65536 + 100);
    std::vector<double> const dials{centre - 601250, centre, centre + 50000, centre + 698750, centre - 3000};
    Channelizer::Impl serial(rate, centre, 2500, 1.0, dials, nullptr);
    serial.configure_workers(1);
    Channelizer::Impl pooled(rate, centre, 2500, 1.0, dials, nullptr);
    pooled.configure_workers(4);
    Rows const expected = run(serial, iq);
    Rows const actual = run(pooled, iq);
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t c = 0; c < expected.size(); ++c) {
        ASSERT_EQ(actual[c].size(), expected[c].size());
        for (std::size_t i = 0; i < expected[c].size(); ++i) {
            ASSERT_NEAR(actual[c][i], expected[c][i], 1e-5) << "channel " << c << " sample " << i;
        }
    }
}

TEST(Channelizer, RefusesRowsThatDoNotMatchTheChannels)
{
    Channelizer::Impl channelizer(64000, centre, 2500, 1.0, four_dials(), nullptr);
    Rows rows(3);
    Iq const iq(10);
    EXPECT_THROW(channelizer.push_iq(iq.data(), iq.size(), rows), std::logic_error);
    EXPECT_THROW(channelizer.push_zeros(10, rows), std::logic_error);
}

// ---------------------------------------------------------------------------------------------
// Levels: clipping and samples that are not numbers

TEST(Channelizer, ClampsAndCountsLoudOutput)
{
    Channelizer::Impl channelizer(64000, centre, 2500, 4.0, {centre}, nullptr);
    Rows const rows = run(channelizer, tones(64000, {{1250, 0.5}}, 32000));
    EXPECT_GT(channelizer.clipped(), 1000u);
    float lowest = 0;
    float highest = 0;
    for (float v : rows[0]) {
        lowest = std::min(lowest, v);
        highest = std::max(highest, v);
    }
    EXPECT_EQ(highest, 1.0f);
    EXPECT_EQ(lowest, -1.0f);
}

TEST(Channelizer, SamplesThatAreNotNumbersBecomeSilenceAndCountAsClipped)
{
    double const rate = 64000;
    Iq iq = tones(rate, {{1250, 0.3}}, 96000);
    iq[20000] = {std::numeric_limits<float>::quiet_NaN(), 0.0f};
    iq[20001] = {0.0f, std::numeric_limits<float>::infinity()};
    Channelizer::Impl channelizer(rate, centre, 2500, 1.0, {centre}, nullptr);
    Rows const rows = run(channelizer, iq);
    for (float v : rows[0]) {
        ASSERT_TRUE(std::isfinite(v));
    }
    EXPECT_GT(channelizer.clipped(), 0u);
    // Reception recovers once the bad samples have left the history: the last second is clean.
    std::vector<float> const tail(rows[0].end() - 12000, rows[0].end());
    EXPECT_NEAR(amplitude_at(tail, 1250, 0.1), 0.3, 0.003);
}

// ---------------------------------------------------------------------------------------------
// Hooks

TEST(Channelizer, FailingForwardHookIsCalledOnceAndTheOutputGoesOn)
{
    Iq const iq = test_signal(20000);
    Channelizer::Impl plain(64000, centre, 2500, 1.0, four_dials(), nullptr);
    Rows const expected = run(plain, iq);

    Channelizer::Impl hooked(64000, centre, 2500, 1.0, four_dials(), nullptr);
    int calls = 0;
    hooked.set_forward_hook([&calls](std::complex<float> const*, std::complex<float>* out) {
        ++calls;
        out[0] = {1e9f, 1e9f};  // whatever a failed device left behind must not be used
        return false;
    });
    EXPECT_EQ(run(hooked, iq), expected);
    EXPECT_EQ(calls, 1);
}

TEST(Channelizer, WorkingForwardHookReplacesTheProcessorTransform)
{
    Iq const iq = test_signal(20000);
    Channelizer::Impl plain(64000, centre, 2500, 1.0, four_dials(), nullptr);
    Rows const expected = run(plain, iq);

    Channelizer::Impl hooked(64000, centre, 2500, 1.0, four_dials(), nullptr);
    auto device = std::make_shared<FourStepFft>(hooked.fft_size());
    int calls = 0;
    hooked.set_forward_hook([device, &calls](std::complex<float> const* in, std::complex<float>* out) {
        ++calls;
        device->forward(in, out);
        return true;
    });
    EXPECT_EQ(run(hooked, iq), expected);
    EXPECT_EQ(calls, 20000 / 2048);
}

TEST(Channelizer, SpectrumHookSeesEveryFrameInStorageOrder)
{
    double const rate = 64000;
    double const bin_hz = rate / 4096;
    Channelizer::Impl channelizer(rate, centre, 2500, 1.0, {centre}, nullptr);
    std::vector<std::uint64_t> indices;
    std::vector<std::size_t> peaks;
    channelizer.set_spectrum_hook([&](SpectrumFrame const& frame) {
        EXPECT_NE(frame.bins, nullptr);
        EXPECT_EQ(frame.results, nullptr);
        EXPECT_EQ(frame.lag_frames, 0u);
        EXPECT_EQ(frame.fft_size, 4096u);
        EXPECT_EQ(frame.bin_step, 4u);
        EXPECT_DOUBLE_EQ(frame.rate, rate);
        EXPECT_DOUBLE_EQ(frame.centre, centre);
        indices.push_back(frame.sample_index);
        std::size_t best = 0;
        for (std::size_t i = 1; i < frame.fft_size; ++i) {
            if (std::abs(frame.bins[i]) > std::abs(frame.bins[best])) {
                best = i;
            }
        }
        peaks.push_back(best);
    });
    // Natural bin -5 is bin 4091: position (4091 mod 4) x 1024 + 4091 / 4.
    run(channelizer, tones(rate, {{-5 * bin_hz, 1.0}}, 5 * 2048 + 17));
    EXPECT_THAT(indices, ::testing::ElementsAre(0u, 2048u, 4096u, 6144u, 8192u));
    for (std::size_t i = 1; i < peaks.size(); ++i) {
        EXPECT_EQ(peaks[i], 3u * 1024u + 1022u);
    }
}

// ---------------------------------------------------------------------------------------------
// Receive engine path

constexpr std::uint64_t engine_decimation = 2;
constexpr double engine_iq_rate = 64000;
constexpr double adc_rate = engine_iq_rate * engine_decimation;

// Real ADC words of cosines at RF frequency (Hz) with amplitudes in full-scale units.
std::vector<std::int16_t> adc_words(std::vector<Tone> const& rf, std::size_t count)
{
    std::vector<std::int16_t> words(count);
    for (std::size_t m = 0; m < count; ++m) {
        double sum = 0.0;
        for (Tone const& tone : rf) {
            double const cycles = std::fmod(tone.offset_hz * static_cast<double>(m) / adc_rate, 1.0);
            sum += tone.amplitude * std::cos(2.0 * pi * cycles + tone.phase);
        }
        words[m] = static_cast<std::int16_t>(std::lround(sum * 32767.0));
    }
    return words;
}

class ChannelizerEngine : public ::testing::TestWithParam<double> {};

TEST_P(ChannelizerEngine, RowsMatchTheProcessorPath)
{
    double const rf_centre = GetParam();
    std::vector<double> const dials{rf_centre + 5015.625, rf_centre - 12015.625, rf_centre + 2000};
    std::vector<Tone> const rf{{dials[0] + 1250, 0.2, 0.3}, {dials[1] + 1250, 0.3, 1.1}, {dials[2] + 600, 0.1, 2.0}};
    std::size_t const blocks = 24;

    auto engine = std::make_shared<testbed::CpuReceiveEngine>(4096, engine_decimation, adc_rate);
    Channelizer::Impl on_engine(engine_iq_rate, rf_centre, 2500, 1.0, dials, nullptr);
    on_engine.attach_engine(engine);
    std::vector<std::uint64_t> indices;
    on_engine.set_spectrum_hook([&](SpectrumFrame const& frame) {
        EXPECT_EQ(frame.bins, nullptr);
        EXPECT_NE(frame.results, nullptr);
        EXPECT_EQ(frame.lag_frames, 1u);
        EXPECT_EQ(frame.bin_step, 4u);
        indices.push_back(frame.sample_index);
    });
    std::vector<std::int16_t> const words = adc_words(rf, blocks * engine->block_samples());
    Rows engine_rows = empty_rows(on_engine);
    on_engine.push_raw(words.data(), words.size(), engine_rows);
    // The engine delivers each frame one block late.
    EXPECT_EQ(indices.size(), blocks - 1);
    EXPECT_EQ(on_engine.sample_index(), (blocks - 1) * 2048u);

    std::vector<Tone> baseband;
    for (Tone const& tone : rf) {
        baseband.push_back({tone.offset_hz - rf_centre, tone.amplitude * 32767.0 / 32768.0, tone.phase});
    }
    Channelizer::Impl on_processor(engine_iq_rate, rf_centre, 2500, 1.0, dials, nullptr);
    Rows const expected = run(on_processor, tones(engine_iq_rate, baseband, (blocks - 1) * 2048));
    for (std::size_t c = 0; c < dials.size(); ++c) {
        ASSERT_EQ(engine_rows[c].size(), expected[c].size()) << "channel " << c;
        // The stream's onset is a step, whose image a real signal carries and its complex
        // baseband does not; once that has passed both paths agree to the ADC's resolution.
        std::size_t const settled = 1200;
        for (std::size_t i = settled; i < expected[c].size(); ++i) {
            ASSERT_NEAR(engine_rows[c][i], expected[c][i], 5e-5) << "channel " << c << " sample " << i;
        }
    }
    EXPECT_NEAR(amplitude_at(engine_rows[0], 1250), 0.2, 0.003);
}

// An RF centre on an even and on an odd bin of the engine's transform.
INSTANTIATE_TEST_SUITE_P(Centres, ChannelizerEngine, ::testing::Values(32000.0, 32015.625));

TEST(ChannelizerEngine, ZerosAndResetFollowTheRawPath)
{
    double const rf_centre = 32000;
    std::vector<double> const dials{rf_centre + 1000};
    auto engine = std::make_shared<testbed::CpuReceiveEngine>(4096, engine_decimation, adc_rate);
    std::vector<std::int16_t> words = adc_words({{rf_centre + 2000, 0.25}}, 10 * 4096 + 100);

    Channelizer::Impl channelizer(engine_iq_rate, rf_centre, 2500, 1.0, dials, nullptr);
    channelizer.attach_engine(engine);
    Rows first = empty_rows(channelizer);
    channelizer.push_raw(words.data(), 3000, first);
    channelizer.push_zeros(2500, first);  // 5000 raw zeros
    channelizer.push_raw(words.data() + 8000, words.size() - 8000, first);

    channelizer.reset();
    EXPECT_EQ(channelizer.sample_index(), 0u);
    std::fill(words.begin() + 3000, words.begin() + 8000, std::int16_t{0});
    Rows second = empty_rows(channelizer);
    channelizer.push_raw(words.data(), words.size(), second);
    EXPECT_EQ(second, first);
    EXPECT_FALSE(second[0].empty());
}

TEST(ChannelizerEngine, RefusesAnEngineOfAnotherFrame)
{
    auto engine = std::make_shared<testbed::CpuReceiveEngine>(2048, engine_decimation, adc_rate);
    Channelizer::Impl channelizer(engine_iq_rate, 32000, 2500, 1.0, {33000}, nullptr);
    try {
        channelizer.attach_engine(engine);
        FAIL() << "accepted";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "GPU receive engine frame differs from the channelizer's");
    }
    EXPECT_EQ(engine->row_count(), 0u);
}

TEST(ChannelizerEngine, RowsLeaveTheEngineWithTheChannelizer)
{
    auto engine = std::make_shared<testbed::CpuReceiveEngine>(4096, engine_decimation, adc_rate);
    {
        Channelizer::Impl channelizer(engine_iq_rate, 32000, 2500, 1.0, {33000, 30000}, nullptr);
        channelizer.attach_engine(engine);
        EXPECT_EQ(engine->row_count(), 2u);
        EXPECT_EQ(channelizer.row_ids().size(), 2u);
    }
    EXPECT_EQ(engine->row_count(), 0u);
}

TEST(ChannelizerEngine, LostRowIsAnError)
{
    auto engine = std::make_shared<testbed::CpuReceiveEngine>(4096, engine_decimation, adc_rate);
    Channelizer::Impl channelizer(engine_iq_rate, 32000, 2500, 1.0, {33000, 30000}, nullptr);
    channelizer.attach_engine(engine);
    std::vector<std::int16_t> const words(4 * engine->block_samples(), 100);
    Rows rows = empty_rows(channelizer);
    channelizer.push_raw(words.data(), words.size(), rows);
    engine->remove(channelizer.row_ids()[1]);
    try {
        channelizer.push_raw(words.data(), words.size(), rows);
        FAIL() << "no error";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "GPU receive engine lost a channel row");
    }
}

TEST(ChannelizerEngine, FailedEngineIsAnErrorEveryTime)
{
    auto engine = std::make_shared<testbed::CpuReceiveEngine>(4096, engine_decimation, adc_rate);
    Channelizer::Impl channelizer(engine_iq_rate, 32000, 2500, 1.0, {33000}, nullptr);
    channelizer.attach_engine(engine);
    Rows rows = empty_rows(channelizer);
    std::vector<std::int16_t> const words(engine->block_samples() + 10, 0);
    channelizer.push_raw(words.data(), words.size(), rows);
    engine->fail();
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            channelizer.push_raw(words.data(), words.size(), rows);
            FAIL() << "no error";
        } catch (std::runtime_error const& error) {
            EXPECT_STREQ(error.what(), "The RX-888 GPU receive engine failed");
        }
    }
}

TEST(ChannelizerEngine, RawInputNeedsAnEngine)
{
    Channelizer::Impl channelizer(engine_iq_rate, 32000, 2500, 1.0, {33000}, nullptr);
    Rows rows = empty_rows(channelizer);
    std::int16_t const word = 0;
    EXPECT_THROW(channelizer.push_raw(&word, 1, rows), std::logic_error);
}

}  // namespace
