#include "sig/classify_narrowband_emitter.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "sig/classifier.hpp"
#include "testbed/lib/classifier_run.hpp"
#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kBinHz = 12000.0 / 4096.0;

sig::ClassifierTrack track_at(double audio_hz, double bandwidth_hz) {
    sig::ClassifierTrack t;
    t.track = 1;
    t.audio_hz = t.smoothed_hz = audio_hz;
    t.bandwidth_hz = bandwidth_hz;
    t.low_hz = audio_hz - bandwidth_hz / 2.0;
    t.high_hz = audio_hz + bandwidth_hz / 2.0;
    return t;
}

// A state whose spectrum has seen the audio (the line search reads it), and the test on the
// audio's last two seconds.
struct Verdict {
    bool accepted;
    double floor;
    sig::ClassifierTrack track;
};

Verdict judge(const std::vector<float>& audio, double audio_hz, double bandwidth_hz) {
    sig::ClassifierConfig c = testbed::channel_classifier_config();
    c.verify = false;
    auto state = sig::init_classifier(c);
    sig::AudioBlock block;
    block.samples = audio;
    sig::classify(*state, block);
    Verdict v{false, 0.0, track_at(audio_hz, bandwidth_hz)};
    const std::size_t n = std::min<std::size_t>(audio.size(), 24000);
    v.accepted = sig::classify_narrowband_emitter(*state, v.track, audio.data() + audio.size() - n, n, v.floor);
    return v;
}

std::vector<float> psk_audio(double baud, bool qpsk, double snr_db, std::uint64_t seed) {
    testbed::PskSignal s;
    s.baud = baud;
    s.carrier_hz = 1000.0;
    s.phase_rad = 0.1 * static_cast<double>(seed);
    const std::string text = "CQ CQ DE W1AW W1AW PSE K THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789";
    std::vector<float> audio = qpsk ? testbed::modulate_qpsk_text(text, s, 8) : testbed::modulate_psk_text(text, s, 8);
    audio.resize(12000 * 4);
    testbed::add_white_noise(audio, testbed::noise_rms_for_snr(testbed::mean_power(audio), snr_db), seed);
    return audio;
}

std::vector<float> cw_audio(double wpm, double hz, std::uint64_t seed) {
    testbed::CwKeying k;
    k.wpm = wpm;
    k.tone_hz = hz;
    std::vector<float> audio = testbed::key_text("CQ CQ DE W1AW W1AW PSE K", k);
    audio.resize(12000 * 4);
    testbed::add_white_noise(audio, testbed::noise_rms_for_snr(0.125, 15.0), seed);
    return audio;
}

TEST(NarrowbandKeying, NamesPskByItsKeyingLineAndRestoredCarrier) {
    struct Case {
        const char* name;
        double baud;
        bool qpsk;
        double bandwidth_hz;
        sig::Mode mode;
        double symbol_rate;
    };
    for (const Case c : {Case{"psk31", 31.25, false, 40.0, sig::Mode::PSK31, 31.25},
                         Case{"psk63", 62.5, false, 80.0, sig::Mode::PSK63, 62.5}}) {
        const Verdict v = judge(psk_audio(c.baud, c.qpsk, 10.0, 1), 1000.0, c.bandwidth_hz);
        ASSERT_TRUE(v.accepted) << c.name;
        EXPECT_EQ(v.track.mode, c.mode) << c.name;
        EXPECT_EQ(v.track.symbol_rate, c.symbol_rate) << c.name;
        EXPECT_EQ(v.track.tones, 0u);
        EXPECT_TRUE(v.track.variant.empty());
        EXPECT_GE(v.track.quality, 0.5f);
        EXPECT_LE(v.track.quality, 0.99f);
        EXPECT_EQ(v.track.audio_hz, 1000.0);  // the narrowband names leave the frequency alone
    }
}

