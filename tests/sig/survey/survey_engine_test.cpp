// The survey engine's bookkeeping: how spectrum runs become candidates, how candidates are
// matched to emitters, born and forgotten, which emitters get a decoder or feature work, which
// are reported, how a decoder's clock follows the blocks, and what odd blocks do.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "core/sig/mode.hpp"
#include "sig/survey/survey_engine_impl.hpp"
#include "tests/support/stderr_tap.hpp"

namespace {

using Impl = sig::SurveyEngine::Impl;
using Emitter = sig::SurveyEngine::Emitter;

constexpr double kT0 = 1714564800.0;

sig::SurveyEngine::Config config(double rate) {
    sig::SurveyEngine::Config c;
    c.rate = rate;
    c.center_hz = 14000000.0;
    return c;
}

// An engine of 8192 bins of 100 Hz, a flat floor of 1 and a 6 dB threshold (factor 3.98).
struct Bins {
    Impl impl{config(819200.0)};
    Bins() { std::fill(impl.floor.begin(), impl.floor.end(), 1.0f); }
    void set(int from, int to, float level) {
        for (int i = from; i <= to; ++i) impl.spectrum[static_cast<std::size_t>(i)] = level;
    }
    static double hz(double bin) { return (bin - 4096.0) * 100.0; }
};

TEST(SurveyDetection, RunsBridgeGapsNarrowerThan300HzAndSpanTheirExcess) {
    struct Case {
        const char* name;
        int gap_bins;  // bins below the threshold between two stretches of 5 bins
        std::size_t runs;
    };
    for (const Case& c : {Case{"two_bins_bridged", 2, 1}, Case{"three_bins_split", 3, 2}}) {
        Bins b;
        b.set(1000, 1004, 10.0f);
        b.set(1005 + c.gap_bins, 1009 + c.gap_bins, 10.0f);
        b.impl.detect();
        ASSERT_EQ(b.impl.candidates.size(), c.runs) << c.name;
        const Impl::Candidate3& first = b.impl.candidates.front();
        EXPECT_NEAR(first.snr_db, 10.0, 1e-9) << c.name;
        if (c.runs == 2) {
            // Even excess: the 0.5 % point falls in the first bin, the 99.5 % point in the last.
            EXPECT_NEAR(first.centre_hz, Bins::hz(1002), 1e-6) << c.name;
            EXPECT_NEAR(first.bandwidth_hz, 500.0, 1e-6) << c.name;
        } else {
            EXPECT_NEAR(first.bandwidth_hz, (10 + c.gap_bins) * 100.0, 1e-6) << c.name;
        }
    }
}

TEST(SurveyDetection, EdgesCutTheFaintTailsAndASingleBinHasOneBinWidth) {
    Bins b;
    b.set(2000, 2000, 5.0f);    // excess 4: below 0.5 % of the run's excess
    b.set(2001, 2003, 800.0f);  // nearly all of it
    b.set(2004, 2004, 5.0f);
    b.set(3000, 3000, 4.0f);  // a lone bin just above the threshold
    b.impl.detect();
    ASSERT_EQ(b.impl.candidates.size(), 2u);
    EXPECT_NEAR(b.impl.candidates[0].centre_hz, Bins::hz(2002), 1e-6);
    EXPECT_NEAR(b.impl.candidates[0].bandwidth_hz, 300.0, 1e-6);
    EXPECT_NEAR(b.impl.candidates[0].snr_db, 10.0 * std::log10(800.0), 1e-6);
    EXPECT_NEAR(b.impl.candidates[1].centre_hz, Bins::hz(3000), 1e-6);
    EXPECT_NEAR(b.impl.candidates[1].bandwidth_hz, 100.0, 1e-6);
}

TEST(SurveyDetection, TheEdgesLieWhereTheRunningExcessReachesHalfAPercentFromEachEnd) {
    // A run of 100 bins of excess 1000 between faint tails; the 0.5 % point of the whole
    // excess falls in a tail bin only when that bin holds at least its share.
    struct Case {
        const char* name;
        float tail_excess;  // of the one bin on each side of the run
        double bandwidth_hz;
    };
    // Excess 100 000 + 2 t: 0.5 % of it is 500.0 + 0.01 t.
    for (const Case& c : {Case{"tails_just_under_half_a_percent", 495.0f, 10000.0},
                          Case{"tails_just_over_half_a_percent", 510.0f, 10200.0}}) {
        Bins b;
        b.set(1999, 1999, 1.0f + c.tail_excess);
        b.set(2000, 2099, 1001.0f);
        b.set(2100, 2100, 1.0f + c.tail_excess);
        b.impl.detect();
        ASSERT_EQ(b.impl.candidates.size(), 1u) << c.name;
        EXPECT_NEAR(b.impl.candidates[0].bandwidth_hz, c.bandwidth_hz, 1e-6) << c.name;
        EXPECT_NEAR(b.impl.candidates[0].centre_hz, Bins::hz(2049.5), 1e-6) << c.name;
    }
}

// Frames of a steady tone in the middle of bin 100: one spectrum frame per call.
struct Frames {
    Impl impl{config(819200.0)};
    void frame(float amplitude) {
        impl.accumulator.assign(static_cast<std::size_t>(impl.n), {0.0f, 0.0f});
        impl.accumulator_used = 0;
        for (int i = 0; i < impl.n; ++i) {
            const double phase = 2.0 * M_PI * 100.0 * i / impl.n;
            impl.accumulator[static_cast<std::size_t>(i)] = std::polar(amplitude, static_cast<float>(phase));
        }
        impl.spectrum_frame();
    }
    float bin() const { return impl.spectrum[static_cast<std::size_t>(impl.half + 100)]; }
};

TEST(SurveySpectrum, TheFirstEightFramesAreAveragedThenEachMovesItSixPercent) {
    struct Case {
        const char* name;
        int loud_frames;  // of the tone, then one silent frame
        double kept;      // of the tone's power after the silent frame
    };
    for (const Case& c : {Case{"eighth_frame_one_eighth", 7, 7.0 / 8.0}, Case{"ninth_frame_six_percent", 8, 0.94},
                          Case{"later_frames_six_percent", 20, 0.94}}) {
        Frames f;
        for (int i = 0; i < c.loud_frames; ++i) f.frame(1.0f);
        const float loud = f.bin();
        ASSERT_GT(loud, 0.0f);
        f.frame(0.0f);
        EXPECT_NEAR(f.bin() / loud, c.kept, 1e-4) << c.name;
    }
}

TEST(SurveySpectrum, TheFloorIsEachSixtyKilohertzSegmentsLowerQuartile) {
    // 100 Hz bins: segments of 600 bins, the last one 392. In every segment the values are a
    // shuffled ramp 1..m, so the floor names the rank it took.
    Bins b;
    std::mt19937 random(5);
    for (int start = 0; start < b.impl.n; start += 600) {
        const int m = std::min(600, b.impl.n - start);
        std::vector<float> ramp(static_cast<std::size_t>(m));
        for (int i = 0; i < m; ++i) ramp[static_cast<std::size_t>(i)] = static_cast<float>(i + 1);
        std::shuffle(ramp.begin(), ramp.end(), random);
        std::copy(ramp.begin(), ramp.end(), b.impl.spectrum.begin() + start);
    }
    b.impl.update_floor();
    struct Case {
        int bin;
        float floor;  // rank floor(0.25 (m - 1)) + 1
    };
    for (const Case& c : {Case{0, 150.0f}, Case{599, 150.0f}, Case{600, 150.0f}, Case{7799, 150.0f}, Case{7800, 98.0f},
                          Case{8191, 98.0f}})
        EXPECT_EQ(b.impl.floor[static_cast<std::size_t>(c.bin)], c.floor) << "bin " << c.bin;
}

// The floor seeks each segment's new quartile near its last one first; it must still be exactly
// the quartile a full sort gives, frame after frame: while the spectrum drifts slowly, when it
// jumps far from the last floor, when many bins share the quartile's value, when it is silent.
TEST(SurveySpectrum, TheFloorFollowsAChangingSpectrumExactly) {
    Bins b;
    std::fill(b.impl.floor.begin(), b.impl.floor.end(), 0.0f);
    std::mt19937 random(9);
    std::exponential_distribution<float> power(1.0f);
    std::fill(b.impl.spectrum.begin(), b.impl.spectrum.end(), 1.0f);
    const auto expect_quartiles = [&](int frame) {
        for (int start = 0; start < b.impl.n; start += 600) {
            const int end = std::min(b.impl.n, start + 600);
            std::vector<float> sorted(b.impl.spectrum.begin() + start, b.impl.spectrum.begin() + end);
            std::sort(sorted.begin(), sorted.end());
            const float want = sorted[static_cast<std::size_t>((sorted.size() - 1) / 4)];
            for (int i = start; i < end; ++i)
                ASSERT_EQ(b.impl.floor[static_cast<std::size_t>(i)], want) << "frame " << frame << ", bin " << i;
        }
    };
    for (int frame = 0; frame < 60; ++frame) {
        const float scale = frame == 30 ? 50.0f : 1.0f;  // one jump: every segment's floor moves far
        for (float& s : b.impl.spectrum) s = scale * (s + 0.06f * (power(random) - s));
        if (frame == 40)  // a quarter and more of one segment on one value
            std::fill(b.impl.spectrum.begin() + 1200, b.impl.spectrum.begin() + 1500, b.impl.floor[1200]);
        if (frame == 50) std::fill(b.impl.spectrum.begin(), b.impl.spectrum.begin() + 600, 0.0f);
        b.impl.update_floor();
        expect_quartiles(frame);
    }
}

Emitter emitter(std::uint64_t id, double hz, double bw, double snr) {
    Emitter e;
    e.id = id;
    e.frequency_hz = hz;
    e.bandwidth_hz = bw;
    e.snr_db = snr;
    e.first_seen = kT0;
    e.last_seen = kT0;
    return e;
}

TEST(SurveyAssociation, ACandidateMatchesOnlyStrictlyInsideTheLimit) {
    struct Case {
        const char* name;
        double bw;        // of the emitter
        double away;      // candidate offset from it
        double config_hz; // association distance
        bool matched;
    };
    // The limit is max(3 bins, half the bandwidth), or the configured distance.
    for (const Case& c : {Case{"half_bandwidth_inside", 1000.0, 499.0, 0.0, true},
                          Case{"half_bandwidth_exactly", 1000.0, 500.0, 0.0, false},
                          Case{"three_bins_inside", 100.0, 299.0, 0.0, true},
                          Case{"three_bins_exactly", 100.0, 300.0, 0.0, false},
                          Case{"configured_inside", 1000.0, 799.0, 800.0, true},
                          Case{"configured_exactly", 1000.0, 800.0, 800.0, false}}) {
        Bins b;
        b.impl.config.association_hz = c.config_hz;
        b.impl.frame_t = kT0 + 1.0;
        b.impl.emitters.push_back(emitter(1, 0.0, c.bw, 10.0));
        b.impl.emitters[0].hits = 4;
        b.impl.candidates = {Impl::Candidate3{c.away, 200.0, 20.0, false}};
        b.impl.associate();
        const Emitter& e = b.impl.emitters[0];
        EXPECT_EQ(e.matched, c.matched) << c.name;
        if (c.matched) {
            EXPECT_NEAR(e.frequency_hz, 0.3 * c.away, 1e-9) << c.name;
            EXPECT_NEAR(e.snr_db, 13.0, 1e-9) << c.name;
            EXPECT_EQ(e.hits, 5) << c.name;
            EXPECT_TRUE(e.confirmed) << c.name;  // the fifth hit
            EXPECT_EQ(e.last_seen, kT0 + 1.0) << c.name;
            EXPECT_EQ(e.recent_frames, 2) << c.name;
            EXPECT_EQ(e.recent_hits, 2) << c.name;
        } else {
            EXPECT_FALSE(e.confirmed) << c.name;
            EXPECT_EQ(e.recent_frames, 2) << c.name;
            EXPECT_EQ(e.recent_hits, 1) << c.name;
        }
    }
}

TEST(SurveyCreation, NewEmittersNeedThreeDbMoreAndFourHundredHertzOfRoom) {
    struct Case {
        const char* name;
        std::vector<Impl::Candidate3> candidates;
        std::size_t born;
    };
    for (const Case& c : {Case{"300_hz_apart_one", {{1000.0, 50.0, 20.0, false}, {1300.0, 50.0, 20.0, false}}, 1},
                          Case{"500_hz_apart_two", {{1000.0, 50.0, 20.0, false}, {1500.0, 50.0, 20.0, false}}, 2},
                          Case{"400_hz_apart_two", {{1000.0, 50.0, 20.0, false}, {1400.0, 50.0, 20.0, false}}, 2},
                          Case{"at_the_margin", {{1000.0, 50.0, 9.0, false}}, 1},
                          Case{"below_the_margin", {{1000.0, 50.0, 8.99, false}}, 0},
                          Case{"claimed_ones_never", {{1000.0, 50.0, 20.0, true}}, 0}}) {
        Bins b;
        b.impl.frame_t = kT0;
        b.impl.candidates = c.candidates;
        b.impl.create();
        ASSERT_EQ(b.impl.emitters.size(), c.born) << c.name;
        for (std::size_t i = 0; i < c.born; ++i) {
            EXPECT_EQ(b.impl.emitters[i].id, i + 1) << c.name;
            EXPECT_FALSE(b.impl.emitters[i].confirmed) << c.name;
            EXPECT_EQ(b.impl.emitters[i].hits, 1) << c.name;
        }
    }
    // Near an existing emitter, matched or not, nothing is born.
    Bins b;
    b.impl.emitters.push_back(emitter(9, 1000.0, 50.0, 20.0));
    b.impl.candidates = {{1399.0, 50.0, 30.0, false}};
    b.impl.create();
    EXPECT_EQ(b.impl.emitters.size(), 1u);
}

TEST(SurveyAgeing, AnEmitterUnseenForMoreThanTwoSecondsIsForgotten) {
    Bins b;
    b.impl.frame_t = kT0 + 10.0;
    b.impl.emitters.push_back(emitter(1, 0.0, 50.0, 20.0));
    b.impl.emitters.push_back(emitter(2, 5000.0, 50.0, 20.0));
    b.impl.emitters.push_back(emitter(3, 9000.0, 50.0, 20.0));
    b.impl.emitters[0].last_seen = kT0 + 8.0;  // exactly 2 s
    b.impl.emitters[1].last_seen = kT0 + 7.999;
    b.impl.emitters[2].last_seen = kT0 + 9.9;
    b.impl.age();
    ASSERT_EQ(b.impl.emitters.size(), 2u);
    EXPECT_EQ(b.impl.emitters[0].id, 1u);
    EXPECT_EQ(b.impl.emitters[1].id, 3u);
}

// n confirmed emitters with SNR 30, 29, ... (id 1 strongest), each with a decoder.
std::unique_ptr<Impl> ranked_engine(int n, int max_decoders) {
    auto engine = std::make_unique<Impl>(config(96000.0));
    Impl& impl = *engine;
    impl.config.max_decoders = max_decoders;
    for (int i = 0; i < n; ++i) {
        Emitter e = emitter(static_cast<std::uint64_t>(i + 1), 1000.0 * i, 50.0, 30.0 - i);
        e.confirmed = true;
        e.decoder = std::make_unique<sig::SurveyEngine::EmitterDecoder>(14000000.0, "");
        impl.emitters.push_back(std::move(e));
    }
    return engine;
}

TEST(SurveyRanking, TheStrongestConfirmedEmittersUpToTheCapDecode) {
    struct Case {
        const char* name;
        int emitters;
        int cap;
        int selected;
    };
    for (const Case& c : {Case{"twenty_under_sixteen", 20, 16, 16}, Case{"cap_zero", 5, 0, 0}, Case{"cap_negative", 5, -3, 0},
                          Case{"fewer_than_the_cap", 3, 16, 3}}) {
        const std::unique_ptr<Impl> engine = ranked_engine(c.emitters, c.cap);
        Impl& impl = *engine;
        impl.rank();
        for (int i = 0; i < c.emitters; ++i) {
            const Emitter& e = impl.emitters[static_cast<std::size_t>(i)];
            EXPECT_EQ(e.selected, i < c.selected) << c.name << " emitter " << e.id;
            EXPECT_EQ(e.decoder != nullptr, e.selected) << c.name << " emitter " << e.id;
        }
    }
    // An emitter that rises into the top sixteen is selected; the one it displaces loses its decoder.
    const std::unique_ptr<Impl> engine = ranked_engine(20, 16);
    Impl& impl = *engine;
    impl.rank();
    impl.emitters[19].snr_db = 40.0;
    impl.rank();
    EXPECT_TRUE(impl.emitters[19].selected);
    EXPECT_FALSE(impl.emitters[15].selected);
    EXPECT_EQ(impl.emitters[15].decoder, nullptr);
    // Equal SNR: the newer one first; unconfirmed ones never.
    const std::unique_ptr<Impl> tied = ranked_engine(2, 1);
    Impl& tie = *tied;
    tie.emitters[0].snr_db = tie.emitters[1].snr_db = 20.0;
    tie.emitters[1].first_seen = kT0 + 1.0;
    tie.emitters.push_back(emitter(3, 9000.0, 50.0, 50.0));
    tie.rank();
    EXPECT_FALSE(tie.emitters[0].selected);
    EXPECT_TRUE(tie.emitters[1].selected);
    EXPECT_FALSE(tie.emitters[2].selected);
}

// An emitter whose decoder holds an unfinished Olivia line (such a line waits 5 s, longer than
// an emitter is kept once unseen) from 10.0 s on, having heard up to 11.0 s.
Emitter holding_a_line(std::uint64_t id, double hz, double snr) {
    Emitter e = emitter(id, hz, 250.0, snr);
    e.confirmed = e.selected = true;
    e.decoder = std::make_unique<sig::SurveyEngine::EmitterDecoder>(14000000.0 + hz, "");
    sig::Candidate track;
    track.track = 3;
    track.mode = sig::Mode::OLIVIA;
    track.variant = "8/250";
    track.audio_hz = 1510.0;
    track.bandwidth_hz = 250.0;
    track.snr_2500_db = 4.0;
    e.decoder->tracks[3] = track;
    e.decoder->assembler.append(track, "CQ DE Q7OLI Q7OLI K", kT0 + 10.0);
    e.decode_clock = kT0 + 11.0;
    return e;
}

TEST(SurveyDecoderRelease, ADecoderLetGoFinishesTheLineItHolds) {
    struct Case {
        const char* name;
        void (*release)(Impl&, std::vector<sig::Event>&);
    };
    const std::vector<Case> cases = {
        {"ranked_out", [](Impl& impl, std::vector<sig::Event>&) {
             impl.config.max_decoders = 1;
             Emitter stronger = emitter(2, 20000.0, 50.0, 40.0);
             stronger.confirmed = true;
             impl.emitters.push_back(std::move(stronger));
             impl.rank();
         }},
        {"aged_out", [](Impl& impl, std::vector<sig::Event>&) {
             impl.frame_t = kT0 + 12.1;
             impl.emitters[0].last_seen = kT0 + 10.0;
             impl.age();
         }},
        {"extraction_failed", [](Impl& impl, std::vector<sig::Event>& events) {
             StderrTap tap;
             impl.emitters[0].frequency_hz = std::numeric_limits<double>::quiet_NaN();
             const std::vector<std::complex<float>> iq(4800, {0.1f, 0.0f});
             impl.emitter_work(impl.emitters[0], iq.data(), iq.size(), kT0 + 11.0, events);
         }},
        {"survey_stops", [](Impl& impl, std::vector<sig::Event>& events) { impl.flush(events); }},
    };
    for (const Case& c : cases) {
        Impl impl(config(96000.0));
        impl.emitters.push_back(holding_a_line(1, 5000.0, 20.0));
        std::vector<sig::Event> events;
        c.release(impl, events);
        events.insert(events.end(), impl.released.begin(), impl.released.end());
        ASSERT_EQ(events.size(), 2u) << c.name;  // the line and its spot
        const sig::Event& line = events[0];
        EXPECT_EQ(line.kind, sig::EventKind::TEXT) << c.name;
        EXPECT_EQ(line.text, "CQ DE Q7OLI Q7OLI K") << c.name;
        EXPECT_EQ(line.mode, sig::Mode::OLIVIA) << c.name;
        EXPECT_EQ(line.variant, "8/250") << c.name;
        EXPECT_EQ(line.t, kT0 + 10.0) << c.name;  // when its text came
        EXPECT_DOUBLE_EQ(line.rf_hz, 14005010.0) << c.name;  // the emitter at 1500 Hz in its audio
        EXPECT_EQ(line.track, 3u) << c.name;
        EXPECT_EQ(events[1].kind, sig::EventKind::SPOT) << c.name;
        EXPECT_EQ(events[1].call, "Q7OLI") << c.name;
        if (!impl.emitters.empty() && impl.emitters[0].id == 1) {
            EXPECT_EQ(impl.emitters[0].calls.size(), 1u) << c.name;
        }
    }
}

TEST(SurveyDecoderPreroll, ANewDecoderFirstHearsUpToTwoSecondsOfTheEmittersRecentAudio) {
    struct Case {
        const char* name;
        int blocks_before;   // of 0.05 s with work but no decoder
        double gap_s;        // before the block that makes the decoder
        double heard_until;  // by an earlier decoder of the emitter; 0 none
        double preroll_s;    // heard by the new decoder before its first block
    };
    for (const Case& c : {Case{"two_seconds_of_three", 60, 0.0, 0.0, 2.0},
                          Case{"the_half_second_there_is", 10, 0.0, 0.0, 0.5},
                          Case{"none_after_a_gap", 60, 1.5, 0.0, 0.0},
                          Case{"not_what_an_earlier_decoder_heard", 60, 0.0, 2.5, 0.5},
                          Case{"none_when_it_heard_all", 60, 0.0, 3.0, 0.0}}) {
        Impl impl(config(96000.0));
        impl.emitters.push_back(emitter(1, 10000.0, 50.0, 20.0));
        Emitter& e = impl.emitters[0];
        e.confirmed = e.has_work = true;
        e.heard_until = c.heard_until > 0.0 ? kT0 + c.heard_until : 0.0;
        const std::vector<std::complex<float>> iq(4800, {0.1f, 0.0f});
        std::vector<sig::Event> events;
        double t = kT0;
        for (int i = 0; i < c.blocks_before; ++i, t += 0.05) impl.emitter_work(e, iq.data(), iq.size(), t, events);
        EXPECT_EQ(e.decoder, nullptr) << c.name;
        t += c.gap_s;
        e.selected = true;
        impl.emitter_work(e, iq.data(), iq.size(), t, events);
        ASSERT_TRUE(e.decoder) << c.name;
        const sig::SurveyEngine::EmitterDecoder& d = *e.decoder;
        ASSERT_FALSE(d.preroll.empty()) << c.name;
        EXPECT_NEAR(d.preroll.front().time, t - c.preroll_s, 1e-9) << c.name;
        EXPECT_EQ(d.preroll_samples, static_cast<std::size_t>(std::lround((c.preroll_s + 0.05) * 12000.0))) << c.name;
        EXPECT_NEAR(e.decode_clock, t + 0.05, 1e-9) << c.name;
        EXPECT_EQ(d.preroll.size(), 1u) << c.name;
    }
}

TEST(SurveyWorkSet, UnselectedEmittersGetFeatureWorkSixteenAtATimeInTwoSecondWindows) {
    struct Case {
        const char* name;
        int waiting;     // confirmed, unselected, at most 30 kHz
        double elapsed;  // since the first block
        int from, to;    // the window of them with work
    };
    for (const Case& c : {Case{"start", 40, 0.0, 0, 16}, Case{"before_two_seconds", 40, 1.99, 0, 16},
                          Case{"second_window", 40, 2.0, 16, 32}, Case{"last_window_is_short", 40, 4.5, 32, 40},
                          Case{"round_again", 40, 6.0, 0, 16}, Case{"one_group", 10, 7.0, 0, 10}}) {
        Impl impl(config(96000.0));
        impl.first_block_t = kT0;
        Emitter selected = emitter(100, -20000.0, 50.0, 50.0);
        selected.confirmed = selected.selected = true;
        impl.emitters.push_back(std::move(selected));
        Emitter wide = emitter(101, -30000.0, 40000.0, 40.0);
        wide.confirmed = true;
        impl.emitters.push_back(std::move(wide));
        for (int i = 0; i < c.waiting; ++i) {
            Emitter e = emitter(static_cast<std::uint64_t>(i + 1), 500.0 * i, 50.0, 20.0);
            e.confirmed = true;
            e.history.assign(100, {1.0f, 0.0f});
            e.decodable_streak = 1;
            impl.emitters.push_back(std::move(e));
        }
        impl.choose_work(kT0 + c.elapsed);
        EXPECT_TRUE(impl.emitters[0].has_work) << c.name;
        EXPECT_FALSE(impl.emitters[1].has_work) << c.name;  // too wide without a decoder
        for (int i = 0; i < c.waiting; ++i) {
            const Emitter& e = impl.emitters[static_cast<std::size_t>(i + 2)];
            const bool work = i >= c.from && i < c.to;
            EXPECT_EQ(e.has_work, work) << c.name << " emitter " << i;
            // Without work an emitter keeps no history and no streak.
            EXPECT_EQ(e.history.empty(), !work) << c.name << " emitter " << i;
            EXPECT_EQ(e.decodable_streak, work ? 1 : 0) << c.name << " emitter " << i;
        }
    }
}

// A confirmed emitter that passes every test of the report filter by the smallest margin.
Emitter reportable() {
    Emitter e = emitter(7, 74000.0, 60.0, 8.0);  // min SNR 6 + 2
    e.confirmed = true;
    e.first_seen = 1000.0;
    e.last_seen = 1003.0;
    e.hits = 12;
    e.decodable_until = 1010.0;
    return e;
}

TEST(SurveyReportFilter, OnlyDecodableSeenAndStrongEmittersAreReportedUnlessLocked) {
    struct Case {
        const char* name;
        void (*change)(Emitter&);
        bool reported;
    };
    const std::vector<Case> cases = {
        {"every_margin_exact", [](Emitter&) {}, true},
        {"eleven_hits", [](Emitter& e) { e.hits = 11; }, false},
        {"seen_just_under_3_s", [](Emitter& e) { e.last_seen = 1002.99; }, false},
        {"one_db_weaker", [](Emitter& e) { e.snr_db = 7.0; }, false},
        {"hold_passed", [](Emitter& e) { e.decodable_until = 1009.999; }, false},
        {"never_decodable", [](Emitter& e) { e.decodable_until = 0.0; }, false},
        {"locked_weak_and_new", [](Emitter& e) {
             e.locked = true;
             e.hits = 1;
             e.snr_db = 0.0;
             e.last_seen = e.first_seen;
             e.decodable_until = 0.0;
         }, true},
        {"unconfirmed_even_locked", [](Emitter& e) {
             e.confirmed = false;
             e.locked = true;
         }, false},
    };
    for (const Case& c : cases) {
        Impl impl(config(96000.0));
        impl.frame_t = 1010.0;
        Emitter e = reportable();
        c.change(e);
        impl.emitters.push_back(std::move(e));
        const std::vector<sig::EmitterReport> reports = impl.collect_reports();
        EXPECT_EQ(reports.size(), c.reported ? 1u : 0u) << c.name;
        EXPECT_EQ(impl.counts.reported, c.reported ? 1u : 0u) << c.name;
    }
}

TEST(SurveyReportFilter, AReportCarriesTheEmittersViewAndItsBandAndTheCountsAddUp) {
    Impl impl(config(96000.0));
    impl.frame_t = 1010.0;
    Emitter ham = reportable();
    ham.selected = true;
    ham.mode = static_cast<std::int32_t>(sig::Mode::PSK31);
    ham.variant = "v";
    ham.locked = true;
    ham.signal_class = 7;
    ham.text = "CQ";
    ham.recent_hits = 8;
    ham.recent_frames = 10;
    impl.emitters.push_back(std::move(ham));
    Emitter other = reportable();
    other.id = 8;
    other.frequency_hz = 350001.0;  // 14.350001 MHz: just above 20 m
    other.recent_hits = 7;
    other.recent_frames = 10;
    impl.emitters.push_back(std::move(other));
    const std::vector<sig::EmitterReport> reports = impl.collect_reports();
    ASSERT_EQ(reports.size(), 2u);
    const sig::EmitterReport& r = reports[0];
    EXPECT_EQ(r.id, 7u);
    EXPECT_EQ(r.rf_hz, 14074000.0);
    EXPECT_EQ(r.offset_hz, 74000.0);
    EXPECT_EQ(r.category, 0u);
    EXPECT_TRUE(r.decoding);
    EXPECT_TRUE(r.steady);
    EXPECT_EQ(r.mode, 1u);
    EXPECT_EQ(r.variant, "v");
    EXPECT_EQ(r.signal_class, 7u);
    EXPECT_EQ(r.text, "CQ");
    EXPECT_EQ(reports[1].category, 1u);
    EXPECT_FALSE(reports[1].decoding);
    EXPECT_FALSE(reports[1].steady);  // 70 % is not more than 70 %
    EXPECT_EQ(impl.counts.reported, 2u);
    EXPECT_EQ(impl.counts.decoding, 1u);
    EXPECT_EQ(impl.counts.not_decoding, 1u);
}

// A carrier 5 kHz above the centre of a 48 kHz capture in noise, from sample `from` on.
std::vector<std::complex<float>> carrier(std::size_t from, std::size_t count, std::uint32_t seed) {
    std::vector<std::complex<float>> out(count);
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0f, 0.01f);
    for (std::size_t i = 0; i < count; ++i) {
        const double phase = 2.0 * M_PI * 5000.0 * static_cast<double>(from + i) / 48000.0;
        out[i] = std::complex<float>(static_cast<float>(0.3 * std::cos(phase)) + noise(random),
                                     static_cast<float>(0.3 * std::sin(phase)) + noise(random));
    }
    return out;
}

