#include "core/digital_mode.hpp"

#include <string>

#include <gtest/gtest.h>

namespace {

struct ModeRow {
    DigitalMode mode;
    std::uint32_t code;
    std::string name;
    double interval_seconds;
    std::int64_t interval_samples;
};

class DigitalModeTable : public testing::TestWithParam<ModeRow> {};

TEST_P(DigitalModeTable, CodeNameAndInterval)
{
    auto const& row = GetParam();
    EXPECT_EQ(static_cast<std::uint32_t>(row.mode), row.code);
    EXPECT_EQ(digital_mode_name(row.mode), row.name);
    EXPECT_EQ(digital_mode_name_or_unknown(row.mode), row.name);
    EXPECT_EQ(digital_mode_interval_seconds(row.mode), row.interval_seconds);
    EXPECT_EQ(digital_mode_interval_samples(row.mode), row.interval_samples);
    // The samples are the interval at the 12000 Hz channel rate, exactly.
    EXPECT_EQ(static_cast<double>(row.interval_samples), row.interval_seconds * 12000.0);
    EXPECT_EQ(parse_digital_mode(row.name), row.mode);
}

INSTANTIATE_TEST_SUITE_P(AllModes, DigitalModeTable,
                         testing::Values(ModeRow{DigitalMode::FT8, 0, "FT8", 15.0, 180000},
                                         ModeRow{DigitalMode::FT4, 1, "FT4", 7.5, 90000},
                                         ModeRow{DigitalMode::JS8, 2, "JS8", 15.0, 180000},
                                         ModeRow{DigitalMode::JS8_FAST, 3, "JS8-FAST", 10.0, 120000},
                                         ModeRow{DigitalMode::JS8_TURBO, 4, "JS8-TURBO", 6.0, 72000},
                                         ModeRow{DigitalMode::JS8_SLOW, 5, "JS8-SLOW", 30.0, 360000},
                                         ModeRow{DigitalMode::WSPR, 6, "WSPR", 120.0, 1440000}));

TEST(DigitalMode, AllModesListsEveryCodeInOrder)
{
    ASSERT_EQ(all_digital_modes.size(), digital_mode_count);
    for (std::size_t i = 0; i < all_digital_modes.size(); ++i)
        EXPECT_EQ(static_cast<std::size_t>(all_digital_modes[i]), i);
}

TEST(DigitalMode, UnknownCodeReadsAsFt8ButIsNamedUnknownInTexts)
{
    auto const corrupt = static_cast<DigitalMode>(7);
    EXPECT_EQ(digital_mode_name(corrupt), "FT8");
    EXPECT_EQ(digital_mode_name_or_unknown(corrupt), "unknown");
    EXPECT_EQ(digital_mode_interval_samples(corrupt), 180000);
}

struct ParseCase {
    std::string text;
    std::string outcome;  // the mode's name, or the error message
};

class ParseDigitalMode : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseDigitalMode, ReadsOrRefuses)
{
    auto const& c = GetParam();
    std::string outcome;
    try {
        outcome = std::string(digital_mode_name(parse_digital_mode(c.text)));
    } catch (std::runtime_error const& error) {
        outcome = error.what();
    }
    EXPECT_EQ(outcome, c.outcome);
}

constexpr char const* mode_message = "Digital mode must be FT8, FT4, JS8, JS8-FAST, JS8-TURBO, JS8-SLOW or WSPR: ";

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseDigitalMode,
    testing::Values(ParseCase{" js8-fast\t", "JS8-FAST"}, ParseCase{"wspr", "WSPR"}, ParseCase{"Ft4", "FT4"},
                    ParseCase{"js8-slow", "JS8-SLOW"}, ParseCase{"ft9", std::string(mode_message) + "FT9"},
                    ParseCase{" js8 fast ", std::string(mode_message) + "JS8 FAST"},
                    ParseCase{"JS8_FAST", std::string(mode_message) + "JS8_FAST"},
                    ParseCase{"", mode_message}));

}  // namespace
