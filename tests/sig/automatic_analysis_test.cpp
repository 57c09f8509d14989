// An analysis channel in automatic mode (modes=auto): the classifier finds and names the signals
// in the passband, the analyzer starts the right modem at each, replays what it kept so the modem
// hears the signal's beginning, and ends the modem when the signal is lost.

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sig/analyzer.hpp"
#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/rtty_modulator.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

constexpr double kStart = 1714564800.0;  // 2024-05-01 12:00:00 UTC
constexpr double kDial = 14070000.0;
constexpr double kNoiseRms = 0.02;

class Recorder final : public sig::EventSink {
public:
    void on_event(const sig::ChannelInfo&, const sig::Event& event) override {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
    }
    std::vector<sig::Event> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<sig::Event> events_;
};

sig::Analyzer::Config automatic(std::shared_ptr<sig::EventSink> sink, bool threaded) {
    sig::Analyzer::Config c;
    c.channel = "auto";
    c.receiver = "rx";
    c.dial_hz = kDial;
    c.bandwidth_hz = 3000.0;
    c.modes_auto = true;
    c.sinks = {std::move(sink)};
    c.threaded = threaded;
    c.ring_seconds = 60.0;  // the test pushes faster than real time
    return c;
}

// Adds a transmission starting at start_s, at snr_db (2500 Hz) against the channel's noise.
void add(std::vector<float>& channel, std::vector<float> burst, double start_s, double snr_db) {
    const double wanted = kNoiseRms * kNoiseRms * 2500.0 / 6000.0 * std::pow(10.0, snr_db / 10.0);
    const auto scale = static_cast<float>(std::sqrt(wanted / testbed::mean_power(burst)));
    const auto first = static_cast<std::size_t>(start_s * 12000.0);
    for (std::size_t i = 0; i < burst.size() && first + i < channel.size(); ++i) channel[first + i] += scale * burst[i];
}

void feed(sig::Analyzer& analyzer, const std::vector<float>& audio) {
    for (std::size_t at = 0; at < audio.size(); at += 1200) {
        const std::size_t n = std::min<std::size_t>(1200, audio.size() - at);
        ASSERT_TRUE(analyzer.push(audio.data() + at, n, false, kStart + static_cast<double>(at) / 12000.0));
    }
}

struct Heard {
    sig::Mode mode = sig::Mode::UNKNOWN;
    std::string variant;
    double audio_hz = 0.0;
    std::string text;
    std::vector<std::string> kinds;  // in order
    double lost_at = 0.0;
};

// What each track said, by track.
std::map<std::uint32_t, Heard> by_track(const std::vector<sig::Event>& events) {
    std::map<std::uint32_t, Heard> heard;
    for (const sig::Event& e : events) {
        Heard& h = heard[e.track];
        const char* kind = e.kind == sig::EventKind::DETECTED ? "detected"
                           : e.kind == sig::EventKind::LOST   ? "lost"
                           : e.kind == sig::EventKind::TEXT   ? "text"
                           : e.kind == sig::EventKind::SPOT   ? "spot"
                                                              : "other";
        h.kinds.push_back(kind);
        if (e.mode != sig::Mode::UNKNOWN) h.mode = e.mode;
        if (!e.variant.empty()) h.variant = e.variant;
        if (e.kind == sig::EventKind::TEXT) {
            h.text += e.text + "\n";
            h.audio_hz = e.audio_hz;
        }
        if (e.kind == sig::EventKind::LOST) h.lost_at = e.t - kStart;
        EXPECT_EQ(e.rf_hz, kDial + e.audio_hz);
    }
    return heard;
}

const Heard* heard_near(const std::map<std::uint32_t, Heard>& heard, double audio_hz, sig::Mode mode) {
    for (const auto& [track, h] : heard)
        if (h.mode == mode && !h.text.empty() && std::fabs(h.audio_hz - audio_hz) < 10.0) return &h;
    return nullptr;
}

sig::Candidate signal(sig::Mode mode, double audio_hz, double bandwidth_hz) {
    sig::Candidate c;
    c.mode = mode;
    c.audio_hz = audio_hz;
    c.bandwidth_hz = bandwidth_hz;
    return c;
}

