#include "sig/classifier.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "sig/classifier_tracker.hpp"
#include "testbed/lib/broadcast_am.hpp"
#include "testbed/lib/classifier_run.hpp"
#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/keyboard_transmission.hpp"
#include "testbed/lib/outside_modems.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/rtty_modulator.hpp"
#include "testbed/lib/speech_like.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

constexpr double kRate = 12000.0;

std::vector<float> carrier(std::size_t n, double hz, double amplitude = 0.3, std::size_t phase_from = 0) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i)
        x[i] = static_cast<float>(amplitude * std::cos(2.0 * std::numbers::pi * hz * (i + phase_from) / kRate));
    return x;
}

std::vector<float> noisy_carrier(std::size_t n, double hz, std::uint64_t seed) {
    std::vector<float> x = carrier(n, hz);
    testbed::add_white_noise(x, 0.02, seed);
    return x;
}

sig::ClassifierConfig quiet_config() {
    sig::ClassifierConfig c = testbed::channel_classifier_config();
    c.verify = false;
    return c;
}

sig::AudioBlock block_of(const std::vector<float>& audio, std::size_t from, std::size_t n, double t0,
                         bool discontinuity = false) {
    sig::AudioBlock b;
    b.samples.assign(audio.begin() + static_cast<std::ptrdiff_t>(from),
                     audio.begin() + static_cast<std::ptrdiff_t>(from + n));
    b.time = t0 + static_cast<double>(from) / kRate;
    b.discontinuity = discontinuity;
    return b;
}

// --- Frames -----------------------------------------------------------------------------------

class FrameTiming : public ::testing::TestWithParam<std::size_t> {};