// Feeds blocks of 0.1 s until the carrier has a decoder; returns the time after the last block.
double until_decoding(Impl& impl) {
    double t = kT0;
    for (std::size_t block = 0; block < 40; ++block) {
        const std::vector<std::complex<float>> iq = carrier(block * 4800, 4800, static_cast<std::uint32_t>(block));
        impl.process(iq.data(), iq.size(), t);
        t += 0.1;
        if (block > 20 && !impl.emitters.empty() && impl.emitters[0].decoder) return t;
    }
    ADD_FAILURE() << "no decoder";
    return t;
}

TEST(SurveyDecodeClock, ABlockMoreThanASecondOffTheDecodeClockRestartsItThere) {
    struct Case {
        const char* name;
        double jump;  // of the block time, beyond the expected 0.1 s
        bool restarts;
    };
    for (const Case& c : {Case{"small_step", 0.9, false}, Case{"samples_lost", 1.1, true}, Case{"backwards", -1.1, true},
                          Case{"in_step", 0.0, false}}) {
        Impl impl(config(48000.0));
        double t = until_decoding(impl);
        ASSERT_FALSE(impl.emitters.empty());
        Emitter& e = impl.emitters[0];
        ASSERT_TRUE(e.decoder) << c.name;
        const double clock = e.decode_clock;
        EXPECT_NEAR(clock, t, 0.02) << c.name;  // the decoder keeps pace with the blocks
        t += c.jump;
        const std::vector<std::complex<float>> iq = carrier(0, 4800, 99);
        impl.process(iq.data(), iq.size(), t);
        const double audio_s = e.decoder->block.samples.size() / 12000.0;
        EXPECT_EQ(e.decoder->block.discontinuity, c.restarts) << c.name;
        EXPECT_DOUBLE_EQ(e.decoder->block.time, c.restarts ? t : clock) << c.name;
        EXPECT_DOUBLE_EQ(e.decode_clock, (c.restarts ? t : clock) + audio_s) << c.name;
        // The next block in step is no discontinuity.
        impl.process(iq.data(), iq.size(), t + 0.1);
        EXPECT_FALSE(e.decoder->block.discontinuity) << c.name;
    }
}

