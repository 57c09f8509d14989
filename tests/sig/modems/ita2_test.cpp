#include "sig/modems/ita2.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

// ITA2 codes as the standard lists them: bit 1 (the first on the line) to bit 5, 1 = mark.
struct Published {
    const char* bits;
    char letter;
    char figure;  // US teleprinter figures case
};

constexpr Published kPublished[] = {
    {"11000", 'A', '-'}, {"10011", 'B', '?'}, {"01110", 'C', ':'}, {"10010", 'D', '$'}, {"10000", 'E', '3'},
    {"10110", 'F', '!'}, {"01011", 'G', '&'}, {"00101", 'H', '#'}, {"01100", 'I', '8'}, {"11010", 'J', 7},
    {"11110", 'K', '('}, {"01001", 'L', ')'}, {"00111", 'M', '.'}, {"00110", 'N', ','}, {"00011", 'O', '9'},
    {"01101", 'P', '0'}, {"11101", 'Q', '1'}, {"01010", 'R', '4'}, {"10100", 'S', '\''}, {"00001", 'T', '5'},
    {"11100", 'U', '7'}, {"01111", 'V', '='}, {"11001", 'W', '2'}, {"10111", 'X', '/'}, {"10101", 'Y', '6'},
    {"10001", 'Z', '+'}, {"00100", ' ', ' '}, {"00010", '\r', '\r'}, {"01000", '\n', '\n'}, {"00000", 0, 0},
    {"11111", 0, 0},  // letters shift
    {"11011", 0, 0},  // figures shift
};

int index_of(const char* bits) {
    int index = 0;
    for (int k = 0; k < 5; ++k)
        if (bits[k] == '1') index |= 1 << k;
    return index;
}

TEST(Ita2, TablesMatchThePublishedCodeChart) {
    for (const Published& row : kPublished) {
        const auto index = static_cast<std::size_t>(index_of(row.bits));
        EXPECT_EQ(sig::ita2_letters()[index], row.letter) << row.bits;
        EXPECT_EQ(sig::ita2_figures()[index], row.figure) << row.bits;
    }
    EXPECT_EQ(index_of("11111"), sig::kIta2LettersShift);
    EXPECT_EQ(index_of("11011"), sig::kIta2FiguresShift);
}

TEST(Ita2, TheRyTestPatternAlternatesEveryBit) {
    // RYRY... exercises a teleprinter because R and Y are each other's complement.
    const int r = index_of("01010");
    const int y = index_of("10101");
    EXPECT_EQ(r ^ y, 31);
    EXPECT_EQ(sig::ita2_letters()[static_cast<std::size_t>(r)], 'R');
    EXPECT_EQ(sig::ita2_letters()[static_cast<std::size_t>(y)], 'Y');
}

}  // namespace