TEST_P(FrameTiming, FirstFrameWhenTheWindowIsFullThenEveryHopAcrossBlocks) {
    const std::size_t block_size = GetParam();
    auto state = sig::init_classifier(quiet_config());
    const std::vector<float> audio = testbed::white_noise(20000, 0.1, 1);
    const double t0 = 5000.0;
    for (std::size_t at = 0; at + block_size <= audio.size(); at += block_size) {
        const std::uint64_t before = state->frame_counter;
        sig::classify(*state, block_of(audio, at, block_size, t0));
        const std::size_t seen = at + block_size;
        const std::uint64_t frames = seen < 4096 ? 0 : 1 + (seen - 4096) / 1024;
        ASSERT_EQ(state->frame_counter, frames) << "after " << seen << " samples";
        if (state->frame_counter > before) {
            // The last frame's window ends at the last sample that completed a hop.
            const std::size_t last_end = 4096 + (frames - 1) * 1024;
            EXPECT_NEAR(state->frame_time, t0 + static_cast<double>(last_end) / kRate - 4096.0 / 24000.0, 1e-9);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, FrameTiming, ::testing::Values(100, 1000, 1024, 1200, 5000));

TEST(Classifier, ADiscontinuityWaitsForAFullWindowAgain) {
    auto state = sig::init_classifier(quiet_config());
    const std::vector<float> audio = testbed::white_noise(12000, 0.1, 2);
    sig::classify(*state, block_of(audio, 0, 5000, 0.0));
    EXPECT_EQ(state->frame_counter, 1u);
    sig::classify(*state, block_of(audio, 5000, 4000, 10.0, true));
    EXPECT_EQ(state->frame_counter, 1u);
    EXPECT_EQ(state->frames_since_reset, 0u);
    sig::classify(*state, block_of(audio, 9000, 96, 10.0 + 4000 / kRate));
    EXPECT_EQ(state->frame_counter, 2u);
    EXPECT_EQ(state->frames_since_reset, 1u);
    // A block of nothing changes nothing.
    sig::classify(*state, sig::AudioBlock{});
    EXPECT_EQ(state->frame_counter, 2u);
}

// --- Tracks -----------------------------------------------------------------------------------

TEST(Classifier, ASteadyCarrierBecomesATrackInTheTwelfthFrameAndIsStartedOnce) {
    auto state = sig::init_classifier(quiet_config());
    const std::vector<float> audio = noisy_carrier(12000 * 4, 1234.0, 3);
    int started = 0;
    for (std::size_t at = 0; at + 1024 <= audio.size(); at += 1024) {
        const sig::ClassifierResult r = sig::classify(*state, block_of(audio, at, 1024, 100.0));
        for (const sig::Candidate& c : r.started) {
            ++started;
            EXPECT_EQ(state->frame_counter, 12u);
            EXPECT_EQ(c.track, 1u);
            EXPECT_EQ(c.mode, sig::Mode::UNKNOWN);
            EXPECT_EQ(c.snr_2500_db, -999.0);
            EXPECT_NEAR(c.audio_hz, 1234.0, 1.0);
            // Seen first in frame 6: its window ended at sample 4096 + 5 x 1024.
            EXPECT_NEAR(c.start_time, 100.0 + (4096.0 + 5 * 1024.0) / kRate - 4096.0 / 24000.0, 1e-9);
            ASSERT_EQ(r.updated.size(), 1u);
        }
        if (state->frame_counter < 12) {
            EXPECT_TRUE(state->tracks.empty());
        }
    }
    EXPECT_EQ(started, 1);
}

TEST(Classifier, ATrackIsLostWhenItsSignalHasBeenGoneForTheHoldTime) {
    auto state = sig::init_classifier(quiet_config());
    std::vector<float> audio = noisy_carrier(12000 * 3, 1500.0, 4);
    const std::vector<float> after = testbed::white_noise(12000 * 6, 0.02, 5);
    audio.insert(audio.end(), after.begin(), after.end());
    double previous_end = 0.0;
    int lost = 0;
    for (std::size_t at = 0; at + 600 <= audio.size(); at += 600) {
        const sig::ClassifierResult r = sig::classify(*state, block_of(audio, at, 600, 0.0));
        const double end = static_cast<double>(at + 600) / kRate;
        for (const sig::Candidate& c : r.lost) {
            ++lost;
            const double hold = 3.0 + 4096.0 / 24000.0;  // 3.1707 s
            EXPECT_GT(end - c.last_seen, hold);
            EXPECT_LE(previous_end - c.last_seen, hold);
            EXPECT_LT(c.last_seen, 3.2);
        }
        previous_end = end;
    }
    EXPECT_EQ(lost, 1);
    EXPECT_TRUE(state->tracks.empty());
}

TEST(Classifier, ABlockTimeThatIsNoNumberContinuesThePreviousBlock) {
    auto state = sig::init_classifier(quiet_config());
    std::vector<float> audio = noisy_carrier(12000 * 3, 1500.0, 21);
    const std::vector<float> after = testbed::white_noise(12000 * 6, 0.02, 22);
    audio.insert(audio.end(), after.begin(), after.end());
    int lost = 0;
    for (std::size_t at = 0; at + 1200 <= audio.size(); at += 1200) {
        sig::AudioBlock b = block_of(audio, at, 1200, 0.0);
        if (at / 1200 % 3 == 1) b.time = std::numeric_limits<double>::quiet_NaN();
        const sig::ClassifierResult r = sig::classify(*state, b);
        for (const sig::Candidate& c : r.updated) {
            EXPECT_TRUE(std::isfinite(c.last_seen));
            EXPECT_TRUE(std::isfinite(c.start_time));
        }
        lost += static_cast<int>(r.lost.size());
    }
    EXPECT_EQ(lost, 1);
    EXPECT_TRUE(state->tracks.empty());
}

TEST(Classifier, TrackNumbersNeverRepeatAcrossDiscontinuities) {
    auto state = sig::init_classifier(quiet_config());
    std::vector<std::uint32_t> numbers;
    double t = 0.0;
    for (int round = 0; round < 3; ++round) {
        const std::vector<float> audio = noisy_carrier(12000 * 2, 800.0 + 300.0 * round, 10 + round);
        for (std::size_t at = 0; at + 1200 <= audio.size(); at += 1200) {
            const sig::ClassifierResult r = sig::classify(*state, block_of(audio, at, 1200, t, at == 0 && round > 0));
            for (const sig::Candidate& c : r.started) numbers.push_back(c.track);
        }
        t += 10.0;  // the old track is gone by the next block's end
    }
    EXPECT_EQ(numbers, (std::vector<std::uint32_t>{1, 2, 3}));
}

TEST(Classifier, ClassifiersOnSeveralThreadsAgreeWithOneAlone) {
    // Each analysis channel runs its classifier on its own thread; they share only the FFT plans.
    std::vector<float> audio = noisy_carrier(12000 * 4, 1234.0, 20);
    const std::vector<float> other = carrier(audio.size(), 2345.0, 0.2);
    for (std::size_t i = 0; i < audio.size(); ++i) audio[i] += other[i];
    const auto run = [&audio] {
        auto state = sig::init_classifier(testbed::channel_classifier_config());
        std::vector<double> centres;
        for (std::size_t at = 0; at + 1200 <= audio.size(); at += 1200)
            for (const sig::Candidate& c : sig::classify(*state, block_of(audio, at, 1200, 0.0)).updated)
                centres.push_back(c.audio_hz);
        return centres;
    };
    const std::vector<double> alone = run();
    ASSERT_FALSE(alone.empty());
    std::vector<std::vector<double>> results(4);
    std::vector<std::thread> threads;
    for (std::vector<double>& r : results) threads.emplace_back([&r, &run] { r = run(); });
    for (std::thread& t : threads) t.join();
    for (const std::vector<double>& r : results) EXPECT_EQ(r, alone);
}

// --- The tracker on hand-made groups -----------------------------------------------------------

sig::SignalGroup group(sig::GroupKind kind, double centre, double bandwidth, double spacing = 0.0, std::uint32_t members = 0) {
    sig::SignalGroup g;
    g.kind = kind;
    g.centre = centre;
    g.bandwidth = bandwidth;
    g.low_hz = centre - bandwidth / 2.0;
    g.high_hz = centre + bandwidth / 2.0;
    g.spacing_hz = spacing;
    g.members = members;
    g.snr = 20.0;
    g.excess = 100.0;
    g.present = g.strong = true;
    return g;
}

sig::ClassifierTrack track(std::uint32_t number, sig::GroupKind kind, double centre, double bandwidth,
                           double spacing = 0.0, bool confirmed = false) {
    sig::ClassifierTrack t;
    t.track = number;
    t.kind = kind;
    t.audio_hz = t.smoothed_hz = centre;
    t.bandwidth_hz = bandwidth;
    t.low_hz = centre - bandwidth / 2.0;
    t.high_hz = centre + bandwidth / 2.0;
    t.spacing_hz = spacing;
    t.confirmed = confirmed;
    t.snr_db = 10.0;
    return t;
}

struct MatchCase {
    const char* name;
    sig::ClassifierTrack before;
    double kind_age_s;  // frame time minus the track's kind time
    sig::SignalGroup g;
    sig::GroupKind kind;
    double audio_hz;
    double bandwidth_hz;
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.name; }

class TrackUpdate : public ::testing::TestWithParam<MatchCase> {};

TEST_P(TrackUpdate, FollowsTheMatchedGroupByTheRulesOfItsKind) {
    const MatchCase& c = GetParam();
    auto state = sig::init_classifier(quiet_config());
    state->frame_time = 50.0;
    sig::ClassifierTrack t = c.before;
    t.kind_time = state->frame_time - c.kind_age_s;
    state->tracks.push_back(t);
    state->groups.push_back(c.g);
    sig::update_tracks(*state);
    ASSERT_EQ(state->tracks.size(), 1u);
    const sig::ClassifierTrack& after = state->tracks[0];
    EXPECT_EQ(after.kind, c.kind);
    EXPECT_NEAR(after.audio_hz, c.audio_hz, 1e-9);
    EXPECT_NEAR(after.bandwidth_hz, c.bandwidth_hz, 1e-9);
    EXPECT_TRUE(after.changed);
    EXPECT_EQ(after.last_seen, 50.0);
    EXPECT_NEAR(after.snr_db, 10.0 + 0.3 * 10.0, 1e-9);
}

using K = sig::GroupKind;
INSTANTIATE_TEST_SUITE_P(
    Rules, TrackUpdate,
    ::testing::Values(
        // A single that is most of the track: 0.3 of the way.
        MatchCase{"single_whole", track(1, K::SINGLE, 1000, 50), 0, group(K::SINGLE, 1010, 40), K::SINGLE,
                  1000 + 0.3 * 10, 50 - 0.3 * 10},
        // A narrow part inside the track: only the centre, 0.05 of the way.
        MatchCase{"single_part", track(1, K::SINGLE, 1000, 100), 0, group(K::SINGLE, 1020, 20), K::SINGLE,
                  1000 + 0.05 * 20, 100},
        // A narrow part beyond the track's edge by more than 10 Hz: the 0.3 step.
        MatchCase{"single_beyond_edge", track(1, K::SINGLE, 1000, 100), 0, group(K::SINGLE, 1048, 30), K::SINGLE,
                  1000 + 0.3 * 48, 100 + 0.3 * (30 - 100)},
        // One tone of a pair: the pair's centre moves a fifth of the tone's offset.
        MatchCase{"pair_tone", track(1, K::FSK_PAIR, 1500, 230, 170), 1.0, group(K::SINGLE, 1590, 40), K::FSK_PAIR,
                  1500 + 0.2 * 5, 230},
        // A tone too far from either: nothing moves.
        MatchCase{"pair_far_tone", track(1, K::FSK_PAIR, 1500, 230, 170), 1.0, group(K::SINGLE, 1550, 40),
                  K::FSK_PAIR, 1500, 230},
        // A pair seen only as singles for 2 s becomes a single.
        MatchCase{"pair_falls_back", track(1, K::FSK_PAIR, 1500, 230, 170), 2.0, group(K::SINGLE, 1590, 40),
                  K::SINGLE, 1590, 40},
        // A single that meets a comb takes it over.
        MatchCase{"single_to_comb", track(1, K::SINGLE, 1500, 60), 0, group(K::TONE_COMB, 1520, 250, 31.25, 8),
                  K::TONE_COMB, 1520, 250},
        // A confirmed track moves only beyond 3 Hz (or 5 % of its width).
        MatchCase{"confirmed_small_move", track(1, K::SINGLE, 1000, 40, 0, true), 0, group(K::SINGLE, 1008, 40),
                  K::SINGLE, 1000, 40},
        MatchCase{"confirmed_large_move", track(1, K::SINGLE, 1000, 40, 0, true), 0, group(K::SINGLE, 1012, 40),
                  K::SINGLE, 1000 + 0.3 * 12, 40},
        // A confirmed track never changes kind and does not follow another kind.
        MatchCase{"confirmed_keeps_kind", track(1, K::SINGLE, 1500, 60, 0, true), 0,
                  group(K::TONE_COMB, 1520, 250, 31.25, 8), K::SINGLE, 1500, 60}),
    [](const auto& info) { return info.param.name; });

TEST(Tracker, TheNearerOfTwoGroupsTakesATrackAndTheOtherStartsNothingInsideIt) {
    for (const auto& [other_hz, pending] : std::vector<std::pair<double, bool>>{{1006.0, false}, {1030.0, true}}) {
        auto state = sig::init_classifier(quiet_config());
        state->frames_since_reset = 10;
        state->frame_counter = 10;
        state->tracks.push_back(track(1, K::SINGLE, 1000, 20));
        state->groups.push_back(group(K::SINGLE, 998.0, 3.0));
        state->groups.push_back(group(K::SINGLE, other_hz, 3.0));
        sig::update_tracks(*state);
        EXPECT_NEAR(state->tracks[0].audio_hz, 1000.0 - 0.05 * 2.0, 1e-9) << other_hz;
        EXPECT_EQ(state->pending.size(), pending ? 1u : 0u) << other_hz;
    }
}

TEST(Tracker, AnUnconfirmedSingleInsideAMatchedPairIsLost) {
    for (const bool confirmed : {false, true}) {
        auto state = sig::init_classifier(quiet_config());
        state->tracks.push_back(track(1, K::FSK_PAIR, 1500, 210, 170));
        state->tracks.push_back(track(2, K::SINGLE, 1415, 20, 0, confirmed));
        state->groups.push_back(group(K::FSK_PAIR, 1500, 210, 170, 2));
        sig::update_tracks(*state);
        if (confirmed) {
            EXPECT_EQ(state->tracks.size(), 2u);
            EXPECT_TRUE(state->result.lost.empty());
        } else {
            ASSERT_EQ(state->tracks.size(), 1u);
            EXPECT_EQ(state->tracks[0].track, 1u);
            ASSERT_EQ(state->result.lost.size(), 1u);
            EXPECT_EQ(state->result.lost[0].track, 2u);
        }
    }
}

TEST(Tracker, APendingSignalNeedsStrongHitsTwoFramesApart) {
    // Present but never strong: it never becomes a track; strong every frame: a track after
    // hits in frames 1, 3, 5, 7 (frame 7 is also the 7th since its first), and with six hits
    // needed in frames 1, 3, ..., 11.
    struct Case {
        bool strong;
        std::uint32_t min_hits;
        int created_in;
    };
    for (const Case c : {Case{false, 4, 0}, Case{true, 4, 7}, Case{true, 6, 11}}) {
        const bool strong = c.strong;
        sig::ClassifierConfig config = quiet_config();
        config.min_hits = c.min_hits;
        auto state = sig::init_classifier(config);
        state->frames_since_reset = 6;
        int created_in = 0;
        for (int frame = 1; frame <= 12 && state->tracks.empty(); ++frame) {
            state->frame_counter = static_cast<std::uint64_t>(frame);
            state->groups = {group(K::SINGLE, 700.0, 5.0)};
            state->groups[0].strong = strong;
            sig::update_tracks(*state);
            if (!state->tracks.empty()) created_in = frame;
        }
        EXPECT_EQ(created_in, c.created_in) << strong << " " << c.min_hits;
    }
    // Three frames without a hit drop a pending signal.
    auto state = sig::init_classifier(quiet_config());
    state->frames_since_reset = 6;
    state->frame_counter = 1;
    state->groups = {group(K::SINGLE, 700.0, 5.0)};
    sig::update_tracks(*state);
    state->groups.clear();
    for (int frame = 2; frame <= 4; ++frame) {
        EXPECT_EQ(state->pending.size(), 1u);
        state->frame_counter = static_cast<std::uint64_t>(frame);
        sig::update_tracks(*state);
    }
    EXPECT_TRUE(state->pending.empty());
}

TEST(Tracker, TheFirstSnrIn2500HzIsTakenAsIsThenSmoothed) {
    auto state = sig::init_classifier(quiet_config());
    state->tracks.push_back(track(1, K::SINGLE, 1000, 20));
    state->tracks[0].snr_2500_db = -999.0;
    sig::SignalGroup g = group(K::SINGLE, 1000, 20);
    g.excess = 2500.0 / state->bin_hz;  // 0 dB
    state->groups = {g};
    sig::update_tracks(*state);
    EXPECT_NEAR(state->tracks[0].snr_2500_db, 0.0, 1e-9);
    state->groups[0].excess = 10.0 * 2500.0 / state->bin_hz;  // 10 dB
    sig::update_tracks(*state);
    EXPECT_NEAR(state->tracks[0].snr_2500_db, 3.0, 1e-9);
    // A group that is there but not present does not renew last_seen.
    state->frame_time = 77.0;
    state->groups[0].present = false;
    sig::update_tracks(*state);
    EXPECT_NE(state->tracks[0].last_seen, 77.0);
}

// --- RTTY: one track per signal --------------------------------------------------------------

// An RTTY transmission at +20 dB centred on 1500 Hz, from our modulator (after two seconds of
// idle mark, as a station starts) or from minimodem.
struct RttyOnAir {
    const char* name;
    double shift_hz;
    bool mark_high;
    bool minimodem;
    double baud;
};

void PrintTo(const RttyOnAir& c, std::ostream* os) { *os << c.name; }

const std::string kRttyText = "CQ CQ DE Q1ABC Q1ABC PSE K\nRYRYRY THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG\n";

std::vector<float> rtty_on_air(const RttyOnAir& c, std::uint64_t seed) {
    const double mark = 1500.0 + (c.mark_high ? 0.5 : -0.5) * c.shift_hz;
    const double space = 1500.0 + (c.mark_high ? -0.5 : 0.5) * c.shift_hz;
    std::vector<float> burst;
    if (c.minimodem) {
        burst = testbed::minimodem_rtty_audio(kRttyText, mark, space, c.baud);
    } else {
        testbed::RttySignal s;
        s.baud = c.baud;
        s.shift_hz = c.shift_hz;
        s.centre_hz = 1500.0;
        s.mark_high = c.mark_high;
        s.phase_rad = 0.3 * static_cast<double>(seed);
        burst = testbed::modulate_rtty_text(kRttyText, s, 2.0 * c.baud);
    }
    return testbed::noisy_transmission(burst, testbed::mean_power(burst), 20.0, seed);
}

class RttyTones : public ::testing::TestWithParam<RttyOnAir> {};

// A station that idles on mark shows a mark as narrow as a carrier and a keyed space; a tone
// seen alone in a frame spans more than its edges. Neither tone may become a signal of its own
// (a CW or PSK31 track whose modem would print noise beside the RTTY one).
TEST_P(RttyTones, StartNoTrackOfTheirOwn) {
    const RttyOnAir& c = GetParam();
    for (const std::uint64_t seed : {1u, 2u}) {
        const testbed::ClassifierRun run =
            testbed::run_classifier(rtty_on_air(c, seed), testbed::channel_classifier_config());
        const testbed::ClassifiedTrack* rtty = testbed::classified_near(run, 1500.0, 30.0);
        ASSERT_NE(rtty, nullptr) << "seed " << seed;
        EXPECT_EQ(rtty->last.mode, sig::Mode::RTTY) << "seed " << seed;
        for (const auto& [number, t] : run.tracks) {
            for (const double tone : {1500.0 - c.shift_hz / 2.0, 1500.0 + c.shift_hz / 2.0})
                if (std::fabs(t.last.audio_hz - tone) < 40.0)
                    ADD_FAILURE() << "seed " << seed << ": track " << number << " on the tone at " << tone << " Hz, "
                                  << testbed::named(t.last) << ", started " << t.started_at - 1000.0 << " s";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    ShiftsAndPolarities, RttyTones,
    ::testing::Values(RttyOnAir{"ours_170_mark_low", 170.0, false, false, 50.0},
                      RttyOnAir{"ours_170_mark_high", 170.0, true, false, 50.0},
                      RttyOnAir{"ours_450_mark_low", 450.0, false, false, 50.0},
                      RttyOnAir{"ours_450_mark_high", 450.0, true, false, 50.0},
                      RttyOnAir{"ours_850_mark_low", 850.0, false, false, 50.0},
                      RttyOnAir{"ours_850_mark_high", 850.0, true, false, 50.0},
                      RttyOnAir{"minimodem_170_mark_low", 170.0, false, true, 45.45},
                      RttyOnAir{"minimodem_170_mark_high", 170.0, true, true, 45.45},
                      RttyOnAir{"minimodem_450_mark_low", 450.0, false, true, 75.0},
                      RttyOnAir{"minimodem_450_mark_high", 450.0, true, true, 75.0},
                      RttyOnAir{"minimodem_850_mark_low", 850.0, false, true, 50.0},
                      RttyOnAir{"minimodem_850_mark_high", 850.0, true, true, 50.0}),
    [](const auto& info) { return info.param.name; });

// A steady carrier beside a weaker keyed signal at an RTTY shift looks like a station idling on
// mark: the two pair, but the frequency between them stays on the carrier (or moves once, when
// one of them stops), so they are no RTTY; the keyed signal is named for what it is.
TEST(RttyTones, ACarrierBesideAKeyedSignalIsNoRtty) {
    struct Case {
        double shift_hz;
        bool psk;
        double below_db;  // the keyed signal against the carrier
    };
    for (const Case c : {Case{170.0, true, 10.0}, Case{450.0, false, 3.0}, Case{450.0, true, 6.0},
                         Case{850.0, false, 10.0}, Case{850.0, true, 3.0}}) {
        std::vector<float> audio = testbed::silence(12.0);
        const std::vector<float> steady = carrier(12000 * 10, 1400.0, 0.3);
        std::copy(steady.begin(), steady.end(), audio.begin() + 12000);
        std::vector<float> keyed;
        if (c.psk) {
            testbed::PskSignal p;
            p.carrier_hz = 1400.0 + c.shift_hz;
            keyed = testbed::modulate_psk_text("CQ CQ DE Q1ABC Q1ABC PSE K CQ CQ DE Q1ABC K", p, 32);
        } else {
            testbed::CwKeying k;
            k.tone_hz = 1400.0 + c.shift_hz;
            keyed = testbed::key_text("CQ CQ DE Q1ABC Q1ABC PSE K CQ CQ DE Q1ABC K", k);
        }
        const double power = c.psk ? testbed::mean_power(keyed) : 0.5 * 0.5 / 2.0;  // key-down power for CW
        const auto scale = static_cast<float>(std::sqrt(0.3 * 0.3 / 2.0 / power * std::pow(10.0, -c.below_db / 10.0)));
        for (std::size_t i = 0; i < keyed.size() && 12000 + i < audio.size(); ++i) audio[12000 + i] += scale * keyed[i];
        testbed::add_white_noise(audio, testbed::noise_rms_for_snr(0.3 * 0.3 / 2.0, 20.0), 5);
        const testbed::ClassifierRun run = testbed::run_classifier(audio, testbed::channel_classifier_config());
        const std::string what = std::to_string(static_cast<int>(c.shift_hz)) + (c.psk ? " PSK31" : " CW");
        for (const auto& [number, t] : run.tracks)
            EXPECT_NE(t.last.mode, sig::Mode::RTTY) << what << ": track " << number << " at " << t.last.audio_hz;
        const testbed::ClassifiedTrack* named = testbed::classified_near(run, 1400.0 + c.shift_hz, 10.0);
        ASSERT_NE(named, nullptr) << what;
        EXPECT_EQ(named->last.mode, c.psk ? sig::Mode::PSK31 : sig::Mode::CW) << what;
    }
    // Bursts of a strong tone 170 Hz above a carrier, 30 ms every 0.4 or 0.6 s: the frequency
    // moves between the two often enough, but sits on the bursts' tone for less than a tenth of
    // the time.
    for (const double every_s : {0.4, 0.6}) {
        std::vector<float> audio(12000 * 12, 0.0f);
        for (std::size_t i = 12000; i < 12000 * 11; ++i) {
            const double t = static_cast<double>(i) / kRate;
            double x = 0.1 * std::cos(2.0 * std::numbers::pi * 1400.0 * t);
            if (std::fmod(t, every_s) < 0.03) x += 0.3 * std::cos(2.0 * std::numbers::pi * 1570.0 * t);
            audio[i] = static_cast<float>(x);
        }
        testbed::add_white_noise(audio, testbed::noise_rms_for_snr(0.1 * 0.1 / 2.0, 20.0), 5);
        const testbed::ClassifierRun run = testbed::run_classifier(audio, testbed::channel_classifier_config());
        for (const auto& [number, t] : run.tracks)
            EXPECT_NE(t.last.mode, sig::Mode::RTTY) << "every " << every_s << " s: track " << number;
    }
}

// --- Broadcast and voice ------------------------------------------------------------------------

struct Programme {
    const char* name;
    bool speech;     // a speech-like programme; else band-limited noise that follows syllables
    double snr_db;   // the station's mean power over the noise in 2500 Hz
    bool only_rtty;  // only RTTY must not be named (see below)
};

void PrintTo(const Programme& p, std::ostream* os) { *os << p.name; }

class AmStation : public ::testing::TestWithParam<Programme> {};

// An AM station heard on an SSB receiver, its carrier at 1500 Hz, modulated to 80 %: no modem
// starts on it. Its carrier sits on one level of any FSK pair its sidebands make, which is no
// keyed pair. At +30 dB the Olivia test still takes the harmonics of the voice for tones, so
// that row holds the RTTY rule only.
TEST_P(AmStation, StartsNoModem) {
    const Programme& p = GetParam();
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        testbed::BroadcastAm am;
        am.depth = 0.8;
        am.seed = seed;
        std::vector<float> station;
        if (p.speech) {
            testbed::SpeechLike voice;
            voice.low_hz = 100.0;
            voice.high_hz = 1400.0;
            voice.seed = seed;
            station = testbed::amplitude_modulate(testbed::speech_like(12.0, voice), am);
        } else {
            station = testbed::broadcast_am(12.0, am);
        }
        const std::vector<float> audio = testbed::noisy_transmission(station, testbed::mean_power(station), p.snr_db, seed);
        const testbed::ClassifierRun run = testbed::run_classifier(audio, testbed::channel_classifier_config());
        for (const testbed::ClassifiedTrack* t : testbed::modem_tracks(run))
            if (!p.only_rtty || t->last.mode == sig::Mode::RTTY)
                ADD_FAILURE() << "seed " << seed << ": " << testbed::named(t->last) << " at " << t->last.audio_hz << " Hz";
    }
}

INSTANTIATE_TEST_SUITE_P(Programmes, AmStation,
                         ::testing::Values(Programme{"noise_plus_10_db", false, 10.0, false},
                                           Programme{"noise_plus_20_db", false, 20.0, false},
                                           Programme{"speech_plus_10_db", true, 10.0, false},
                                           Programme{"speech_plus_30_db", true, 30.0, true}),
                         [](const auto& info) { return info.param.name; });

// --- Input that must not break it -------------------------------------------------------------

struct BadInput {
    const char* name;
    std::vector<float> audio;
};

void PrintTo(const BadInput& input, std::ostream* os) { *os << input.name; }

std::vector<float> square_wave() {
    std::vector<float> x(12000 * 6);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = (i / 20) % 2 ? 1.0f : -1.0f;  // 300 Hz, full scale
    return x;
}

std::vector<float> with_nans() {
    std::vector<float> x = noisy_carrier(12000 * 6, 1000.0, 6);
    for (std::size_t i = 12000; i < 24000; ++i)
        x[i] = i % 3 == 0 ? std::numeric_limits<float>::quiet_NaN()
                          : (i % 3 == 1 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity());
    return x;
}

std::vector<float> huge() {
    std::vector<float> x = noisy_carrier(12000 * 6, 1000.0, 7);
    for (float& v : x) v *= 1e30f;
    return x;
}

class ClassifierSurvives : public ::testing::TestWithParam<BadInput> {};

TEST_P(ClassifierSurvives, RunsOnAndNamesNothingFalse) {
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    const std::vector<float>& audio = GetParam().audio;
    for (std::size_t at = 0; at + 1200 <= audio.size(); at += 1200) {
        const sig::ClassifierResult r = sig::classify(*state, block_of(audio, at, 1200, 0.0));
        for (const sig::Candidate& c : r.updated) {
            EXPECT_TRUE(std::isfinite(c.audio_hz));
            EXPECT_TRUE(std::isfinite(c.snr_db));
            EXPECT_TRUE(std::isfinite(c.bandwidth_hz));
        }
    }
    for (const float v : state->averaged_db) ASSERT_TRUE(std::isfinite(v));
    for (const float v : state->floor_db) ASSERT_TRUE(std::isfinite(v));
    for (const sig::ClassifierTrack& t : state->tracks)
        EXPECT_TRUE(t.mode == sig::Mode::UNKNOWN || t.mode == sig::Mode::QPSK31) << sig::mode_name(t.mode);
}

INSTANTIATE_TEST_SUITE_P(Inputs, ClassifierSurvives,
                         ::testing::Values(BadInput{"silence", std::vector<float>(12000 * 6, 0.0f)},
                                           BadInput{"full_scale_square", square_wave()},
                                           BadInput{"non_finite", with_nans()}, BadInput{"huge", huge()}),
                         [](const auto& info) { return info.param.name; });

TEST(Classifier, NonFiniteSamplesCountAsSilenceAndTheSpectrumRecovers) {
    // A carrier, then a burst of NaN and infinities, then the carrier again: the track it made
    // before the burst is still followed, with finite figures.
    auto state = sig::init_classifier(quiet_config());
    const std::vector<float> audio = with_nans();
    std::uint32_t tracks_started = 0;
    for (std::size_t at = 0; at + 1200 <= audio.size(); at += 1200) {
        const sig::ClassifierResult r = sig::classify(*state, block_of(audio, at, 1200, 0.0));
        tracks_started += static_cast<std::uint32_t>(r.started.size());
    }
    ASSERT_FALSE(state->tracks.empty());
    EXPECT_NEAR(state->tracks[0].audio_hz, 1000.0, 1.0);
    EXPECT_EQ(state->tracks[0].track, 1u);
    EXPECT_TRUE(std::isfinite(state->tracks[0].snr_2500_db));
}

TEST(Classifier, ChannelsNarrowerThanAWindowStillWork) {
    struct Range {
        double low, high;
    };
    for (const Range r : {Range{5.0, 50.0}, Range{0.0, 0.0}, Range{-100.0, -10.0}, Range{2000.0, 1000.0},
                          Range{7000.0, 9000.0}, Range{0.0, 1e9}}) {
        sig::ClassifierConfig c = testbed::channel_classifier_config();
        c.low_hz = r.low;
        c.high_hz = r.high;
        auto state = sig::init_classifier(c);
        EXPECT_GE(state->lo_bin, 1);
        EXPECT_LE(state->lo_bin, state->hi_bin);
        EXPECT_LE(state->hi_bin, state->half - 1);
        const std::vector<float> audio = noisy_carrier(12000 * 4, 30.0, 8);
        for (std::size_t at = 0; at + 1200 <= audio.size(); at += 1200)
            sig::classify(*state, block_of(audio, at, 1200, 0.0));
        SUCCEED() << r.low << ".." << r.high;
    }
    sig::ClassifierConfig tiny = testbed::channel_classifier_config();
    tiny.fft_size = 16;  // raised to 256
    tiny.hop = 0;        // raised to 1
    auto state = sig::init_classifier(tiny);
    EXPECT_EQ(state->fft_size, 256);
    EXPECT_EQ(state->hop, 1);
    sig::classify(*state, block_of(noisy_carrier(600, 1000.0, 9), 0, 600, 0.0));
    EXPECT_EQ(state->frame_counter, 600u - 255u);
}

TEST(Classifier, RefusesSettingsThatAreNotNumbers) {
    sig::ClassifierConfig c = testbed::channel_classifier_config();
    c.high_hz = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(sig::init_classifier(c), std::invalid_argument);
    c = testbed::channel_classifier_config();
    c.fft_size = 1 << 20;
    EXPECT_THROW(sig::init_classifier(c), std::invalid_argument);
}

}  // namespace
