#include "sig/modems/order_statistics.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

struct QuantileCase {
    std::vector<float> values;
    double q;
    double expected;
};

void PrintTo(const QuantileCase& c, std::ostream* os) {
    *os << "q " << c.q << " of {";
    for (const float v : c.values) *os << ' ' << v;
    *os << " }";
}

class Quantile : public ::testing::TestWithParam<QuantileCase> {};

TEST_P(Quantile, PicksTheSortedElementWithoutInterpolating) {
    std::vector<float> values = GetParam().values;
    EXPECT_EQ(sig::quantile(values, GetParam().q), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Quantile,
    ::testing::Values(QuantileCase{{4, 1, 3, 2}, 0.0, 1}, QuantileCase{{4, 1, 3, 2}, 1.0, 4},
                      QuantileCase{{1, 2, 3, 4}, 0.5, 2},            // floor(1.5) = index 1
                      QuantileCase{{4, 1, 3, 2}, 1.5, 4},            // beyond the end: the maximum
                      QuantileCase{{4, 1, 3, 2}, -0.2, 1},           // below the start: the minimum
                      QuantileCase{{5, -1, 7, 2, 9}, 0.9, 7},        // floor(3.6) = index 3
                      QuantileCase{{3}, 0.7, 3}, QuantileCase{{}, 0.5, 0}, QuantileCase{{}, -3.0, 0},
                      QuantileCase{{4, 1, 3, 2}, std::numeric_limits<double>::quiet_NaN(), 1}));

TEST(Median, TakesTheUpperMiddleForAnEvenCount) {
    std::vector<float> odd{5, 1, 3};
    EXPECT_EQ(sig::median(odd), 3.0);
    std::vector<float> even{4, 1, 3, 2};
    EXPECT_EQ(sig::median(even), 3.0);
    std::vector<float> empty;
    EXPECT_EQ(sig::median(empty), 0.0);
}

TEST(OrderStatistics, AgreeWithAFullSortAndKeepTheValues) {
    std::mt19937 engine(7);
    std::uniform_real_distribution<float> uniform(-100.0f, 100.0f);
    for (const std::size_t size : {1u, 2u, 17u, 256u, 1001u}) {
        std::vector<float> values(size);
        for (float& v : values) v = uniform(engine);
        std::vector<float> sorted = values;
        std::sort(sorted.begin(), sorted.end());
        for (const double q : {0.1, 0.2, 0.5, 0.9}) {
            std::vector<float> work = values;
            const auto index = static_cast<std::size_t>(std::floor(q * static_cast<double>(size - 1)));
            EXPECT_EQ(sig::quantile(work, q), sorted[index]) << "size " << size << " q " << q;
            std::sort(work.begin(), work.end());
            EXPECT_EQ(work, sorted) << "the values themselves must survive the reordering";
        }
        std::vector<float> work = values;
        EXPECT_EQ(sig::median(work), sorted[size / 2]);
    }
}

}  // namespace