TEST(NarrowbandKeying, RegularMorseIsCwAndFacsimileKeyedAt1900HzIsWefax) {
    for (const double wpm : {20.0, 25.0, 30.0}) {
        const Verdict v = judge(cw_audio(wpm, 700.0, 2), 700.0, 12.0);
        ASSERT_TRUE(v.accepted) << wpm;
        EXPECT_EQ(v.track.mode, sig::Mode::CW) << wpm;
        EXPECT_EQ(v.track.symbol_rate, 0.0);
        EXPECT_GE(v.track.quality, 0.5f);
    }
    // Morse at 1900 Hz is still CW...
    const Verdict morse = judge(cw_audio(20.0, 1900.0, 3), 1900.0, 12.0);
    ASSERT_TRUE(morse.accepted);
    EXPECT_EQ(morse.track.mode, sig::Mode::CW);
    // ...but a steady-amplitude FM signal that only dwells at 1900 Hz in a Morse rhythm and
    // otherwise sweeps the lower or the upper part of the facsimile band is WEFAX.
    testbed::CwKeying k;
    const std::vector<testbed::KeyElement> keying = testbed::cw_text_elements("CQ CQ DE W1AW W1AW PSE K", k);
    std::vector<float> fm;
    double phase = 0.0;
    int gap = 0;
    for (const testbed::KeyElement& e : keying) {
        const auto n = static_cast<std::size_t>(e.ms * 12.0);
        const double middle = ++gap % 2 ? 1650.0 : 2150.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double hz = e.down ? 1900.0 : middle + 140.0 * std::sin(2.0 * kPi * 13.0 * i / 12000.0);
            phase += 2.0 * kPi * hz / 12000.0;
            fm.push_back(static_cast<float>(0.5 * std::cos(phase)));
        }
    }
    fm.resize(12000 * 4);
    testbed::add_white_noise(fm, 0.005, 4);
    const Verdict fax = judge(fm, 1900.0, 12.0);
    ASSERT_TRUE(fax.accepted);
    EXPECT_EQ(fax.track.mode, sig::Mode::WEFAX);
    EXPECT_EQ(fax.track.audio_hz, 1900.0);
    EXPECT_EQ(fax.track.bandwidth_hz, 800.0);
    EXPECT_EQ(fax.track.low_hz, 1500.0);
    EXPECT_EQ(fax.track.high_hz, 2300.0);
    EXPECT_EQ(fax.track.kind, sig::GroupKind::IMAGE_BAND);
    EXPECT_FLOAT_EQ(fax.track.quality, 0.6f);
}

