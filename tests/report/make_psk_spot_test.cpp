#include "report/make_psk_spot.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace {

constexpr double dial_hz = 14074000.0;
constexpr double start_utc = 1710504255.0;

struct SpotCase {
    char const* name;
    DigitalMode mode;
    char const* message;
    char const* sender;  // JS8 sender field
    char const* grid;    // JS8 grid field
    bool reported;
    char const* call;
    char const* locator;
};

std::ostream& operator<<(std::ostream& out, SpotCase const& c) { return out << c.name; }

class MakePskSpot : public ::testing::TestWithParam<SpotCase> {};

TEST_P(MakePskSpot, ReportsOnlyTheTransmittingStation)
{
    SpotCase const& c = GetParam();
    DecodedSpot spot;
    spot.snr = -12;
    spot.audio_hz = 1500;
    spot.message = c.message;
    spot.sender = c.sender;
    spot.grid = c.grid;
    auto const report = make_psk_spot(spot, c.mode, dial_hz, start_utc);
    ASSERT_EQ(report.has_value(), c.reported);
    if (!report)
        return;
    EXPECT_EQ(report->sender_call, c.call);
    EXPECT_EQ(report->sender_grid, c.locator);
    EXPECT_EQ(report->frequency_hz, 14075500u);
    EXPECT_EQ(report->time, 1710504255u);
    EXPECT_EQ(report->snr, -12);
}

constexpr DigitalMode FT8 = DigitalMode::FT8;
constexpr DigitalMode FT4 = DigitalMode::FT4;
constexpr DigitalMode JS8 = DigitalMode::JS8;
constexpr DigitalMode WSPR = DigitalMode::WSPR;

