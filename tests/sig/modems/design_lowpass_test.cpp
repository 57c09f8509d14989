#include "sig/modems/design_lowpass.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <numeric>
#include <stdexcept>
#include <vector>

namespace {

constexpr double kPi = std::numbers::pi;

double gain_db(const std::vector<float>& taps, double cycles_per_sample) {
    std::complex<double> sum = 0.0;
    for (std::size_t k = 0; k < taps.size(); ++k)
        sum += static_cast<double>(taps[k]) * std::polar(1.0, -2.0 * kPi * cycles_per_sample * static_cast<double>(k));
    return 20.0 * std::log10(std::abs(sum) + 1e-300);
}

void expect_unit_gain_and_symmetric(const std::vector<float>& taps) {
    const double sum = std::accumulate(taps.begin(), taps.end(), 0.0);
    EXPECT_NEAR(sum, 1.0, 1e-5);
    for (std::size_t k = 0; k < taps.size() / 2; ++k) EXPECT_EQ(taps[k], taps[taps.size() - 1 - k]) << "tap " << k;
}

struct KaiserCase {
    int taps;
    double cutoff_hz;
    double passband_hz;
    double stopband_hz;
};

void PrintTo(const KaiserCase& c, std::ostream* os) { *os << c.taps << " taps, cutoff " << c.cutoff_hz << " Hz"; }

class KaiserLowpass : public ::testing::TestWithParam<KaiserCase> {};

TEST_P(KaiserLowpass, MatchesADirectDesignAndTheMask) {
    const KaiserCase& c = GetParam();
    const double cutoff = c.cutoff_hz / 12000.0;
    const std::vector<float> taps = sig::design_kaiser_lowpass(c.taps, cutoff);
    ASSERT_EQ(taps.size(), static_cast<std::size_t>(c.taps));
    expect_unit_gain_and_symmetric(taps);

    // The same design from the library Bessel function.
    std::vector<double> reference(taps.size());
    double sum = 0.0;
    for (int k = 0; k < c.taps; ++k) {
        const double t = k - (c.taps - 1) / 2.0;
        const double r = 2.0 * t / (c.taps - 1);
        const double window = std::cyl_bessel_i(0.0, 7.0 * std::sqrt(std::max(0.0, 1.0 - r * r))) / std::cyl_bessel_i(0.0, 7.0);
        const double sinc = t == 0.0 ? 2.0 * cutoff : std::sin(2.0 * kPi * cutoff * t) / (kPi * t);
        reference[static_cast<std::size_t>(k)] = window * sinc;
        sum += window * sinc;
    }
    for (std::size_t k = 0; k < taps.size(); ++k) EXPECT_NEAR(taps[k], reference[k] / sum, 1e-7) << "tap " << k;

    for (double hz = 0.0; hz <= c.passband_hz; hz += 5.0) EXPECT_NEAR(gain_db(taps, hz / 12000.0), 0.0, 0.1) << hz;
    for (double hz = c.stopband_hz; hz <= 6000.0; hz += 7.0) EXPECT_LT(gain_db(taps, hz / 12000.0), -60.0) << hz;
}

INSTANTIATE_TEST_SUITE_P(PskFilters, KaiserLowpass,
                         ::testing::Values(KaiserCase{480, 110.0, 50.0, 200.0}, KaiserCase{240, 220.0, 100.0, 400.0}));

TEST(BlackmanLowpass, HasUnitGainAndItsStopband) {
    for (const double cutoff_hz : {250.0, 1000.0}) {
        const std::vector<float> taps = sig::design_blackman_lowpass(cutoff_hz);
        ASSERT_EQ(taps.size(), 81u);
        expect_unit_gain_and_symmetric(taps);
        EXPECT_NEAR(gain_db(taps, cutoff_hz / 12000.0), -6.0, 1.0) << "half amplitude at the cutoff";
        for (double hz = cutoff_hz + 1000.0; hz <= 6000.0; hz += 7.0)
            EXPECT_LT(gain_db(taps, hz / 12000.0), -60.0) << cutoff_hz << " at " << hz;
    }
}

TEST(LowpassDesign, RefusesImpossibleParameters) {
    EXPECT_THROW(sig::design_kaiser_lowpass(1, 0.01), std::runtime_error);
    EXPECT_THROW(sig::design_kaiser_lowpass(480, 0.0), std::runtime_error);
    EXPECT_THROW(sig::design_kaiser_lowpass(480, 0.5), std::runtime_error);
    EXPECT_THROW(sig::design_blackman_lowpass(0.0), std::runtime_error);
    EXPECT_THROW(sig::design_blackman_lowpass(6000.0), std::runtime_error);
}

}  // namespace
