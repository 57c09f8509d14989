#include "radio/lna_tables.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <ostream>
#include <vector>

namespace {

struct LnaCase {
    char const* model;
    char const* antenna;
    double hz;
    std::vector<int> reductions;  // empty: no list
};

void PrintTo(LnaCase const& c, std::ostream* os) { *os << c.model << " " << c.antenna << " at " << c.hz << " Hz"; }

std::vector<int> const rsp1_low = {0, 24, 19, 43};
std::vector<int> const rsp1_uhf = {0, 7, 19, 26};
std::vector<int> const rsp1_l = {0, 5, 19, 24};
std::vector<int> const rsp1a_low = {0, 6, 12, 18, 37, 42, 61};
std::vector<int> const rsp1a_vhf = {0, 6, 12, 18, 20, 26, 32, 38, 57, 62};
std::vector<int> const rsp1a_uhf = {0, 7, 13, 19, 20, 27, 33, 39, 45, 64};
std::vector<int> const rsp1a_l = {0, 6, 12, 20, 26, 32, 38, 43, 62};
std::vector<int> const rsp2_low = {0, 10, 15, 21, 24, 34, 39, 45, 64};
std::vector<int> const rsp2_l = {0, 5, 21, 15, 15, 34};
std::vector<int> const hiz = {0, 6, 12, 18, 37};
std::vector<int> const dx_hf = {0, 3, 6, 9, 12, 15, 24, 27, 30, 33, 36, 39, 42, 45, 48, 51, 54, 57, 60};
std::vector<int> const dx_50 = {0,  3,  6,  9,  12, 20, 23, 26, 29, 32, 35, 38, 44,
                                47, 50, 53, 56, 59, 62, 65, 68, 71, 74, 77, 80};
std::vector<int> const dx_l = {0, 5, 8, 11, 14, 17, 20, 32, 35, 38, 41, 44, 47, 50, 53, 56, 59, 62, 65};
std::vector<int> const none;

}  // namespace

class LnaTables : public testing::TestWithParam<LnaCase> {};

TEST_P(LnaTables, PickTheBandsListInStateOrder)
{
    LnaCase const& c = GetParam();
    auto const list = sdrplay_lna_reductions(c.model, c.antenna, c.hz);
    if (c.reductions.empty()) {
        EXPECT_FALSE(list.has_value());
    } else {
        ASSERT_TRUE(list.has_value());
        EXPECT_EQ(std::vector<int>(list->begin(), list->end()), c.reductions);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, LnaTables,
    testing::Values(
        // The range every model shares.
        LnaCase{"RSP1", "", 999, none}, LnaCase{"RSP1", "", 1000, rsp1_low},
        LnaCase{"RSP1", "", 2e9, rsp1_l}, LnaCase{"RSP1", "", 2e9 + 1, none},
        LnaCase{"RSP1", "", std::numeric_limits<double>::quiet_NaN(), none},
        LnaCase{"RSP1", "", std::numeric_limits<double>::infinity(), none},
        // Lower band edges belong to the band above.
        LnaCase{"RSP1", "", 419999999, rsp1_low}, LnaCase{"RSP1", "", 420e6, rsp1_uhf},
        LnaCase{"RSP1", "", 999999999, rsp1_uhf}, LnaCase{"RSP1", "", 1e9, rsp1_l},
        LnaCase{"RSP1", "HiZ", 7e6, rsp1_low},
        LnaCase{"RSP1A", "", 59999999, rsp1a_low}, LnaCase{"RSP1A", "", 60e6, rsp1a_vhf},
        LnaCase{"RSP1A", "", 420e6, rsp1a_uhf}, LnaCase{"RSP1A", "", 1e9, rsp1a_l},
        // The RSP1B follows the RSP1A: seven states up to 60 MHz, not 50.
        LnaCase{"RSP1B", "", 50e6, rsp1a_low}, LnaCase{"RSP1B", "", 59999999, rsp1a_low},
        LnaCase{"RSP1B", "", 60e6, rsp1a_vhf}, LnaCase{"RSP1B", "HiZ", 60e6, rsp1a_vhf},
        LnaCase{"RSP1B", "", 420e6, rsp1a_uhf}, LnaCase{"RSP1B", "", 1e9, rsp1a_l},
        LnaCase{"RSPduo", "A", 14e6, rsp1a_low}, LnaCase{"RSPduo", "A", 60e6, rsp1a_vhf},
        LnaCase{"RSPduo", "HiZ", 59999999, hiz}, LnaCase{"RSPduo", "HiZ", 60e6, none},
        LnaCase{"RSP2", "A", 14e6, rsp2_low}, LnaCase{"RSP2", "B", 1e9, rsp2_l},
        LnaCase{"RSP2", "HiZ", 1000, hiz}, LnaCase{"RSP2", "HiZ", 60e6, none},
        LnaCase{"RSPdx", "", 1999999, none}, LnaCase{"RSPdx", "", 2e6, dx_hf},
        LnaCase{"RSPdx", "HiZ", 7e6, dx_hf}, LnaCase{"RSPdxR2", "", 50e6, dx_50},
        LnaCase{"RSPdxR2", "", 2e9, dx_l},
        LnaCase{"Unknown RSP", "", 14e6, none}, LnaCase{"RSP1a", "", 14e6, none}));

struct LnaSizeCase {
    double mhz;
    std::size_t states;
};

void PrintTo(LnaSizeCase const& c, std::ostream* os) { *os << c.mhz << " MHz"; }

class RspdxLnaStates : public testing::TestWithParam<LnaSizeCase> {};

TEST_P(RspdxLnaStates, CountStatesOfEachBand)
{
    LnaSizeCase const c = GetParam();
    for (char const* model : {"RSPdx", "RSPdxR2"}) {
        auto const list = sdrplay_lna_reductions(model, "A", c.mhz * 1e6);
        ASSERT_TRUE(list.has_value()) << model << " " << c.mhz;
        EXPECT_EQ(list->size(), c.states) << model << " " << c.mhz;
    }
}

INSTANTIATE_TEST_SUITE_P(Bands, RspdxLnaStates,
                         testing::Values(LnaSizeCase{2, 19}, LnaSizeCase{11.9, 19}, LnaSizeCase{12, 20},
                                         LnaSizeCase{50, 25}, LnaSizeCase{60, 27}, LnaSizeCase{250, 28},
                                         LnaSizeCase{420, 21}, LnaSizeCase{1000, 19}, LnaSizeCase{2000, 19}));
