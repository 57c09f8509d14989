// One survey emitter's decoder: when a modem's output confirms its mode, when a silent decoder
// lets go of it, how its events are completed, how its calls and text are kept, and that a
// failing modem is reported once. The modem here plays a script of outputs, one per block, so
// each count and time is exact; the classifier is the real one, on silence.

#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "sig/survey/merge_callsign_evidence.hpp"
#include "sig/survey/survey_engine_impl.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/test_signal.hpp"
#include "tests/support/stderr_tap.hpp"

namespace {

using Decoder = sig::SurveyEngine::EmitterDecoder;

constexpr double kT0 = 1714564800.0;
constexpr double kRf = 14080000.0;

// A modem that hands back the next scripted output after each block.
class ScriptedModem final : public sig::Modem {
public:
    ScriptedModem(sig::Mode mode, std::deque<sig::ModemOutput> script, bool throws = false)
        : mode_(mode), script_(std::move(script)), throws_(throws) {}
    sig::Mode mode() const override { return mode_; }
    void process(const sig::AudioBlock& block) override {
        if (throws_) throw std::runtime_error("demodulator fault");
        discontinuities.push_back(block.discontinuity);
        if (!script_.empty()) {
            pending_ = std::move(script_.front());
            script_.pop_front();
        } else {
            pending_ = {};
        }
    }
    void set_frequency(double audio_hz) override { tuned.push_back(audio_hz); }
    void reset() override {}
    sig::ModemOutput take_output() override { return std::exchange(pending_, {}); }

    std::vector<bool> discontinuities;
    std::vector<double> tuned;

private:
    sig::Mode mode_;
    std::deque<sig::ModemOutput> script_;
    bool throws_;
    sig::ModemOutput pending_;
};

sig::ModemOutput text(const std::string& t) {
    sig::ModemOutput out;
    out.text = t;
    return out;
}

sig::ModemOutput picture(sig::EventKind kind) {
    sig::ModemOutput out;
    sig::Event e;
    e.kind = kind;
    out.events.push_back(e);
    return out;
}

struct Harness {
    sig::SurveyEngine::Impl engine{[] {
        sig::SurveyEngine::Config c;
        c.rate = 96000.0;
        c.center_hz = 14000000.0;
        return c;
    }()};
    Decoder decoder{kRf, ""};
    ScriptedModem* modem = nullptr;
    std::vector<sig::Event> events;
    double t = kT0;

    // Starts the scripted modem as if the classifier had proposed it for a track.
    void start(sig::Mode mode, std::deque<sig::ModemOutput> script, std::uint32_t track = 0, bool throws = false) {
        auto m = std::make_unique<ScriptedModem>(mode, std::move(script), throws);
        modem = m.get();
        decoder.modem = std::move(m);
        decoder.active_track = track;
        decoder.modem_hz = 1500.0;
        decoder.pending_mode = static_cast<std::uint32_t>(mode);
        decoder.pending_variant = "v1";
        decoder.candidate_quality = 0.4f;
    }

