#include "tests/support/all_txt_spot.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

void expect_only_ft8_spot(std::string const& all_txt, ExpectedFt8Spot const& expected, std::string const& run_err)
{
    std::istringstream lines(all_txt);
    std::string line;
    ASSERT_TRUE(std::getline(lines, line)) << run_err;
    // The spot carries the interval the wall clock gave it, the dial, and the signal where it was sent.
    std::istringstream fields(line);
    std::string utc, dial, rx, mode, message;
    double snr = 0, dt = 0, audio_hz = 0;
    fields >> utc >> dial >> rx >> mode >> snr >> dt >> audio_hz >> std::ws;
    std::getline(fields, message);
    EXPECT_THAT(utc, testing::MatchesRegex("[0-9]{6}_[0-9]{4}(00|15|30|45)")) << line;
    EXPECT_EQ(dial, expected.dial) << line;
    EXPECT_EQ(mode, "FT8") << line;
    EXPECT_NEAR(audio_hz, expected.audio_hz, 3) << line;
    EXPECT_NEAR(dt, expected.dt_s, expected.dt_tolerance_s) << line;
    EXPECT_NEAR(snr, expected.snr_db, 4.0) << line;
    EXPECT_EQ(message, expected.message) << line;
    EXPECT_FALSE(std::getline(lines, line)) << all_txt;
}