TEST(SurveyExtraction, ADriftingEmitterIsRetunedAndAWideOneGetsAWidebandExtractorOfItsRate) {
    const std::vector<std::complex<float>> iq(4800, {0.1f, 0.0f});
    Impl impl(config(96000.0));
    impl.emitters.push_back(emitter(1, 10000.0, 50.0, 20.0));
    Emitter& e = impl.emitters[0];
    e.has_work = true;
    std::vector<sig::Event> events;
    impl.emitter_work(e, iq.data(), iq.size(), kT0, events);
    ASSERT_TRUE(e.audio);
    const sig::EmitterExtractor* audio = e.audio.get();
    EXPECT_EQ(audio->output_rate(), 12000.0);
    EXPECT_EQ(e.history.size(), 600u);  // 0.05 s at 12000 Hz
    // 150 Hz of drift keeps the mixer where it was; more moves it, in the same extractor.
    e.frequency_hz = 10150.0;
    impl.emitter_work(e, iq.data(), iq.size(), kT0 + 0.05, events);
    EXPECT_EQ(e.audio.get(), audio);
    EXPECT_EQ(e.audio->mixing_offset(), 10000.0);
    e.frequency_hz = 10151.0;
    impl.emitter_work(e, iq.data(), iq.size(), kT0 + 0.1, events);
    EXPECT_EQ(e.audio.get(), audio);
    EXPECT_EQ(e.audio->mixing_offset(), 10151.0);

    struct Step {
        double bw;
        bool selected;
        double rate;   // of the wideband extractor, 0 for none
        bool rebuilt;  // a new wideband extractor and a fresh history
    };
    const sig::EmitterExtractor* wide = nullptr;
    for (const Step& s : {Step{10000.0, false, 24000.0, true}, Step{11000.0, false, 24000.0, false},
                          Step{20000.0, false, 40000.0, true}, Step{30000.0, false, 60000.0, true},
                          Step{6000.0, true, 0.0, false}, Step{40000.0, true, 64000.0, true}}) {
        e.bandwidth_hz = s.bw;
        e.selected = s.selected;
        const std::size_t before = e.history.size();
        impl.emitter_work(e, iq.data(), iq.size(), kT0 + 0.15, events);
        if (s.rate == 0.0) {
            EXPECT_EQ(e.wide, nullptr) << s.bw;
            EXPECT_EQ(e.history_rate, 12000.0) << s.bw;
            wide = nullptr;
            continue;
        }
        ASSERT_TRUE(e.wide) << s.bw;
        EXPECT_EQ(e.wide->output_rate(), s.rate) << s.bw;
        EXPECT_EQ(e.history_rate, s.rate) << s.bw;
        EXPECT_EQ(e.wide.get() != wide, s.rebuilt) << s.bw;
        if (!s.rebuilt) {
            EXPECT_GT(e.history.size(), before) << s.bw;
        }
        wide = e.wide.get();
    }
}

