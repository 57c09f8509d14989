#include "sig/classify_narrowband_emitter.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "sig/classifier.hpp"
#include "testbed/lib/classifier_run.hpp"
#include "testbed/lib/classifier_signals.hpp"
#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/keyboard_transmission.hpp"
#include "testbed/lib/outside_modems.hpp"
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

// A steady-amplitude FM signal that dwells at 1900 Hz in a Morse rhythm and otherwise sweeps the
// lower or the upper part of the facsimile band.
std::vector<float> keyed_fm() {
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
    return fm;
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
    const Verdict fax = judge(keyed_fm(), 1900.0, 12.0);
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

// --- Morse from 5 to 40 words per minute ---------------------------------------------------------

struct MorseSource {
    const char* name;
    bool ebook2cw;  // else our own keyer
    double wpm;
    double snr_db;
    bool named;  // named CW, or nothing at all
};

void PrintTo(const MorseSource& c, std::ostream* os) { *os << c.name; }

// Up to ten seconds of the signal at 700 Hz between seconds of silence, through the classifier as
// an analysis channel runs it: a dot at 5 words per minute lasts 0.24 s, so two seconds of audio
// hold a letter or two.
testbed::ClassifierRun run_morse(const MorseSource& c, std::uint64_t seed) {
    std::vector<float> sent;
    double key_down = 0.0;
    if (c.ebook2cw) {
        sent = testbed::ebook2cw_audio("CQ CQ DE W1AW W1AW PSE K", static_cast<int>(c.wpm), 700);
        std::vector<float> squares;
        for (const float v : sent) squares.push_back(v * v);
        std::sort(squares.begin(), squares.end());
        key_down = 2.0 * squares[squares.size() * 9 / 10];
    } else {
        testbed::CwKeying k;
        k.wpm = c.wpm;
        k.tone_hz = 700.0;
        k.seed = seed;
        std::string text = "CQ CQ DE W1AW W1AW PSE K ";
        text += text;
        sent = testbed::key_text(text, k);
        key_down = k.amplitude * k.amplitude / 2.0;
    }
    if (sent.size() > 12000 * 10) sent.resize(12000 * 10);
    return testbed::run_classifier(testbed::noisy_transmission(sent, key_down, c.snr_db, seed),
                                   testbed::channel_classifier_config());
}

class MorseSpeeds : public ::testing::TestWithParam<MorseSource> {};

TEST_P(MorseSpeeds, NamedCwWithinTheSpeedLimits) {
    const MorseSource& c = GetParam();
    for (const std::uint64_t seed : {1u, 2u}) {
        const testbed::ClassifierRun run = run_morse(c, seed);
        const std::vector<const testbed::ClassifiedTrack*> named = testbed::modem_tracks(run);
        if (!c.named) {
            for (const testbed::ClassifiedTrack* t : named)
                ADD_FAILURE() << "seed " << seed << ": " << testbed::named(t->last) << " at " << t->last.audio_hz;
            continue;
        }
        ASSERT_EQ(named.size(), 1u) << "seed " << seed;
        EXPECT_EQ(named[0]->last.mode, sig::Mode::CW) << "seed " << seed;
        EXPECT_NEAR(named[0]->last.audio_hz, 700.0, 10.0) << "seed " << seed;
        EXPECT_EQ(named[0]->classified_count, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    KeyerAndEbook2cw, MorseSpeeds,
    ::testing::Values(MorseSource{"keyer_5_wpm", false, 5.0, 20.0, true},
                      MorseSource{"keyer_5_wpm_near_threshold", false, 5.0, 1.0, true},
                      MorseSource{"keyer_8_wpm", false, 8.0, 20.0, true},
                      MorseSource{"keyer_12_wpm", false, 12.0, 20.0, true},
                      MorseSource{"keyer_25_wpm", false, 25.0, 20.0, true},
                      MorseSource{"keyer_40_wpm", false, 40.0, 20.0, true},
                      MorseSource{"keyer_40_wpm_near_threshold", false, 40.0, 1.0, true},
                      MorseSource{"keyer_42_wpm", false, 42.0, 20.0, false},
                      MorseSource{"keyer_45_wpm", false, 45.0, 20.0, false},
                      MorseSource{"ebook2cw_5_wpm", true, 5.0, 10.0, true},
                      MorseSource{"ebook2cw_40_wpm", true, 40.0, 10.0, true},
                      MorseSource{"ebook2cw_45_wpm", true, 45.0, 10.0, false}),
    [](const ::testing::TestParamInfo<MorseSource>& info) { return std::string(info.param.name); });

// On and off runs of sent Morse as the envelope times them: every mark `bias_s` short and every
// gap as much long (keying edges, on threshold above off threshold), the first and last runs cut
// off as a window cuts them.
sig::KeyingStats timed_morse(double wpm, double bias_s = 0.004,
                             const std::string& text = "CQ CQ DE W1AW W1AW PSE K TEST") {
    testbed::CwKeying k;
    k.wpm = wpm;
    const std::vector<testbed::KeyElement> elements = testbed::cw_text_elements(text, k);
    sig::KeyingStats s;
    double on_s = 0.0, total_s = 0.0;
    for (std::size_t i = 1; i + 1 < elements.size(); ++i) {
        const double run = elements[i].ms / 1000.0 + (elements[i].down ? -bias_s : bias_s);
        (elements[i].down ? s.on_durations : s.off_durations).push_back(run);
        if (elements[i].down) on_s += run;
        total_s += run;
    }
    s.transitions = static_cast<std::int32_t>(elements.size() - 1);
    s.duty = on_s / total_s;
    s.dynamic_range_db = 30.0;
    s.on_cv = sig::relative_standard_deviation(s.on_durations);
    s.off_cv = sig::relative_standard_deviation(s.off_durations);
    std::vector<double> off = s.off_durations;
    std::sort(off.begin(), off.end());
    s.median_off_s = off[off.size() / 2];
    return s;
}

TEST(MorseTiming, ReadsTheSpeedInWholeWordsPerMinuteFrom5To40) {
    // Marks read 4 ms short and gaps 4 ms long, as our keyer's and ebook2cw's do through the
    // envelope: a dot taken from the marks alone would read 40 wpm as 47.
    struct Case {
        double wpm;
        bool regular;
    };
    for (const Case c : {Case{40.4, true}, Case{40.6, false}, Case{4.6, true}, Case{4.4, false}, Case{40.0, true},
                         Case{5.0, true}, Case{20.0, true}}) {
        const sig::KeyingStats k = timed_morse(c.wpm);
        EXPECT_NEAR(1.2 / sig::morse_dot_s(k), c.wpm, 0.01) << c.wpm;
        EXPECT_EQ(sig::regular_morse_keying(k), c.regular) << c.wpm;
    }
}

TEST(MorseTiming, NeedsMarksAndGapsThatFitTheDot) {
    // Thirty marks at 20 wpm: dots and dashes, the rest 5 dots long (beyond 4.5 dots); twenty
    // gaps of a dot, the rest 11 dots long (beyond 10.5) or longer than 12 dots.
    const double dot = 0.06;
    const auto runs = [&](int dots, int dashes, int long_marks, int dot_gaps, int long_gaps, double longest_gap) {
        sig::KeyingStats k;
        k.on_durations.insert(k.on_durations.end(), static_cast<std::size_t>(dots), dot);
        k.on_durations.insert(k.on_durations.end(), static_cast<std::size_t>(dashes), 3.0 * dot);
        k.on_durations.insert(k.on_durations.end(), static_cast<std::size_t>(long_marks), 5.0 * dot);
        k.off_durations.insert(k.off_durations.end(), static_cast<std::size_t>(dot_gaps), dot);
        k.off_durations.insert(k.off_durations.end(), static_cast<std::size_t>(long_gaps), 11.0 * dot);
        k.off_durations.push_back(longest_gap * dot);
        k.transitions = static_cast<std::int32_t>(k.on_durations.size() + k.off_durations.size() + 1);
        k.duty = 0.5;
        k.dynamic_range_db = 30.0;
        return k;
    };
    struct Case {
        const char* name;
        sig::KeyingStats keying;
        bool regular;
    };
    for (const Case& c : {
             Case{"70 % of the marks fit", runs(14, 7, 9, 20, 0, 7.0), true},
             Case{"two thirds of the marks fit", runs(14, 6, 10, 20, 0, 7.0), false},
             Case{"60 % of the gaps fit", runs(14, 7, 0, 17, 12, 7.0), true},
             Case{"58 % of the gaps fit", runs(14, 7, 0, 17, 13, 7.0), false},
             Case{"longest gap 12 dots", runs(14, 7, 0, 20, 0, 12.0), true},
             Case{"longest gap 12.1 dots", runs(14, 7, 0, 20, 0, 12.1), false},
         })
        EXPECT_EQ(sig::regular_morse_keying(c.keying), c.regular) << c.name;
}

TEST(MorseTiming, TimesKeyingWhoseGapsAreNoDotByItsMarksAlone) {
    // A pulse train of 20 ms marks and 40 ms gaps: its gaps do not pair with its marks as a
    // letter's do, so it is timed by its marks (60 wpm), not as 40 wpm Morse.
    sig::KeyingStats k;
    for (int i = 0; i < 12; ++i) {
        k.on_durations.push_back(0.020);
        k.off_durations.push_back(i % 3 ? 0.040 : 0.100);
    }
    k.transitions = 25;
    k.duty = 0.3;
    k.dynamic_range_db = 30.0;
    EXPECT_NEAR(sig::morse_dot_s(k), 0.020, 1e-12);
    EXPECT_FALSE(sig::regular_morse_keying(k));
    // Marks of one and two bits (a keyed tone of RTTY at 50 Bd) are not one kind of run.
    sig::KeyingStats bits;
    for (int i = 0; i < 12; ++i) {
        bits.on_durations.push_back(i % 2 ? 0.020 : 0.040);
        bits.off_durations.push_back(i % 2 ? 0.040 : 0.020);
    }
    EXPECT_NEAR(sig::morse_dot_s(bits), 0.020, 1e-12);
}

// --- The decisions from the measures --------------------------------------------------------------

struct Measured {
    const char* name;
    double bandwidth_hz;
    sig::KeyingMeasures measures;
    double q4;
    sig::Mode named;  // UNKNOWN: rejected
    double floor;     // the score floor after a rejection
};

sig::KeyingMeasures lines(double k31, double k62, double q2, bool morse_timed = false, double k50 = -100.0) {
    sig::KeyingMeasures m;
    m.k31 = k31;
    m.k62 = k62;
    m.q2 = q2;
    m.k50 = k50;
    if (morse_timed) {
        m.timed = true;
        m.keying = timed_morse(20.0);
    }
    return m;
}

// Fast keying whose gaps are shorter than 20 ms: the envelope of a phase-shift signal.
sig::KeyingMeasures fast_keyed(double k31, double k62, double q2) {
    sig::KeyingMeasures m = lines(k31, k62, q2);
    m.timed = true;
    for (int i = 0; i < 20; ++i) {
        m.keying.on_durations.push_back(0.02);
        m.keying.off_durations.push_back(0.012);
    }
    m.keying.transitions = 41;
    m.keying.duty = 0.6;
    m.keying.dynamic_range_db = 20.0;
    m.keying.median_off_s = 0.012;
    return m;
}

TEST(NarrowbandDecisions, StraddleEachThreshold) {
    using sig::Mode;
    const Measured cases[] = {
        // PSK63: its line at least 3 dB over the 31.25 Hz line (and 8 dB, and a carrier of 10 dB).
        {"psk63_line_3_dB_over_psk31", 80.0, lines(6.0, 9.0, 20.0), 0.0, Mode::PSK63, 0.0},
        {"psk63_line_2.9_dB_over_psk31", 80.0, lines(6.0, 8.9, 20.0), 0.0, Mode::UNKNOWN, 0.0},
        // PSK31: a restored carrier of 10 dB; below it the fourth power is asked.
        {"psk31_carrier_10_dB", 40.0, lines(15.0, 5.0, 10.0), 0.0, Mode::PSK31, 0.0},
        {"psk31_carrier_9.9_dB", 40.0, lines(15.0, 5.0, 9.9), 0.0, Mode::UNKNOWN, 0.4},
        // QPSK31: no carrier after squaring (under 8 dB), one after the fourth power (10 dB).
        {"qpsk31_square_7.9_dB", 40.0, lines(15.0, 5.0, 7.9), 12.0, Mode::QPSK31, 0.0},
        {"qpsk31_square_8_dB", 40.0, lines(15.0, 5.0, 8.0), 12.0, Mode::UNKNOWN, 0.4},
        {"qpsk31_fourth_10_dB", 40.0, lines(15.0, 5.0, 5.0), 10.0, Mode::QPSK31, 0.0},
        {"qpsk31_fourth_9.9_dB", 40.0, lines(15.0, 5.0, 5.0), 9.9, Mode::UNKNOWN, 0.4},
        // A 31.25 Hz line as strong as every other keying line is not Morse's; a stronger
        // 50 Hz line sends it on to the Morse timing.
        {"psk31_line_dominant_on_a_tie", 40.0, lines(12.0, 5.0, 5.0, true, 12.0), 0.0, Mode::UNKNOWN, 0.0},
        {"psk31_line_below_the_50_hz_line", 40.0, lines(12.0, 5.0, 5.0, true, 12.1), 0.0, Mode::CW, 0.0},
        // The 25 Hz bandwidth split, in each of the three starts.
        {"untimed_25_hz_reads_the_lines", 25.0, lines(15.0, 5.0, 20.0), 0.0, Mode::PSK31, 0.0},
        {"untimed_24.9_hz_scores", 24.9, lines(15.0, 5.0, 20.0), 0.0, Mode::UNKNOWN, 0.0},
        {"long_gaps_25_hz_looks_at_the_lines_late", 25.0, lines(12.0, 5.0, 5.0, true), 0.0, Mode::UNKNOWN, 0.0},
        {"long_gaps_24.9_hz_is_timed_at_once", 24.9, lines(12.0, 5.0, 5.0, true), 0.0, Mode::CW, 0.0},
        {"short_gaps_25_hz_reads_the_lines", 25.0, fast_keyed(15.0, 5.0, 20.0), 0.0, Mode::PSK31, 0.0},
        {"short_gaps_24.9_hz_is_timed", 24.9, fast_keyed(15.0, 5.0, 20.0), 0.0, Mode::UNKNOWN, 0.24},
    };
    for (const Measured& c : cases) {
        sig::ClassifierTrack t = track_at(1000.0, c.bandwidth_hz);
        double floor = 0.0;
        bool asked = false;
        const bool named = sig::decide_narrowband_keying(c.measures, t, [&] {
            asked = true;
            return c.q4;
        }, floor);
        EXPECT_EQ(named, c.named != sig::Mode::UNKNOWN) << c.name;
        EXPECT_EQ(t.mode, c.named) << c.name;
        EXPECT_NEAR(floor, c.floor, 1e-9) << c.name;
        // The fourth power costs a spectrum: it is asked only where the carrier after squaring failed.
        if (asked) {
            EXPECT_LT(c.measures.q2, 10.0) << c.name;
        }
    }
}

TEST(NarrowbandKeying, AKeyedChartLiesWithin1450To2350Hz) {
    const std::vector<float> fm = keyed_fm();
    const std::vector<float> tail(fm.end() - 24000, fm.end());
    for (const double hz : {1450.0, 1900.0, 2350.0})
        EXPECT_TRUE(sig::keyed_facsimile(hz, tail.data(), tail.size())) << hz;
    for (const double hz : {1449.9, 2350.1, 700.0})
        EXPECT_FALSE(sig::keyed_facsimile(hz, tail.data(), tail.size())) << hz;
}

TEST(NarrowbandKeying, AWideSignalNeedsACombContrastOf1Point5ForTheOliviaTest) {
    // A 200 Hz wide track at 1000 Hz over a spectrum of 31.25 Hz plateaus across 800..1200 Hz
    // (no lines): the comb test over fc +- bw finds 16 tones whose contrast is the plateaus'
    // height. The Olivia test runs on silent audio, finds no keying and scores 0.35; a comb it
    // does not run on scores 0.3.
    const std::vector<float> silent(4800, 0.0f);
    for (const auto& [height_db, floor] : {std::pair{1.5, 0.35}, std::pair{1.49, 0.3}}) {
        auto state = sig::init_classifier(testbed::channel_classifier_config());
        std::fill(state->floor_db.begin(), state->floor_db.end(), 0.0f);
        std::fill(state->averaged_db.begin(), state->averaged_db.end(), 0.0f);
        for (std::size_t k = 0; k < state->averaged_db.size(); ++k) {
            const double hz = static_cast<double>(k) * kBinHz;
            if (hz >= 800.0 && hz <= 1200.0 && std::fmod(hz - 800.0, 31.25) < 15.625)
                state->averaged_db[k] = static_cast<float>(height_db);
        }
        sig::ClassifierTrack t = track_at(1000.0, 200.0);
        double score = 0.0;
        EXPECT_FALSE(sig::classify_narrowband_emitter(*state, t, silent.data(), silent.size(), score)) << height_db;
        EXPECT_DOUBLE_EQ(score, floor) << height_db;
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
