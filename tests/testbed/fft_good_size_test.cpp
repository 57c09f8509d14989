#include "testbed/lib/fft_good_size.hpp"

#include <gtest/gtest.h>

#include <cstddef>

namespace {

TEST(FftGoodSize, IsTheNextProductOfSmallPrimes) {
    struct Case {
        std::size_t n;
        std::size_t good;
    };
    for (const Case c : {Case{0, 1}, {1, 1}, {7, 7}, {11, 12}, {13, 14}, {97, 98}, {1025, 1029}, {4096, 4096}})
        EXPECT_EQ(testbed::fft_good_size(c.n), c.good) << c.n;
}

}  // namespace
