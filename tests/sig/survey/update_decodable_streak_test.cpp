#include "sig/survey/update_decodable_streak.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

sig::SurveyBandStats narrow_band() {
    sig::SurveyBandStats s;
    s.bandwidth_hz = 300.0;
    s.in_band_db = 10.0;
    s.valid = true;
    return s;
}

sig::SurveyEnvelopeFeatures envelope(double kurtosis, double variation, double rate_hz) {
    sig::SurveyEnvelopeFeatures f;
    f.kurtosis = kurtosis;
    f.variation = variation;
    f.keying_peak_ratio = 10.0;
    f.keying_rate_hz = rate_hz;
    f.valid = true;
    return f;
}

// Decodable by its steady envelope, whatever its keying line does.
sig::SurveyEnvelopeFeatures steady(double rate_hz) { return envelope(1.2, 0.1, rate_hz); }

// Decodable only through its keying line (a noise-like envelope).
sig::SurveyEnvelopeFeatures line_only(double rate_hz) { return envelope(2.0, 0.5, rate_hz); }

sig::SurveyEnvelopeFeatures noise() { return line_only(0.0); }

struct Pass {
    sig::SurveyEnvelopeFeatures f;
    std::int32_t streak;  // after the pass
    double until;         // after the pass
};

struct StreakCase {
    std::string name;
    std::vector<Pass> passes;  // one per half second from t = 1000
};

class DecodableStreak : public ::testing::TestWithParam<StreakCase> {};

// With 10 emitters the hold is 4 s.
TEST_P(DecodableStreak, Passes) {
    std::int32_t streak = 0;
    double rate = 0.0;
    double until = 0.0;
    double t = 1000.0;
    int index = 0;
    for (const Pass& p : GetParam().passes) {
        sig::update_decodable_streak(narrow_band(), p.f, t, 10, streak, rate, until);
        EXPECT_EQ(streak, p.streak) << "pass " << index;
        EXPECT_EQ(until, p.until) << "pass " << index;
        // A pass that is not decodable leaves the remembered line alone.
        if (p.streak > 0) {
            EXPECT_EQ(rate, p.f.keying_rate_hz) << "pass " << index;
        }
        t += 0.5;
        ++index;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecodableStreak,
    ::testing::Values(
        StreakCase{"two_passes_make_it_decodable",
                   {{steady(20.0), 1, 0.0}, {steady(20.0), 2, 1004.5}, {steady(20.0), 3, 1005.0}}},
        StreakCase{"a_bad_pass_clears", {{steady(20.0), 1, 0.0}, {steady(20.0), 2, 1004.5}, {noise(), 0, 0.0},
                                         {steady(20.0), 1, 0.0}, {steady(20.0), 2, 1006.0}}},
        // The envelope alone makes it decodable: a wandering line does not matter.
        StreakCase{"steady_ignores_line_jumps", {{steady(20.0), 1, 0.0}, {steady(90.0), 2, 1004.5}, {steady(30.0), 3, 1005.0}}},
        // Decodable only through the line: the first pass has no line to compare with (0 Hz).
        StreakCase{"line_needs_two_passes", {{line_only(20.0), 1, 0.0}, {line_only(20.0), 2, 1004.5}}},
        StreakCase{"line_within_six_hertz", {{line_only(20.0), 1, 0.0}, {line_only(26.0), 2, 1004.5}}},
        // A jump restarts the streak and leaves the until time of the earlier passes alone.
        StreakCase{"line_jump_restarts", {{line_only(20.0), 1, 0.0}, {line_only(20.0), 2, 1004.5},
                                          {line_only(26.1), 1, 1004.5}, {line_only(26.1), 2, 1005.5}}},
        // Above 120 Hz the allowance is 5 % of the rate.
        StreakCase{"line_within_five_percent", {{line_only(200.0), 1, 0.0}, {line_only(210.0), 2, 1004.5}}},
        StreakCase{"line_beyond_five_percent", {{line_only(200.0), 1, 0.0}, {line_only(210.6), 1, 0.0},
                                                {line_only(210.6), 2, 1005.0}}}),
    [](const auto& info) { return info.param.name; });

struct HoldCase {
    std::size_t emitters;
    double seconds;
};

// Emitters without a decoder get their passes 16 at a time, the group moving on every 2 s: the
// hold covers one rotation and one window more, and never less than 4 s.
TEST(DecodableHold, CoversTheRotationAndOneWindowMore) {
    for (const HoldCase& c : {HoldCase{0, 4.0}, HoldCase{1, 4.0}, HoldCase{10, 4.0}, HoldCase{16, 4.0}, HoldCase{17, 6.0},
                              HoldCase{32, 6.0}, HoldCase{33, 8.0}, HoldCase{40, 8.0}, HoldCase{200, 28.0}})
        EXPECT_EQ(sig::survey_decodable_hold(c.emitters), c.seconds) << c.emitters;
}

TEST(DecodableHold, SetsTheUntilTime) {
    for (const HoldCase& c : {HoldCase{5, 4.0}, HoldCase{40, 8.0}}) {
        std::int32_t streak = 1;
        double rate = 20.0;
        double until = 0.0;
        sig::update_decodable_streak(narrow_band(), steady(20.0), 500.0, c.emitters, streak, rate, until);
        EXPECT_EQ(until, 500.0 + c.seconds);
    }
}

}  // namespace
