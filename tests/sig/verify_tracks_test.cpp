#include "sig/verify_tracks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "sig/classifier.hpp"
#include "testbed/lib/classifier_run.hpp"
#include "testbed/lib/keyboard_transmission.hpp"
#include "testbed/lib/outside_modems.hpp"
#include "testbed/lib/rtty_modulator.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

using K = sig::GroupKind;
using T = sig::TrackTest;

sig::ClassifierTrack track_of(K kind, double audio_hz, double bandwidth_hz, double spacing_hz = 0.0) {
    sig::ClassifierTrack t;
    t.track = 1;
    t.kind = kind;
    t.audio_hz = t.smoothed_hz = audio_hz;
    t.bandwidth_hz = bandwidth_hz;
    t.low_hz = audio_hz - bandwidth_hz / 2.0;
    t.high_hz = audio_hz + bandwidth_hz / 2.0;
    t.spacing_hz = spacing_hz;
    return t;
}

// --- Which tracks are tested, when, and on how much audio ------------------------------------

struct Schedule {
    std::size_t fill;
    double age_s;
    std::uint32_t attempts;
    std::uint64_t frames_since_attempt;
    bool due;
};

TEST(VerificationPass, TestsTracksOldEnoughOnEnoughAudioAtTheirPace) {
    for (const Schedule c : {Schedule{14399, 5.0, 0, 0, false}, Schedule{14400, 1.29, 0, 0, false},
                             Schedule{14400, 1.31, 0, 0, true}, Schedule{30000, 9.0, 5, 5, false},
                             Schedule{30000, 9.0, 5, 6, true}, Schedule{30000, 9.0, 19, 6, true},
                             Schedule{30000, 9.0, 20, 23, false}, Schedule{30000, 9.0, 20, 24, true}}) {
        auto state = sig::init_classifier(testbed::channel_classifier_config());
        state->audio_fill = c.fill;
        state->frame_time = 100.0;
        state->frame_counter = 1000;
        sig::ClassifierTrack t = track_of(K::SINGLE, 1000.0, 20.0);
        t.start_time = 100.0 - c.age_s;
        t.attempts = c.attempts;
        t.last_attempt_frame = c.attempts == 0 ? 0 : 1000 - c.frames_since_attempt;
        state->tracks.push_back(t);
        sig::verification_pass(*state);
        const sig::ClassifierTrack& after = state->tracks[0];
        EXPECT_EQ(after.attempts, c.attempts + (c.due ? 1u : 0u))
            << "fill " << c.fill << " age " << c.age_s << " attempts " << c.attempts << " since " << c.frames_since_attempt;
        if (c.due) {
            EXPECT_EQ(after.last_attempt_frame, 1000u);
        }
    }
    // Without verification nothing is tested; a confirmed track never again.
    sig::ClassifierConfig off = testbed::channel_classifier_config();
    off.verify = false;
    for (const bool confirmed : {false, true}) {
        auto state = sig::init_classifier(confirmed ? testbed::channel_classifier_config() : off);
        state->audio_fill = 30000;
        state->frame_time = 100.0;
        sig::ClassifierTrack t = track_of(K::SINGLE, 1000.0, 20.0);
        t.confirmed = confirmed;
        state->tracks.push_back(t);
        sig::verification_pass(*state);
        EXPECT_EQ(state->tracks[0].attempts, 0u);
    }
}

TEST(VerificationPass, TestsFromJustBeforeTheTrackBegan) {
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    state->frame_time = 100.0;
    sig::ClassifierTrack t = track_of(K::SINGLE, 1000.0, 20.0);
    struct Case {
        std::size_t fill;
        double age_s;
        std::size_t samples;
    };
    for (const Case c : {Case{30000, 1.3, 20400}, Case{20000, 1.3, 20000}, Case{30000, 1.6, 24000},
                         Case{30000, 5.0, 24000}, Case{30000, 0.5, 14400}, Case{14400, 1.3, 14400}}) {
        state->audio_fill = c.fill;
        t.start_time = 100.0 - c.age_s;
        EXPECT_EQ(sig::test_samples(*state, t), c.samples) << c.fill << " " << c.age_s;
    }
}

