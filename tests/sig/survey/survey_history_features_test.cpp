#include "sig/survey/survey_history_features.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <algorithm>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr double kPi = std::numbers::pi;

std::vector<std::complex<float>> tone(double hz, double rate, std::size_t n, double amplitude = 1.0) {
    std::vector<std::complex<float>> x(n);
    for (std::size_t i = 0; i < n; ++i)
        x[i] = std::complex<float>(std::polar(amplitude, 2.0 * kPi * hz * static_cast<double>(i) / rate));
    return x;
}

// Output level of a tone through the pre-filter, in the filled middle part.
double passed(double hz, double rate, double bandwidth_hz) {
    const auto x = tone(hz, rate, 2000);
    const auto y = sig::survey_envelope_prefilter(rate, bandwidth_hz, x.data(), x.size());
    return std::abs(y[1000]);
}

TEST(EnvelopePrefilter, CentredUnitGainAndUnfilledEnds) {
    const auto x = tone(0.0, 12000.0, 1000, 0.7);
    const auto y = sig::survey_envelope_prefilter(12000.0, 500.0, x.data(), x.size());
    ASSERT_EQ(y.size(), x.size());
    for (std::size_t k = 0; k < y.size(); ++k) {
        if (k < 64 || k > y.size() - 65) {
            EXPECT_EQ(y[k], std::complex<double>(0.0, 0.0)) << k;
        } else {
            EXPECT_NEAR(y[k].real(), 0.7, 1e-6) << k;
        }
    }
    // Centred: a step comes out half way at the step, not delayed by the 63 taps of history.
    std::vector<std::complex<float>> step(1000);
    for (std::size_t i = 500; i < step.size(); ++i) step[i] = 1.0f;
    const auto s = sig::survey_envelope_prefilter(12000.0, 500.0, step.data(), step.size());
    EXPECT_NEAR(s[500].real(), 0.5, 0.05);
    EXPECT_LT(s[440].real(), 0.01);
    EXPECT_GT(s[560].real(), 0.99);
}

// Against the pre-filter written the obvious way (one double sum per part, tap by tap): the same
// outputs within double-precision rounding, at the rates and bandwidths the survey uses.
TEST(EnvelopePrefilter, MatchesTheFilterSummedTapByTap) {
    std::mt19937 random(5);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    struct Case {
        double rate_hz, bandwidth_hz;
        std::size_t n;
    };
    for (const Case& c : {Case{12000.0, 500.0, 12000}, Case{12000.0, 100.0, 300}, Case{24000.0, 12000.0, 24000},
                          Case{60000.0, 30000.0, 1000}, Case{12000.0, 3000.0, 129}}) {
        std::vector<std::complex<float>> x(c.n);
        for (auto& v : x) v = {gauss(random), gauss(random)};
        const auto y = sig::survey_envelope_prefilter(c.rate_hz, c.bandwidth_hz, x.data(), x.size());
        ASSERT_EQ(y.size(), x.size());
        const double fc = std::min(std::max(150.0, 0.6 * c.bandwidth_hz), 0.45 * c.rate_hz) / c.rate_hz;
        std::vector<double> taps(127);
        double sum = 0.0;
        for (int k = 0; k < 127; ++k) {
            const double w = 0.42 - 0.5 * std::cos(2.0 * kPi * k / 126.0) + 0.08 * std::cos(4.0 * kPi * k / 126.0);
            const double m = k - 63;
            taps[static_cast<std::size_t>(k)] = k == 63 ? w * 2.0 * fc : w * std::sin(2.0 * kPi * fc * m) / (kPi * m);
            sum += taps[static_cast<std::size_t>(k)];
        }
        double worst = 0.0;
        for (std::size_t k = 0; k < c.n; ++k) {
            std::complex<double> want = 0.0;
            if (k >= 64 && k + 65 <= c.n)
                for (std::size_t j = 0; j < 127; ++j) want += taps[j] / sum * std::complex<double>(x[k + 63 - j]);
            worst = std::max(worst, std::abs(y[k] - want));
        }
        EXPECT_LT(worst, 1e-12) << c.rate_hz << " Hz, " << c.bandwidth_hz << " Hz wide, " << c.n << " samples";
    }
}

