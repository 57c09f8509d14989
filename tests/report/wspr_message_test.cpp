#include "report/wspr_message.hpp"

#include <gtest/gtest.h>

namespace {

struct MessageCase {
    char const* message;
    bool valid;
    char const* sender;
    char const* grid;
    int dbm;
};

class WsprMessage : public ::testing::TestWithParam<MessageCase> {};

TEST_P(WsprMessage, ReadsCallLocatorAndPower)
{
    auto const& c = GetParam();
    DecodedSpot spot;
    spot.message = c.message;
    spot.sender = "OLD";
    spot.grid = "OLD";
    EXPECT_EQ(parse_wspr_message(spot), c.valid) << c.message;
    if (!c.valid)
        return;
    EXPECT_EQ(spot.sender, c.sender);
    EXPECT_EQ(spot.grid, c.grid);
    EXPECT_EQ(spot.dbm, c.dbm);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WsprMessage,
    ::testing::Values(MessageCase{"K1ABC FN42 33", true, "K1ABC", "FN42", 33},
                      MessageCase{"PJ4/K1ABC 30", true, "PJ4/K1ABC", "", 30},
                      MessageCase{"<PJ4/K1ABC> FK52UD 37", true, "PJ4/K1ABC", "FK52UD", 37},
                      MessageCase{"<...> FK52UD 37", true, "", "FK52UD", 37},
                      MessageCase{"K1ABC FN42 33 [drift=-1]", true, "K1ABC", "FN42", 33},
                      MessageCase{"  K1ABC   FN42  0 ", true, "K1ABC", "FN42", 0},
                      MessageCase{"K1ABC FN42 60", true, "K1ABC", "FN42", 60},
                      MessageCase{"K1ABC FN42 61", false, "", "", 0},
                      MessageCase{"K1ABC FN42 100", false, "", "", 0},
                      MessageCase{"K1ABC FN42 -3", false, "", "", 0},
                      MessageCase{"K1ABC FN42 33 X", false, "", "", 0},
                      MessageCase{"K1ABC FN42", false, "", "", 0},           // locator taken, power missing
                      MessageCase{"<K1ABC> FN42 33", false, "", "", 0},      // bracketed call needs 6 characters
                      MessageCase{"<K1ABC> FN42AB", false, "", "", 0},
                      MessageCase{"K1ABC FN42AB 33", false, "", "", 0},      // 6-character locator, plain call
                      MessageCase{"k1abc FN42 33", false, "", "", 0},
                      MessageCase{"K1ABC", false, "", "", 0},
                      MessageCase{"", false, "", "", 0}));

}  // namespace