// The frequency measured for an MFSK emitter swings with the tone it sends, by more than the
// 150 Hz that retunes an extractor; a retune would move the whole audio under a running decoder.
// So a decoder keeps its tuning until its emitter is more than 1000 Hz away, and then a new one
// starts at the new tuning. A decoder's dial is where the mixer puts 1500 Hz of its audio.
TEST(SurveyExtraction, ADecodingEmitterKeepsItsTuningWithinAKilohertzAndItsDialIsTheMixers) {
    const std::vector<std::complex<float>> iq(4800, {0.1f, 0.0f});
    Impl impl(config(96000.0));
    impl.emitters.push_back(emitter(1, 10000.0, 1000.0, 20.0));
    Emitter& e = impl.emitters[0];
    e.has_work = true;
    std::vector<sig::Event> events;
    double t = kT0;
    impl.emitter_work(e, iq.data(), iq.size(), t, events);
    // Selected 100 Hz away from where the mixer was put: the mixer stays, and so does the dial.
    e.selected = true;
    e.frequency_hz = 10100.0;
    impl.emitter_work(e, iq.data(), iq.size(), t += 0.05, events);
    ASSERT_TRUE(e.decoder);
    EXPECT_EQ(e.decoder->context.dial_hz, 14000000.0 + 10000.0 - 1500.0);
    struct Step {
        double frequency_hz;
        double mixer_hz;  // the audio extractor's tuning afterwards
        bool new_decoder;
    };
    for (const Step& s : {Step{10400.0, 10000.0, false}, Step{9000.0, 10000.0, false}, Step{11000.0, 10000.0, false},
                          Step{11001.0, 11001.0, true}, Step{10200.0, 11001.0, false}}) {
        const sig::SurveyEngine::EmitterDecoder* before = e.decoder.get();
        const std::uint64_t blocks = before->block_counter;
        e.frequency_hz = s.frequency_hz;
        impl.emitter_work(e, iq.data(), iq.size(), t += 0.05, events);
        ASSERT_TRUE(e.decoder) << s.frequency_hz;
        EXPECT_EQ(e.audio->mixing_offset(), s.mixer_hz) << s.frequency_hz;
        EXPECT_EQ(e.decoder->context.dial_hz, 14000000.0 + s.mixer_hz - 1500.0) << s.frequency_hz;
        // A new decoder has heard this block alone; the kept one has heard one more.
        EXPECT_EQ(e.decoder->block_counter, s.new_decoder ? 1u : blocks + 1) << s.frequency_hz;
    }
}

