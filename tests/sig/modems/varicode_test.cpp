#include "sig/modems/varicode.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace {

// The published PSK31 varicode, ASCII 0 to 127, typed from the standard table (not from our
// source): a swapped or mistyped code fails here whatever the round trips do.
struct PublishedCode {
    const char* name;
    const char* code;
};

constexpr PublishedCode kPublished[128] = {
    {"NUL", "1010101011"}, {"SOH", "1011011011"}, {"STX", "1011101101"}, {"ETX", "1101110111"},
    {"EOT", "1011101011"}, {"ENQ", "1101011111"}, {"ACK", "1011101111"}, {"BEL", "1011111101"},
    {"BS", "1011111111"},  {"HT", "11101111"},    {"LF", "11101"},       {"VT", "1101101111"},
    {"FF", "1011011101"},  {"CR", "11111"},       {"SO", "1101110101"},  {"SI", "1110101011"},
    {"DLE", "1011110111"}, {"DC1", "1011110101"}, {"DC2", "1110101101"}, {"DC3", "1110101111"},
    {"DC4", "1101011011"}, {"NAK", "1101101011"}, {"SYN", "1101101101"}, {"ETB", "1101010111"},
    {"CAN", "1101111011"}, {"EM", "1101111101"},  {"SUB", "1110110111"}, {"ESC", "1101010101"},
    {"FS", "1101011101"},  {"GS", "1110111011"},  {"RS", "1011111011"},  {"US", "1101111111"},
    {"space", "1"},        {"!", "111111111"},    {"\"", "101011111"},   {"#", "111110101"},
    {"$", "111011011"},    {"%", "1011010101"},   {"&", "1010111011"},   {"'", "101111111"},
    {"(", "11111011"},     {")", "11110111"},     {"*", "101101111"},    {"+", "111011111"},
    {",", "1110101"},      {"-", "110101"},       {".", "1010111"},      {"/", "110101111"},
    {"0", "10110111"},     {"1", "10111101"},     {"2", "11101101"},     {"3", "11111111"},
    {"4", "101110111"},    {"5", "101011011"},    {"6", "101101011"},    {"7", "110101101"},
    {"8", "110101011"},    {"9", "110110111"},    {":", "11110101"},     {";", "110111101"},
    {"<", "111101101"},    {"=", "1010101"},      {">", "111010111"},    {"?", "1010101111"},
    {"@", "1010111101"},   {"A", "1111101"},      {"B", "11101011"},     {"C", "10101101"},
    {"D", "10110101"},     {"E", "1110111"},      {"F", "11011011"},     {"G", "11111101"},
    {"H", "101010101"},    {"I", "1111111"},      {"J", "111111101"},    {"K", "101111101"},
    {"L", "11010111"},     {"M", "10111011"},     {"N", "11011101"},     {"O", "10101011"},
    {"P", "11010101"},     {"Q", "111011101"},    {"R", "10101111"},     {"S", "1101111"},
    {"T", "1101101"},      {"U", "101010111"},    {"V", "110110101"},    {"W", "101011101"},
    {"X", "101110101"},    {"Y", "101111011"},    {"Z", "1010101101"},   {"[", "111110111"},
    {"\\", "111101111"},   {"]", "111111011"},    {"^", "1010111111"},   {"_", "101101101"},
    {"`", "1011011111"},   {"a", "1011"},         {"b", "1011111"},      {"c", "101111"},
    {"d", "101101"},       {"e", "11"},           {"f", "111101"},       {"g", "1011011"},
    {"h", "101011"},       {"i", "1101"},         {"j", "111101011"},    {"k", "10111111"},
    {"l", "11011"},        {"m", "111011"},       {"n", "1111"},         {"o", "111"},
    {"p", "111111"},       {"q", "110111111"},    {"r", "10101"},        {"s", "10111"},
    {"t", "101"},          {"u", "110111"},       {"v", "1111011"},      {"w", "1101011"},
    {"x", "11011111"},     {"y", "1011101"},      {"z", "111010101"},    {"{", "1010110111"},
    {"|", "110111011"},    {"}", "1010110101"},   {"~", "1011010111"},   {"DEL", "1110110101"},
};

// Both directions: the code we send for each character, and the character we read from it.
TEST(Varicode, EveryCodeMatchesThePublishedTable) {
    for (int c = 0; c < 128; ++c) {
        const PublishedCode& row = kPublished[c];
        EXPECT_EQ(sig::psk_varicode(c), std::string_view(row.code)) << "ASCII " << c << " (" << row.name << ")";
        std::uint32_t index = 1;
        for (const char* bit = row.code; *bit != 0; ++bit) index = 2 * index + (*bit == '1' ? 1 : 0);
        EXPECT_EQ(sig::psk_varicode_lookup(index), c) << row.code << " should read as " << row.name;
    }
}

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