struct Route {
    const char* name;
    K kind;
    double bandwidth_hz, audio_hz;
    std::vector<T> tests;
};

class TestRouting : public ::testing::TestWithParam<Route> {};

TEST_P(TestRouting, EachKindOfTrackGetsItsTestsInOrder) {
    const Route& r = GetParam();
    EXPECT_EQ(sig::tests_for(track_of(r.kind, r.audio_hz, r.bandwidth_hz)), r.tests);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, TestRouting,
    ::testing::Values(Route{"pair", K::FSK_PAIR, 230.0, 1500.0, {T::rtty}},
                      Route{"comb", K::TONE_COMB, 250.0, 1500.0, {T::comb, T::tone_count}},
                      Route{"image_band", K::IMAGE_BAND, 800.0, 1900.0, {T::wefax}},
                      Route{"wefax_tones", K::WEFAX_TONES, 800.0, 1900.0, {T::wefax}},
                      Route{"single_80", K::SINGLE, 80.0, 1000.0, {T::narrowband}},
                      Route{"single_99", K::SINGLE, 99.9, 1000.0, {T::narrowband}},
                      Route{"single_100", K::SINGLE, 100.0, 1000.0, {T::narrowband, T::comb}},
                      Route{"single_199", K::SINGLE, 199.9, 1000.0, {T::narrowband, T::comb}},
                      Route{"single_250", K::SINGLE, 250.0, 1900.0, {T::comb}},
                      Route{"single_400_at_1900", K::SINGLE, 400.0, 1900.0, {T::comb, T::wefax}},
                      Route{"single_300_at_1450", K::SINGLE, 300.0, 1450.0, {T::comb, T::wefax}},
                      Route{"single_400_at_1000", K::SINGLE, 400.0, 1000.0, {T::comb}},
                      Route{"single_400_at_2351", K::SINGLE, 400.0, 2351.0, {T::comb}}),
    [](const auto& info) { return info.param.name; });

// --- The RTTY test ----------------------------------------------------------------------------

TEST(RttyVariant, NamesTheNearestShiftAndTheRate) {
    struct Case {
        double measured, nominal;
    };
    for (const Case c : {Case{170, 170}, Case{310, 170}, Case{311, 450}, Case{650, 450}, Case{651, 850},
                         Case{2000, 850}, Case{0, 170}})
        EXPECT_EQ(sig::nominal_rtty_shift(c.measured), c.nominal) << c.measured;
    EXPECT_EQ(sig::rtty_variant(45.45, 170), "45.45/170");
    EXPECT_EQ(sig::rtty_variant(50.0, 170), "50/170");
    EXPECT_EQ(sig::rtty_variant(75.0, 850), "75/850");
    EXPECT_EQ(sig::rtty_variant(50.0, 450), "50/450");
    EXPECT_EQ(sig::rtty_variant(50.005, 450), "50/450");
}

// FSK keyed with alternate mark and space bits: every bit is a step.
std::vector<float> rtty_audio(double baud, double shift, double seconds, double snr_db, std::uint64_t seed) {
    testbed::RttySignal s;
    s.baud = baud;
    s.shift_hz = shift;
    s.centre_hz = 1500.0;
    std::vector<testbed::FskElement> bits;
    for (int i = 0; i < seconds * baud + 1; ++i) bits.push_back({i % 2 == 0, 1.0});
    std::vector<float> audio = testbed::modulate_fsk(bits, s);
    audio.resize(static_cast<std::size_t>(seconds * 12000.0));
    testbed::add_white_noise(audio, testbed::noise_rms_for_snr(0.125, snr_db), seed);
    return audio;
}