    // One second of silent audio through the decoder.
    void block(double seconds = 1.0) {
        const std::vector<float> audio(static_cast<std::size_t>(seconds * 12000.0), 0.0f);
        engine.decode_emitter(t, decoder, audio, events);
        t += seconds;
    }
};

TEST(SurveyDecoderLock, OnlyTheThirdLetterOrDigitOrAPictureLocks) {
    struct Case {
        const char* name;
        std::vector<sig::ModemOutput> outputs;
        bool locked;
    };
    const std::vector<Case> cases = {
        {"two_alphanumerics_in_all", {text("a"), text(" "), text("b.")}, false},
        {"the_third_one_locks", {text("a"), text("b"), text("-3")}, true},
        {"three_at_once", {text("Q1A")}, true},
        {"punctuation_does_not_count", {text("a b"), text(".,;!?"), text("   ")}, false},
        {"picture_progress_locks", {picture(sig::EventKind::WEFAX_PROGRESS)}, true},
        {"picture_saved_locks", {picture(sig::EventKind::WEFAX_IMAGE)}, true},
        {"picture_start_does_not", {picture(sig::EventKind::WEFAX_START)}, false},
    };
    for (const Case& c : cases) {
        Harness h;
        h.start(sig::Mode::PSK31, std::deque<sig::ModemOutput>(c.outputs.begin(), c.outputs.end()));
        for (std::size_t i = 0; i < c.outputs.size(); ++i) h.block();
        EXPECT_EQ(h.decoder.locked, c.locked) << c.name;
        if (c.locked) {
            EXPECT_EQ(h.decoder.mode, static_cast<std::uint32_t>(sig::Mode::PSK31)) << c.name;
            EXPECT_EQ(h.decoder.variant, "v1") << c.name;
            EXPECT_EQ(h.decoder.lock_time, h.t) << c.name;  // the end of the confirming block
            EXPECT_FLOAT_EQ(h.decoder.quality, 0.4f) << c.name;
        } else {
            EXPECT_EQ(h.decoder.mode, 0u) << c.name;
        }
    }
}

TEST(SurveyDecoderLock, ASilentLockedDecoderLetsGoFifteenSecondsAfterItsLastText) {
    struct Case {
        const char* name;
        int text_blocks;     // blocks with text, then silent ones
        int silent_blocks;
        bool locked;
    };
    for (const Case& c : {Case{"fifteen_silent_seconds_hold", 3, 15, true},
                          Case{"the_sixteenth_lets_go", 3, 16, false},
                          Case{"text_renews_the_lock", 10, 15, true}}) {
        Harness h;
        std::deque<sig::ModemOutput> script;
        for (int i = 0; i < c.text_blocks; ++i) script.push_back(text("K"));
        h.start(sig::Mode::CW, script);
        for (int i = 0; i < c.text_blocks + c.silent_blocks; ++i) h.block();
        EXPECT_EQ(h.decoder.locked, c.locked) << c.name;
        EXPECT_EQ(h.decoder.modem != nullptr, c.locked) << c.name;
        EXPECT_EQ(h.decoder.mode, c.locked ? static_cast<std::uint32_t>(sig::Mode::CW) : 0u) << c.name;
        if (!c.locked) {
            EXPECT_EQ(h.decoder.variant, "") << c.name;
            EXPECT_EQ(h.decoder.alnum_count, 0u) << c.name;
            EXPECT_EQ(h.decoder.active_track, 0u) << c.name;
        }
    }
}

TEST(SurveyDecoderLock, ALockedDecoderWhoseSignalEndsKeepsItsModeUntilTheLockRunsOut) {
    // A real PSK31 call in the emitter's audio at 1500 Hz, then silence.
    testbed::PskSignal psk;
    psk.carrier_hz = 1500.0;
    std::vector<float> audio = testbed::modulate_psk_text("CQ CQ DE Q1ABC Q1ABC PSE K\nCQ CQ DE Q1ABC K\n", psk);
    const double signal_s = static_cast<double>(audio.size()) / 12000.0;
    audio.resize(audio.size() + 30 * 12000, 0.0f);
    testbed::add_white_noise(audio, 0.01, 3);

    Harness h;
    double last_text = 0.0;
    bool modem_gone_while_locked = false;
    for (std::size_t at = 0; at + 6000 <= audio.size(); at += 6000) {
        const std::vector<float> block(audio.begin() + static_cast<std::ptrdiff_t>(at),
                                       audio.begin() + static_cast<std::ptrdiff_t>(at + 6000));
        const std::size_t before = h.decoder.text.size();
        h.engine.decode_emitter(h.t, h.decoder, block, h.events);
        h.t += 0.5;
        if (h.decoder.text.size() != before) last_text = h.t;
        if (h.decoder.locked && !h.decoder.modem) {
            modem_gone_while_locked = true;
            // Locked, the decoder starts no modem of its own while it waits.
            EXPECT_EQ(h.decoder.mode, static_cast<std::uint32_t>(sig::Mode::PSK31));
            EXPECT_EQ(h.decoder.active_track, 0u);
        }
        if (h.t > kT0 + signal_s + 1.0 && h.decoder.locked) {
            EXPECT_LE(h.t - h.decoder.lock_time, 15.0);
        }
    }
    EXPECT_NE(h.decoder.text.find("Q1ABC"), std::string::npos) << h.decoder.text;
    EXPECT_TRUE(modem_gone_while_locked);  // the track was lost before the lock ran out
    EXPECT_FALSE(h.decoder.locked);
    EXPECT_EQ(h.decoder.mode, 0u);
    EXPECT_GT(last_text, kT0);
}

sig::Candidate named_track(std::uint32_t track, sig::Mode mode, const char* variant, double audio_hz, double bandwidth_hz) {
    sig::Candidate c;
    c.track = track;
    c.mode = mode;
    c.variant = variant;
    c.audio_hz = audio_hz;
    c.bandwidth_hz = bandwidth_hz;
    c.start_time = kT0;
    c.quality = 0.8f;
    return c;
}

// The emitter sits at 1500 Hz in its audio. A lone tone of its RTTY signal (named PSK31 here)
// may be named first; the modem then moves to the RTTY track once that is named, unless its
// mode is confirmed already. A track farther from the centre never takes the modem.
TEST(SurveyDecoderModem, AModemNotYetLockedMovesToANamedTrackNearerTheEmittersCentre) {
    struct Case {
        const char* name;
        double first_hz;   // PSK31 track 1, named first
        double second_hz;  // RTTY track 2, named next
        bool locked;
        std::uint32_t active;  // afterwards
        sig::Mode mode;
    };
    for (const Case& c : {Case{"nearer_takes_it", 1075.0, 1512.0, false, 2, sig::Mode::RTTY},
                          Case{"farther_does_not", 1490.0, 1925.0, false, 1, sig::Mode::PSK31},
                          Case{"equally_far_does_not", 1400.0, 1600.0, false, 1, sig::Mode::PSK31},
                          Case{"a_locked_modem_stays", 1075.0, 1512.0, true, 1, sig::Mode::PSK31}}) {
        Harness h;
        sig::ClassifierResult first;
        first.classified = {named_track(1, sig::Mode::PSK31, "", c.first_hz, 40.0)};
        first.updated = first.classified;
        h.engine.take_classification(h.decoder, first, kT0 + 1.0, h.events);
        ASSERT_TRUE(h.decoder.modem) << c.name;
        h.decoder.assembler.append(h.decoder.tracks[1], "EE T", kT0 + 1.0);  // what it made of the tone
        h.decoder.locked = c.locked;

        sig::ClassifierResult second;
        second.classified = {named_track(2, sig::Mode::RTTY, "75/850", c.second_hz, 910.0)};
        second.updated = second.classified;
        h.engine.take_classification(h.decoder, second, kT0 + 2.0, h.events);
        ASSERT_TRUE(h.decoder.modem) << c.name;
        EXPECT_EQ(h.decoder.active_track, c.active) << c.name;
        EXPECT_EQ(h.decoder.modem->mode(), c.mode) << c.name;
        EXPECT_EQ(h.decoder.pending_mode, static_cast<std::uint32_t>(c.mode)) << c.name;
        // The line of the track given up is finished, not lost.
        const bool moved = c.active == 2;
        ASSERT_EQ(h.events.size(), moved ? 1u : 0u) << c.name;
        if (moved) {
            EXPECT_EQ(h.events[0].text, "EE T") << c.name;
            EXPECT_EQ(h.events[0].mode, sig::Mode::PSK31) << c.name;
            EXPECT_EQ(h.events[0].track, 1u) << c.name;
        }
    }
}

TEST(SurveyDecoderEvents, AnEventTakesItsTracksModeAndVariantElseTheLockedOnes) {
    struct Case {
        const char* name;
        sig::Mode track_mode;
        std::string track_variant;
        double tracked_hz;  // the modem's own frequency in its output
        sig::Mode mode;
        std::string variant;
        double audio_hz;
    };
    for (const Case& c : {Case{"track_named", sig::Mode::RTTY, "45.45/170", 0.0, sig::Mode::RTTY, "45.45/170", 1600.0},
                          Case{"track_unnamed", sig::Mode::UNKNOWN, "", 0.0, sig::Mode::WEFAX, "v1", 1600.0},
                          Case{"modem_frequency_first", sig::Mode::RTTY, "", 1650.0, sig::Mode::RTTY, "v1", 1650.0}}) {
        Harness h;
        sig::Candidate track;
        track.track = 7;
        track.mode = c.track_mode;
        track.variant = c.track_variant;
        track.audio_hz = 1600.0;
        track.bandwidth_hz = 250.0;
        track.snr_db = 9.0;
        track.snr_2500_db = 12.0;
        h.decoder.tracks[7] = track;
        sig::ModemOutput out = picture(sig::EventKind::WEFAX_PROGRESS);
        out.frequency_hz = c.tracked_hz;
        h.start(sig::Mode::WEFAX, {out}, 7);
        h.block();
        ASSERT_EQ(h.events.size(), 1u) << c.name;
        const sig::Event& e = h.events.front();
        EXPECT_EQ(e.mode, c.mode) << c.name;
        EXPECT_EQ(e.variant, c.variant) << c.name;
        EXPECT_EQ(e.t, kT0 + 1.0) << c.name;
        EXPECT_EQ(e.audio_hz, c.audio_hz) << c.name;
        // The emitter sits at 1500 Hz in its audio.
        EXPECT_DOUBLE_EQ(e.rf_hz, kRf - 1500.0 + c.audio_hz) << c.name;
        EXPECT_EQ(e.bw_hz, 250.0) << c.name;
        EXPECT_EQ(e.snr, 12.0) << c.name;
        EXPECT_EQ(e.track, 7u) << c.name;
    }
}

TEST(SurveyDecoderEvents, AFinishedLineIsATextEventAtTheEmittersFrequencyWithItsCalls) {
    Harness h;
    h.start(sig::Mode::PSK31, {text("CQ CQ DE Q1ABC Q1ABC K")});
    for (int i = 0; i < 3; ++i) h.block();  // the line is finished once idle for 1.5 s
    ASSERT_GE(h.events.size(), 1u);
    const sig::Event& line = h.events.front();
    EXPECT_EQ(line.kind, sig::EventKind::TEXT);
    EXPECT_EQ(line.text, "CQ CQ DE Q1ABC Q1ABC K");
    EXPECT_EQ(line.mode, sig::Mode::PSK31);  // the lock's mode: no track record
    EXPECT_EQ(line.rf_hz, kRf);
    EXPECT_EQ(line.track, 0u);
    ASSERT_EQ(h.decoder.calls.size(), 1u);
    EXPECT_EQ(h.decoder.calls.front().call, "Q1ABC");
    EXPECT_EQ(h.decoder.text, "CQ CQ DE Q1ABC Q1ABC K");
}

TEST(SurveyDecoderText, TheRollingTextKeepsItsLast4096CharactersOnceOver8192) {
    for (const std::size_t length : {std::size_t{8192}, std::size_t{8193}}) {
        Harness h;
        std::string all;
        for (std::size_t i = 0; i < length; ++i) all.push_back(static_cast<char>('A' + i % 26));
        h.start(sig::Mode::PSK31, {text(all)});
        h.block();
        EXPECT_EQ(h.decoder.text, length > 8192 ? all.substr(length - 4096) : all) << length;
    }
}

TEST(SurveyDecoderCalls, EachCallIsKeptOnceWithItsBestConfidence) {
    const auto evidence = [](const char* call, float conf, const char* how) {
        return sig::CallEvidence{call, "", conf, how};
    };
    struct Case {
        const char* name;
        std::vector<float> confs;  // of Q1ABC, in event order
        float kept;
    };
    for (const Case& c : {Case{"rising", {0.6f, 0.9f}, 0.9f}, Case{"falling", {0.9f, 0.6f}, 0.9f},
                          Case{"equal_keeps_the_first", {0.6f, 0.6f}, 0.6f}}) {
        Decoder d(kRf, "");
        for (std::size_t i = 0; i < c.confs.size(); ++i) {
            sig::Event e;
            e.calls = {evidence("Q1ABC", c.confs[i], i == 0 ? "REPEAT" : "CQ"), evidence("Q2XYZ", 0.3f, "BARE")};
            sig::merge_callsign_evidence(d, e);
        }
        ASSERT_EQ(d.calls.size(), 2u) << c.name;
        EXPECT_EQ(d.calls[0].call, "Q1ABC") << c.name;
        EXPECT_FLOAT_EQ(d.calls[0].conf, c.kept) << c.name;
        EXPECT_EQ(d.calls[0].evidence, c.kept == c.confs[0] ? "REPEAT" : "CQ") << c.name;
    }
    // The single call of a spot event counts as evidence too.
    Decoder d(kRf, "");
    sig::Event spot;
    spot.call = "Q3DEF";
    spot.conf = 0.95f;
    sig::merge_callsign_evidence(d, spot);
    ASSERT_EQ(d.calls.size(), 1u);
    EXPECT_EQ(d.calls[0].call, "Q3DEF");
    EXPECT_FLOAT_EQ(d.calls[0].conf, 0.95f);
}

TEST(SurveyDecoderFailure, AFailingModemDegradesTheEmitterWithOneMessage) {
    StderrTap tap;
    Harness h;
    h.start(sig::Mode::RTTY, {}, 0, true);
    h.block();
    EXPECT_TRUE(h.decoder.degraded);
    EXPECT_EQ(h.decoder.modem, nullptr);
    EXPECT_EQ(h.decoder.mode, 0u);
    // A degraded decoder is never run again, even with a new modem.
    h.start(sig::Mode::RTTY, {}, 0, true);
    h.block();
    h.decoder.degraded = false;  // were it run again, the message would still not repeat
    h.block();
    const std::string line = "survey: modem error on emitter near 14080000 Hz (demodulator fault); degrading to Unknown\n";
    ASSERT_TRUE(tap.wait_for(line, std::chrono::milliseconds(2000)));
    EXPECT_EQ(tap.count("survey: "), 1u);
}

}  // namespace
