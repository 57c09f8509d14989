#include "testbed/lib/olivia_modulator.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <set>
#include <vector>

#include "tests/support/tone_measure.hpp"

namespace {

using testbed::OliviaTonePlacement;

TEST(OliviaModulator, PutsEachToneWhereItsPlacementSays) {
    struct Case {
        int tones;
        double bandwidth_hz;
        OliviaTonePlacement placement;
        int tone;
        double expected_hz;  // around a centre of 1500 Hz
    };
    const Case cases[] = {
        {32, 1000.0, OliviaTonePlacement::centred, 0, 1500.0 - 15.5 * 31.25},
        {32, 1000.0, OliviaTonePlacement::centred, 31, 1500.0 + 15.5 * 31.25},
        {32, 1000.0, OliviaTonePlacement::quarter_low, 0, 1500.0 - 15.75 * 31.25},
        {32, 1000.0, OliviaTonePlacement::quarter_low, 31, 1500.0 + 15.25 * 31.25},
        {4, 125.0, OliviaTonePlacement::centred, 1, 1500.0 - 0.5 * 31.25},
        {4, 125.0, OliviaTonePlacement::quarter_low, 2, 1500.0 + 0.25 * 31.25},
        {64, 2000.0, OliviaTonePlacement::quarter_low, 32, 1500.0 + 0.25 * 31.25},
    };
    for (const Case& c : cases) {
        testbed::OliviaSignal signal;
        signal.tones = c.tones;
        signal.bandwidth_hz = c.bandwidth_hz;
        signal.placement = c.placement;
        const std::vector<float> audio = testbed::modulate_olivia_tones(std::vector<int>(40, c.tone), signal);
        // One symbol lasts tones / bandwidth seconds.
        EXPECT_EQ(audio.size(), static_cast<std::size_t>(std::lround(40 * 12000.0 * c.tones / c.bandwidth_hz)));
        EXPECT_NEAR(measure_tone(audio, 12000.0).frequency_hz, c.expected_hz, 0.05)
            << c.tones << "/" << c.bandwidth_hz << " tone " << c.tone;
    }
}

TEST(OliviaModulator, KeepsThePhaseAcrossToneChanges) {
    testbed::OliviaSignal signal;
    signal.tones = 8;
    signal.bandwidth_hz = 500.0;
    const std::vector<float> audio = testbed::modulate_olivia_tones({0, 7, 3, 4, 0}, signal);
    // A cosine of at most 1750 Hz at 12000 Hz moves by less than 2 pi 1750 / 12000 x amplitude.
    const double largest_step = 2.0 * std::numbers::pi * 1750.0 / 12000.0 * signal.amplitude;
    for (std::size_t i = 1; i < audio.size(); ++i) ASSERT_LE(std::fabs(audio[i] - audio[i - 1]), largest_step) << i;
}

TEST(OliviaModulator, SendsBlocksOf64SymbolsInTheToneRange) {
    for (const int tones : {4, 8, 16, 32, 64}) {
        std::vector<int> codes;
        for (int c = 0; c < 128; ++c) codes.push_back(c);
        const std::vector<int> sequence = testbed::olivia_tone_sequence(codes, tones);
        const std::size_t bits = static_cast<std::size_t>(testbed::olivia_bits(tones));
        EXPECT_EQ(sequence.size(), (128 + bits - 1) / bits * 64) << tones;
        const std::set<int> used(sequence.begin(), sequence.end());
        EXPECT_GE(*used.begin(), 0);
        EXPECT_LT(*used.rbegin(), tones);
    }
    EXPECT_THROW(testbed::olivia_bits(12), std::invalid_argument);
}

}  // namespace
