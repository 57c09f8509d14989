#include "sig/modems/morse.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

// International Morse code as published (ITU-R M.1677-1).
struct Published {
    char ch;
    const char* code;
};

constexpr Published kPublished[] = {
    {'A', ".-"},     {'B', "-..."},   {'C', "-.-."},   {'D', "-.."},    {'E', "."},      {'F', "..-."},
    {'G', "--."},    {'H', "...."},   {'I', ".."},     {'J', ".---"},   {'K', "-.-"},    {'L', ".-.."},
    {'M', "--"},     {'N', "-."},     {'O', "---"},    {'P', ".--."},   {'Q', "--.-"},   {'R', ".-."},
    {'S', "..."},    {'T', "-"},      {'U', "..-"},    {'V', "...-"},   {'W', ".--"},    {'X', "-..-"},
    {'Y', "-.--"},   {'Z', "--.."},   {'1', ".----"},  {'2', "..---"},  {'3', "...--"},  {'4', "....-"},
    {'5', "....."},  {'6', "-...."},  {'7', "--..."},  {'8', "---.."},  {'9', "----."},  {'0', "-----"},
    {'.', ".-.-.-"}, {',', "--..--"}, {'?', "..--.."}, {'\'', ".----."}, {'/', "-..-."}, {'(', "-.--."},
    {')', "-.--.-"}, {':', "---..."}, {'-', "-....-"}, {'"', ".-..-."}, {'@', ".--.-."},
};

TEST(Morse, CodesMatchThePublishedTable) {
    for (const Published& row : kPublished) {
        EXPECT_EQ(sig::morse_code(row.ch), row.code) << row.ch;
        EXPECT_EQ(sig::morse_decode(row.code), std::string(1, row.ch)) << row.code;
    }
    EXPECT_EQ(sig::morse_code('s'), "...");
}

TEST(Morse, ParisIsFiftyDotUnits) {
    // The word PARIS with its word gap is the standard of speed: 50 units.
    int units = 0;
    for (const char ch : std::string("PARIS")) {
        const std::string code(sig::morse_code(ch));
        for (const char element : code) units += element == '.' ? 1 : 3;
        units += static_cast<int>(code.size()) - 1;  // gaps within the letter
        units += 3;                                  // gap after the letter
    }
    EXPECT_EQ(units + 4, 50);  // the last letter gap grows to a word gap of 7
}

TEST(Morse, ProsignsWinOverTheirCharacters) {
    EXPECT_EQ(sig::morse_decode(".-.-."), "<AR>");
    EXPECT_EQ(sig::morse_decode("...-.-"), "<SK>");
    EXPECT_EQ(sig::morse_decode("-...-"), "<BT>");
}

TEST(Morse, UnknownCodesDecodeToNothing) {
    for (const char* code : {"........", "", "x", "......", "--..--.", "...x"}) EXPECT_EQ(sig::morse_decode(code), "") << code;
    EXPECT_EQ(sig::morse_code('#'), "");
    EXPECT_EQ(sig::morse_code(' '), "");
}

}  // namespace
