#include "core/sig/olivia_variants.hpp"

#include <gtest/gtest.h>

#include <set>
#include <utility>

namespace {

TEST(OliviaVariants, ExactlyTheAcceptedPairs) {
    const std::set<std::pair<int, int>> accepted = {
        {4, 125},  {8, 125},  {4, 250},  {8, 250},  {4, 500},   {8, 500},  {16, 500}, {64, 500},
        {4, 1000}, {8, 1000}, {16, 1000}, {32, 1000}, {64, 1000}, {4, 2000}, {8, 2000}, {16, 2000},
        {32, 2000}, {64, 2000},
    };
    // Every tone count and bandwidth anything might try, including neighbours of the real ones.
    for (int tones : {0, 2, 3, 4, 5, 8, 16, 32, 64, 128, 1024}) {
        for (int bandwidth : {0, 124, 125, 250, 500, 750, 1000, 2000, 4000}) {
            EXPECT_EQ(sig::is_olivia_variant(tones, bandwidth), accepted.count({tones, bandwidth}) == 1)
                << tones << "/" << bandwidth;
        }
    }
}

TEST(OliviaVariants, DefaultToneCountOfEachBandwidthIsAnAcceptedPair) {
    const std::pair<int, int> defaults[] = {{125, 4}, {250, 8}, {500, 16}, {1000, 32}, {2000, 64}};
    for (const auto& [bandwidth, tones] : defaults) {
        EXPECT_EQ(sig::olivia_default_tones(bandwidth), tones);
        EXPECT_TRUE(sig::is_olivia_variant(tones, bandwidth));
    }
    EXPECT_EQ(sig::olivia_default_tones(300), 0);
    for (int bandwidth : sig::olivia_bandwidths_hz) EXPECT_NE(sig::olivia_default_tones(bandwidth), 0);
}

}  // namespace
