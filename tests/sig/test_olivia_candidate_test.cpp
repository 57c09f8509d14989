#include "sig/test_olivia_candidate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "sig/classifier.hpp"
#include "sig/decide_wefax_variant.hpp"
#include "testbed/lib/classifier_run.hpp"
#include "testbed/lib/test_signal.hpp"
#include "testbed/lib/wefax_modulator.hpp"

namespace {

constexpr double kPi = std::numbers::pi;

// Keyed MFSK: one of `tones` tones `spacing` apart for each symbol of 1/spacing seconds, phase
// continuous, the tones centred on centre_hz; with `repeat` above 0 a symbol keeps the tone
// before it with that probability, otherwise draws one afresh.
std::vector<float> mfsk(int tones, double spacing, double centre_hz, double seconds, std::uint64_t seed,
                        double snr_db = 10.0, double repeat = 0.0) {
    std::mt19937_64 random(seed);
    const auto symbol = static_cast<std::size_t>(std::lround(12000.0 / spacing));
    std::vector<float> audio(static_cast<std::size_t>(seconds * 12000.0));
    double phase = 0.0, hz = centre_hz;
    for (std::size_t i = 0; i < audio.size(); ++i) {
        if (i % symbol == 0 && !(repeat > 0.0 && i > 0 && std::uniform_real_distribution<double>(0.0, 1.0)(random) < repeat)) hz = centre_hz + (static_cast<double>(random() % tones) - (tones - 1) / 2.0) * spacing;
        phase += 2.0 * kPi * hz / 12000.0;
        audio[i] = static_cast<float>(0.5 * std::cos(phase));
    }
    testbed::add_white_noise(audio, testbed::noise_rms_for_snr(0.125, snr_db), seed + 100);
    return audio;
}

sig::ClassifierTrack blank_track(sig::GroupKind kind = sig::GroupKind::TONE_COMB) {
    sig::ClassifierTrack t;
    t.track = 1;
    t.kind = kind;
    t.audio_hz = t.smoothed_hz = 1500.0;
    t.bandwidth_hz = 250.0;
    t.quality = 0.25f;
    return t;
}

TEST(OliviaCandidate, ACombOfNoOliviaWidthIsRefusedUntouched) {
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    const std::vector<float> audio = mfsk(8, 31.25, 1500.0, 2.0, 1);
    for (const auto& [tones, spacing] : std::vector<std::pair<std::uint32_t, double>>{{8, 30.0}, {3, 41.6667}, {2, 62.5}}) {
        sig::ClassifierTrack t = blank_track();
        double floor = 0.125;
        EXPECT_FALSE(sig::test_olivia_candidate(*state, t, audio.data(), audio.size(), floor, tones, true, spacing, 3.0,
                                                1400.0, 1500.0))
            << tones << " x " << spacing;
        EXPECT_EQ(floor, 0.125);
        EXPECT_EQ(t.mode, sig::Mode::UNKNOWN);
        EXPECT_EQ(t.quality, 0.25f);
    }
    // Too little audio to cut out: refused, score untouched.
    sig::ClassifierTrack t = blank_track();
    double floor = 0.0;
    EXPECT_FALSE(sig::test_olivia_candidate(*state, t, audio.data(), 383, floor, 8, true, 31.25, 3.0, 1390.625, 1500.0));
    EXPECT_EQ(floor, 0.0);
}

TEST(OliviaCandidate, WithoutAKeyingSpectrumOnlyTheCombCanAccept) {
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    // 800 samples cut out at 500 Hz are under 32: no keying spectrum.
    const std::vector<float> audio = mfsk(8, 31.25, 1500.0, 800 / 12000.0, 2);
    for (const auto& [contrast, quality] :
         std::vector<std::pair<double, double>>{{3.0, 0.74}, {-10.0, 0.5}, {10.0, 0.99}}) {
        sig::ClassifierTrack t = blank_track();
        double floor = 0.0;
        ASSERT_TRUE(sig::test_olivia_candidate(*state, t, audio.data(), audio.size(), floor, 8, true, 31.25, contrast,
                                               1390.625, 1500.0));
        EXPECT_NEAR(t.quality, quality, 1e-6) << contrast;
    }
    sig::ClassifierTrack t = blank_track();
    double floor = 0.0;
    EXPECT_FALSE(sig::test_olivia_candidate(*state, t, audio.data(), audio.size(), floor, 8, false, 31.25, 3.0,
                                            1390.625, 1500.0));
    EXPECT_EQ(floor, 0.35);
    // More than 64 tones never pass, keyed or not.
    floor = 0.0;
    EXPECT_FALSE(sig::test_olivia_candidate(*state, t, audio.data(), audio.size(), floor, 128, true, 15.625, 3.0,
                                            500.0, 1500.0));
    EXPECT_EQ(floor, 0.35);
}

struct Shape {
    const char* name;
    std::uint32_t tones;
    double spacing, first_hz, centre_hz;
    const char* variant;
    double symbol_rate;
    double audio_hz;
};

class OliviaShapes : public ::testing::TestWithParam<Shape> {};

TEST_P(OliviaShapes, AcceptedCombsBecomeTheVariantTheModemRuns) {
    const Shape& c = GetParam();
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    const std::vector<float> audio = mfsk(8, 31.25, 1500.0, 800 / 12000.0, 3);
    sig::ClassifierTrack t = blank_track();
    double floor = 0.0;
    ASSERT_TRUE(sig::test_olivia_candidate(*state, t, audio.data(), audio.size(), floor, c.tones, true, c.spacing, 3.0,
                                           c.first_hz, c.centre_hz));
    const double width = std::round(c.tones * c.spacing);
    EXPECT_EQ(t.mode, sig::Mode::OLIVIA);
    EXPECT_EQ(t.variant, c.variant);
    EXPECT_EQ(t.symbol_rate, c.symbol_rate);
    EXPECT_DOUBLE_EQ(t.audio_hz, c.audio_hz);
    EXPECT_EQ(t.smoothed_hz, t.audio_hz);
    EXPECT_EQ(t.bandwidth_hz, width);
    EXPECT_EQ(t.low_hz, c.audio_hz - width / 2.0);
    EXPECT_EQ(t.high_hz, c.audio_hz + width / 2.0);
    EXPECT_EQ(t.tones, t.members);
    EXPECT_EQ(t.max_members, t.members);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OliviaShapes,
    ::testing::Values(
        // 8 tones: the comb centre is the first tone + 3.5 spacings; the signal's centre snaps to it.
        Shape{"eight_250", 8, 31.25, 1390.625, 1500.0, "8/250", 31.25, 1500.0},
        Shape{"eight_250_off_grid", 8, 31.25, 1390.625, 1510.0, "8/250", 31.25, 1500.0},
        Shape{"eight_250_a_spacing_up", 8, 31.25, 1390.625, 1530.0, "8/250", 31.25, 1531.25},
        Shape{"four_125", 4, 31.25, 1453.125, 1500.0, "4/125", 31.25, 1500.0},
        Shape{"sixteen_500", 16, 31.25, 1265.625, 1500.0, "16/500", 31.25, 1500.0},
        // Tone counts the modem lacks at a width fold onto the width's usual count.
        Shape{"sixteen_250", 16, 15.625, 1382.8125, 1500.0, "8/250", 31.25, 1382.8125 + 109.375},
        Shape{"thirty_two_500", 32, 15.625, 1257.8125, 1500.0, "16/500", 31.25, 1257.8125 + 234.375},
        Shape{"sixty_four_2000", 64, 31.25, 515.625, 1500.0, "64/2000", 31.25, 1500.0},
        Shape{"thirty_two_1000", 32, 31.25, 1015.625, 1500.0, "32/1000", 31.25, 1500.0}),
    [](const auto& info) { return info.param.name; });

TEST(OliviaCandidate, KeyingAtTheSpacingConfirmsTheComb) {
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    const std::vector<float> keyed = mfsk(8, 31.25, 1500.0, 2.0, 4);
    sig::ClassifierTrack t = blank_track();
    double floor = 0.0;
    ASSERT_TRUE(sig::test_olivia_candidate(*state, t, keyed.data(), keyed.size(), floor, 8, false, 31.25, 3.0, 1390.625,
                                           1500.0));
    EXPECT_EQ(t.variant, "8/250");
    EXPECT_GT(t.quality, 0.74f);  // the keying line adds to the comb's confidence
}

TEST(OliviaCandidate, ACombWhoseStrongestToneHoldsForSyllablesIsNoOlivia) {
    // The comb of a voice's harmonics: the tones of a 4/125 signal, keyed at its rate, but the
    // same tone kept from one symbol to the next well beyond chance, as a formant keeps a
    // harmonic the strongest for a syllable. Olivia's own tones, fresh each symbol, are held
    // a quarter of the steps beyond chance in some 2 s of a weak signal; accepted without a
    // keying line up to that, refused at nearly half.
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    for (const double repeat : {0.0, 0.25, 0.45, 0.8}) {
        const std::vector<float> audio = mfsk(4, 31.25, 1500.0, 2.0, 7, 10.0, repeat);
        sig::ClassifierTrack t = blank_track();
        double floor = 0.0;
        const bool olivia = repeat < 0.35;
        EXPECT_EQ(sig::test_olivia_candidate(*state, t, audio.data(), audio.size(), floor, 4, true, 31.25, 3.0,
                                             1453.125, 1500.0),
                  olivia)
            << "tone kept with probability " << repeat;
        EXPECT_EQ(floor, olivia ? 0.0 : 0.35);
    }
}

TEST(OliviaCandidate, AsStrongALineAtHalfTheSpacingMeansTwiceTheTonesAtHalfTheRate) {
    // 16 tones 15.625 Hz apart seen as a comb of 8 at 31.25 Hz: the keying shows 15.625 Bd.
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    const std::vector<float> keyed = mfsk(16, 15.625, 1500.0, 2.0, 6);
    sig::ClassifierTrack t = blank_track();
    double floor = 0.0;
    ASSERT_TRUE(sig::test_olivia_candidate(*state, t, keyed.data(), keyed.size(), floor, 8, false, 31.25, 3.0,
                                           1500.0 - 7.5 * 15.625 - 7.8125, 1500.0));
    EXPECT_EQ(t.variant, "8/250");  // 16 tones over 250 Hz: the modem's 8/250
}

// A comb read at half its true spacing (twice the tones over the same width) is named at the
// keying rate: 4 tones keyed at 31.25 Bd show a far stronger line at 31.25 Hz than at 15.6 Hz;
// 8 tones keyed at 15.625 Bd show lines of about equal height at both, and keep their spacing.
TEST(OliviaCandidate, ALineAtTwiceTheSpacingThreeDecibelsStrongerMeansHalfTheTonesAtTwiceTheRate) {
    struct Case {
        int tones;
        double rate;
        const char* variant;
    };
    for (const Case c : {Case{4, 31.25, "4/125"}, Case{8, 15.625, "8/125"}}) {
        auto state = sig::init_classifier(testbed::channel_classifier_config());
        const std::vector<float> keyed = mfsk(c.tones, c.rate, 1500.0, 2.0, 9, 20.0);
        sig::ClassifierTrack t = blank_track();
        double floor = 0.0;
        ASSERT_TRUE(sig::test_olivia_candidate(*state, t, keyed.data(), keyed.size(), floor, 8, false, 15.625, 3.0,
                                               1500.0 - 3.5 * 15.625, 1500.0))
            << c.variant;
        EXPECT_EQ(t.variant, c.variant);
        EXPECT_EQ(t.symbol_rate, c.rate) << c.variant;
    }
}

// --- The facsimile test -----------------------------------------------------------------------

std::vector<float> start_tone(int ioc) {
    testbed::WefaxTransmission w;
    w.ioc = ioc;
    testbed::GreyPicture chart = testbed::wefax_test_chart(testbed::wefax_width(ioc), 2);
    std::vector<float> audio = testbed::modulate_wefax(chart, w);
    audio.resize(24000);  // inside the 5 s start tone
    testbed::add_white_noise(audio, 0.01, 8);
    return audio;
}

TEST(WefaxVariant, TheStartPatternIsNamedWithoutFixingTheSpeed) {
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    for (const auto& [ioc, spacing] : std::vector<std::pair<int, double>>{{576, 300.0}, {288, 675.0}, {576, 450.0}}) {
        const std::vector<float> audio = start_tone(ioc);
        sig::ClassifierTrack t = blank_track(sig::GroupKind::WEFAX_TONES);
        t.variant = "old";
        t.spacing_hz = spacing;
        double floor = 0.0;
        ASSERT_TRUE(sig::decide_wefax_variant(*state, t, audio.data(), audio.size(), floor)) << spacing;
        EXPECT_EQ(t.mode, sig::Mode::WEFAX);
        EXPECT_EQ(t.variant, "");
        EXPECT_FLOAT_EQ(t.quality, 0.8f);
        EXPECT_EQ(t.audio_hz, 1500.0);  // the pattern leaves the track where it is
    }
    // A pattern whose envelope is keyed is no facsimile tone.
    std::vector<float> keyed = start_tone(576);
    for (std::size_t i = 0; i < keyed.size(); ++i)
        if ((i / 600) % 2) keyed[i] *= 0.02f;
    sig::ClassifierTrack t = blank_track(sig::GroupKind::WEFAX_TONES);
    t.spacing_hz = 300.0;
    double floor = 0.0;
    EXPECT_FALSE(sig::decide_wefax_variant(*state, t, keyed.data(), keyed.size(), floor));
    EXPECT_EQ(floor, 0.3);
    EXPECT_FALSE(sig::decide_wefax_variant(*state, t, keyed.data(), 191, floor));
}

TEST(WefaxVariant, AFilledBandOfSteadyFmIsAChart) {
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    testbed::WefaxTransmission w;
    w.start_tone_s = 0.5;
    w.phasing_s = 0.5;
    testbed::GreyPicture chart = testbed::wefax_test_chart(testbed::wefax_width(576), 20);
    std::vector<float> audio = testbed::modulate_wefax(chart, w);
    audio.erase(audio.begin(), audio.begin() + 24000);
    audio.resize(24000);
    testbed::add_white_noise(audio, 0.01, 9);
    sig::ClassifierTrack t = blank_track(sig::GroupKind::IMAGE_BAND);
    double floor = 0.0;
    ASSERT_TRUE(sig::decide_wefax_variant(*state, t, audio.data(), audio.size(), floor));
    EXPECT_EQ(t.mode, sig::Mode::WEFAX);
    EXPECT_TRUE(t.variant.empty());
    EXPECT_EQ(t.audio_hz, 1900.0);
    EXPECT_EQ(t.bandwidth_hz, 800.0);
    EXPECT_EQ(t.low_hz, 1500.0);
    EXPECT_EQ(t.high_hz, 2300.0);
    EXPECT_GE(t.quality, 0.6f);
    EXPECT_LE(t.quality, 0.9f);

    // The same chart fading up and down (the envelope varies by 0.5) is no chart; the band is
    // still within 430 Hz and spread, so the score is 0.3.
    std::vector<float> fading = audio;
    for (std::size_t i = 0; i < fading.size(); ++i)
        fading[i] *= static_cast<float>(1.0 + 0.8 * std::sin(2.0 * kPi * 3.0 * i / 12000.0));
    sig::ClassifierTrack f = blank_track(sig::GroupKind::IMAGE_BAND);
    floor = 0.0;
    EXPECT_FALSE(sig::decide_wefax_variant(*state, f, fading.data(), fading.size(), floor));
    EXPECT_NEAR(floor, 0.3, 1e-12);

    // A steady carrier in the band meets two of the three conditions (it fills one 200 Hz part):
    // rejected with 0.3.
    std::vector<float> carrier(24000);
    for (std::size_t i = 0; i < carrier.size(); ++i) carrier[i] = static_cast<float>(0.5 * std::cos(2.0 * kPi * 1800.0 * i / 12000.0));
    testbed::add_white_noise(carrier, 0.01, 10);
    sig::ClassifierTrack c = blank_track(sig::GroupKind::SINGLE);
    floor = 0.0;
    EXPECT_FALSE(sig::decide_wefax_variant(*state, c, carrier.data(), carrier.size(), floor));
    EXPECT_NEAR(floor, 0.3, 1e-12);
}

TEST(WefaxVariant, AFilledBandThatIsNoChartIsSearchedForAnOliviaComb) {
    // 64 tones over 2000 Hz around 1900 Hz: half the time the tone lies outside the facsimile
    // band, so its envelope there is anything but steady. The averaged spectrum is written by
    // hand with the comb a long average would show.
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    std::fill(state->averaged_db.begin(), state->averaged_db.end(), 0.0f);
    std::fill(state->floor_db.begin(), state->floor_db.end(), 0.0f);
    for (int k = 0; k < 64; ++k) {
        const auto bin = static_cast<std::size_t>(std::lround((915.625 + 31.25 * k) / state->bin_hz));
        state->averaged_db[bin] = 20.0f;
        state->averaged_db[bin - 1] = state->averaged_db[bin + 1] = 15.0f;
    }
    const std::vector<float> audio = mfsk(64, 31.25, 1900.0, 2.0, 10, 25.0);
    sig::ClassifierTrack t = blank_track(sig::GroupKind::IMAGE_BAND);
    t.audio_hz = 1900.0;
    double floor = 0.0;
    ASSERT_TRUE(sig::decide_wefax_variant(*state, t, audio.data(), audio.size(), floor));
    EXPECT_EQ(t.mode, sig::Mode::OLIVIA);
    EXPECT_EQ(t.variant, "64/2000");
    EXPECT_EQ(t.kind, sig::GroupKind::SINGLE);
    EXPECT_NEAR(t.audio_hz, 1900.0, 16.0);
    // The same audio on a track that is no filled band is only refused.
    sig::ClassifierTrack single = blank_track(sig::GroupKind::SINGLE);
    single.audio_hz = 1900.0;
    floor = 0.0;
    EXPECT_FALSE(sig::decide_wefax_variant(*state, single, audio.data(), audio.size(), floor));
    EXPECT_EQ(single.mode, sig::Mode::UNKNOWN);
}

}  // namespace
