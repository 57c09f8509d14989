#include "sig/survey/extract_block_features.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kRate = 12000.0;

using Samples = std::vector<std::complex<double>>;

// A carrier whose magnitude follows envelope(i), with a little noise when noise_rms > 0.
Samples shaped(std::size_t n, const std::function<double(std::size_t)>& envelope, double noise_rms = 0.0,
               unsigned seed = 3) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss(0.0, noise_rms > 0.0 ? noise_rms : 1.0);
    Samples x(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = std::polar(envelope(i), 2.0 * kPi * 700.0 * static_cast<double>(i) / kRate);
        if (noise_rms > 0.0) x[i] += std::complex<double>(gauss(rng), gauss(rng));
    }
    return x;
}

Samples gaussian_noise(std::size_t n, unsigned seed) {
    return shaped(n, [](std::size_t) { return 0.0; }, 1.0, seed);
}

// The bin width of the keying spectrum for 12000 samples at 12000 Hz: segments of 2048.
constexpr double kKeyingBinHz = kRate / 2048.0;

TEST(BlockFeatures, ConstantEnvelope) {
    const sig::SurveyEnvelopeFeatures f = sig::extract_block_features(kRate, 500.0, shaped(12000, [](std::size_t) { return 0.3; }));
    ASSERT_TRUE(f.valid);
    EXPECT_NEAR(f.kurtosis, 1.0, 1e-9);
    EXPECT_NEAR(f.variation, 0.0, 1e-6);
    EXPECT_FALSE(f.on_off_keyed);
    EXPECT_EQ(f.keying_peak_ratio, 0.0);  // too steady to look for keying
    EXPECT_EQ(f.keying_rate_hz, 0.0);
}

TEST(BlockFeatures, GaussianNoiseEnvelope) {
    const sig::SurveyEnvelopeFeatures f = sig::extract_block_features(kRate, 3000.0, gaussian_noise(24000, 5));
    ASSERT_TRUE(f.valid);
    EXPECT_NEAR(f.kurtosis, 2.0, 0.06);
    EXPECT_NEAR(f.variation, std::sqrt(4.0 / kPi - 1.0), 0.01);  // Rayleigh
    EXPECT_FALSE(f.on_off_keyed);
    EXPECT_LT(f.keying_peak_ratio, 4.0);
}

// The moments against the envelope taken the plain way (the library's magnitude, sums in long
// double) over the samples 64 .. L - 65: equal within double rounding, for a noisy keyed carrier
// and for noise alone.
TEST(BlockFeatures, MomentsMatchThePlainEnvelope) {
    for (const Samples& x : {shaped(12000, [](std::size_t i) { return (i / 300) % 2 ? 0.1 : 1.0; }, 0.05),
                             gaussian_noise(6000, 8)}) {
        long double s1 = 0, s2 = 0, s4 = 0;
        for (std::size_t i = 64; i + 64 < x.size(); ++i) {
            const long double e = std::abs(x[i]);
            s1 += e;
            s2 += e * e;
            s4 += e * e * e * e;
        }
        const long double m = static_cast<long double>(x.size() - 128);
        const double kurtosis = static_cast<double>((s4 / m) / ((s2 / m) * (s2 / m)));
        const double variation = static_cast<double>(std::sqrt(s2 / m - (s1 / m) * (s1 / m)) / (s1 / m));
        const sig::SurveyEnvelopeFeatures f = sig::extract_block_features(kRate, 500.0, x);
        ASSERT_TRUE(f.valid);
        EXPECT_NEAR(f.kurtosis, kurtosis, 1e-12 * kurtosis);
        EXPECT_NEAR(f.variation, variation, 1e-12 * variation);
    }
}

// On/off keying at 23.44 Hz (256 samples on, 256 off): bin 4 of the 2048-point keying spectrum.
TEST(BlockFeatures, OnOffKeyingAndItsLine) {
    const Samples x = shaped(12000, [](std::size_t i) { return (i / 256) % 2 ? 0.0 : 1.0; }, 0.02);
    const sig::SurveyEnvelopeFeatures f = sig::extract_block_features(kRate, 200.0, x);
    ASSERT_TRUE(f.valid);
    EXPECT_TRUE(f.on_off_keyed);
    EXPECT_GT(f.keying_peak_ratio, 100.0);
    EXPECT_DOUBLE_EQ(f.keying_rate_hz, 4 * kKeyingBinHz);
    EXPECT_NEAR(f.variation, 1.0, 0.1);  // 0/1 keying: 1 without the noise
}

