#include "sig/modems/varicode.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

struct PublishedCode {
    int ascii;
    const char* code;
};

void PrintTo(const PublishedCode& c, std::ostream* os) { *os << "ASCII " << c.ascii << " = " << c.code; }

class PublishedVaricode : public ::testing::TestWithParam<PublishedCode> {};

TEST_P(PublishedVaricode, MatchesTheStandardTable) {
    EXPECT_EQ(sig::psk_varicode(GetParam().ascii), GetParam().code) << "ASCII " << GetParam().ascii;
}

INSTANTIATE_TEST_SUITE_P(Examples, PublishedVaricode,
                         ::testing::Values(PublishedCode{' ', "1"}, PublishedCode{'e', "11"},
                                           PublishedCode{'t', "101"}, PublishedCode{'o', "111"},
                                           PublishedCode{'a', "1011"}, PublishedCode{'n', "1111"},
                                           PublishedCode{'E', "1110111"}, PublishedCode{'T', "1101101"},
                                           PublishedCode{'Q', "111011101"}, PublishedCode{'0', "10110111"},
                                           PublishedCode{'9', "110110111"}, PublishedCode{'.', "1010111"},
                                           PublishedCode{'\n', "11101"}, PublishedCode{'\r', "11111"},
                                           PublishedCode{0, "1010101011"}, PublishedCode{127, "1110110101"}));

bool well_formed(std::string_view code) {
    return !code.empty() && code.size() <= 10 && code.front() == '1' && code.back() == '1' &&
           code.find("00") == std::string_view::npos && code.find_first_not_of("01") == std::string_view::npos;
}

// The published table gives the shortest codes to the 128 characters: every well-formed string
// of up to nine bits is used, and the rest are ten bits long. A mistyped code breaks this.
TEST(Varicode, UsesEveryWellFormedCodeUpToNineBitsOnce) {
    std::set<std::string> codes;
    int ten_bit = 0;
    for (int c = 0; c < 128; ++c) {
        const std::string_view code = sig::psk_varicode(c);
        ASSERT_TRUE(well_formed(code)) << "ASCII " << c << ": " << code;
        EXPECT_TRUE(codes.emplace(code).second) << "duplicate code " << code;
        if (code.size() == 10) ++ten_bit;
    }
    int well_formed_short = 0;
    for (int length = 1; length <= 9; ++length) {
        for (unsigned value = 0; value < (1u << length); ++value) {
            std::string bits;
            for (int k = length - 1; k >= 0; --k) bits.push_back((value >> k) & 1u ? '1' : '0');
            if (!well_formed(bits)) continue;
            ++well_formed_short;
            EXPECT_EQ(codes.count(bits), 1u) << bits << " is missing";
        }
    }
    EXPECT_EQ(well_formed_short, 88);
    EXPECT_EQ(ten_bit, 40);
}

TEST(Varicode, CharactersOutsideAsciiHaveNoCode) {
    EXPECT_TRUE(sig::psk_varicode(128).empty());
    EXPECT_TRUE(sig::psk_varicode(-1).empty());
}

TEST(VaricodeLookup, IndexIsTheCodeBehindALeadingOne) {
    EXPECT_EQ(sig::psk_varicode_lookup(0b1101), 't');
    EXPECT_EQ(sig::psk_varicode_lookup(0b111), 'e');
    for (int c = 0; c < 128; ++c) {
        std::uint32_t index = 1;
        for (const char bit : sig::psk_varicode(c)) index = 2 * index + (bit == '1' ? 1 : 0);
        EXPECT_EQ(sig::psk_varicode_lookup(index), c);
    }
}

TEST(VaricodeLookup, IndicesThatAreNoCodeGiveMinusOne) {
    int codes = 0;
    for (std::uint32_t index = 0; index < 2048; ++index)
        if (sig::psk_varicode_lookup(index) != -1) ++codes;
    EXPECT_EQ(codes, 128);
    EXPECT_EQ(sig::psk_varicode_lookup(0), -1);
    EXPECT_EQ(sig::psk_varicode_lookup(0b1100), -1);  // "100": two zeros inside
    EXPECT_EQ(sig::psk_varicode_lookup(2048), -1);
    EXPECT_EQ(sig::psk_varicode_lookup(UINT32_MAX), -1);
}

}  // namespace