TEST(ModemCoverage, OneDemodulatorPerSignal) {
    using M = sig::Mode;
    struct Case {
        const char* name;
        sig::Candidate c, running;
        bool fixed, olivia_entry, covered;
    };
    for (const Case& x : {
             Case{"psk31_20_hz_away", signal(M::PSK31, 1020, 60), signal(M::PSK31, 1000, 60), false, false, true},
             Case{"psk31_40_hz_away", signal(M::PSK31, 1040, 60), signal(M::PSK31, 1000, 60), false, false, false},
             Case{"exactly_half_apart", signal(M::PSK31, 1030, 60), signal(M::PSK31, 1000, 40), false, false, false},
             Case{"half_the_larger_width", signal(M::PSK31, 1029, 60), signal(M::PSK31, 1000, 40), false, false, true},
             Case{"rtty_on_psk31", signal(M::RTTY, 1000, 230), signal(M::PSK31, 1000, 60), false, false, false},
             Case{"fixed_psk31_track", signal(M::PSK31, 1000, 60), signal(M::PSK31, 1000, 60), true, false, false},
             Case{"olivia_half_a_fixed_decoder_away", signal(M::OLIVIA, 1625, 250), signal(M::OLIVIA, 1500, 250), true,
                  true, true},
             Case{"olivia_beyond_a_fixed_decoder", signal(M::OLIVIA, 1626, 250), signal(M::OLIVIA, 1500, 250), true,
                  true, false},
             Case{"psk31_on_a_fixed_olivia", signal(M::PSK31, 1500, 60), signal(M::OLIVIA, 1500, 250), true, true, false},
         })
        EXPECT_EQ(sig::covered_by(x.c, x.running, x.fixed, x.olivia_entry), x.covered) << x.name;
}

class AutomaticChannel : public ::testing::TestWithParam<bool> {};

TEST_P(AutomaticChannel, FindsNamesDecodesAndLosesThreeSignals) {
    // A PSK31 call, an RTTY bulletin and a CW call at different places and times in one 3 kHz
    // channel, each gone well before the recording ends.
    std::vector<float> channel = testbed::white_noise(12000 * 40, kNoiseRms, 1);
    testbed::PskSignal psk;
    psk.carrier_hz = 700.0;
    add(channel, testbed::modulate_psk_text("CQ CQ DE Q1ABC Q1ABC PSE K\n", psk, 32), 1.0, 10.0);
    testbed::RttySignal rtty;
    rtty.centre_hz = 1500.0;
    add(channel, testbed::modulate_rtty_text("QST DE Q2XYZ Q2XYZ BULLETIN NR 1\nTHE QUICK BROWN FOX\n", rtty), 4.0, 10.0);
    testbed::CwKeying cw;
    cw.tone_hz = 2300.0;
    add(channel, testbed::key_text("CQ CQ DE Q3DEF Q3DEF K", cw), 8.0, 15.0);

    auto recorder = std::make_shared<Recorder>();
    {
        sig::Analyzer analyzer(automatic(recorder, GetParam()));
        feed(analyzer, channel);
        analyzer.flush();
    }
    const std::map<std::uint32_t, Heard> heard = by_track(recorder->events());

    struct Expected {
        double audio_hz;
        sig::Mode mode;
        std::string text;
        std::string variant;
    };
    for (const Expected& x : {Expected{700.0, sig::Mode::PSK31, "CQ CQ DE Q1ABC Q1ABC PSE K\n", ""},
                              // The line assembler joins the bulletin's lines: RTTY's line feeds arrive as
                              // text like any other character.
                              Expected{1500.0, sig::Mode::RTTY, "QST DE Q2XYZ Q2XYZ BULLETIN NR 1 THE QUICK BROWN FOX\n",
                                       "45.45/170"},
                              Expected{2300.0, sig::Mode::CW, "CQ CQ DE Q3DEF Q3DEF K\n", ""}}) {
        const Heard* h = heard_near(heard, x.audio_hz, x.mode);
        ASSERT_NE(h, nullptr) << sig::mode_name(x.mode);
        EXPECT_EQ(h->text, x.text) << sig::mode_name(x.mode);
        if (!x.variant.empty()) {
            EXPECT_EQ(h->variant, x.variant);
        }
        // Detected when found, again when named; its text and spot; lost once the signal is gone.
        ASSERT_GE(h->kinds.size(), 4u);
        EXPECT_EQ(h->kinds.front(), "detected");
        EXPECT_EQ(h->kinds.back(), "lost") << sig::mode_name(x.mode);
        EXPECT_GT(h->lost_at, 0.0);
        EXPECT_LT(h->lost_at, 40.0);
    }
    // Every track that started a modem is one of the three signals: nothing else was decoded.
    for (const auto& [track, h] : heard) {
        if (h.text.empty()) continue;
        EXPECT_TRUE(heard_near(heard, 700.0, h.mode) == &h || heard_near(heard, 1500.0, h.mode) == &h ||
                    heard_near(heard, 2300.0, h.mode) == &h)
            << track << ": " << sig::mode_name(h.mode) << " at " << h.audio_hz << ": " << h.text;
    }
}