TEST(RttyTest, NamesCleanRttyWithItsRateAndNominalShift) {
    struct Case {
        double baud, shift;
        const char* variant;
    };
    for (const Case c : {Case{45.45, 170.0, "45.45/170"}, Case{50.0, 170.0, "50/170"}, Case{75.0, 850.0, "75/850"},
                         Case{50.0, 450.0, "50/450"}}) {
        auto state = sig::init_classifier(testbed::channel_classifier_config());
        const std::vector<float> audio = rtty_audio(c.baud, c.shift, 2.0, 15.0, 1);
        sig::ClassifierTrack t = track_of(K::FSK_PAIR, 1500.0, c.shift + 40.0, c.shift * 0.98);
        double floor = 0.0;
        ASSERT_TRUE(sig::rtty_test(*state, t, audio.data(), audio.size(), floor)) << c.variant;
        EXPECT_EQ(t.mode, sig::Mode::RTTY);
        EXPECT_EQ(t.variant, c.variant);
        EXPECT_EQ(t.symbol_rate, c.baud);
        EXPECT_EQ(t.tones, 2u);
        EXPECT_EQ(t.bandwidth_hz, c.shift + 60.0);
        EXPECT_GE(t.quality, 0.55f);
        EXPECT_LE(t.quality, 0.99f);
    }
}

// Text as teleprinters send it, 1.5 stop bits, from three transmitters: ours (the tone
// switches at once), a soft-keyed one (the frequency glides from tone to tone over half a bit,
// as filtered FSK does) and minimodem.
enum class Sender { ours, soft_keyed, minimodem };

const char* const kRttyText = "CQ CQ DE W1AW W1AW PSE K  THE QUICK BROWN FOX 0123456789  RYRYRY  ";

// The ITA2 frames of the text as phase-continuous FSK whose frequency moves between the tones
// along a raised cosine of `glide_bits` bit times.
std::vector<float> soft_keyed_rtty(const testbed::RttySignal& s, double glide_bits) {
    std::vector<testbed::FskElement> elements{{true, 10.0}};
    const auto frames = testbed::rtty_frames(testbed::rtty_text_codes(kRttyText), s.stop_bits);
    elements.insert(elements.end(), frames.begin(), frames.end());
    double bits = 0.0;
    for (const auto& e : elements) bits += e.bits;
    const auto n = static_cast<std::size_t>(bits * 12000.0 / s.baud);
    std::vector<double> level(n);
    std::size_t current = 0;
    double end = elements[0].bits;
    for (std::size_t i = 0; i < n; ++i) {
        while ((i + 0.5) * s.baud / 12000.0 >= end && current + 1 < elements.size()) end += elements[++current].bits;
        level[i] = elements[current].mark == s.mark_high ? 0.5 : -0.5;
    }
    const auto glide = static_cast<std::ptrdiff_t>(glide_bits * 12000.0 / s.baud);
    std::vector<double> weight(static_cast<std::size_t>(glide));
    double total = 0.0;
    for (std::size_t k = 0; k < weight.size(); ++k)
        total += weight[k] = 0.5 - 0.5 * std::cos(2.0 * M_PI * (k + 0.5) / static_cast<double>(glide));
    std::vector<float> audio(n);
    double phase = s.phase_rad;
    for (std::size_t i = 0; i < n; ++i) {
        double offset = 0.0;
        for (std::ptrdiff_t k = 0; k < glide; ++k) {
            const auto j = std::clamp<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(i) + k - glide / 2, 0,
                                                      static_cast<std::ptrdiff_t>(n) - 1);
            offset += weight[static_cast<std::size_t>(k)] * level[static_cast<std::size_t>(j)];
        }
        audio[i] = static_cast<float>(s.amplitude * std::cos(phase));
        phase = std::fmod(phase + 2.0 * M_PI * (s.centre_hz + offset / total * s.shift_hz) / 12000.0, 2.0 * M_PI);
    }
    return audio;
}

std::vector<float> rtty_text_audio(Sender sender, double baud, double shift, bool mark_high) {
    testbed::RttySignal s;
    s.baud = baud;
    s.shift_hz = shift;
    s.centre_hz = 1500.0;
    s.mark_high = mark_high;
    switch (sender) {
    case Sender::ours: return testbed::modulate_rtty_text(kRttyText, s, 10.0);
    case Sender::soft_keyed: return soft_keyed_rtty(s, 0.5);
    case Sender::minimodem: break;
    }
    const double upper = 1500.0 + shift / 2.0, lower = 1500.0 - shift / 2.0;
    return testbed::minimodem_rtty_audio(kRttyText, mark_high ? upper : lower, mark_high ? lower : upper, baud);
}

struct RateCase {
    double baud, shift;
    bool mark_high;
};