INSTANTIATE_TEST_SUITE_P(
    Table, MakePskSpot,
    ::testing::Values(
        // CQ shapes
        SpotCase{"cq_call", FT8, "CQ K1ABC", "", "", true, "K1ABC", ""},
        SpotCase{"cq_call_locator", FT8, "CQ K1ABC FN42", "", "", true, "K1ABC", "FN42"},
        SpotCase{"cq_modifier_call_locator", FT8, "CQ DX K1ABC FN42", "", "", true, "K1ABC", "FN42"},
        SpotCase{"cq_numeric_modifier", FT8, "CQ 123 K1ABC FN42", "", "", true, "K1ABC", "FN42"},
        SpotCase{"cq_four_letter_modifier", FT4, "CQ POTA K1ABC", "", "", true, "K1ABC", ""},
        SpotCase{"cq_extra_token", FT8, "CQ K1ABC FN42 X", "", "", false, "", ""},
        SpotCase{"cq_five_letter_modifier", FT8, "CQ ABCDE K1ABC FN42", "", "", false, "", ""},
        SpotCase{"qrz_de_cqdx", FT8, "QRZ K1ABC FN42", "", "", true, "K1ABC", "FN42"},
        SpotCase{"de_shape", FT8, "DE K1ABC", "", "", true, "K1ABC", ""},
        SpotCase{"cqdx_shape", FT8, "CQDX K1ABC FN42", "", "", true, "K1ABC", "FN42"},
        SpotCase{"cq_modifier_without_call", FT8, "CQ DX", "", "", false, "", ""},
        SpotCase{"cq_report_tail", FT8, "CQ K1ABC -10", "", "", true, "K1ABC", ""},
        // directed messages: addressee, sender, tail
        SpotCase{"directed_locator", FT8, "K1ABC W9XYZ EN37", "", "", true, "W9XYZ", "EN37"},
        SpotCase{"directed_report", FT8, "K1ABC W9XYZ -15", "", "", true, "W9XYZ", ""},
        SpotCase{"directed_r_report", FT8, "K1ABC W9XYZ R+05", "", "", true, "W9XYZ", ""},
        SpotCase{"directed_rrr", FT8, "K1ABC W9XYZ RRR", "", "", true, "W9XYZ", ""},
        SpotCase{"directed_rr73_never_a_locator", FT8, "K1ABC W9XYZ RR73", "", "", true, "W9XYZ", ""},
        SpotCase{"directed_73", FT8, "K1ABC W9XYZ 73", "", "", true, "W9XYZ", ""},
        SpotCase{"directed_six_digits", FT8, "K1ABC W9XYZ 123456", "", "", true, "W9XYZ", ""},
        SpotCase{"directed_r_locator", FT8, "K1ABC W9XYZ R EN37", "", "", true, "W9XYZ", "EN37"},
        SpotCase{"directed_lone_r", FT8, "K1ABC W9XYZ R", "", "", false, "", ""},
        SpotCase{"directed_without_tail", FT8, "K1ABC W9XYZ", "", "", false, "", ""},
        SpotCase{"directed_locator_extra", FT8, "K1ABC W9XYZ EN37 X", "", "", false, "", ""},
        SpotCase{"directed_bad_tail", FT8, "K1ABC W9XYZ HELLO", "", "", false, "", ""},
        SpotCase{"hashed_addressee", FT8, "<...> W9XYZ -07", "", "", true, "W9XYZ", ""},
        SpotCase{"bracketed_sender", FT8, "K1ABC <W9XYZ> -07", "", "", true, "W9XYZ", ""},
        SpotCase{"bracketed_invalid_sender", FT8, "K1ABC <...> -07", "", "", false, "", ""},
        SpotCase{"free_text", FT8, "TNX FER QSO", "", "", false, "", ""},
        SpotCase{"six_tokens", FT8, "A B C D E F", "", "", false, "", ""},
        SpotCase{"lower_case", FT8, "cq k1abc fn42", "", "", true, "K1ABC", "FN42"},
        // combined messages
        SpotCase{"tu_prefix", FT8, "TU; K1ABC W9XYZ R-07", "", "", true, "W9XYZ", ""},
        SpotCase{"rr73_combined", FT8, "N0CALL K1ABC RR73; W9XYZ K1ABC -07", "", "", true, "K1ABC", ""},
        SpotCase{"other_semicolon", FT8, "HELLO; K1ABC W9XYZ -07", "", "", false, "", ""},
        // JS8 reads the decoder's sender fields
        SpotCase{"js8_sender_and_grid", JS8, "HELLO", "k1abc", "fn42", true, "K1ABC", "FN42"},
        SpotCase{"js8_no_grid", JS8, "HELLO", "K1ABC", "", true, "K1ABC", ""},
        SpotCase{"js8_bad_grid", JS8, "HELLO", "K1ABC", "FN4", false, "", ""},
        SpotCase{"js8_no_sender", JS8, "CQ K1ABC FN42", "", "", false, "", ""},
        // WSPR parses its message
        SpotCase{"wspr_call_grid_power", WSPR, "K1ABC FN42 37", "", "", true, "K1ABC", "FN42"},
        SpotCase{"wspr_call_power", WSPR, "K1ABC/P 37", "", "", true, "K1ABC/P", ""},
        SpotCase{"wspr_bracketed_call", WSPR, "<K1ABC> FN42AB 37", "", "", true, "K1ABC", "FN42AB"},
        SpotCase{"wspr_hashed_call", WSPR, "<...> FN42AB 37", "", "", false, "", ""},
        SpotCase{"wspr_power_61", WSPR, "K1ABC FN42 61", "", "", false, "", ""},
        SpotCase{"wspr_three_digit_power", WSPR, "K1ABC FN42 100", "", "", false, "", ""},
        SpotCase{"wspr_drift_tail_ignored", WSPR, "K1ABC FN42 37 [drift=-1]", "", "", true, "K1ABC", "FN42"},
        SpotCase{"wspr_extra_token", WSPR, "K1ABC FN42 37 X", "", "", false, "", ""}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(MakePskSpotMode, NamesTheModeAsReported)
{
    DecodedSpot spot;
    spot.message = "CQ K1ABC FN42";
    spot.sender = "K1ABC";
    EXPECT_EQ(make_psk_spot(spot, DigitalMode::FT8, dial_hz, start_utc)->mode, "FT8");
    EXPECT_EQ(make_psk_spot(spot, DigitalMode::FT4, dial_hz, start_utc)->mode, "FT4");
    EXPECT_EQ(make_psk_spot(spot, DigitalMode::JS8_SLOW, dial_hz, start_utc)->mode, "JS8");
    EXPECT_EQ(make_psk_spot(spot, static_cast<DigitalMode>(9), dial_hz, start_utc)->mode, "unknown");
    spot.message = "K1ABC FN42 37";
    EXPECT_EQ(make_psk_spot(spot, DigitalMode::WSPR, dial_hz, start_utc)->mode, "WSPR");
}

struct PlaceCase {
    char const* name;
    double dial_hz;
    std::int32_t audio_hz;
    double start_utc;
    bool reported;
    std::uint32_t frequency_hz;
    std::uint32_t time;
};

std::ostream& operator<<(std::ostream& out, PlaceCase const& c) { return out << c.name; }

class MakePskSpotPlace : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(MakePskSpotPlace, FrequencyAndTimeMustFitTheReport)
{
    PlaceCase const& c = GetParam();
    DecodedSpot spot;
    spot.audio_hz = c.audio_hz;
    spot.message = "CQ K1ABC FN42";
    auto const report = make_psk_spot(spot, DigitalMode::FT8, c.dial_hz, c.start_utc);
    ASSERT_EQ(report.has_value(), c.reported);
    if (report) {
        EXPECT_EQ(report->frequency_hz, c.frequency_hz);
        EXPECT_EQ(report->time, c.time);
    }
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, MakePskSpotPlace,
    ::testing::Values(PlaceCase{"rounded_half_up_time_truncated", 14074000.5, 1500, 1710504255.9, true, 14075501,
                                1710504255},
                      PlaceCase{"lowest_frequency_and_time", 0.0, 1, 0.0, true, 1, 0},
                      PlaceCase{"below_one_hz", 0.4, 0, 100.0, false, 0, 0},
                      PlaceCase{"highest_frequency", 4294967295.0, 0, 100.0, true, 4294967295u, 100},
                      PlaceCase{"above_32_bits", 4294967295.0, 1, 100.0, false, 0, 0},
                      PlaceCase{"frequency_not_finite", nan, 1500, 100.0, false, 0, 0},
                      PlaceCase{"negative_time", 14074000.0, 1500, -1.0, false, 0, 0},
                      PlaceCase{"latest_time", 14074000.0, 1500, 4294967295.0, true, 14075500, 4294967295u},
                      PlaceCase{"time_above_32_bits", 14074000.0, 1500, 4294967296.0, false, 0, 0},
                      PlaceCase{"infinite_time", 14074000.0, 1500, inf, false, 0, 0},
                      PlaceCase{"time_not_finite", 14074000.0, 1500, nan, false, 0, 0}),
    [](auto const& info) { return std::string(info.param.name); });

}  // namespace
