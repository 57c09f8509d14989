// The test signals made for the classifier: QPSK31 and broadcast-like AM.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "testbed/lib/broadcast_am.hpp"
#include "testbed/lib/psk_modulator.hpp"

namespace {

constexpr double kPi = std::numbers::pi;

// The carrier's phase at each symbol boundary after the first, where the carrier rests between
// two raised-cosine moves (mixed down, averaged over a fifth of a symbol).
std::vector<double> boundary_phases(const std::vector<float>& audio, double carrier_hz, double baud) {
    const double symbol = 12000.0 / baud;
    std::vector<double> phases;
    for (double at = symbol; at + 0.1 * symbol <= static_cast<double>(audio.size()); at += symbol) {
        std::complex<double> sum;
        for (auto n = static_cast<std::size_t>(at - 0.1 * symbol); n < static_cast<std::size_t>(at + 0.1 * symbol); ++n)
            sum += static_cast<double>(audio[n]) * std::polar(1.0, -2.0 * kPi * carrier_hz * static_cast<double>(n) / 12000.0);
        phases.push_back(std::arg(sum));
    }
    return phases;
}

TEST(QpskModulator, TurnsThePhaseByTheCodedQuarterTurns) {
    // Idle zeros code to reversals, as in BPSK.
    EXPECT_EQ(testbed::qpsk_phase_steps(std::vector<int>(6, 0)), std::vector<int>(6, 2));
    // A single one through the encoder (generators 0x19 and 0x17) gives symbols 3, 1, 1, 2, 3,
    // then idle: quarter turns 0, 1, 1, 3, 0, 2.
    EXPECT_EQ(testbed::qpsk_phase_steps({1, 0, 0, 0, 0, 0}), (std::vector<int>{0, 1, 1, 3, 0, 2}));

    const std::vector<int> steps{1, 3, 0, 2, 1, 1, 3, 0, 2, 2};
    testbed::PskSignal signal;
    signal.carrier_hz = 1000.0;
    const std::vector<float> audio = testbed::modulate_qpsk_steps(steps, signal);
    ASSERT_EQ(audio.size(), 10u * 384u);
    // Symbol k moves the carrier by steps[k] quarter turns, from one boundary to the next.
    const std::vector<double> phases = boundary_phases(audio, 1000.0, 31.25);
    ASSERT_EQ(phases.size(), 9u);
    for (std::size_t k = 1; k < phases.size(); ++k) {
        double turn = std::remainder(phases[k] - phases[k - 1], 2.0 * kPi);
        if (turn < -0.1) turn += 2.0 * kPi;
        EXPECT_NEAR(turn, steps[k] * kPi / 2.0, 0.05) << "symbol " << k;
    }
    // Full amplitude where the carrier rests; through zero in the middle of a half turn only.
    for (std::size_t k = 1; k < steps.size(); ++k) {
        double peak = 0.0;
        for (std::size_t n = k * 384 - 12; n < k * 384 + 12; ++n) peak = std::max(peak, std::fabs(static_cast<double>(audio[n])));
        EXPECT_NEAR(peak, 0.5, 0.01) << k;
    }
    double middle_of_half_turn = 0.0;  // symbol 3 turns by two quarters
    for (std::size_t n = 3 * 384 + 180; n < 3 * 384 + 204; ++n)
        middle_of_half_turn = std::max(middle_of_half_turn, std::fabs(static_cast<double>(audio[n])));
    EXPECT_LT(middle_of_half_turn, 0.05);
}

TEST(BroadcastAm, ACarrierWithBothSidebandsOfTheProgramme) {
    testbed::BroadcastAm am;
    const std::vector<float> audio = testbed::broadcast_am(4.0, am);
    ASSERT_EQ(audio.size(), 48000u);
    // The loudest moment of the programme reaches the modulation depth, 0.3 x (1 + 0.7), but
    // not beyond (a sample may miss the carrier's crest by up to 22.5 degrees).
    double peak = 0.0;
    for (const float v : audio) peak = std::max(peak, std::fabs(static_cast<double>(v)));
    EXPECT_LE(peak, 0.3 * 1.7 + 1e-6);
    EXPECT_GE(peak, 0.3 * 1.7 * std::cos(kPi / 8.0));
    // Carrier and sidebands 200..1200 Hz either side; nothing further out.
    const auto power_at = [&](double hz) {
        std::complex<double> sum;
        for (std::size_t n = 0; n < audio.size(); ++n)
            sum += static_cast<double>(audio[n]) * std::polar(1.0, -2.0 * kPi * hz * static_cast<double>(n) / 12000.0);
        return std::norm(sum) / static_cast<double>(audio.size());
    };
    const double carrier = power_at(1500.0);
    double lower = 0.0, upper = 0.0, outside = 0.0;
    for (double f = 400.0; f < 1000.0; f += 7.0) lower += power_at(1500.0 - f);
    for (double f = 400.0; f < 1000.0; f += 7.0) upper += power_at(1500.0 + f);
    for (double f = 1600.0; f < 2200.0; f += 7.0) outside += power_at(1500.0 + f);
    EXPECT_GT(carrier, 100.0 * lower / 86.0);
    EXPECT_GT(lower, 1000.0 * outside);
    EXPECT_GT(upper, 1000.0 * outside);
    // The same seed makes the same programme; another seed another.
    EXPECT_EQ(testbed::broadcast_am(1.0, am), testbed::broadcast_am(1.0, am));
    testbed::BroadcastAm other = am;
    other.seed = 2;
    EXPECT_NE(testbed::broadcast_am(1.0, other), testbed::broadcast_am(1.0, am));
}

}  // namespace
