#include "decode/fft.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

FftBuffer random_signal(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    FftBuffer signal(size);
    for (auto& value : signal) {
        value = {uniform(generator), uniform(generator)};
    }
    return signal;
}

// Direct DFT in double precision: the reference every fast transform must meet.
std::vector<std::complex<double>> direct_dft(FftBuffer const& in, int sign)
{
    std::size_t const n = in.size();
    std::vector<std::complex<double>> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<double> sum;
        for (std::size_t t = 0; t < n; ++t) {
            double const turns = static_cast<double>((k * t) % n) / static_cast<double>(n);
            double const angle = sign * 2.0 * std::numbers::pi * turns;
            sum += std::complex<double>(in[t]) * std::complex<double>(std::cos(angle), std::sin(angle));
        }
        out[k] = sum;
    }
    return out;
}

// Largest error relative to the largest reference magnitude.
template <typename Get>
double relative_error(std::vector<std::complex<double>> const& reference, Get get)
{
    double worst = 0.0;
    double scale = 0.0;
    for (std::size_t k = 0; k < reference.size(); ++k) {
        worst = std::max(worst, std::abs(reference[k] - std::complex<double>(get(k))));
        scale = std::max(scale, std::abs(reference[k]));
    }
    return worst / scale;
}

class FourStepFftTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FourStepFftTest, MatchesDirectDftInStorageOrder)
{
    std::size_t const n = GetParam();
    FourStepFft fft(n);
    EXPECT_EQ(fft.columns(), std::min<std::size_t>(n, 1024));
    EXPECT_EQ(fft.rows(), n / fft.columns());
    FftBuffer const in = random_signal(n, 7);
    FftBuffer out(n);
    fft.forward(in.data(), out.data());
    auto const reference = direct_dft(in, -1);
    double const error = relative_error(reference, [&](std::size_t k) {
        return out[FourStepFft::position(k, fft.rows(), fft.columns())];
    });
    EXPECT_LT(error, 1e-5);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FourStepFftTest, ::testing::Values(2, 16, 1024, 2048, 8192));

TEST(FourStepFft, RangedPassesGiveTheSameBinsAsOnePass)
{
    std::size_t const n = 65536;  // 64 rows of 1024 columns
    FourStepFft whole(n);
    FourStepFft ranged(n);
    ranged.set_ranges({{0, 336}, {336, 336}, {672, 336}, {1008, 16}}, {{0, 32}, {32, 16}, {48, 16}});
    FftBuffer const in = random_signal(n, 11);
    FftBuffer expected(n);
    FftBuffer actual(n);
    whole.forward(in.data(), expected.data());
    // Passes run range by range in any order, as pool threads would.
    for (std::size_t i = ranged.column_ranges().size(); i-- > 0;) {
        ranged.column_pass(i, in.data(), actual.data());
    }
    for (std::size_t i = ranged.row_ranges().size(); i-- > 0;) {
        ranged.row_pass(i, actual.data());
    }
    double worst = 0.0;
    double scale = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        worst = std::max(worst, static_cast<double>(std::abs(actual[i] - expected[i])));
        scale = std::max(scale, static_cast<double>(std::abs(expected[i])));
    }
    EXPECT_LT(worst / scale, 1e-6);
}

TEST(ComplexFft, BackwardMatchesDirectDftOnEverySlice)
{
    std::size_t const n = 2048;
    ComplexFft inverse(n, ComplexFft::Direction::backward);
    FftBuffer const one = random_signal(n, 3);
    auto const reference = direct_dft(one, +1);

    // The same plan on the second slice of a larger array gives the same bits as on its own.
    FftBuffer alone(n);
    FftBuffer pair(2 * n);
    std::copy(one.data(), one.data() + n, alone.data());
    std::copy(one.data(), one.data() + n, pair.data() + n);
    inverse.execute(alone.data());
    inverse.execute(pair.data() + n);
    EXPECT_LT(relative_error(reference, [&](std::size_t k) { return alone[k]; }), 1e-5);
    for (std::size_t k = 0; k < n; ++k) {
        ASSERT_EQ(alone[k], pair[n + k]) << k;
    }
}

TEST(ComplexFft, ForwardThenBackwardScalesBySize)
{
    std::size_t const n = 360;  // not a power of two
    ComplexFft forward(n, ComplexFft::Direction::forward);
    ComplexFft backward(n, ComplexFft::Direction::backward);
    FftBuffer const original = random_signal(n, 5);
    FftBuffer data(n);
    std::copy(original.data(), original.data() + n, data.data());
    forward.execute(data.data());
    backward.execute(data.data());
    for (std::size_t k = 0; k < n; ++k) {
        EXPECT_NEAR(std::abs(data[k] / static_cast<float>(n) - original[k]), 0.0, 1e-5);
    }
}

TEST(ComplexFft, RefusesAnArrayAlignedUnlikeItsPlan)
{
    ComplexFft fft(64, ComplexFft::Direction::forward);
    FftBuffer buffer(65);
    EXPECT_THROW(fft.execute(buffer.data() + 1), std::logic_error);
}

TEST(FftSizes, FourStepRefusesSizesThatAreNotPowersOfTwo)
{
    EXPECT_THROW(FourStepFft(0), std::invalid_argument);
    EXPECT_THROW(FourStepFft(3000), std::invalid_argument);
}

}  // namespace