void PrintTo(const RateCase& c, std::ostream* os) {
    *os << c.baud << " Bd " << c.shift << " Hz" << (c.mark_high ? " mark high" : "");
}

class RttyRate : public ::testing::TestWithParam<RateCase> {};

// With 1.5 stop bits a character lasts 7.5 bits: the keying lines fall at multiples of the
// character rate, one near 48.5 Hz for 45.45 Bd and one near 46.7 Hz for 50 Bd, each within
// 3 % of the other rate. The rate must come out right all the same.
TEST_P(RttyRate, TextWithOneAndAHalfStopBitsIsNamedWithItsRate) {
    const RateCase& c = GetParam();
    const std::string variant = sig::rtty_variant(c.baud, c.shift);
    for (const Sender sender : {Sender::ours, Sender::soft_keyed, Sender::minimodem}) {
        const std::vector<float> sent = rtty_text_audio(sender, c.baud, c.shift, c.mark_high);
        std::vector<float> audio = testbed::noisy_transmission(sent, testbed::mean_power(sent), 15.0, 3, 0.0);
        // 2 s of the text, past the idle mark it starts with.
        audio.erase(audio.begin(), audio.begin() + 6000);
        audio.resize(24000);
        auto state = sig::init_classifier(testbed::channel_classifier_config());
        sig::ClassifierTrack t = track_of(K::FSK_PAIR, 1500.0, c.shift + 40.0, c.shift);
        double floor = 0.0;
        ASSERT_TRUE(sig::rtty_test(*state, t, audio.data(), audio.size(), floor))
            << "sender " << static_cast<int>(sender);
        EXPECT_EQ(t.variant, variant) << "sender " << static_cast<int>(sender);
        EXPECT_EQ(t.symbol_rate, c.baud) << "sender " << static_cast<int>(sender);
    }
}

INSTANTIATE_TEST_SUITE_P(
    RatesShiftsPolarities, RttyRate,
    ::testing::ValuesIn([] {
        std::vector<RateCase> cases;
        for (const double baud : {45.45, 50.0, 75.0})
            for (const double shift : {170.0, 450.0, 850.0})
                for (const bool mark_high : {false, true}) cases.push_back({baud, shift, mark_high});
        return cases;
    }()),
    [](const ::testing::TestParamInfo<RateCase>& info) {
        return "baud_" + std::to_string(std::lround(info.param.baud * 100)) + "_shift_" +
               std::to_string(std::lround(info.param.shift)) + (info.param.mark_high ? "_mark_high" : "_mark_low");
    });

TEST(RttyTest, AShiftTenPercentOffIsRejectedAtOnce) {
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    const std::vector<float> audio = rtty_audio(45.45, 170.0, 2.0, 15.0, 2);
    for (const auto& [spacing, accepted] :
         std::vector<std::pair<double, bool>>{{190.0, false}, {186.0, true}, {153.0, true}, {152.0, false}}) {
        sig::ClassifierTrack t = track_of(K::FSK_PAIR, 1500.0, 230.0, spacing);
        t.quality = 0.3f;
        EXPECT_EQ(sig::verify_track(*state, t, audio.data(), audio.size()), accepted) << spacing;
        if (!accepted) {
            EXPECT_EQ(t.quality, 0.0f);
            EXPECT_EQ(t.failures, 0u);
        }
    }
}

// A tone between the two levels whose phase jumps a quarter turn 45.45 times a second: keyed at
// an RTTY rate, but never on the levels.
std::vector<float> phase_keyed_tone() {
    std::vector<float> audio(24000);
    for (std::size_t i = 0; i < audio.size(); ++i) {
        const double jumps = std::floor(static_cast<double>(i) * 45.45 / 12000.0);
        audio[i] = static_cast<float>(0.5 * std::cos(2.0 * M_PI * 1500.0 * i / 12000.0 + jumps * M_PI / 2.0));
    }
    testbed::add_white_noise(audio, 0.001, 7);
    return audio;
}