struct LineCase {
    std::string name;
    double rate_hz;  // one second of samples
    double modulation_hz;
    double bandwidth_hz;
    double expected_rate_hz;  // 0: no line found at the modulation
    double depth = 0.5;       // of the sinusoidal envelope
};

class KeyingLine : public ::testing::TestWithParam<LineCase> {};

// The line search covers 5 Hz up to min(max(50, bandwidth), 0.45 x rate), and only when that
// spans more than 10 bins. At 15000 Hz the segments are 4096 long: 3.66 Hz bins.
TEST_P(KeyingLine, SearchRange) {
    const LineCase& c = GetParam();
    const Samples x = shaped(
        static_cast<std::size_t>(c.rate_hz),
        [&](std::size_t i) { return 1.0 + c.depth * std::cos(2.0 * kPi * c.modulation_hz * i / c.rate_hz); }, 0.05);
    const sig::SurveyEnvelopeFeatures f = sig::extract_block_features(c.rate_hz, c.bandwidth_hz, x);
    ASSERT_TRUE(f.valid);
    if (c.expected_rate_hz > 0.0) {
        EXPECT_DOUBLE_EQ(f.keying_rate_hz, c.expected_rate_hz);
        EXPECT_GT(f.keying_peak_ratio, 20.0);
    } else {
        EXPECT_NE(f.keying_rate_hz, c.modulation_hz);
        EXPECT_TRUE(f.keying_rate_hz == 0.0 || f.keying_rate_hz >= 5.0) << f.keying_rate_hz;
    }
}

constexpr double kFineBinHz = 15000.0 / 4096.0;

INSTANTIATE_TEST_SUITE_P(
    Table, KeyingLine,
    ::testing::Values(LineCase{"inside_narrow_band", 12000.0, 12 * kKeyingBinHz, 100.0, 12 * kKeyingBinHz},
                      LineCase{"above_the_bandwidth", 12000.0, 20 * kKeyingBinHz, 100.0, 0.0},
                      // 50 Hz are searched even for a 30 Hz wide emitter ...
                      LineCase{"narrow_emitter_searched_to_50_hz", 15000.0, 10 * kFineBinHz, 30.0, 10 * kFineBinHz},
                      // ... but not beyond.
                      LineCase{"narrow_emitter_above_50_hz", 15000.0, 20 * kFineBinHz, 30.0, 0.0},
                      // At 12000 Hz, 50 Hz are only 8 bins: too few to search.
                      LineCase{"too_few_bins", 12000.0, 6 * kKeyingBinHz, 30.0, 0.0},
                      // Bin 1 (3.66 Hz) lies below 5 Hz and is not searched.
                      LineCase{"below_five_hertz", 15000.0, kFineBinHz, 200.0, 0.0},
                      LineCase{"above_045_of_the_rate", 600.0, 120 * 600.0 / 256.0, 1000.0, 0.0},
                      // Only an envelope that varies by 8 % or more is searched for keying.
                      LineCase{"variation_below_8_percent", 12000.0, 12 * kKeyingBinHz, 100.0, 0.0, 0.07},
                      LineCase{"variation_above_8_percent", 12000.0, 12 * kKeyingBinHz, 100.0, 12 * kKeyingBinHz, 0.12}),
    [](const auto& info) { return info.param.name; });

struct ShareCase {
    std::string name;
    int low, middle, high;  // counts per 100 of the measured samples
    double low_level, middle_level, high_level;
    bool keyed;
};

class OnOffShares : public ::testing::TestWithParam<ShareCase> {};

// On/off keyed: more than 15 % of the envelope below 0.25 x its maximum and more than 15 % above
// 0.6 x it (the maximum is 1 in every row).
TEST_P(OnOffShares, Thresholds) {
    const ShareCase& c = GetParam();
    std::vector<double> levels;
    for (int block = 0; block < 10; ++block) {
        levels.insert(levels.end(), static_cast<std::size_t>(c.low), c.low_level);
        levels.insert(levels.end(), static_cast<std::size_t>(c.middle), c.middle_level);
        levels.insert(levels.end(), static_cast<std::size_t>(c.high), c.high_level);
    }
    // The maximum is 1: a middle sample takes it when the high level is below 1.
    if (c.high_level < 1.0) levels[static_cast<std::size_t>(c.low)] = 1.0;
    // The first and last 64 samples are not measured: give them the middle level.
    Samples x(levels.size() + 128, std::complex<double>(c.middle_level, 0.0));
    for (std::size_t i = 0; i < levels.size(); ++i) x[64 + i] = std::complex<double>(0.0, levels[i]);
    const sig::SurveyEnvelopeFeatures f = sig::extract_block_features(kRate, 500.0, x);
    ASSERT_TRUE(f.valid);
    EXPECT_EQ(f.on_off_keyed, c.keyed);
}