TEST(NarrowbandKeying, ASteadyCarrierIsRejectedWithoutScore) {
    std::vector<float> audio(12000 * 4);
    for (std::size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<float>(0.4 * std::cos(2.0 * kPi * 1234.0 * i / 12000.0));
    testbed::add_white_noise(audio, 0.01, 5);
    const Verdict v = judge(audio, 1234.0, 20.0);
    EXPECT_FALSE(v.accepted);
    EXPECT_EQ(v.floor, 0.0);
    EXPECT_EQ(v.track.mode, sig::Mode::UNKNOWN);
}

// Routing on a hand-written spectrum: lines at given frequencies over a flat floor, no audio.
Verdict route(const std::vector<double>& lines_hz, double audio_hz, double bandwidth_hz) {
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    std::fill(state->floor_db.begin(), state->floor_db.end(), 0.0f);
    std::fill(state->averaged_db.begin(), state->averaged_db.end(), 0.0f);
    for (const double hz : lines_hz) {
        const auto k = static_cast<std::size_t>(std::lround(hz / kBinHz));
        state->averaged_db[k] = 20.0f;
        state->averaged_db[k - 1] = state->averaged_db[k + 1] = 10.0f;
    }
    Verdict v{false, 0.0, track_at(audio_hz, bandwidth_hz)};
    v.accepted = sig::classify_narrowband_emitter(*state, v.track, nullptr, 0, v.floor);
    return v;
}

TEST(NarrowbandKeying, RoutesCombsOfLinesAndWideSignalsToTheCombTest) {
    // A failed comb test scores 0.3; the narrowband path with no audio leaves the floor alone.
    struct Case {
        const char* name;
        std::vector<double> lines;
        double bandwidth;
        double floor;
        double audio_hz = 1000.0;
    };
    for (const Case& c :
         {Case{"wide_without_lines", {}, 2000.0, 0.3}, Case{"three_lines_40_hz_apart", {960, 1000, 1040}, 120.0, 0.0},
          Case{"three_lines_70_hz_apart", {930, 1000, 1070}, 120.0, 0.3},
          Case{"three_lines_40_hz_apart_wide", {960, 1000, 1040}, 160.0, 0.3},
          Case{"four_lines_40_hz_apart", {960, 1000, 1040, 1080}, 120.0, 0.3},
          Case{"signal_between_the_lines", {1020, 1060, 1100, 1140}, 40.0, 0.0},
          Case{"signal_within_a_quarter_spacing_of_the_lines",
               {345 * kBinHz, 359 * kBinHz, 373 * kBinHz, 387 * kBinHz}, 40.0, 0.3, 345 * kBinHz - 9.0},
          // Lines 14 bins (41.0 Hz) apart, the signal 11.3 Hz below the first: off the comb.
          Case{"signal_just_beyond_a_quarter_spacing",
               {345 * kBinHz, 359 * kBinHz, 373 * kBinHz, 387 * kBinHz}, 40.0, 0.0, 345 * kBinHz - 11.3},
          Case{"narrow_alone", {1000}, 40.0, 0.0}}) {
        const Verdict v = route(c.lines, c.audio_hz, c.bandwidth);
        EXPECT_FALSE(v.accepted) << c.name;
        EXPECT_EQ(v.floor, c.floor) << c.name;
    }
}

TEST(KeyingStats, TimesTheOnAndOffRunsWithHysteresis) {
    // At 500 Hz: off 10, on 20, off 10, on 30, off 10 samples, the first run dropped.
    std::vector<float> p;
    const auto run = [&](bool on, int n) { p.insert(p.end(), static_cast<std::size_t>(n), on ? 1.0f : 0.01f); };
    run(false, 10);
    run(true, 20);
    run(false, 10);
    run(true, 30);
    run(false, 10);
    const sig::KeyingStats k = sig::keying_stats(p, 500.0);
    EXPECT_EQ(k.transitions, 4);
    EXPECT_EQ(k.on_durations, (std::vector<double>{20 / 500.0, 30 / 500.0}));
    EXPECT_EQ(k.off_durations, (std::vector<double>{10 / 500.0}));
    EXPECT_DOUBLE_EQ(k.duty, 50.0 / 80.0);
    EXPECT_NEAR(k.dynamic_range_db, 20.0, 1e-6);
    EXPECT_DOUBLE_EQ(k.median_off_s, 0.02);
    // A value between the thresholds changes nothing: 0.2 is above off (0.12) and below on (0.35).
    std::vector<float> wobble(40, 1.0f);
    for (std::size_t i = 10; i < 20; ++i) wobble[i] = 0.2f;
    EXPECT_EQ(sig::keying_stats(wobble, 500.0).transitions, 0);
    // From off, 0.2 does not switch on; 1.0 does.
    std::vector<float> rising(40, 0.01f);
    for (std::size_t i = 10; i < 20; ++i) rising[i] = 0.2f;
    for (std::size_t i = 30; i < 40; ++i) rising[i] = 1.0f;
    EXPECT_EQ(sig::keying_stats(rising, 500.0).transitions, 1);
    EXPECT_EQ(sig::keying_stats(std::vector<float>(15, 1.0f), 500.0).transitions, 0);
    EXPECT_EQ(sig::keying_stats(std::vector<float>(15, 1.0f), 500.0).duty, 0.0);  // not computed
}

TEST(RelativeStandardDeviation, NeedsTwoValuesAndAPositiveMean) {
    EXPECT_EQ(sig::relative_standard_deviation({}), 0.0);
    EXPECT_EQ(sig::relative_standard_deviation({3.0}), 0.0);
    EXPECT_EQ(sig::relative_standard_deviation({-1.0, 1.0}), 0.0);
    EXPECT_NEAR(sig::relative_standard_deviation({1.0, 3.0}), std::sqrt(2.0) / 2.0, 1e-12);
}

}  // namespace
