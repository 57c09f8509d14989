#include "sig/survey/survey_spectrum_stats.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

// A spectrum of `n` bins at level 1 with runs of other levels: {first bin, last bin, level}.
struct Run {
    int first, last;
    float level;
};

std::vector<float> spectrum(int n, std::initializer_list<Run> runs) {
    std::vector<float> p(static_cast<std::size_t>(n), 1.0f);
    for (const Run& r : runs)
        for (int i = r.first; i <= r.last; ++i) p[static_cast<std::size_t>(i)] = r.level;
    return p;
}

struct StatsCase {
    std::string name;
    std::vector<float> p;
    double bin_hz, centre_bin, bandwidth_hz;
    // Expected figures, worked out by hand from the bins.
    double symmetry, flatness, peak_db, in_band_db, edge_db, centre_peak_db, core_db;
};

class SpectrumStats : public ::testing::TestWithParam<StatsCase> {};

TEST_P(SpectrumStats, MeasuresTheBand) {
    const StatsCase& c = GetParam();
    const sig::SurveyBandStats s =
        sig::survey_spectrum_stats(c.p.data(), c.p.size(), c.bin_hz, c.centre_bin, c.bandwidth_hz);
    ASSERT_TRUE(s.valid);
    EXPECT_EQ(s.bandwidth_hz, c.bandwidth_hz);
    EXPECT_NEAR(s.symmetry, c.symmetry, 1e-6);
    EXPECT_NEAR(s.flatness, c.flatness, 1e-4);
    EXPECT_NEAR(s.peak_db, c.peak_db, 1e-3);
    EXPECT_NEAR(s.in_band_db, c.in_band_db, 1e-3);
    EXPECT_NEAR(s.edge_db, c.edge_db, 1e-3);
    EXPECT_NEAR(s.centre_peak_db, c.centre_peak_db, 1e-3);
    EXPECT_NEAR(s.core_db, c.core_db, 1e-3);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SpectrumStats,
    ::testing::Values(
        // 11 bins (59..69) at 100 over a floor of 1; surroundings 54..58 and 70..74. The bins 2..6
        // from the centre include 58 and 70 (floor): near mean 80.2.
        StatsCase{"flat_block", spectrum(128, {{59, 69, 100.0f}}), 10.0, 64.0, 100.0,
                  1.0, 1.0, 0.0, 20.0, 20.0, 0.95782, 4.77121},
        // One strong bin in a 7-bin band (61..67): mean 1006/7.
        StatsCase{"single_line", spectrum(128, {{64, 64, 1000.0f}}), 10.0, 64.0, 50.0,
                  1.0, 0.0186669, 8.42500, 21.57500, 0.0, 30.0, 30.00868},
        // The lower half three times the upper: lower 5 x 300, upper 5 x 100.
        StatsCase{"lopsided", spectrum(128, {{59, 63, 300.0f}, {64, 69, 100.0f}}), 10.0, 64.0, 100.0,
                  0.5, 0.863071, 1.96295, 22.80827, 20.0, 2.72459, 3.97940},
        // 61 bins (226..286): the edge window is 61/10 = 6 bins; 3 bins of skirt at 100 outside
        // each edge halve the outer mean (50.5).
        StatsCase{"wide_band_edge_window", spectrum(512, {{223, 289, 100.0f}}), 10.0, 256.0, 600.0,
                  1.0, 1.0, 0.0, 9.62574, 2.96702, 0.0, 4.77121},
        // The band starts at bin 0: the lower edge has no outside, so the edge figure is at most 0.
        StatsCase{"band_at_spectrum_start", spectrum(64, {{0, 6, 100.0f}}), 10.0, 3.0, 60.0,
                  1.0, 1.0, 0.0, 20.0, 0.0, 2.39793, 4.77121}),
    [](const auto& info) { return info.param.name; });

TEST(SpectrumStats, RejectedInputsGiveTheDefaultRecord) {
    const std::vector<float> p = spectrum(128, {{59, 69, 100.0f}});
    struct Reject {
        const char* name;
        const float* data;
        std::size_t n;
        double bin_hz, centre_bin, bandwidth_hz;
        double recorded_bandwidth;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const Reject& r : {Reject{"no spectrum", nullptr, 128, 10.0, 64.0, 100.0, 0.0},
                            Reject{"7 bins", p.data(), 7, 10.0, 3.0, 20.0, 0.0},
                            Reject{"zero bin width", p.data(), 128, 0.0, 64.0, 100.0, 0.0},
                            Reject{"zero bandwidth", p.data(), 128, 10.0, 64.0, 0.0, 0.0},
                            Reject{"negative bandwidth", p.data(), 128, 10.0, 64.0, -100.0, 0.0},
                            Reject{"NaN centre", p.data(), 128, 10.0, nan, 100.0, 0.0},
                            // Fewer than 3 bins: 64..65.
                            Reject{"two bins", p.data(), 128, 10.0, 64.5, 5.0, 5.0},
                            Reject{"band beyond the spectrum", p.data(), 128, 10.0, 1e12, 100.0, 100.0},
                            Reject{"band before the spectrum", p.data(), 128, 10.0, -1e12, 100.0, 100.0}}) {
        const sig::SurveyBandStats s = sig::survey_spectrum_stats(r.data, r.n, r.bin_hz, r.centre_bin, r.bandwidth_hz);
        EXPECT_FALSE(s.valid) << r.name;
        EXPECT_EQ(s.bandwidth_hz, r.recorded_bandwidth) << r.name;
        EXPECT_EQ(s.symmetry, 1.0) << r.name;
        EXPECT_EQ(s.in_band_db, 0.0) << r.name;
        EXPECT_EQ(s.flatness, 0.0) << r.name;
    }
    // Three bins (63..65) are enough.
    EXPECT_TRUE(sig::survey_spectrum_stats(p.data(), p.size(), 10.0, 64.0, 5.0).valid);
}

// A NaN or infinite bin in or next to the band would turn every figure into NaN and every
// decision into a coin toss: the band is not measured. One far away does not matter.
TEST(SpectrumStats, NonFiniteBinsNearTheBandLeaveItUnmeasured) {
    for (const float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        for (const auto& [bin, valid] : std::vector<std::pair<int, bool>>{{64, false}, {56, false}, {72, false}, {120, true}}) {
            std::vector<float> p = spectrum(128, {{59, 69, 100.0f}});
            p[static_cast<std::size_t>(bin)] = bad;
            const sig::SurveyBandStats s = sig::survey_spectrum_stats(p.data(), p.size(), 10.0, 64.0, 100.0);
            EXPECT_EQ(s.valid, valid) << bin;
            EXPECT_EQ(s.bandwidth_hz, 100.0);
            if (s.valid) {
                EXPECT_TRUE(std::isfinite(s.in_band_db));
            }
        }
    }
}

TEST(SpectrumStats, SilenceMeasuresWithoutDividingByZero) {
    const std::vector<float> zeros(256, 0.0f);
    const sig::SurveyBandStats s = sig::survey_spectrum_stats(zeros.data(), zeros.size(), 10.0, 128.0, 300.0);
    ASSERT_TRUE(s.valid);
    EXPECT_NEAR(s.flatness, 1.0, 1e-9);
    EXPECT_NEAR(s.in_band_db, 0.0, 1e-9);
    EXPECT_NEAR(s.peak_db, 0.0, 1e-9);
    EXPECT_NEAR(s.symmetry, 1.0, 1e-9);
    EXPECT_NEAR(s.edge_db, 0.0, 1e-9);
}

}  // namespace