struct CutoffCase {
    std::string name;
    double rate_hz, bandwidth_hz, cutoff_hz;
};

class PrefilterCutoff : public ::testing::TestWithParam<CutoffCase> {};

// The cut-off lies at min(max(150, 0.6 x bandwidth), 0.45 x rate): half the amplitude there, all
// of it well inside, little well outside.
TEST_P(PrefilterCutoff, HalfAmplitudeAtTheCutoff) {
    const CutoffCase& c = GetParam();
    EXPECT_NEAR(passed(c.cutoff_hz, c.rate_hz, c.bandwidth_hz), 0.5, 0.05);
    EXPECT_NEAR(passed(-c.cutoff_hz, c.rate_hz, c.bandwidth_hz), 0.5, 0.05);
    const double transition = 4.0 * c.rate_hz / 127.0;
    if (c.cutoff_hz > transition) {
        EXPECT_GT(passed(c.cutoff_hz - transition, c.rate_hz, c.bandwidth_hz), 0.98);
    }
    if (c.cutoff_hz + transition < 0.5 * c.rate_hz) {
        EXPECT_LT(passed(c.cutoff_hz + transition, c.rate_hz, c.bandwidth_hz), 0.02);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PrefilterCutoff,
                         ::testing::Values(CutoffCase{"narrow_emitter_floor", 12000.0, 100.0, 150.0},
                                           CutoffCase{"voice_width", 12000.0, 2500.0, 1500.0},
                                           CutoffCase{"wide_at_24k", 24000.0, 10000.0, 6000.0},
                                           CutoffCase{"held_below_nyquist", 12000.0, 10000.0, 5400.0}),
                         [](const auto& info) { return info.param.name; });

// Below 250 Hz of bandwidth the cut-off stays at 150 Hz.
TEST(EnvelopePrefilter, NarrowEmittersShareTheLowestCutoff) {
    const auto x = tone(200.0, 12000.0, 2000);
    EXPECT_EQ(sig::survey_envelope_prefilter(12000.0, 50.0, x.data(), x.size()),
              sig::survey_envelope_prefilter(12000.0, 250.0, x.data(), x.size()));
    EXPECT_NE(sig::survey_envelope_prefilter(12000.0, 250.0, x.data(), x.size()),
              sig::survey_envelope_prefilter(12000.0, 260.0, x.data(), x.size()));
}

struct GateCase {
    std::string name;
    double rate_hz, bandwidth_hz;
    std::size_t samples;
    bool valid;
};

class HistoryGate : public ::testing::TestWithParam<GateCase> {};

// Features need half a second of history (and more than 256 samples) of an emitter at most
// 30 kHz wide.
TEST_P(HistoryGate, MeasuresOnlyEnoughHistory) {
    const GateCase& c = GetParam();
    const auto x = tone(30.0, c.rate_hz > 0.0 ? c.rate_hz : 12000.0, c.samples);
    const sig::SurveyEnvelopeFeatures f = sig::survey_history_features(c.rate_hz, c.bandwidth_hz, x.data(), x.size());
    EXPECT_EQ(f.valid, c.valid);
    if (c.valid) {
        EXPECT_NEAR(f.kurtosis, 1.0, 1e-3);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, HistoryGate,
                         ::testing::Values(GateCase{"half_second", 12000.0, 500.0, 6000, true},
                                           GateCase{"short_of_half_second", 12000.0, 500.0, 5999, false},
                                           GateCase{"odd_rate_truncated", 24001.0, 500.0, 12000, true},
                                           GateCase{"widest", 64000.0, 30000.0, 32000, true},
                                           GateCase{"too_wide", 64000.0, 30000.1, 64000, false},
                                           GateCase{"low_rate_needs_257", 400.0, 100.0, 256, false},
                                           GateCase{"low_rate_257", 400.0, 100.0, 257, true},
                                           GateCase{"no_rate", 0.0, 500.0, 12000, false},
                                           GateCase{"no_bandwidth", 12000.0, 0.0, 12000, false}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
