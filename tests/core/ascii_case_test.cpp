#include "core/ascii_case.hpp"

#include <string>

#include <gtest/gtest.h>

namespace {

struct CaseRow {
    std::string text;
    std::string upper;
    std::string lower;
};

class AsciiCase : public testing::TestWithParam<CaseRow> {};

TEST_P(AsciiCase, ChangesOnlyAsciiLetters)
{
    EXPECT_EQ(upper_ascii(GetParam().text), GetParam().upper);
    EXPECT_EQ(lower_ascii(GetParam().text), GetParam().lower);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, AsciiCase,
    testing::Values(CaseRow{"k1abc/P", "K1ABC/P", "k1abc/p"}, CaseRow{"Js8-Fast", "JS8-FAST", "js8-fast"},
                    // The neighbours of both letter ranges stay: @ [ ` {
                    CaseRow{"@AZ[`az{", "@AZ[`AZ{", "@az[`az{"},
                    // UTF-8 letters (here ä and Ö) are bytes above 127 and pass unchanged.
                    CaseRow{"\xC3\xA4x\xC3\x96", "\xC3\xA4X\xC3\x96", "\xC3\xA4x\xC3\x96"},
                    CaseRow{"", "", ""}));

}  // namespace
