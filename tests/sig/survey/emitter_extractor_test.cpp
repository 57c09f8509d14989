#include "sig/survey/emitter_extractor.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/tone_measure.hpp"

namespace {

constexpr double kPi = std::numbers::pi;

using Samples = std::vector<std::complex<float>>;

// Gain of the taps at frequency_hz of the input rate.
double tap_gain(const sig::EmitterExtractor& x, double frequency_hz) {
    std::complex<double> sum;
    const auto& taps = x.taps();
    for (std::size_t k = 0; k < taps.size(); ++k)
        sum += static_cast<double>(taps[k]) * std::polar(1.0, -2.0 * kPi * frequency_hz * k / x.input_rate());
    return std::abs(sum);
}

// Noise with two tones in it, so that mixing, filtering and resampling all show in the output.
Samples test_stream(double rate_hz, std::size_t n, double offset_hz) {
    std::mt19937 rng(7);
    std::normal_distribution<float> gauss(0.0f, 0.1f);
    Samples x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate_hz;
        x[i] = std::complex<float>(gauss(rng), gauss(rng)) +
               std::complex<float>(std::polar(0.5, 2.0 * kPi * (offset_hz + 300.0) * t)) +
               std::complex<float>(std::polar(0.2, 2.0 * kPi * (offset_hz - 2500.0) * t));
    }
    return x;
}

struct Outputs {
    std::vector<float> audio;
    Samples baseband;
};

Outputs run_in_blocks(sig::EmitterExtractor& x, const Samples& input, const std::vector<std::size_t>& sizes) {
    Outputs out;
    std::size_t at = 0;
    for (std::size_t b = 0; at < input.size(); ++b) {
        const std::size_t n = std::min(sizes[b % sizes.size()], input.size() - at);
        x.process(input.data() + at, n, out.audio, &out.baseband);
        at += n;
    }
    return out;
}

struct DesignCase {
    std::string name;
    double input_hz, output_hz, passband_hz;
    int decimation;
    int taps;
    bool resampling;
    double cutoff_hz;  // where the taps must pass half the amplitude
};

class ExtractorDesign : public ::testing::TestWithParam<DesignCase> {};

TEST_P(ExtractorDesign, DecimationTapsAndCutoff) {
    const DesignCase& c = GetParam();
    const sig::EmitterExtractor x(c.input_hz, 1000.0, c.output_hz, c.passband_hz);
    EXPECT_EQ(x.decimation(), c.decimation);
    EXPECT_EQ(x.tap_count(), c.taps);
    ASSERT_EQ(x.taps().size(), static_cast<std::size_t>(c.taps));
    EXPECT_DOUBLE_EQ(x.decimated_rate(), c.input_hz / c.decimation);
    EXPECT_EQ(x.resampling(), c.resampling);
    EXPECT_DOUBLE_EQ(x.resampling_step(), x.decimated_rate() / c.output_hz);
    double sum = 0.0;
    for (float t : x.taps()) sum += t;
    EXPECT_NEAR(sum, 1.0, 1e-5);
    EXPECT_NEAR(tap_gain(x, 0.0), 1.0, 1e-5);
    // A windowed sinc passes half the amplitude at its cut-off.
    EXPECT_NEAR(tap_gain(x, c.cutoff_hz), 0.5, 0.03);
    // The filter is short for its rate, so its slope is gentle: half way between 0 Hz and the
    // cut-off it still passes most of the amplitude, at twice the cut-off little.
    EXPECT_GT(tap_gain(x, 0.5 * c.cutoff_hz), 0.8);
    if (2.0 * c.cutoff_hz < 0.5 * c.input_hz) {
        EXPECT_LT(tap_gain(x, 2.0 * c.cutoff_hz), 0.2);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExtractorDesign,
    ::testing::Values(
        // The survey's audio extractor: 125 to 1, exactly 12000 Hz out, cut-off at half the passband.
        DesignCase{"survey_to_audio", 1500000.0, 12000.0, 7600.0, 125, 1001, false, 3800.0},
        DesignCase{"same_rate", 12000.0, 12000.0, 7600.0, 1, 151, false, 3800.0},
        // 166.67 rounds to 167; 8 * 167 + 1 taps are held at 1025; 11976 Hz resampled to 12000.
        DesignCase{"two_megahertz_resampled", 2000000.0, 12000.0, 7600.0, 167, 1025, true, 3800.0},
        DesignCase{"wideband_history", 1500000.0, 24000.0, 21600.0, 63, 505, true, 0.45 * 1500000.0 / 63},
        DesignCase{"small_decimation", 96000.0, 24000.0, 8000.0, 4, 151, false, 4000.0},
        // A passband wider than 0.9 x the decimated rate: cut-off held at 0.45 x that rate.
        DesignCase{"passband_too_wide", 1500000.0, 12000.0, 20000.0, 125, 1001, false, 5400.0},
        // Upsampling: 48000 Hz to 64000 Hz keeps D at 1.
        DesignCase{"upsampling", 48000.0, 64000.0, 57600.0, 1, 151, true, 21600.0}),
    [](const auto& info) { return info.param.name; });

TEST(EmitterExtractor, RefusesRatesAndPassbandsThatCannotWork) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (auto [in, offset, out, pass] : std::vector<std::array<double, 4>>{{0.0, 0.0, 12000.0, 7600.0},
                                                                           {1.5e6, 0.0, -12000.0, 7600.0},
                                                                           {1.5e6, 0.0, 12000.0, 0.0},
                                                                           {nan, 0.0, 12000.0, 7600.0},
                                                                           {1.5e6, nan, 12000.0, 7600.0},
                                                                           {1.5e6, 0.0, 1e-6, 7600.0}})
        EXPECT_THROW(sig::EmitterExtractor(in, offset, out, pass), std::invalid_argument) << in << " " << out;
}

