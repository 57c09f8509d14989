#include "decode/all_txt_line.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

namespace {

constexpr double start = 1710504255.0;  // 2024-03-15 12:04:15 UTC

struct LineCase {
    char const* name;
    DecodedSpot spot;
    DigitalMode mode;
    double start_utc;
    double dial_hz;
    char const* expected;
};

DecodedSpot spot(int snr, double dt, int audio, char const* message)
{
    DecodedSpot s;
    s.snr = snr;
    s.dt = dt;
    s.audio_hz = audio;
    s.message = message;
    return s;
}

DecodedSpot js8(DecodedSpot s, char const* frame, int flags, char const* sender, char const* grid)
{
    s.frame = frame;
    s.flags = flags;
    s.sender = sender;
    s.grid = grid;
    return s;
}

DecodedSpot with_drift(DecodedSpot s, int drift)
{
    s.drift = drift;
    return s;
}

class AllTxtLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(AllTxtLine, IsExact)
{
    auto const& c = GetParam();
    EXPECT_EQ(format_all_txt_line(c.spot, c.mode, c.start_utc, c.dial_hz), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AllTxtLine,
    ::testing::Values(
        LineCase{"ft8", spot(-5, 0.3, 50, "CQ K1ABC FN42"), DigitalMode::FT8, start, 14074000.0,
                 "240315_120415    14.074 Rx FT8     -5  0.3   50 CQ K1ABC FN42\n"},
        LineCase{"ft4_vhf_fraction_dropped", spot(12, -1.25, 1500, "K1ABC W9XYZ -05"), DigitalMode::FT4,
                 start + 0.9, 144174000.0, "240315_120415   144.174 Rx FT4     12 -1.2 1500 K1ABC W9XYZ -05\n"},
        LineCase{"wide_values_written_whole", spot(-1234567, -10.0, 123456, "X"), DigitalMode::FT8, start,
                 1234567890000.0, "240315_120415 1234567.890 Rx FT8 -1234567 -10.0 123456 X\n"},
        LineCase{"wspr_drift", with_drift(spot(-21, 1.0, 1500, "K1ABC FN42 37"), -1), DigitalMode::WSPR,
                 1710504240.0, 14095600.0, "240315_120400    14.096 Rx WSPR    -21  1.0 1500 K1ABC FN42 37 [drift=-1]\n"},
        LineCase{"wspr_zero_drift", spot(3, 0.0, 1410, "K1ABC 30"), DigitalMode::WSPR, 1710504240.0, 474200.0,
                 "240315_120400     0.474 Rx WSPR      3  0.0 1410 K1ABC 30 [drift=0]\n"},
        LineCase{"js8_frame", js8(spot(-12, 0.3, 1500, "K1ABC: CQ"), "ABCDEFGHIJ+-", 3, "K1ABC", "FN42"),
                 DigitalMode::JS8_TURBO, start, 14078000.0,
                 "240315_120415    14.078 Rx JS8-TURBO    -12  0.3 1500 K1ABC: CQ [frame=ABCDEFGHIJ+- flags=3 "
                 "sender=K1ABC grid=FN42]\n"},
        LineCase{"js8_no_sender_no_grid", js8(spot(0, 0.0, 900, "HI"), "ABCDEFGHIJKL", 0, "", ""),
                 DigitalMode::JS8, start, 7078000.0,
                 "240315_120415     7.078 Rx JS8      0  0.0  900 HI [frame=ABCDEFGHIJKL flags=0 sender=- grid=-]\n"},
        LineCase{"js8_without_frame_has_no_tail", spot(0, 0.0, 900, "HI"), DigitalMode::JS8_SLOW, start,
                 7078000.0, "240315_120415     7.078 Rx JS8-SLOW      0  0.0  900 HI\n"},
        LineCase{"ft8_ignores_js8_fields", js8(spot(1, 0.1, 600, "CQ"), "ABCDEFGHIJKL", 1, "K1ABC", "FN42"),
                 DigitalMode::FT8, start, 14074000.0, "240315_120415    14.074 Rx FT8      1  0.1  600 CQ\n"},
        LineCase{"unknown_mode", spot(1, 0.1, 600, "CQ"), static_cast<DigitalMode>(7), start, 14074000.0,
                 "240315_120415    14.074 Rx unknown      1  0.1  600 CQ\n"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(AllTxtLine, StartWithoutCalendarTimeIsRefused)
{
    EXPECT_THROW(format_all_txt_line(spot(0, 0, 0, "X"), DigitalMode::FT8, std::numeric_limits<double>::quiet_NaN(),
                                     14074000.0),
                 std::runtime_error);
}

}  // namespace
