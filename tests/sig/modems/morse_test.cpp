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
    for (const Published& row : kPublished)
        EXPECT_EQ(sig::morse_decode(row.code), std::string(1, row.ch)) << row.code;
}

TEST(Morse, ProsignsWinOverTheirCharacters) {
    EXPECT_EQ(sig::morse_decode(".-.-."), "<AR>");
    EXPECT_EQ(sig::morse_decode("...-.-"), "<SK>");
    EXPECT_EQ(sig::morse_decode("-...-"), "<BT>");
}

TEST(Morse, UnknownCodesDecodeToNothing) {
    for (const char* code : {"........", "", "x", "......", "--..--.", "...x"}) EXPECT_EQ(sig::morse_decode(code), "") << code;
}

}  // namespace