TEST(SurveyExtraction, AnEmitterThatCannotBeExtractedLosesItsDecoderWithOneLine) {
    StderrTap tap;
    Impl impl(config(96000.0));
    Emitter e = emitter(42, 1000.0, 50.0, 20.0);
    e.confirmed = e.selected = true;
    e.mode = 6;
    e.locked = true;
    e.history.assign(10, {1.0f, 0.0f});
    impl.emitters.push_back(std::move(e));
    impl.emitters[0].frequency_hz = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::complex<float>> iq(4800, {0.1f, 0.0f});
    std::vector<sig::Event> events;
    impl.emitter_work(impl.emitters[0], iq.data(), iq.size(), kT0, events);
    const Emitter& after = impl.emitters[0];
    EXPECT_FALSE(after.selected);
    EXPECT_EQ(after.decoder, nullptr);
    EXPECT_EQ(after.audio, nullptr);
    EXPECT_EQ(after.mode, 0);
    EXPECT_FALSE(after.locked);
    EXPECT_EQ(after.history.size(), 10u);
    EXPECT_TRUE(tap.wait_for("survey: emitter 42 extraction error (", std::chrono::milliseconds(2000)));
    EXPECT_NE(tap.text().find("); dropping its decoder\n"), std::string::npos);
}

TEST(SurveyFeatures, AnEmitterIsMeasuredAtMostEveryHalfSecond) {
    Impl impl(config(96000.0));
    Emitter e = emitter(1, 1000.0, 50.0, 20.0);
    e.confirmed = true;
    impl.emitters.push_back(std::move(e));
    impl.emitters.push_back(emitter(2, 5000.0, 50.0, 20.0));  // unconfirmed: never
    impl.feature_pass(kT0);
    EXPECT_EQ(impl.emitters[0].last_feature_t, kT0);
    impl.feature_pass(kT0 + 0.49);
    EXPECT_EQ(impl.emitters[0].last_feature_t, kT0);
    impl.feature_pass(kT0 + 0.5);
    EXPECT_EQ(impl.emitters[0].last_feature_t, kT0 + 0.5);
    EXPECT_EQ(impl.emitters[1].last_feature_t, 0.0);
}