struct BlockCase {
    std::string name;
    double input_hz, output_hz, passband_hz;
};

class ExtractorBlocks : public ::testing::TestWithParam<BlockCase> {};

// The survey hands the extractor whatever block size its ring gave it; the output must not
// depend on the cut.
TEST_P(ExtractorBlocks, AnyBlockSizeGivesTheOutputOfOneBlock) {
    const BlockCase& c = GetParam();
    const double offset = 12345.0;
    const Samples input = test_stream(c.input_hz, static_cast<std::size_t>(c.input_hz * 0.25), offset);
    sig::EmitterExtractor whole(c.input_hz, offset, c.output_hz, c.passband_hz);
    const Outputs reference = run_in_blocks(whole, input, {input.size()});
    ASSERT_GT(reference.audio.size(), 100u);
    for (const std::vector<std::size_t>& sizes :
         std::vector<std::vector<std::size_t>>{{1}, {7, 0, 1000}, {4096}, {32768, 3, 125, 124}, {99991}}) {
        sig::EmitterExtractor cut(c.input_hz, offset, c.output_hz, c.passband_hz);
        const Outputs blocks = run_in_blocks(cut, input, sizes);
        ASSERT_EQ(blocks.audio.size(), reference.audio.size()) << sizes.front();
        ASSERT_EQ(blocks.baseband.size(), reference.baseband.size());
        for (std::size_t i = 0; i < reference.audio.size(); ++i) {
            ASSERT_EQ(blocks.audio[i], reference.audio[i]) << "sample " << i << ", first size " << sizes.front();
            ASSERT_EQ(blocks.baseband[i], reference.baseband[i]) << "sample " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ExtractorBlocks,
                         ::testing::Values(BlockCase{"exact_rate", 1500000.0, 12000.0, 7600.0},
                                           BlockCase{"resampled", 2000000.0, 12000.0, 7600.0},
                                           BlockCase{"wideband", 1666666.67, 24000.0, 21600.0}),
                         [](const auto& info) { return info.param.name; });

TEST(EmitterExtractor, EmptyBlockChangesNothing) {
    const Samples input = test_stream(1500000.0, 300000, 2000.0);
    sig::EmitterExtractor plain(1500000.0, 2000.0, 12000.0, 7600.0);
    sig::EmitterExtractor with_empty(1500000.0, 2000.0, 12000.0, 7600.0);
    Outputs a, b;
    plain.process(input.data(), input.size(), a.audio, &a.baseband);
    with_empty.process(input.data(), 0, b.audio, &b.baseband);
    EXPECT_TRUE(b.audio.empty());
    EXPECT_TRUE(b.baseband.empty());
    with_empty.process(input.data(), input.size(), b.audio, &b.baseband);
    EXPECT_EQ(a.audio, b.audio);
    EXPECT_EQ(a.baseband, b.baseband);
}

struct CountCase {
    double input_hz, output_hz;
    std::size_t n;
};

// One output per D inputs without resampling, one per D x step with it.
TEST(EmitterExtractor, OutputCountFollowsDecimationAndStep) {
    for (const CountCase& c : {CountCase{1500000.0, 12000.0, 1500000}, CountCase{12000.0, 12000.0, 12000},
                               CountCase{2000000.0, 12000.0, 2000000}, CountCase{1666666.67, 24000.0, 1666667},
                               CountCase{48000.0, 64000.0, 48000}}) {
        sig::EmitterExtractor x(c.input_hz, 0.0, c.output_hz, 0.5 * c.output_hz);
        const Samples input(c.n, {0.1f, 0.0f});
        std::vector<float> audio;
        Samples baseband;
        x.process(input.data(), input.size(), audio, &baseband);
        EXPECT_EQ(audio.size(), baseband.size());
        const double expected = static_cast<double>(c.n) / x.decimation() / (x.resampling() ? x.resampling_step() : 1.0);
        if (!x.resampling()) {
            EXPECT_EQ(audio.size(), c.n / static_cast<std::size_t>(x.decimation())) << c.input_hz;
        } else {
            EXPECT_NEAR(static_cast<double>(audio.size()), expected, 2.0) << c.input_hz;
        }
        EXPECT_NEAR(static_cast<double>(audio.size()), c.n / c.input_hz * c.output_hz, 2.0) << c.input_hz;
    }
}

struct ToneCase {
    double input_hz, output_hz, carrier_offset_hz, audio_hz;
};

// The emitter's frequency comes out at 0 Hz in the baseband and at 1500 Hz in the audio; a
// carrier 200 Hz above it at 1700 Hz.
TEST(EmitterExtractor, CarrierAtTheOffsetBecomesDcAndA1500HzTone) {
    const double offset = -73210.0;
    for (const ToneCase& c : {ToneCase{1500000.0, 12000.0, 0.0, 1500.0}, ToneCase{1500000.0, 12000.0, 200.0, 1700.0},
                              ToneCase{2000000.0, 12000.0, 0.0, 1500.0}, ToneCase{2000000.0, 12000.0, 200.0, 1700.0},
                              ToneCase{1500000.0, 24000.0, -700.0, 800.0}}) {
        sig::EmitterExtractor x(c.input_hz, offset, c.output_hz, 7600.0);
        const Samples input =
            complex_tone(offset + c.carrier_offset_hz, 0.5, c.input_hz, static_cast<std::size_t>(c.input_hz * 0.5));
        std::vector<float> audio;
        Samples baseband;
        x.process(input.data(), input.size(), audio, &baseband);
        const std::size_t settle = 200;
        ASSERT_GT(audio.size(), settle + 1000);
        const ToneMeasure tone = measure_tone(after(audio, settle), c.output_hz);
        EXPECT_NEAR(tone.frequency_hz, c.audio_hz, 0.5) << c.input_hz << " " << c.carrier_offset_hz;
        // Up to 700 Hz from the centre the gentle filter slope costs a few per cent.
        EXPECT_NEAR(tone.rms, 0.5 / std::sqrt(2.0), 0.03);
        // The baseband turns at the carrier's distance from the offset: constant for 0 Hz.
        for (std::size_t i = settle; i + 1 < baseband.size(); ++i) {
            ASSERT_NEAR(std::abs(baseband[i]), 0.5, 0.04) << i;
            const double turn = std::arg(baseband[i + 1] * std::conj(baseband[i])) * c.output_hz / (2.0 * kPi);
            ASSERT_NEAR(turn, c.carrier_offset_hz, c.input_hz == 2000000.0 ? 25.0 : 0.5) << i;
        }
    }
}

// The audio is the upper sideband of a dial 1500 Hz below the emitter. A carrier further below
// than that is still in the baseband, at the level the filter passes, but not in the audio: its
// real part alone would put a mirror image there (a carrier 3700 Hz below at 2200 Hz), heard
// where nothing sends. One just above the dial is heard at its full level.
TEST(EmitterExtractor, TheAudioHoldsNothingBelowItsDial) {
    const double offset = 45000.0;
    for (const double below_hz : {3700.0, 2600.0, 1800.0, 1200.0}) {
        sig::EmitterExtractor x(1500000.0, offset, 12000.0, 7600.0);
        const Samples input = complex_tone(offset - below_hz, 0.5, 1500000.0, 750000);
        std::vector<float> audio;
        Samples baseband;
        x.process(input.data(), input.size(), audio, &baseband);
        const std::size_t settle = 200;
        ASSERT_GT(audio.size(), settle + 1000);
        const double passed = 0.5 * tap_gain(x, -below_hz);
        ASSERT_GT(passed, 0.1) << below_hz;
        EXPECT_NEAR(std::abs(baseband.back()), passed, 0.01 * passed) << below_hz;
        const double rms = measure_tone(after(audio, settle), 12000.0).rms;
        if (below_hz < 1500.0)
            EXPECT_NEAR(rms, passed / std::sqrt(2.0), 0.01 * passed) << below_hz;
        else
            EXPECT_LT(rms, 0.01 * passed / std::sqrt(2.0)) << below_hz;
    }
}

// Resampling must not shape the envelope: a constant-envelope signal whose phase turns fast
// (a carrier 6 kHz from the centre, a quarter cycle per output sample at 24 kHz) keeps its level
// through every output, whatever fraction of the way between two decimated samples it falls.
TEST(EmitterExtractor, ResamplingKeepsAConstantEnvelope) {
    for (const double input : {1500000.0, 2000000.0, 1666666.67}) {
        sig::EmitterExtractor x(input, 0.0, 24000.0, 21600.0);
        ASSERT_TRUE(x.resampling());
        const Samples tone = complex_tone(6000.0, 0.5, input, static_cast<std::size_t>(input * 0.2));
        std::vector<float> audio;
        Samples baseband;
        x.process(tone.data(), tone.size(), audio, &baseband);
        ASSERT_GT(baseband.size(), 4000u);
        const double level = std::abs(baseband[100]);
        EXPECT_NEAR(level, 0.5 * tap_gain(x, 6000.0), 0.01);
        for (std::size_t i = 100; i < baseband.size(); ++i)
            ASSERT_NEAR(std::abs(baseband[i]), level, 0.002 * level) << input << " sample " << i;
    }
}

TEST(EmitterExtractor, RetuneMovesTheMixerWithoutRestartingIt) {
    const double rate = 1500000.0;
    const Samples input = test_stream(rate, 600000, 5000.0);
    const auto half = static_cast<std::ptrdiff_t>(input.size() / 2);
    // A retune to the same offset is invisible: phase, filter and delay line run on.
    sig::EmitterExtractor plain(rate, 5000.0, 12000.0, 7600.0), retuned(rate, 5000.0, 12000.0, 7600.0);
    Outputs a, b;
    plain.process(input.data(), input.size(), a.audio, &a.baseband);
    retuned.process(input.data(), static_cast<std::size_t>(half), b.audio, &b.baseband);
    retuned.retune(5000.0);
    retuned.process(input.data() + half, input.size() - static_cast<std::size_t>(half), b.audio, &b.baseband);
    EXPECT_EQ(a.baseband, b.baseband);
    EXPECT_EQ(retuned.mixing_offset(), 5000.0);

    // A carrier that moves by 400 Hz is followed: after the retune it is DC again and keeps its
    // level.
    sig::EmitterExtractor follow(rate, 5000.0, 12000.0, 7600.0);
    Samples first = complex_tone(5000.0, 0.5, rate, 300000);
    Samples second = complex_tone(5400.0, 0.5, rate, 300000);
    std::vector<float> audio;
    Samples before, later;
    follow.process(first.data(), first.size(), audio, &before);
    follow.retune(5400.0);
    EXPECT_EQ(follow.mixing_offset(), 5400.0);
    follow.process(second.data(), second.size(), audio, &later);
    for (std::size_t i = 200; i + 1 < later.size(); ++i) {
        EXPECT_NEAR(std::abs(later[i]), 0.5, 0.01);
        ASSERT_NEAR(std::arg(later[i + 1] * std::conj(later[i])), 0.0, 1e-3) << i;
    }
}

// Silence, a NaN burst and a full-scale square wave neither stop the extractor nor leave it
// broken: once the bad samples have left the filter, the output is finite again.
TEST(EmitterExtractor, SurvivesSilenceNanAndFullScaleInput) {
    const double rate = 1500000.0;
    sig::EmitterExtractor x(rate, 1000.0, 12000.0, 7600.0);
    std::vector<float> audio;
    Samples baseband;
    const Samples silence(150000);
    x.process(silence.data(), silence.size(), audio, &baseband);
    for (float v : audio) EXPECT_EQ(v, 0.0f);

    Samples bad(1000, {std::numeric_limits<float>::quiet_NaN(), 0.0f});
    x.process(bad.data(), bad.size(), audio, &baseband);
    Samples square(300000);
    for (std::size_t i = 0; i < square.size(); ++i) square[i] = (i / 750) % 2 ? std::complex<float>{1.0f, 1.0f} : std::complex<float>{-1.0f, -1.0f};
    audio.clear();
    baseband.clear();
    x.process(square.data(), square.size(), audio, &baseband);
    ASSERT_EQ(audio.size(), 2400u);
    std::size_t finite_from = 0;
    std::size_t audio_finite_from = 0;
    for (std::size_t i = 0; i < audio.size(); ++i) {
        if (!std::isfinite(std::abs(baseband[i]))) finite_from = i + 1;
        if (!std::isfinite(audio[i])) audio_finite_from = i + 1;
    }
    EXPECT_LE(finite_from, 9u);  // the 1001 taps span 8 outputs
    // The audio's sideband filter spans 128 outputs more.
    EXPECT_LE(audio_finite_from, 9u + sig::UpperSidebandAudio::kTaps - 1);
    for (std::size_t i = finite_from; i < audio.size(); ++i) EXPECT_LE(std::abs(baseband[i]), 2.0f);
    for (std::size_t i = audio_finite_from; i < audio.size(); ++i) EXPECT_LE(std::abs(audio[i]), 2.0f);
}

}  // namespace