TEST(RttyTest, ARejectionScoresTheConditionsThatHeld) {
    struct Case {
        const char* name;
        std::vector<float> audio;
        float quality;
    };
    const std::vector<Case> cases{{"keyed_off_the_levels", phase_keyed_tone(), 0.2f},
                                  {"silence", std::vector<float>(24000, 0.0f), 0.0f}};
    for (const Case& c : cases) {
        auto state = sig::init_classifier(testbed::channel_classifier_config());
        sig::ClassifierTrack t = track_of(K::FSK_PAIR, 1500.0, 230.0, 170.0);
        EXPECT_FALSE(sig::verify_track(*state, t, c.audio.data(), c.audio.size())) << c.name;
        EXPECT_EQ(t.quality, c.quality) << c.name;
        EXPECT_EQ(t.failures, 1u) << c.name;
    }
}

// The two thresholds, each straddled with the other condition well met, and the scores.
TEST(RttyVerdict, NeedsThreeQuartersOnTheTonesAndAKeyingLineOf7Db) {
    struct Case {
        double ratio, keying_db;
        bool accepted;
        double quality_or_floor;
    };
    for (const Case c : {Case{0.75, 12.0, true, 0.55 + 0.015 * 5.0}, Case{0.749, 12.0, false, 0.2},
                         Case{0.95, 7.0, true, 0.55 + 0.3 * 0.2}, Case{0.95, 6.99, false, 0.2},
                         Case{0.75, 7.0, true, 0.55}, Case{0.749, 6.99, false, 0.0}, Case{0.9, 5.0, false, 0.2},
                         Case{0.5, 5.0, false, 0.0}, Case{1.0, 40.0, true, 0.99}}) {
        const sig::RttyVerdict v = sig::rtty_verdict(c.ratio, c.keying_db);
        EXPECT_EQ(v.accepted, c.accepted) << c.ratio << " " << c.keying_db;
        EXPECT_NEAR(v.accepted ? v.quality : v.score_floor, c.quality_or_floor, 1e-9) << c.ratio << " " << c.keying_db;
    }
}

TEST(RttyTest, EightFailuresKeepNewPairsAwayForAMinute) {
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    state->frame_time = 500.0;
    const std::vector<float> noise = testbed::white_noise(24000, 0.1, 5);
    sig::ClassifierTrack t = track_of(K::FSK_PAIR, 1234.0, 230.0, 170.0);
    for (int attempt = 1; attempt <= 9; ++attempt) {
        sig::verify_track(*state, t, noise.data(), noise.size());
        EXPECT_EQ(state->rejected.size(), attempt < 8 ? 0u : static_cast<std::size_t>(attempt - 7)) << attempt;
    }
    EXPECT_EQ(state->rejected.back().hz, 1234.0);
    EXPECT_EQ(state->rejected.back().until, 560.0);
}

// --- Comb and tone-count tests ----------------------------------------------------------------

TEST(ToneCountTest, ATrackOfAboutEightTonesAt31HzIsTestedAsEightTonesAt31Bd) {
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    // Too little audio for a keying spectrum: only a comb seen often enough is accepted.
    const std::vector<float> audio = testbed::white_noise(800, 0.1, 6);
    struct Case {
        std::uint32_t members;
        double spacing;
        std::uint32_t kind_hits;
        bool accepted;
        double floor;
    };
    for (const Case c : {Case{9, 31.0, 12, true, 0.0}, Case{7, 28.0, 12, true, 0.0}, Case{11, 31.0, 12, false, 0.0},
                         Case{9, 35.5, 12, false, 0.0}, Case{9, 31.0, 11, false, 0.35}}) {
        sig::ClassifierTrack t = track_of(K::TONE_COMB, 1500.0, 250.0, c.spacing);
        t.max_members = c.members;
        t.kind_hits = c.kind_hits;
        double floor = 0.0;
        EXPECT_EQ(sig::tone_count_test(*state, t, audio.data(), audio.size(), floor), c.accepted)
            << c.members << " members at " << c.spacing;
        EXPECT_EQ(floor, c.floor);
        if (c.accepted) {
            EXPECT_EQ(t.variant, "8/250");
            EXPECT_EQ(t.symbol_rate, 31.25);
            EXPECT_EQ(t.tones, 8u);
            EXPECT_NEAR(t.quality, 3.0 * 0.08 + 0.5, 1e-6);
        }
    }
}

}  // namespace