INSTANTIATE_TEST_SUITE_P(Table, OnOffShares,
                         ::testing::Values(ShareCase{"sixteen_each", 16, 68, 16, 0.2, 0.5, 1.0, true},
                                           ShareCase{"fifteen_low", 15, 69, 16, 0.2, 0.5, 1.0, false},
                                           ShareCase{"fifteen_high", 16, 69, 15, 0.2, 0.5, 1.0, false},
                                           ShareCase{"low_just_below_quarter", 40, 20, 40, 0.249, 0.5, 1.0, true},
                                           ShareCase{"low_at_quarter", 40, 20, 40, 0.25, 0.5, 1.0, false},
                                           ShareCase{"high_just_above", 40, 20, 40, 0.1, 0.5, 0.601, true},
                                           ShareCase{"high_at_threshold", 40, 20, 40, 0.1, 0.5, 0.6, false}),
                         [](const auto& info) { return info.param.name; });

// The pre-filter leaves its first and last 64 outputs at 0: they are not part of the envelope.
TEST(BlockFeatures, SkipsTheUnfilledEnds) {
    Samples x(1000, {0.0, 0.5});
    for (std::size_t i = 0; i < 64; ++i) x[i] = x[x.size() - 1 - i] = 0.0;
    const sig::SurveyEnvelopeFeatures f = sig::extract_block_features(kRate, 500.0, x);
    ASSERT_TRUE(f.valid);
    EXPECT_NEAR(f.kurtosis, 1.0, 1e-9);
    EXPECT_NEAR(f.variation, 0.0, 1e-6);
    EXPECT_FALSE(f.on_off_keyed);
}

TEST(BlockFeatures, ShortSilentOrBrokenInputs) {
    const Samples tone = shaped(257, [](std::size_t) { return 1.0; });
    EXPECT_FALSE(sig::extract_block_features(kRate, 500.0, Samples(tone.begin(), tone.end() - 1)).valid);
    EXPECT_FALSE(sig::extract_block_features(kRate, 500.0, {}).valid);
    EXPECT_TRUE(sig::extract_block_features(kRate, 500.0, tone).valid);

    // Silence: nothing to divide by; the defaults of a shapeless envelope, but measured.
    const sig::SurveyEnvelopeFeatures silent = sig::extract_block_features(kRate, 500.0, Samples(12000));
    EXPECT_TRUE(silent.valid);
    EXPECT_EQ(silent.kurtosis, 2.0);
    EXPECT_EQ(silent.variation, 0.0);
    EXPECT_FALSE(silent.on_off_keyed);

    // One NaN or infinity in the measured stretch: not measured at all.
    for (const double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        Samples x = gaussian_noise(12000, 9);
        x[5000] = {bad, 0.0};
        const sig::SurveyEnvelopeFeatures f = sig::extract_block_features(kRate, 500.0, x);
        EXPECT_FALSE(f.valid);
        EXPECT_EQ(f.kurtosis, 2.0);
    }

    // A full-scale square wave keyed on and off: finite figures.
    const Samples square = shaped(12000, [](std::size_t i) { return (i / 100) % 2 ? 1.0 : 0.0; });
    const sig::SurveyEnvelopeFeatures f = sig::extract_block_features(kRate, 500.0, square);
    EXPECT_TRUE(f.valid);
    EXPECT_TRUE(f.on_off_keyed);
    EXPECT_TRUE(std::isfinite(f.keying_peak_ratio));
    // Odd rates, bandwidths and lengths do not break the line search.
    for (const double rate : {1.0, 1e-300, 1e300, std::numeric_limits<double>::infinity()})
        EXPECT_TRUE(sig::extract_block_features(rate, 1e300, square).valid) << rate;
}

}  // namespace
