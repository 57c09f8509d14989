// The survey's decimating filter: the factor and tap count chosen for each capture, the filter's
// response (flat below the survey band, deep rejection of what would alias into it), and a
// stream that gives the same output however it is cut into blocks.
#include "sig/survey/survey_decimator.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <numeric>
#include <random>
#include <vector>

namespace {

using sig::SurveyDecimator;

TEST(SurveyDecimator, FactorIsTheLowestSurveyRateNotBelowTheTarget)
{
    struct Case {
        double capture_hz;
        double target_hz;
        std::int32_t factor;
    };
    const Case cases[] = {
        {10000000, 1500000, 6},  // 1666666.67 Hz
        {2000000, 1500000, 1},   // no filter: the engine gets the capture
        {64000, 48000, 1},
        {1000000, 2000000, 1},  // target above the capture
        {3000000, 1500000, 2},
        {2999999, 1500000, 1},
        {60000000, 1500000, 40},
        {0, 1500000, 1},
        {2000000, 0, 1},
        {-2000000, 1500000, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(SurveyDecimator::factor_for(c.capture_hz, c.target_hz), c.factor)
            << c.capture_hz << " / " << c.target_hz;
}

TEST(SurveyDecimator, TapCountIsEightPerFactorHeldTo31Through257)
{
    struct Case {
        std::int32_t factor;
        std::size_t taps;
    };
    const Case cases[] = {{1, 1}, {2, 31}, {3, 31}, {4, 33}, {6, 49}, {31, 249}, {32, 257}, {40, 257}};
    for (const Case& c : cases)
        EXPECT_EQ(SurveyDecimator::design_taps(c.factor).size(), c.taps) << c.factor;
}

TEST(SurveyDecimator, TapsAreASymmetricBlackmanSincOfUnitGain)
{
    for (std::int32_t factor : {2, 6, 40}) {
        std::vector<float> const taps = SurveyDecimator::design_taps(factor);
        std::size_t const m = taps.size() - 1;
        EXPECT_NEAR(std::accumulate(taps.begin(), taps.end(), 0.0), 1.0, 1e-6) << factor;
        for (std::size_t i = 0; i <= m; ++i)
            EXPECT_FLOAT_EQ(taps[i], taps[m - i]) << factor << " tap " << i;
        // A Blackman window ends at zero; a sinc without it would not.
        EXPECT_NEAR(taps[0], 0.0f, 1e-9f) << factor;
        // The centre tap, from the design written out: 2 fc w(M/2) over the sum of h w.
        double sum = 0.0;
        double const fc = 0.45 / factor;
        double const pi = std::numbers::pi;
        for (std::size_t i = 0; i <= m; ++i) {
            double const x = static_cast<double>(i) - m / 2.0;
            double const h = std::fabs(x) < 1e-9 ? 2 * fc : std::sin(2 * pi * fc * x) / (pi * x);
            sum += h * (0.42 - 0.5 * std::cos(2 * pi * i / m) + 0.08 * std::cos(4 * pi * i / m));
        }
        EXPECT_NEAR(taps[m / 2], 2 * fc / sum, 1e-6) << factor;
    }
}

// Steady-state output amplitude of a unit complex tone at f (fraction of the input rate).
double gain_at(std::int32_t factor, double f)
{
    SurveyDecimator decimator(factor);
    std::size_t const n = 20000;
    std::vector<std::complex<float>> in(n);
    for (std::size_t i = 0; i < n; ++i)
        in[i] = std::polar(1.0f, static_cast<float>(2 * std::numbers::pi * std::fmod(f * static_cast<double>(i), 1.0)));
    std::vector<std::complex<float>> out;
    decimator.process(in.data(), n, out);
    double peak = 0.0;
    for (std::size_t i = 300; i < out.size(); ++i)
        peak = std::max(peak, static_cast<double>(std::abs(out[i])));
    return peak;
}

TEST(SurveyDecimator, PassesTheSurveyBandAndRejectsWhatWouldAlias)
{
    for (std::int32_t factor : {2, 6, 40}) {
        SCOPED_TRACE(factor);
        EXPECT_NEAR(gain_at(factor, 0.0), 1.0, 1e-3);
        // Within 2 dB over the inner 60 % of the survey band.
        EXPECT_GT(gain_at(factor, 0.3 / factor), 0.8);
        EXPECT_GT(gain_at(factor, -0.3 / factor), 0.8);
        // The cut-off sits at 0.45 / D: half the amplitude there.
        EXPECT_NEAR(gain_at(factor, 0.45 / factor), 0.5, 0.02);
        // From 0.9 / D up, everything stays 70 dB down (a Hann window would leave 55 to 62 dB).
        for (double f : {0.9 / factor, 1.0 / factor, 0.49, -0.9 / factor})
            EXPECT_LT(20 * std::log10(gain_at(factor, f)), -70.0) << f;
    }
}

TEST(SurveyDecimator, OneOutputPerFactorInputsWhateverTheBlocks)
{
    std::int32_t const factor = 6;
    std::size_t const n = 5000;
    std::vector<std::complex<float>> in(n);
    for (std::size_t i = 0; i < n; ++i)
        in[i] = {std::sin(0.01f * static_cast<float>(i)), std::cos(0.037f * static_cast<float>(i * i % 977))};

    SurveyDecimator whole(factor);
    std::vector<std::complex<float>> expected;
    whole.process(in.data(), n, expected);
    ASSERT_EQ(expected.size(), n / factor);

    for (std::size_t block : {1u, 5u, 7u, 48u, 1000u}) {
        SurveyDecimator cut(factor);
        std::vector<std::complex<float>> joined;
        std::vector<std::complex<float>> part;
        for (std::size_t at = 0; at < n; at += block) {
            cut.process(in.data() + at, std::min(block, n - at), part);
            joined.insert(joined.end(), part.begin(), part.end());
        }
        ASSERT_EQ(joined.size(), expected.size()) << block;
        for (std::size_t i = 0; i < joined.size(); ++i)
            ASSERT_EQ(joined[i], expected[i]) << block << " at " << i;
    }

    // The first output is taken when the sixth input arrives, from the window ending there.
    std::vector<float> const taps = SurveyDecimator::design_taps(factor);
    std::complex<float> first = 0;
    for (std::size_t t = 0; t < factor; ++t)
        first += taps[taps.size() - factor + t] * in[t];
    EXPECT_NEAR(std::abs(expected[0] - first), 0.0, 1e-6);
}

// Against the filter written the obvious way in double precision (the same float taps, summed
// one by one over the window ending at every D-th input of the whole stream): the output must
// agree within single-precision rounding whatever the blocks, for tap counts that fill the
// vector registers evenly and for ones that leave a tail.
TEST(SurveyDecimator, MatchesADoublePrecisionModelWhateverTheBlocks)
{
    std::mt19937 random(11);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    std::size_t const n = 6000;
    std::vector<std::complex<float>> in(n);
    for (auto& x : in)
        x = {gauss(random), gauss(random)};
    for (std::int32_t factor : {2, 5, 6, 40}) {
        std::vector<float> const taps = SurveyDecimator::design_taps(factor);
        std::size_t const count = taps.size();
        std::vector<std::complex<double>> model;
        for (std::size_t j = static_cast<std::size_t>(factor) - 1; j < n; j += static_cast<std::size_t>(factor)) {
            std::complex<double> y = 0.0;
            for (std::size_t t = 0; t < count; ++t)
                if (j + 1 + t >= count)
                    y += static_cast<double>(taps[t]) * std::complex<double>(in[j + 1 + t - count]);
            model.push_back(y);
        }
        for (std::size_t block : {1u, 7u, 1000u, 6000u}) {
            SurveyDecimator cut(factor);
            std::vector<std::complex<float>> joined;
            std::vector<std::complex<float>> part;
            for (std::size_t at = 0; at < n; at += block) {
                cut.process(in.data() + at, std::min(block, n - at), part);
                joined.insert(joined.end(), part.begin(), part.end());
            }
            ASSERT_EQ(joined.size(), model.size()) << factor << " " << block;
            double worst = 0.0;
            for (std::size_t i = 0; i < model.size(); ++i)
                worst = std::max(worst, std::abs(std::complex<double>(joined[i]) - model[i]));
            // Unit-variance input: the error of float sums over up to 257 taps stays near 1e-7.
            EXPECT_LT(worst, 2e-6) << "factor " << factor << ", blocks of " << block;
        }
    }
}

TEST(SurveyDecimator, FactorOneHandsTheSamplesOnUnchanged)
{
    SurveyDecimator decimator(1);
    std::vector<std::complex<float>> const in = {{1, 2}, {3, -4}, {0.5f, 0.25f}};
    std::vector<std::complex<float>> out = {{9, 9}};
    decimator.process(in.data(), in.size(), out);
    EXPECT_EQ(out, in);
    EXPECT_THROW(SurveyDecimator(0), std::invalid_argument);
}

}  // namespace