INSTANTIATE_TEST_SUITE_P(Threading, AutomaticChannel, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "threaded" : "inline"; });

TEST(AutomaticChannelModems, TheModemHearsTheSignalFromBeforeItWasNamed) {
    // The call starts after a second of idle; the classifier names it about 1.5 s after the
    // signal began. Without the replayed blocks the modem would miss the first words.
    std::vector<float> channel = testbed::white_noise(12000 * 16, kNoiseRms, 2);
    testbed::PskSignal psk;
    psk.carrier_hz = 1000.0;
    add(channel, testbed::modulate_psk_text("Q1ABC DE Q2XYZ Q2XYZ K\n", psk, 32), 1.0, 10.0);
    auto recorder = std::make_shared<Recorder>();
    sig::Analyzer analyzer(automatic(recorder, false));
    feed(analyzer, channel);
    analyzer.flush();
    const auto heard = by_track(recorder->events());
    const Heard* h = heard_near(heard, 1000.0, sig::Mode::PSK31);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->text, "Q1ABC DE Q2XYZ Q2XYZ K\n");
    // The track's events: detected, detected (named), text, spots, lost.
    EXPECT_EQ(h->kinds.front(), "detected");
    EXPECT_EQ(h->kinds[1], "detected");
    EXPECT_EQ(h->kinds[2], "text");
    EXPECT_EQ(h->kinds.back(), "lost");
}

TEST(AutomaticChannelModems, TwoSignalsOfOneModeEachGetAModem) {
    std::vector<float> channel = testbed::white_noise(12000 * 14, kNoiseRms, 3);
    testbed::PskSignal low, high;
    low.carrier_hz = 1000.0;
    high.carrier_hz = 1250.0;
    add(channel, testbed::modulate_psk_text("CQ CQ DE Q1ABC Q1ABC PSE K\n", low, 32), 1.0, 10.0);
    add(channel, testbed::modulate_psk_text("CQ CQ DE Q4KLM Q4KLM PSE K\n", high, 32), 1.5, 10.0);
    auto recorder = std::make_shared<Recorder>();
    sig::Analyzer analyzer(automatic(recorder, false));
    feed(analyzer, channel);
    analyzer.flush();
    const auto heard = by_track(recorder->events());
    const Heard* a = heard_near(heard, 1000.0, sig::Mode::PSK31);
    const Heard* b = heard_near(heard, 1250.0, sig::Mode::PSK31);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(a->text, "CQ CQ DE Q1ABC Q1ABC PSE K\n");
    EXPECT_EQ(b->text, "CQ CQ DE Q4KLM Q4KLM PSE K\n");
}

TEST(AutomaticChannelModems, NoiseAndACarrierStartNoModem) {
    std::vector<float> channel = testbed::white_noise(12000 * 20, kNoiseRms, 4);
    for (std::size_t i = 0; i < channel.size(); ++i)
        channel[i] += static_cast<float>(0.05 * std::cos(2.0 * 3.141592653589793 * 1800.0 * static_cast<double>(i) / 12000.0));
    auto recorder = std::make_shared<Recorder>();
    sig::Analyzer analyzer(automatic(recorder, true));
    feed(analyzer, channel);
    analyzer.flush();
    for (const sig::Event& e : recorder->events()) {
        EXPECT_EQ(e.mode, sig::Mode::UNKNOWN) << e.audio_hz;
        EXPECT_NE(e.kind, sig::EventKind::TEXT);
    }
    // The carrier is a track, listed for ANALYZE STATUS, without a mode.
    const std::vector<sig::Candidate> snapshot = analyzer.snapshot();
    ASSERT_FALSE(snapshot.empty());
    EXPECT_TRUE(std::any_of(snapshot.begin(), snapshot.end(),
                            [](const sig::Candidate& c) { return std::fabs(c.audio_hz - 1800.0) < 2.0; }));
}

}  // namespace
