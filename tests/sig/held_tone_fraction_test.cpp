#include "sig/held_tone_fraction.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kRate = 1000.0;

// MFSK at baseband: `tones` tones `spacing` apart centred on 0 Hz, a new tone every `hold`
// symbols (1: a fresh tone each symbol, as Olivia sends), phase continuous, with a little noise.
sig::Baseband mfsk(std::uint32_t tones, double spacing, int hold, std::uint64_t seed, double seconds = 2.0) {
    std::mt19937_64 random(seed);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    sig::Baseband b;
    b.rate = kRate;
    const auto symbol = static_cast<std::size_t>(std::lround(kRate / spacing));
    double phase = 0.0;
    double hz = 0.0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(seconds * kRate); ++i) {
        if (i % (symbol * static_cast<std::size_t>(hold)) == 0)
            hz = (static_cast<double>(random() % tones) - (tones - 1) / 2.0) * spacing;
        phase += 2.0 * kPi * hz / kRate;
        b.samples.emplace_back(static_cast<float>(std::cos(phase)) + noise(random),
                               static_cast<float>(std::sin(phase)) + noise(random));
    }
    return b;
}

double first_tone(std::uint32_t tones, double spacing) { return -(tones - 1) / 2.0 * spacing; }

struct Keying {
    std::uint32_t tones;
    double spacing;
};

class HeldTone : public ::testing::TestWithParam<Keying> {};

TEST_P(HeldTone, FreshTonesEachSymbolHoldOnlyByChance) {
    const Keying k = GetParam();
    for (const std::uint64_t seed : {1u, 2u, 3u}) {
        const double held = sig::held_tone_fraction(mfsk(k.tones, k.spacing, 1, seed), first_tone(k.tones, k.spacing),
                                                    k.spacing, k.tones);
        EXPECT_LT(std::fabs(held), 0.15) << "seed " << seed;
    }
}

TEST_P(HeldTone, TonesHeldForSyllablesHoldMostSymbols) {
    // Each tone held six symbols: five of every six symbol steps keep it.
    const Keying k = GetParam();
    for (const std::uint64_t seed : {1u, 2u, 3u}) {
        const double held = sig::held_tone_fraction(mfsk(k.tones, k.spacing, 6, seed), first_tone(k.tones, k.spacing),
                                                    k.spacing, k.tones);
        EXPECT_GT(held, 0.6) << "seed " << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, HeldTone,
                         ::testing::Values(Keying{4, 31.25}, Keying{8, 31.25}, Keying{8, 62.5}, Keying{32, 31.25},
                                           Keying{4, 125.0}),
                         [](const auto& info) {
                             return std::to_string(info.param.tones) + "_tones_" +
                                    std::to_string(static_cast<int>(info.param.spacing)) + "_hz";
                         });

TEST(HeldTone, AVoicesHarmonicsAcrossTheCombHoldTheirStrongest) {
    // Four harmonics of a 125 Hz voice gliding 120..130 Hz over a syllable of 0.3 s, the second
    // one loudest (a formant on it): all sound at once, and the same one stays the strongest.
    sig::Baseband b;
    b.rate = kRate;
    std::vector<double> phase(4, 0.0);
    for (std::size_t i = 0; i < static_cast<std::size_t>(2.0 * kRate); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double pitch = 125.0 + 5.0 * std::sin(2.0 * kPi * t / 0.3);
        std::complex<double> z = 0.0;
        for (int h = 0; h < 4; ++h) {
            // Harmonics 3..6 around a comb centred on 4.5 times 125 Hz.
            phase[static_cast<std::size_t>(h)] += 2.0 * kPi * ((h + 3) * pitch - 4.5 * 125.0) / kRate;
            z += std::polar(h == 1 ? 1.0 : 0.4, phase[static_cast<std::size_t>(h)]);
        }
        b.samples.emplace_back(static_cast<float>(z.real()), static_cast<float>(z.imag()));
    }
    EXPECT_GT(sig::held_tone_fraction(b, first_tone(4, 125.0), 125.0, 4), 0.8);
}

TEST(HeldTone, TooShortForTwoSymbolsGivesNothing) {
    const sig::Baseband b = mfsk(8, 31.25, 6, 1, 1.9 / 31.25);
    EXPECT_EQ(sig::held_tone_fraction(b, first_tone(8, 31.25), 31.25, 8), 0.0);
    EXPECT_EQ(sig::held_tone_fraction(sig::Baseband{}, first_tone(8, 31.25), 31.25, 8), 0.0);
}

}  // namespace