TEST(SurveyOddBlocks, EmptySilentAndNonFiniteBlocksLeaveAWorkingEngine) {
    Impl impl(config(48000.0));
    impl.process(nullptr, 0, kT0);
    std::vector<std::complex<float>> iq(4800);
    impl.process(iq.data(), 0, kT0);
    EXPECT_EQ(impl.first_block_t, 0.0);  // nothing happened
    EXPECT_TRUE(impl.accumulator.empty());

    // Two seconds of silence: no emitter, nothing published.
    for (int i = 0; i < 20; ++i) impl.process(iq.data(), iq.size(), kT0 + 0.1 * i);
    EXPECT_GE(impl.frames, 8);
    EXPECT_TRUE(impl.emitters.empty());
    EXPECT_TRUE(impl.published.empty());

    // A block full of NaN and infinities with a NaN time: it counts as silence and follows on.
    std::vector<std::complex<float>> bad(4800, {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()});
    const double before = impl.last_end;
    impl.process(bad.data(), bad.size(), std::numeric_limits<double>::quiet_NaN());
    EXPECT_DOUBLE_EQ(impl.last_end, before + 0.1);
    for (const float s : impl.spectrum) ASSERT_TRUE(std::isfinite(s));

    // A carrier afterwards is still found and decoded.
    double t = kT0 + 2.1;
    for (std::size_t block = 0; block < 30; ++block, t += 0.1) {
        const std::vector<std::complex<float>> c = carrier(block * 4800, 4800, static_cast<std::uint32_t>(block));
        impl.process(c.data(), c.size(), t);
    }
    ASSERT_EQ(impl.emitters.size(), 1u);
    EXPECT_NEAR(impl.emitters[0].frequency_hz, 5000.0, 10.0);
    EXPECT_TRUE(impl.emitters[0].confirmed);
    EXPECT_TRUE(impl.emitters[0].decoder);
}

TEST(SurveyOddBlocks, NoEmitterBeforeTheEighthFrame) {
    Impl impl(config(48000.0));
    // 7 frames need 8192 + 6 * 4096 samples; a strong carrier in all of them.
    const std::vector<std::complex<float>> iq = carrier(0, 8192 + 6 * 4096, 1);
    impl.process(iq.data(), iq.size(), kT0);
    EXPECT_EQ(impl.frames, 7);
    EXPECT_TRUE(impl.emitters.empty());
    const std::vector<std::complex<float>> more = carrier(iq.size(), 4096, 2);
    impl.process(more.data(), more.size(), kT0 + iq.size() / 48000.0);
    EXPECT_EQ(impl.frames, 8);
    EXPECT_EQ(impl.emitters.size(), 1u);
}

}  // namespace
