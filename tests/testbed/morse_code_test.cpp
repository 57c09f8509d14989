#include "testbed/lib/morse_code.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "sig/modems/morse.hpp"

namespace {

// Every character the receiver knows is keyed with the code it reads back, and nothing else
// is keyed: the two tables agree (the receiver's is checked against the published one).
TEST(MorseCode, KeysWhatTheReceiverReads) {
    int known = 0;
    for (int length = 1; length <= 7; ++length) {
        for (unsigned value = 0; value < (1u << length); ++value) {
            std::string code;
            for (int k = length - 1; k >= 0; --k) code.push_back((value >> k) & 1u ? '-' : '.');
            const std::string_view read = sig::morse_decode(code);
            if (read.size() != 1) continue;  // no code, or a prosign
            ++known;
            EXPECT_EQ(testbed::morse_code(read[0]), code) << read;
        }
    }
    EXPECT_EQ(known, 52);
    for (int ch = 1; ch < 128; ++ch) {
        const std::string_view code = testbed::morse_code(static_cast<char>(ch));
        if (code.empty()) continue;
        const std::string_view read = sig::morse_decode(code);
        if (ch == '+' || ch == '=') {
            EXPECT_EQ(read, ch == '+' ? "<AR>" : "<BT>") << "shares its code with a prosign";
        } else {
            EXPECT_EQ(read, std::string(1, static_cast<char>(std::toupper(ch)))) << static_cast<char>(ch);
        }
    }
    EXPECT_EQ(testbed::morse_code('s'), "...");
    EXPECT_EQ(testbed::morse_code('#'), "");
    EXPECT_EQ(testbed::morse_code(' '), "");
}

TEST(MorseCode, ParisIsFiftyDotUnits) {
    // The word PARIS with its word gap is the standard of speed: 50 units.
    int units = 0;
    for (const char ch : std::string("PARIS")) {
        const std::string code(testbed::morse_code(ch));
        for (const char element : code) units += element == '.' ? 1 : 3;
        units += static_cast<int>(code.size()) - 1;  // gaps within the letter
        units += 3;                                  // gap after the letter
    }
    EXPECT_EQ(units + 4, 50);  // the last letter gap grows to a word gap of 7
}

}  // namespace
