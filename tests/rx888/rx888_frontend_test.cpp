// The RX-888 front end against the mathematics it promises: a real cosine of amplitude A at f
// becomes a complex tone of amplitude A at f - centre, whose phase follows the absolute word
// count through every block and batch boundary, whatever the centre bin's parity, the
// decimation, the size of the pieces fed in and the number of workers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <mutex>
#include <numbers>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/fft_planner.hpp"
#include "rx888/rx888_frontend.hpp"

namespace {

constexpr double kClock = 128e6;

// Words of A cos(2 pi f n / clock + phase), n from `first`.
std::vector<std::int16_t> cosine(double f_hz, double amplitude, double phase, std::uint64_t first, std::size_t count,
                                 double clock = kClock)
{
    std::vector<std::int16_t> words(count);
    for (std::size_t i = 0; i < count; ++i) {
        double const n = static_cast<double>(first + i);
        double const cycles = std::fmod(f_hz * n / clock, 1.0);
        words[i] = static_cast<std::int16_t>(std::lround(32767.0 * amplitude * std::cos(2 * std::numbers::pi * cycles + phase)));
    }
    return words;
}

struct Output {
    std::vector<std::complex<float>> samples;
    std::vector<std::int64_t> word_index;  // the word each sample stands for
};

// Feeds `words` in pieces of `piece` words and collects every sample with its word index.
Output run(Rx888Frontend& frontend, std::vector<std::int16_t> const& words, std::size_t piece)
{
    Output out;
    for (std::size_t at = 0; at < words.size(); at += piece) {
        std::size_t const n = std::min(piece, words.size() - at);
        IqSamples batch;
        double offset = 0;
        std::size_t const blocks = frontend.convert(words.data() + at, n, batch, offset);
        EXPECT_EQ(batch.size(), blocks * frontend.out_per_block());
        auto const first = static_cast<std::int64_t>(std::llround(offset * frontend.clock_hz()));
        for (std::size_t k = 0; k < batch.size(); ++k) {
            out.samples.push_back(batch[k]);
            out.word_index.push_back(first + static_cast<std::int64_t>(k * frontend.decimation()));
        }
    }
    return out;
}

// Largest deviation from A exp(j (2 pi (f - centre) n / clock + phase)) over the samples that
// stand for words the stream really carried (the start, which the zero history fills, is left out).
double worst_error(Output const& out, double f_hz, double centre_hz, double amplitude, double phase,
                   std::int64_t from_word)
{
    double worst = 0;
    for (std::size_t k = 0; k < out.samples.size(); ++k) {
        std::int64_t const n = out.word_index[k];
        if (n < from_word)
            continue;
        double const cycles = std::fmod((f_hz - centre_hz) * static_cast<double>(n) / kClock, 1.0);
        std::complex<double> const expected = std::polar(amplitude, 2 * std::numbers::pi * cycles + phase);
        worst = std::max(worst, std::abs(std::complex<double>(out.samples[k]) - expected));
    }
    return worst;
}

struct ToneCase {
    std::string name;
    double centre_hz;
    double rate_hz;
    double tone_offset;  // fraction of the IQ rate
    std::size_t piece;   // words per convert call
    unsigned hardware_threads;
};

void PrintTo(ToneCase const& c, std::ostream* out) { *out << c.name; }

class Rx888FrontendTone : public testing::TestWithParam<ToneCase> {};

TEST_P(Rx888FrontendTone, ComesOutAtItsOffsetWithItsAmplitudeAndNoPhaseJump)
{
    ToneCase const& c = GetParam();
    Rx888Frontend frontend(kClock, c.rate_hz, c.centre_hz, "off", c.hardware_threads);
    double const f = c.centre_hz + c.tone_offset * c.rate_hz;
    double const amplitude = 0.5;
    double const phase = 0.7;
    auto const words = cosine(f, amplitude, phase, 0, 12 * 8192 + 4000);
    Output const out = run(frontend, words, c.piece);
    ASSERT_GE(out.samples.size(), 10 * frontend.out_per_block());
    // After the first 12288 words the filter sees only the stream; one LSB of the words is
    // 3e-5, which sets the floor.
    EXPECT_LT(worst_error(out, f, c.centre_hz, amplitude, phase, 12288), 2e-3);
}

// Centre bins (centre x 16384 / 128 MHz, rounded): 14.08 MHz 1802 and 30 MHz 3840 (even);
// 10.13 MHz 1297, 21.1 MHz 2701, 32.1 MHz 4109 and 30.01 MHz 3841 (odd).
INSTANTIATE_TEST_SUITE_P(
    Table, Rx888FrontendTone,
    testing::Values(ToneCase{"even_bin_d16_whole_transfers", 14.08e6, 8e6, 0.2, 131072, 4},
                    ToneCase{"odd_bin_d16_whole_transfers", 10.13e6, 8e6, -0.3, 131072, 4},
                    ToneCase{"odd_bin_d16_blocks_one_by_one", 21.1e6, 8e6, 0.1, 8192, 4},
                    ToneCase{"odd_bin_d16_ragged_pieces", 10.13e6, 8e6, 0.37, 5000, 4},
                    ToneCase{"even_bin_d8", 14.08e6, 16e6, -0.41, 131072, 4},
                    ToneCase{"odd_bin_d8_ragged", 21.1e6, 16e6, 0.25, 20000, 4},
                    ToneCase{"odd_bin_d4", 32.1e6, 32e6, 0.3, 131072, 4},
                    ToneCase{"even_bin_d2", 30.0e6, 64e6, -0.2, 131072, 4},
                    ToneCase{"odd_bin_d2", 30.01e6, 64e6, 0.11, 65536, 4},
                    ToneCase{"odd_bin_d16_two_workers", 10.13e6, 8e6, 0.2, 131072, 16},
                    ToneCase{"odd_bin_d16_four_workers", 10.13e6, 8e6, -0.15, 131072, 32},
                    ToneCase{"odd_bin_d4_four_workers_ragged", 32.1e6, 32e6, 0.3, 30000, 32}),
    [](testing::TestParamInfo<ToneCase> const& info) { return info.param.name; });

// The conversion written out plainly, one block after another: the real transform, the
// selected bins (bin 0 real, none outside 1..8191) with the block's sign and the weights, the
// inverse, and an oscillator whose phasor starts from the block's word index and is stepped in
// double precision. Fixed plans; the front end may run other ones, so the two agree to float
// rounding, not to the bit.
std::vector<std::complex<float>> plain_conversion(std::vector<std::int16_t> const& words, double centre_hz,
                                                  std::uint32_t d, std::vector<std::complex<float>> const& filter)
{
    constexpr std::size_t n = 16384;
    constexpr std::size_t h = 8192;
    std::size_t const m = n / d;
    auto const k0 = static_cast<std::int64_t>(std::llround(centre_hz * static_cast<double>(n) / kClock));
    double const residual = centre_hz - static_cast<double>(k0) * kClock / static_cast<double>(n);
    std::vector<float> input(h + words.size(), 0.0f);
    for (std::size_t i = 0; i < words.size(); ++i)
        input[h + i] = static_cast<float>(words[i]) / 32768.0f;
    auto* block = static_cast<float*>(fftwf_malloc(n * sizeof(float)));
    auto* spectrum = static_cast<fftwf_complex*>(fftwf_malloc((n / 2 + 1) * sizeof(fftwf_complex)));
    auto* selected = static_cast<fftwf_complex*>(fftwf_malloc(m * sizeof(fftwf_complex)));
    fftwf_plan forward = nullptr;
    fftwf_plan inverse = nullptr;
    {
        std::scoped_lock lock(fft_planner_mutex());
        forward = fftwf_plan_dft_r2c_1d(static_cast<int>(n), block, spectrum, FFTW_ESTIMATE);
        inverse = fftwf_plan_dft_1d(static_cast<int>(m), selected, selected, FFTW_BACKWARD, FFTW_ESTIMATE);
    }
    std::vector<std::complex<float>> out;
    for (std::size_t s = 0; s + n <= input.size(); s += h) {
        std::copy_n(input.data() + s, n, block);
        fftwf_execute(forward);
        float const sign = (k0 % 2 == 1 && (s & h) == 0) ? -1.0f : 1.0f;
        for (std::size_t j = 0; j < m; ++j) {
            bool const upper = j < m / 2;
            std::int64_t const bin = upper ? k0 + static_cast<std::int64_t>(j) : k0 + static_cast<std::int64_t>(j) - static_cast<std::int64_t>(m);
            std::complex<float> value = 0;
            if (bin == 0)
                value = spectrum[0][0];
            else if (bin >= 1 && bin <= 8191)
                value = {spectrum[bin][0], spectrum[bin][1]};
            std::complex<float> const weighted = value * filter[upper ? j : n + j - m] * (1.0f / 8192.0f) * sign;
            selected[j][0] = weighted.real();
            selected[j][1] = weighted.imag();
        }
        fftwf_execute(inverse);
        double const turn = -2 * std::numbers::pi * residual / kClock;
        std::complex<double> phasor = std::polar(1.0, turn * (static_cast<double>(s) - 4096.0));
        std::complex<double> const step = std::polar(1.0, turn * d);
        for (std::size_t k = 0; k < m / 2; ++k) {
            out.push_back(std::complex<float>(selected[m / 2 + k][0], selected[m / 2 + k][1]) *
                          std::complex<float>(phasor));
            phasor *= step;
        }
    }
    {
        std::scoped_lock lock(fft_planner_mutex());
        fftwf_destroy_plan(forward);
        fftwf_destroy_plan(inverse);
    }
    fftwf_free(block);
    fftwf_free(spectrum);
    fftwf_free(selected);
    return out;
}

struct PlainCase {
    std::string name;
    double centre_hz;
    double rate_hz;
    std::size_t piece;  // words per convert call
    unsigned hardware_threads;
};

void PrintTo(PlainCase const& c, std::ostream* out) { *out << c.name; }

class Rx888FrontendPlain : public testing::TestWithParam<PlainCase> {};

// Noise and a strong tone, so that every bin and every output sample carries something: a
// wrong bin, weight, sign, lane or oscillator step shows up far above float rounding.
TEST_P(Rx888FrontendPlain, AgreesWithThePlainConversionSampleBySample)
{
    PlainCase const& c = GetParam();
    Rx888Frontend frontend(kClock, c.rate_hz, c.centre_hz, "off", c.hardware_threads);
    std::vector<std::int16_t> words = cosine(c.centre_hz + 0.13 * c.rate_hz, 0.3, 0.2, 0, 20 * 8192 + 3001);
    std::mt19937 random(11);
    std::normal_distribution<double> noise(0.0, 2000.0);
    for (std::int16_t& word : words)
        word = static_cast<std::int16_t>(std::clamp(std::lround(word + noise(random)), -32768L, 32767L));
    Output const out = run(frontend, words, c.piece);
    std::vector<std::complex<float>> const expected = plain_conversion(words, c.centre_hz, frontend.decimation(), frontend.filter());
    ASSERT_EQ(out.samples.size(), expected.size());
    double worst = 0;
    double power = 0;
    for (std::size_t k = 0; k < expected.size(); ++k) {
        worst = std::max(worst, static_cast<double>(std::abs(out.samples[k] - expected[k])));
        power += std::norm(expected[k]);
    }
    double const rms = std::sqrt(power / static_cast<double>(expected.size()));
    ASSERT_GT(rms, 0.01);
    EXPECT_LT(worst, 1e-5 * rms);
}

// Centre bins: 30.01 MHz 3841 (odd; D = 2 reaches below bin 0), 35.1 MHz 4493 (odd; D = 2
// reaches above bin 8191), 10.13 MHz 1297 (odd), 14.08 MHz 1802 (even), 32.1 MHz 4109 (odd).
INSTANTIATE_TEST_SUITE_P(
    Table, Rx888FrontendPlain,
    testing::Values(PlainCase{"d2_below_bin_0_ragged", 30.01e6, 64e6, 5003, 1},
                    PlainCase{"d2_above_bin_8191", 35.1e6, 64e6, 131072, 1},
                    PlainCase{"d8_odd_bin", 10.13e6, 16e6, 131072, 1},
                    PlainCase{"d256_even_bin_block_by_block", 14.08e6, 0.5e6, 8192, 1},
                    PlainCase{"d4_four_workers_ragged", 32.1e6, 32e6, 30001, 32}),
    [](testing::TestParamInfo<PlainCase> const& info) { return info.param.name; });

TEST(Rx888Frontend, CentreBinParityIsWhatTheTableClaims)
{
    // The table above relies on these bins; an odd one exercises the block sign rule.
    EXPECT_EQ(Rx888Frontend(kClock, 8e6, 14.08e6, "off", 1).centre_bin(), 1802u);
    EXPECT_EQ(Rx888Frontend(kClock, 8e6, 10.13e6, "off", 1).centre_bin(), 1297u);
    EXPECT_EQ(Rx888Frontend(kClock, 8e6, 21.1e6, "off", 1).centre_bin(), 2701u);
    EXPECT_EQ(Rx888Frontend(kClock, 32e6, 32.1e6, "off", 1).centre_bin(), 4109u);
    EXPECT_EQ(Rx888Frontend(kClock, 64e6, 30.01e6, "off", 1).centre_bin(), 3841u);
}

TEST(Rx888Frontend, PassesUpTo0475OfTheRateAndRejectsBeyond)
{
    struct Probe {
        double offset;  // fraction of the IQ rate
        double low_db;
        double high_db;
    };
    for (Probe const probe : {Probe{0.0, -0.05, 0.05}, Probe{0.30, -0.05, 0.05}, Probe{0.46, -0.3, 0.1},
                              Probe{0.49, -400, -60}, Probe{0.70, -400, -60}}) {
        Rx888Frontend frontend(kClock, 8e6, 14.08e6, "off", 1);
        double const f = 14.08e6 + probe.offset * 8e6;
        Output const out = run(frontend, cosine(f, 0.5, 0.0, 0, 8 * 8192), 131072);
        double power = 0;
        std::size_t n = 0;
        for (std::size_t k = 0; k < out.samples.size(); ++k) {
            if (out.word_index[k] < 16384)
                continue;
            power += std::norm(out.samples[k]);
            ++n;
        }
        double const gain_db = 10 * std::log10(power / static_cast<double>(n) / 0.25);
        EXPECT_GT(gain_db, probe.low_db) << "tone at " << probe.offset << " of the rate";
        EXPECT_LT(gain_db, probe.high_db) << "tone at " << probe.offset << " of the rate";
    }
}

TEST(Rx888Frontend, BinsOutsideTheRealSpectrumAddNothing)
{
    // D = 2 around the lowest centre the plan allows: the selected bins reach below bin 0. A
    // tone at 1 MHz must not come back as its mirror at -1 MHz - centre.
    double const centre = 28.9e6;
    Rx888Frontend frontend(kClock, 64e6, centre, "off", 1);
    Output const out = run(frontend, cosine(1e6, 0.5, 0.0, 0, 8 * 8192), 131072);
    std::complex<double> wanted = 0;
    std::complex<double> mirror = 0;
    std::size_t n = 0;
    for (std::size_t k = 0; k < out.samples.size(); ++k) {
        std::int64_t const w = out.word_index[k];
        if (w < 16384)
            continue;
        double const t = static_cast<double>(w) / kClock;
        wanted += std::complex<double>(out.samples[k]) * std::polar(1.0, -2 * std::numbers::pi * (1e6 - centre) * t);
        mirror += std::complex<double>(out.samples[k]) * std::polar(1.0, -2 * std::numbers::pi * (-1e6 - centre) * t);
        ++n;
    }
    EXPECT_NEAR(std::abs(wanted) / static_cast<double>(n), 0.5, 0.01);
    EXPECT_LT(std::abs(mirror) / static_cast<double>(n), 1e-3);
}

TEST(Rx888Frontend, BlocksAndOffsetsFollowTheWordCount)
{
    Rx888Frontend frontend(kClock, 8e6, 14.08e6, "off", 1);
    std::vector<std::int16_t> const words(131072, 0);
    IqSamples out;
    double offset = 99;
    // Short pieces wait for a whole block.
    EXPECT_EQ(frontend.convert(words.data(), 8191, out, offset), 0u);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(offset, 99);
    EXPECT_EQ(frontend.convert(words.data(), 1, out, offset), 1u);
    EXPECT_EQ(out.size(), 512u);
    // The first sample after a restart stands for word -4096: the filter's delay, signed.
    EXPECT_DOUBLE_EQ(offset, -4096.0 / kClock);
    out.clear();
    EXPECT_EQ(frontend.convert(words.data(), words.size(), out, offset), 16u);
    EXPECT_EQ(out.size(), 16u * 512u);
    EXPECT_DOUBLE_EQ(offset, (8192.0 - 4096.0) / kClock);
    EXPECT_EQ(frontend.next_word_index(), 8192u + 131072u);

    frontend.restart(7.074e6);
    EXPECT_EQ(frontend.next_word_index(), 0u);
    out.clear();
    EXPECT_EQ(frontend.convert(words.data(), 8192, out, offset), 1u);
    EXPECT_DOUBLE_EQ(offset, -4096.0 / kClock);
}

TEST(Rx888Frontend, RestartForgetsTheHistory)
{
    // A loud stream, a restart, then silence: nothing of the loud stream may leak through.
    Rx888Frontend frontend(kClock, 8e6, 14.08e6, "off", 1);
    auto const loud = cosine(14.1e6, 0.9, 0.0, 0, 4 * 8192 + 3000);
    IqSamples out;
    double offset = 0;
    frontend.convert(loud.data(), loud.size(), out, offset);
    frontend.restart(14.08e6);
    out.clear();
    std::vector<std::int16_t> const quiet(4 * 8192, 0);
    frontend.convert(quiet.data(), quiet.size(), out, offset);
    ASSERT_EQ(out.size(), 4u * 512u);
    for (std::complex<float> const& sample : out)
        ASSERT_EQ(std::abs(sample), 0.0f);
}

TEST(Rx888Frontend, DescribesItsWorkersAndWhyNoGpu)
{
    Rx888Frontend off(kClock, 8e6, 14.08e6, "off", 8);
    off.start();
    EXPECT_EQ(off.description(), "CPU, 1 thread (GPU: turned off)");
    Rx888Frontend few(kClock, 8e6, 14.08e6, "auto", 4);
    few.start();
    EXPECT_EQ(few.worker_count(), 1u);
    EXPECT_THAT(few.description(), testing::StartsWith("CPU, 1 thread (GPU: "));
    EXPECT_EQ(Rx888Frontend(kClock, 8e6, 14.08e6, "off", 15).worker_count(), 1u);
    EXPECT_EQ(Rx888Frontend(kClock, 8e6, 14.08e6, "off", 16).worker_count(), 2u);
    EXPECT_EQ(Rx888Frontend(kClock, 8e6, 14.08e6, "off", 24).worker_count(), 3u);
    Rx888Frontend many(kClock, 8e6, 14.08e6, "off", 64);
    many.start();
    EXPECT_EQ(many.worker_count(), 4u);
    EXPECT_EQ(many.description(), "CPU, 4 threads (GPU: turned off)");
}

TEST(Rx888Frontend, MeasuresItsTransformsOncePerDecimationInTheProcess)
{
    // Measuring takes tenths of a second per size: every worker of every front end of one
    // decimation runs the same two plans, and another decimation adds only its inverse.
    Rx888Frontend first(kClock, 4e6, 14.08e6, "off", 4);
    first.start();
    std::size_t const made = measured_fft_plans().made();
    EXPECT_GE(made, 2u);
    Rx888Frontend again(kClock, 4e6, 10.13e6, "off", 64);
    again.start();
    ASSERT_EQ(again.worker_count(), 4u);
    EXPECT_EQ(measured_fft_plans().made(), made);
    Rx888Frontend other(kClock, 2e6, 14.08e6, "off", 4);
    other.start();
    EXPECT_LE(measured_fft_plans().made(), made + 1);
}

struct PlanCase {
    std::string name;
    double clock;
    double centre;
    double rate;
    std::string error;  // empty: accepted
    std::size_t length = 0;
};

void PrintTo(PlanCase const& c, std::ostream* out) { *out << c.name; }

class Rx888ConverterPlan : public testing::TestWithParam<PlanCase> {};

TEST_P(Rx888ConverterPlan, AcceptsOrRefusesWithTheUsersText)
{
    PlanCase const& c = GetParam();
    if (c.error.empty()) {
        EXPECT_EQ(rx888_converter_length(c.clock, c.centre, c.rate), c.length);
        return;
    }
    try {
        rx888_converter_length(c.clock, c.centre, c.rate);
        FAIL() << "accepted";
    } catch (std::runtime_error const& error) {
        EXPECT_EQ(std::string(error.what()), c.error);
    }
}

std::string const kNyquist =
    "RX-888 capture window does not fit the first Nyquist band; shift the center or widen/narrow the sample rate";
std::string const kPowerOfTwo = "RX-888 output rate must be the ADC clock divided by a power of two (2..256)";
std::string const kClockText = "RX-888 ADC clock must be a finite 1..160 MHz value";
std::string const kRate = "RX-888 converter needs a finite positive output rate";

INSTANTIATE_TEST_SUITE_P(
    Table, Rx888ConverterPlan,
    testing::Values(PlanCase{"d16_lowest_centre", 128e6, 3.6e6, 8e6, "", 1024},
                    PlanCase{"d16_highest_centre", 128e6, 60.4e6, 8e6, "", 1024},
                    PlanCase{"d16_below_the_window", 128e6, 3.5e6, 8e6, kNyquist},
                    PlanCase{"d16_above_the_window", 128e6, 60.41e6, 8e6, kNyquist},
                    PlanCase{"centre_not_finite", 128e6, NAN, 8e6, kNyquist},
                    PlanCase{"d43_not_a_power_of_two", 128e6, 14e6, 3e6, kPowerOfTwo},
                    PlanCase{"d512_too_large", 128e6, 14e6, 250e3, kPowerOfTwo},
                    PlanCase{"d1_too_small", 128e6, 14e6, 128e6, kPowerOfTwo},
                    PlanCase{"d256_half_rate", 64e6, 14e6, 250e3, "", 64},
                    PlanCase{"d2", 128e6, 32e6, 64e6, "", 8192},
                    PlanCase{"rate_zero", 128e6, 14e6, 0, kRate},
                    PlanCase{"rate_infinite", 128e6, 14e6, INFINITY, kRate},
                    PlanCase{"clock_too_slow", 0.5e6, 0.2e6, 0.25e6, kClockText},
                    PlanCase{"clock_too_fast", 200e6, 14e6, 12.5e6, kClockText},
                    PlanCase{"clock_with_ppm_error", 128e6 * (1 + 200e-6), 14e6, 8e6, "", 1024}),
    [](testing::TestParamInfo<PlanCase> const& info) { return info.param.name; });

TEST(Rx888Frontend, ConstructionRefusesRatesThePlanRefuses)
{
    EXPECT_THROW(Rx888Frontend(kClock, 3e6, 14e6, "off", 1), std::runtime_error);
    EXPECT_THROW(Rx888Frontend(kClock, 0, 14e6, "off", 1), std::runtime_error);
    EXPECT_THROW(Rx888Frontend(kClock, 8e6, 3.5e6, "off", 1), std::runtime_error);
}

}  // namespace
