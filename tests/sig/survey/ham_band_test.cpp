// Which RF frequencies the survey counts as ham: every band edge belongs to the band, a hertz
// beyond does not, and 60 m is five channels with gaps between them.
#include "sig/survey/ham_band.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Edge {
    double low_hz;
    double high_hz;
    const char* name;
};

const std::vector<Edge> kBands = {
    {1800000, 2000000, "160m"},     {3500000, 4000000, "80m"},      {5330600, 5333400, "60m"},
    {5346600, 5349400, "60m"},      {5357100, 5359900, "60m"},      {5371600, 5374400, "60m"},
    {5403600, 5406400, "60m"},      {7000000, 7300000, "40m"},      {10100000, 10150000, "30m"},
    {14000000, 14350000, "20m"},    {18068000, 18168000, "17m"},    {21000000, 21450000, "15m"},
    {24890000, 24990000, "12m"},    {28000000, 29700000, "10m"},    {50000000, 54000000, "6m"},
    {144000000, 148000000, "2m"},   {420000000, 450000000, "70cm"},
};

TEST(HamBands, TheTableHoldsTheSeventeenRowsInBandOrder)
{
    const std::vector<HamBand>& table = ham_bands();
    ASSERT_EQ(table.size(), kBands.size());
    for (std::size_t i = 0; i < kBands.size(); ++i) {
        EXPECT_EQ(table[i].low_hz, kBands[i].low_hz) << i;
        EXPECT_EQ(table[i].high_hz, kBands[i].high_hz) << i;
        EXPECT_EQ(table[i].name, kBands[i].name) << i;
    }
}

TEST(HamBands, BothEdgesAreInsideAndOneHertzBeyondIsOutside)
{
    for (const Edge& band : kBands) {
        SCOPED_TRACE(std::string(band.name) + " from " + std::to_string(band.low_hz));
        EXPECT_TRUE(in_ham_band(band.low_hz));
        EXPECT_TRUE(in_ham_band(band.high_hz));
        EXPECT_TRUE(in_ham_band((band.low_hz + band.high_hz) / 2));
        EXPECT_FALSE(in_ham_band(band.low_hz - 1));
        EXPECT_FALSE(in_ham_band(band.high_hz + 1));
    }
}

TEST(HamBands, SignalsOnAndOffTheBands)
{
    struct Case {
        double rf_hz;
        bool ham;
    };
    const Case cases[] = {
        {7074000, true},   {7350000, false}, {5340000, false},  {14350000, true}, {14350000.5, false},
        {13500000, false}, {14074000, true}, {10000000, false}, {0, false},       {-7074000, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(in_ham_band(c.rf_hz), c.ham) << c.rf_hz;
}

}  // namespace
