#include "testbed/lib/test_signal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "testbed/lib/character_error_rate.hpp"

namespace {

constexpr double kPi = std::numbers::pi;

std::vector<float> tone(double hz, double seconds, double amplitude = 0.5) {
    std::vector<float> out(static_cast<std::size_t>(seconds * 12000.0));
    for (std::size_t n = 0; n < out.size(); ++n)
        out[n] = static_cast<float>(amplitude * std::cos(2.0 * kPi * hz * static_cast<double>(n) / 12000.0));
    return out;
}

// Frequency of the strongest component of samples[first, first + count), found to a small
// fraction of a hertz by a fine search of the windowed DFT.
double strongest_hz(const std::vector<float>& samples, std::size_t first, std::size_t count, double low_hz,
                    double high_hz) {
    double best_hz = low_hz;
    double best = -1.0;
    for (double hz = low_hz; hz <= high_hz; hz += 0.05) {
        std::complex<double> sum = 0.0;
        for (std::size_t n = 0; n < count; ++n) {
            const double window = 0.5 - 0.5 * std::cos(2.0 * kPi * static_cast<double>(n) / static_cast<double>(count));
            sum += window * samples[first + n] * std::polar(1.0, -2.0 * kPi * hz * static_cast<double>(n) / 12000.0);
        }
        if (std::abs(sum) > best) {
            best = std::abs(sum);
            best_hz = hz;
        }
    }
    return best_hz;
}

TEST(TestSignal, NoiseHasItsRmsAndRepeatsWithItsSeed) {
    const auto a = testbed::white_noise(120000, 0.2, 5);
    EXPECT_NEAR(std::sqrt(testbed::mean_power(a)), 0.2, 0.002);
    EXPECT_EQ(a, testbed::white_noise(120000, 0.2, 5));
    EXPECT_NE(a, testbed::white_noise(120000, 0.2, 6));
}

TEST(TestSignal, SnrIsQuotedIn2500Hz) {
    // A 0.5 amplitude tone has power 0.125; at 0 dB the noise in 2500 Hz has the same power, and
    // the whole 6000 Hz of it 2.4 times that.
    EXPECT_NEAR(testbed::noise_rms_for_snr(0.125, 0.0), std::sqrt(0.3), 1e-12);
    EXPECT_NEAR(testbed::noise_rms_for_snr(0.125, -10.0), std::sqrt(3.0), 1e-12);
}

TEST(TestSignal, ShiftMovesAToneAndDriftSweepsIt) {
    const auto shifted = testbed::shift_frequency(tone(1000.0, 2.0), 37.5, 0.0);
    EXPECT_NEAR(strongest_hz(shifted, 6000, 12000, 1020.0, 1060.0), 1037.5, 0.1);
    EXPECT_NEAR(std::sqrt(testbed::mean_power({shifted.begin() + 1000, shifted.end() - 1000})), 0.5 / std::sqrt(2.0),
                0.005);

    const auto swept = testbed::shift_frequency(tone(1000.0, 10.0), 0.0, 2.0);
    for (const double at_s : {2.0, 5.0, 8.0}) {
        const auto centre = static_cast<std::size_t>(at_s * 12000.0);
        EXPECT_NEAR(strongest_hz(swept, centre - 3000, 6000, 1000.0, 1025.0), 1000.0 + 2.0 * at_s, 0.2) << at_s;
    }
}

TEST(TestSignal, ClockErrorRaisesFrequencyAndShortensTheSignal) {
    const auto fast = testbed::apply_clock_error(tone(1000.0, 2.0), 1000.0);
    EXPECT_NEAR(static_cast<double>(fast.size()), 24000.0 / 1.001, 1.0);
    EXPECT_NEAR(strongest_hz(fast, 6000, 12000, 990.0, 1010.0), 1001.0, 0.1);
}

struct CerCase {
    const char* sent;
    const char* received;
    double expected;
};

void PrintTo(const CerCase& c, std::ostream* os) { *os << '"' << c.sent << "\" to \"" << c.received << '"'; }

class CharacterErrorRate : public ::testing::TestWithParam<CerCase> {};

TEST_P(CharacterErrorRate, CountsEditsAgainstTheSentLength) {
    EXPECT_DOUBLE_EQ(testbed::character_error_rate(GetParam().sent, GetParam().received), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, CharacterErrorRate,
                         ::testing::Values(CerCase{"abcd", "abcd", 0.0}, CerCase{"abcd", "", 1.0},
                                           CerCase{"abcd", "xabcd", 0.25}, CerCase{"abcd", "abxd", 0.25},
                                           CerCase{"abcd", "acd", 0.25}, CerCase{"abcd", "dcba", 1.0},
                                           CerCase{"", "", 0.0}, CerCase{"", "x", 1.0}));

}  // namespace
