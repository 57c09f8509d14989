#include "core/value_parse.hpp"
#include "tests/support/error_of.hpp"

#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

TEST(Trim, RemovesBlanksTabsAndLineEndsFromBothEnds)
{
    EXPECT_EQ(trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(trim("a"), "a");
    EXPECT_EQ(trim(" \t\r\n "), "");
    EXPECT_EQ(trim(""), "");
    EXPECT_EQ(trim("\va\v"), "\va\v");  // only the four named characters count as blanks
}

struct NumberCase {
    std::string text;
    bool allow_suffix;
    double expected;
};

class ParseNumberReads : public testing::TestWithParam<NumberCase> {};

TEST_P(ParseNumberReads, Value)
{
    auto const& c = GetParam();
    EXPECT_DOUBLE_EQ(parse_number(c.text, c.allow_suffix), c.expected) << c.text;
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseNumberReads,
                         testing::Values(NumberCase{"14.074M", true, 14074000.0}, NumberCase{"3k", true, 3000.0},
                                         NumberCase{"3K", true, 3000.0}, NumberCase{"10M", true, 10000000.0},
                                         NumberCase{"10m", true, 10000000.0}, NumberCase{"1e3k", true, 1000000.0},
                                         NumberCase{"2.5", false, 2.5}, NumberCase{"-7", false, -7.0},
                                         NumberCase{"+7", true, 7.0}, NumberCase{"  42", false, 42.0},
                                         NumberCase{"0x10", false, 16.0}, NumberCase{"1e-3", false, 0.001},
                                         NumberCase{"96000", true, 96000.0}));

struct NumberFailure {
    std::string text;
    bool allow_suffix;
    std::string message;
};

class ParseNumberRefuses : public testing::TestWithParam<NumberFailure> {};

TEST_P(ParseNumberRefuses, WithTheExaminedText)
{
    auto const& c = GetParam();
    EXPECT_EQ(error_of([&] { parse_number(c.text, c.allow_suffix); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseNumberRefuses,
    testing::Values(NumberFailure{"3k", false, "Invalid number: 3k"},
                    NumberFailure{"12x", true, "Invalid number: 12x"},
                    NumberFailure{"5 ", false, "Invalid number: 5 "},
                    NumberFailure{"5 k", true, "Invalid number: 5 "},  // blank before the suffix
                    NumberFailure{"k", true, "Invalid number: "},
                    NumberFailure{"", true, "Invalid number: "},
                    NumberFailure{"", false, "Invalid number: "},
                    NumberFailure{"kk", true, "Invalid number: k"},
                    NumberFailure{"1,5", false, "Invalid number: 1,5"},
                    NumberFailure{"inf", false, "Invalid number: inf"},
                    NumberFailure{"-infinity", false, "Invalid number: -infinity"},
                    NumberFailure{"nan", false, "Invalid number: nan"},
                    NumberFailure{"1e999", false, "Invalid number: 1e999"},    // overflow
                    NumberFailure{"1e-999", false, "Invalid number: 1e-999"},  // underflow
                    NumberFailure{"1e308k", true, "Invalid number: 1e308"},    // finite until multiplied
                    // what() ends at the NUL; the conversion must still refuse the text
                    NumberFailure{std::string("5\0" "9", 3), false, "Invalid number: 5"}));

struct ByteCase {
    std::string text;
    std::string outcome;  // the value in decimal, or the error message
};

class ParseByte : public testing::TestWithParam<ByteCase> {};

TEST_P(ParseByte, ReadsOrRefuses)
{
    auto const& c = GetParam();
    std::string outcome;
    try {
        outcome = std::to_string(parse_byte(c.text));
    } catch (std::runtime_error const& error) {
        outcome = error.what();
    }
    EXPECT_EQ(outcome, c.outcome);
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseByte,
                         testing::Values(ByteCase{"0", "0"}, ByteCase{"255", "255"}, ByteCase{"17.0", "17"},
                                         ByteCase{"256", "Expected an integer between 0 and 255: 256"},
                                         ByteCase{"2.5", "Expected an integer between 0 and 255: 2.5"},
                                         ByteCase{"-1", "Expected an integer between 0 and 255: -1"},
                                         ByteCase{"1k", "Invalid number: 1k"},  // no suffixes here
                                         ByteCase{"abc", "Invalid number: abc"}));

constexpr char const* rate_message = "Sample rate must be a positive integer in Hz, at most 64M";

class ParseSampleRate : public testing::TestWithParam<ByteCase> {};

TEST_P(ParseSampleRate, ReadsOrRefuses)
{
    auto const& c = GetParam();
    std::string outcome;
    try {
        outcome = std::to_string(parse_sample_rate(c.text));
    } catch (std::runtime_error const& error) {
        outcome = error.what();
    }
    EXPECT_EQ(outcome, c.outcome);
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseSampleRate,
                         testing::Values(ByteCase{"2.048M", "2048000"}, ByteCase{"64M", "64000000"},
                                         ByteCase{"1", "1"}, ByteCase{"192k", "192000"},
                                         ByteCase{"0", rate_message}, ByteCase{"64000001", rate_message},
                                         ByteCase{"1.5", rate_message}, ByteCase{"-48k", rate_message},
                                         ByteCase{"1e300", rate_message},
                                         ByteCase{"fast", "Invalid number: fast"}));

TEST(SplitCommaList, TrimsItemsAndKeepsEmptyOnes)
{
    using testing::ElementsAre;
    EXPECT_THAT(split_comma_list(" 20 , 40,\t80 "), ElementsAre("20", "40", "80"));
    EXPECT_THAT(split_comma_list("a,,b"), ElementsAre("a", "", "b"));
    EXPECT_THAT(split_comma_list(""), ElementsAre(""));
    EXPECT_THAT(split_comma_list(","), ElementsAre("", ""));
    EXPECT_THAT(split_comma_list("ft8:14.074M"), ElementsAre("ft8:14.074M"));
}

}  // namespace
