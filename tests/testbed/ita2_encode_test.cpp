#include "testbed/lib/ita2_encode.hpp"

#include <gtest/gtest.h>

#include <cstddef>

#include "sig/modems/ita2.hpp"

namespace {

TEST(Ita2Encode, EncodesEveryPrintableCharacterBackToItself) {
    for (int code = 0; code < 32; ++code) {
        for (const bool figures : {false, true}) {
            const char ch = (figures ? sig::ita2_figures() : sig::ita2_letters())[static_cast<std::size_t>(code)];
            if (ch == 0) continue;
            const auto encoded = testbed::ita2_encode(ch);
            ASSERT_TRUE(encoded.has_value()) << code;
            EXPECT_EQ(encoded->code, code);
            EXPECT_TRUE(encoded->either_case || encoded->figures == figures) << code;
        }
    }
    // Q is 11101 on the line, first bit first.
    EXPECT_EQ(testbed::ita2_encode('q')->code, 0b10111) << "lower case is sent as upper case";
    EXPECT_TRUE(testbed::ita2_encode(' ')->either_case);
    EXPECT_FALSE(testbed::ita2_encode('%').has_value());
    EXPECT_FALSE(testbed::ita2_encode('@').has_value());
}

}  // namespace
