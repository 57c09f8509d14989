#include "sig/analyzer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <sstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "report/psk_collector_link.hpp"
#include "sig/default_analysis_config.hpp"
#include "sig/journal_sink.hpp"
#include "sig/reporter_sink.hpp"
#include "sig/stderr_sink.hpp"
#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/keyboard_transmission.hpp"
#include "testbed/lib/olivia_modulator.hpp"
#include "testbed/lib/outside_modems.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/sstv_modulator.hpp"
#include "testbed/lib/test_signal.hpp"
#include "tests/report/psk_test_harness.hpp"
#include "tests/support/ipfix_reader.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr double kStart = 1714564800.0;  // 2024-05-01 12:00:00 UTC, the first sample of every run
constexpr double kDial = 14070000.0;
constexpr std::uint32_t kFixed = sig::Analyzer::kFirstFixedTrack;

// Keeps every event, in order, safe to call from an analyzer's worker.
class Recorder final : public sig::EventSink {
public:
    void on_event(const sig::ChannelInfo& channel, const sig::Event& event) override {
        std::lock_guard<std::mutex> lock(mutex_);
        channels_.push_back(channel.channel);
        events_.push_back(event);
    }
    std::vector<sig::Event> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::vector<std::string> channels() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return channels_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> channels_;
    std::vector<sig::Event> events_;
};

// Holds whoever calls it inside on_event until opened: with it an analyzer's worker stands
// still inside its first block while the test fills the rings.
class Gate final : public sig::EventSink {
public:
    void on_event(const sig::ChannelInfo&, const sig::Event&) override {
        std::unique_lock<std::mutex> lock(mutex_);
        entered_ = true;
        cv_.notify_all();
        cv_.wait(lock, [&] { return open_; });
    }
    bool wait_entered() {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, 20s, [&] { return entered_; });
    }
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool entered_ = false;
    bool open_ = false;
};

// A sink that fails on every event.
template <typename Thrown>
class Thrower final : public sig::EventSink {
public:
    explicit Thrower(Thrown thrown) : thrown_(thrown) {}
    void on_event(const sig::ChannelInfo&, const sig::Event&) override { throw thrown_; }

private:
    Thrown thrown_;
};

sig::Analyzer::Config fixed(std::vector<sig::Mode> modes, std::vector<std::shared_ptr<sig::EventSink>> sinks,
                            bool threaded = false, double bandwidth_hz = 3000.0) {
    sig::Analyzer::Config c;
    c.channel = "ch1";
    c.receiver = "rx";
    c.dial_hz = kDial;
    c.bandwidth_hz = bandwidth_hz;
    c.modes_auto = false;
    c.modes = std::move(modes);
    c.sinks = std::move(sinks);
    c.threaded = threaded;
    return c;
}

// Pushes audio in blocks the way a front end does, block times counted from `start`; false when
// any block was refused.
bool feed(sig::Analyzer& analyzer, const std::vector<float>& audio, double start = kStart, std::size_t block = 400) {
    bool all = true;
    for (std::size_t at = 0; at < audio.size(); at += block) {
        const std::size_t n = std::min(block, audio.size() - at);
        all = analyzer.push(audio.data() + at, n, false, start + static_cast<double>(at) / 12000.0) && all;
    }
    return all;
}

// "kind track rf" plus the text, call or picture fields of an event.
std::string describe(const sig::Event& e) {
    char rf[32];
    std::snprintf(rf, sizeof rf, "%.0f", e.rf_hz);
    std::string out;
    switch (e.kind) {
    case sig::EventKind::DETECTED: out = "detected"; break;
    case sig::EventKind::LOST: out = "lost"; break;
    case sig::EventKind::TEXT: out = "text"; break;
    case sig::EventKind::SPOT: out = "spot"; break;
    case sig::EventKind::WEFAX_START: out = "start"; break;
    case sig::EventKind::WEFAX_PROGRESS: out = "progress"; break;
    case sig::EventKind::WEFAX_IMAGE: out = "image"; break;
    case sig::EventKind::WEFAX_STOP: out = "stop"; break;
    default: out = "other"; break;
    }
    out += " " + std::string(sig::mode_name(e.mode));
    if (e.kind == sig::EventKind::TEXT) out += " \"" + e.text + "\"";
    if (e.kind == sig::EventKind::SPOT) out += " " + e.call;
    return out;
}

std::vector<std::string> describe(const std::vector<sig::Event>& events) {
    std::vector<std::string> out;
    for (const sig::Event& e : events) out.push_back(describe(e));
    return out;
}

using Lines = std::vector<std::string>;

std::string stderr_of(const std::function<void()>& action) {
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
}

// --- Construction ---------------------------------------------------------------------------------

TEST(AnalyzerConstruction, FixedTracksAreAnnouncedAtTheFirstBlock) {
    auto recorder = std::make_shared<Recorder>();
    sig::Analyzer::Config config = fixed({sig::Mode::PSK31, sig::Mode::WEFAX}, {recorder});
    config.wefax = "120/576";
    sig::Analyzer analyzer(config);
    EXPECT_TRUE(analyzer.snapshot().empty());  // nothing published before a block was processed
    EXPECT_TRUE(recorder->events().empty());

    const std::vector<float> quiet(400, 0.0f);
    ASSERT_TRUE(analyzer.push(quiet.data(), quiet.size(), false, kStart + 0.5));
    ASSERT_TRUE(analyzer.push(quiet.data(), quiet.size(), false, kStart + 0.5 + 400 / 12000.0));

    const auto events = recorder->events();
    ASSERT_EQ(events.size(), 2u);
    for (const sig::Event& e : events) {
        EXPECT_EQ(e.kind, sig::EventKind::DETECTED);
        EXPECT_EQ(e.t, kStart + 0.5);  // the first block's time
        EXPECT_EQ(e.bw_hz, 3000.0);
        EXPECT_EQ(e.snr, 0.0);
    }
    EXPECT_EQ(events[0].track, kFixed);
    EXPECT_EQ(events[0].mode, sig::Mode::PSK31);
    EXPECT_EQ(events[0].audio_hz, 1500.0);  // half the channel
    EXPECT_EQ(events[0].rf_hz, kDial + 1500.0);
    EXPECT_EQ(events[0].variant, "");
    EXPECT_EQ(events[1].track, kFixed + 1);
    EXPECT_EQ(events[1].mode, sig::Mode::WEFAX);
    EXPECT_EQ(events[1].audio_hz, 1900.0);
    EXPECT_EQ(events[1].rf_hz, kDial + 1900.0);
    EXPECT_EQ(events[1].variant, "120/576");

    const auto snapshot = analyzer.snapshot();
    ASSERT_EQ(snapshot.size(), 2u);
    EXPECT_EQ(snapshot[0].track, kFixed);
    EXPECT_EQ(snapshot[0].start_time, kStart + 0.5);
    EXPECT_EQ(snapshot[0].last_seen, kStart + 0.5);
    EXPECT_EQ(snapshot[0].snr_2500_db, -999.0);
    EXPECT_EQ(snapshot[1].track, kFixed + 1);
    EXPECT_EQ(snapshot[1].variant, "120/576");
    EXPECT_EQ(analyzer.config().channel, "ch1");
}

TEST(AnalyzerConstruction, FixedTracksListenInsideTheAudio) {
    struct Case {
        double bandwidth_hz;
        double audio_hz;
    };
    // 12000 Hz audio carries up to 6000 Hz: a wider channel's middle is not in it.
    for (const Case c : {Case{3000.0, 1500.0}, Case{11998.0, 5999.0}, Case{12000.0, 3000.0}, Case{20000.0, 3000.0}}) {
        auto recorder = std::make_shared<Recorder>();
        sig::Analyzer analyzer(fixed({sig::Mode::CW, sig::Mode::SSTV}, {recorder}, false, c.bandwidth_hz));
        const std::vector<float> quiet(400, 0.0f);
        analyzer.push(quiet.data(), quiet.size(), false, kStart);
        const auto events = recorder->events();
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0].audio_hz, c.audio_hz) << c.bandwidth_hz;
        EXPECT_EQ(events[0].rf_hz, kDial + c.audio_hz) << c.bandwidth_hz;
        EXPECT_EQ(events[0].bw_hz, c.bandwidth_hz);
        EXPECT_EQ(events[1].audio_hz, 1900.0);
    }
}

TEST(AnalyzerConstruction, DefaultModeSettings) {
    sig::ModemSettings settings;
    settings.modes_auto = false;
    settings.modes = {sig::Mode::CW};
    settings.rtty = "45.45/170";
    settings.wefax = "120/576";
    settings.report = false;
    settings.olivia = {{"8/250", 1500.0}};
    sig::default_analysis_config(settings);
    EXPECT_TRUE(settings.modes_auto);
    EXPECT_TRUE(settings.modes.empty());
    EXPECT_EQ(settings.rtty, "auto");
    EXPECT_EQ(settings.wefax, "auto");
    EXPECT_TRUE(settings.report);
    EXPECT_TRUE(settings.olivia.empty());
}

TEST(AnalyzerConstruction, AModeWithoutModemIsNamedAndKeepsItsNumber) {
    auto recorder = std::make_shared<Recorder>();
    std::unique_ptr<sig::Analyzer> analyzer;
    const std::string printed = stderr_of(
        [&] { analyzer = std::make_unique<sig::Analyzer>(fixed({sig::Mode::QPSK31, sig::Mode::CW}, {recorder})); });
    EXPECT_EQ(printed, "Analysis channel ch1: no QPSK31 modem is available yet\n");
    const std::vector<float> quiet(400, 0.0f);
    analyzer->push(quiet.data(), quiet.size(), false, kStart);
    const auto events = recorder->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].track, kFixed + 1);  // CW keeps the second number
    EXPECT_EQ(events[0].mode, sig::Mode::CW);
}

TEST(AnalyzerConstruction, OnlyAModeWithoutModemGivesNoTracks) {
    auto recorder = std::make_shared<Recorder>();
    std::unique_ptr<sig::Analyzer> analyzer;
    stderr_of([&] { analyzer = std::make_unique<sig::Analyzer>(fixed({sig::Mode::QPSK31}, {recorder}, true)); });
    const std::vector<float> quiet(4000, 0.0f);
    EXPECT_TRUE(feed(*analyzer, quiet));
    analyzer->flush();
    EXPECT_TRUE(recorder->events().empty());
    EXPECT_TRUE(analyzer->snapshot().empty());
}

TEST(AnalyzerConstruction, AutomaticModeStartsWithNoTracksAndFindsThemOnTheAir) {
    auto recorder = std::make_shared<Recorder>();
    sig::Analyzer::Config config = fixed({sig::Mode::PSK31}, {recorder});
    config.modes_auto = true;  // the fixed list is not used then
    sig::Analyzer analyzer(config);
    const std::vector<float> silence(12000, 0.0f);
    ASSERT_TRUE(feed(analyzer, silence));
    EXPECT_TRUE(recorder->events().empty());
    EXPECT_TRUE(analyzer.snapshot().empty());
}

TEST(AnalyzerConstruction, APictureDirectoryThatCannotBeMadeIsReportedOnce) {
    TempDir dir;
    { std::ofstream(dir / "file") << "x"; }
    sig::Analyzer::Config config = fixed({sig::Mode::SSTV, sig::Mode::WEFAX}, {});
    config.image_dir = (dir / "file" / "pictures").string();
    const std::string printed = stderr_of([&] { sig::Analyzer analyzer(config); });
    EXPECT_EQ(printed, "Analysis channel ch1: cannot create " + config.image_dir + ": Not a directory\n");
}

TEST(AnalyzerConstruction, RingLengthsOutOfRangeAreRefused) {
    sig::Analyzer::Config config = fixed({sig::Mode::CW}, {});
    config.ring_seconds = std::numeric_limits<double>::infinity();
    EXPECT_THROW(sig::Analyzer{config}, std::runtime_error);
    config.ring_seconds = 1e30;
    EXPECT_THROW(sig::Analyzer{config}, std::runtime_error);
}

// --- The rings --------------------------------------------------------------------------------------

// A threaded analyzer whose worker stands still inside its first block, so the rings fill.
struct Stalled {
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    std::unique_ptr<sig::Analyzer> analyzer;

    explicit Stalled(double ring_seconds) {
        sig::Analyzer::Config config = fixed({sig::Mode::CW}, {gate}, true);
        config.ring_seconds = ring_seconds;
        analyzer = std::make_unique<sig::Analyzer>(config);
        const float one = 0.0f;
        EXPECT_TRUE(analyzer->push(&one, 1, false, kStart));
        EXPECT_TRUE(gate->wait_entered());  // its samples are out of the ring now
    }
    ~Stalled() {
        gate->open();
        analyzer.reset();
    }
};

TEST(AnalyzerRings, HoldTheirLengthAndDropTheRest) {
    struct Case {
        double ring_seconds;
        std::size_t capacity;
    };
    const Case cases[] = {{4.0, 48000}, {0.5, 6000}, {0.25, 3000}, {0.1, 3000},
                          {std::numeric_limits<double>::quiet_NaN(), 3000}, {1.00001, 12000}};
    for (const Case& c : cases) {
        {
            Stalled stalled(c.ring_seconds);
            const std::vector<float> audio(c.capacity, 0.0f);
            EXPECT_TRUE(stalled.analyzer->push(audio.data(), audio.size(), false, kStart)) << c.ring_seconds;
            EXPECT_FALSE(stalled.analyzer->push(audio.data(), 1, false, kStart)) << c.ring_seconds;
        }
        {
            // One sample more than fits: the first part is kept, the rest dropped.
            Stalled stalled(c.ring_seconds);
            const std::vector<float> audio(c.capacity + 1, 0.0f);
            EXPECT_FALSE(stalled.analyzer->push(audio.data(), audio.size(), false, kStart)) << c.ring_seconds;
            EXPECT_FALSE(stalled.analyzer->push(audio.data(), 1, false, kStart)) << c.ring_seconds;
        }
    }
}

TEST(AnalyzerRings, AtMost4095BlocksWait) {
    Stalled stalled(4.0);
    const float one = 0.0f;
    for (int n = 0; n < 4095; ++n) ASSERT_TRUE(stalled.analyzer->push(&one, 1, false, kStart)) << n;
    EXPECT_FALSE(stalled.analyzer->push(&one, 1, false, kStart));
    EXPECT_TRUE(stalled.analyzer->push(&one, 0, true, kStart));  // no samples: nothing to drop
}

// Morse whose keying a reset cuts: a discontinuity in the middle of a dash changes the copy.
std::vector<float> morse(const std::string& text) {
    testbed::CwKeying keying;
    keying.wpm = 20.0;
    keying.tone_hz = 1500.0;
    return testbed::concatenate(testbed::concatenate(testbed::silence(1.0), testbed::key_text(text, keying)),
                                testbed::silence(2.0));
}

// The decoded text of pieces of audio pushed one by one (with their discontinuity flags), each
// followed by a flush so that a threaded and an unthreaded analyzer see the same block edges.
struct Piece {
    std::size_t from, to;
    bool discontinuity = false;
    bool pending_before = false;  // a capture reset (push of nothing) just before this piece
};

std::string copy_of(const std::vector<float>& audio, const std::vector<Piece>& pieces) {
    auto recorder = std::make_shared<Recorder>();
    sig::Analyzer analyzer(fixed({sig::Mode::CW}, {recorder}));
    for (const Piece& p : pieces) {
        if (p.pending_before) analyzer.push(nullptr, 0, true, 0.0);
        analyzer.push(audio.data() + p.from, p.to - p.from, p.discontinuity, kStart + p.from / 12000.0);
        analyzer.flush();
    }
    std::string text;
    for (const sig::Event& e : recorder->events())
        if (e.kind == sig::EventKind::TEXT) text += e.text + "|";
    return text;
}

TEST(AnalyzerRings, ADiscontinuityResetsTheModems) {
    const std::vector<float> audio = morse("TTTT TTTT TTTT");
    const std::size_t cut = 12000 + 1700;  // inside the second dash
    const std::string whole = copy_of(audio, {{0, cut}, {cut, audio.size()}});
    const std::string flagged = copy_of(audio, {{0, cut}, {cut, audio.size(), true}});
    ASSERT_NE(whole, flagged) << "the cut does not show in the copy: " << whole;
    EXPECT_EQ(copy_of(audio, {{0, cut}, {cut, audio.size(), false, true}}), flagged);
    // A push of nothing without the flag changes nothing.
    auto recorder = std::make_shared<Recorder>();
    sig::Analyzer analyzer(fixed({sig::Mode::CW}, {recorder}));
    EXPECT_TRUE(analyzer.push(nullptr, 0, false, 0.0));
    EXPECT_EQ(copy_of(audio, {{0, cut}, {cut, audio.size()}}), whole);
}

TEST(AnalyzerRings, APendingResetOutlivesAFlaggedBlock) {
    const std::vector<float> audio = morse("TTTT TTTT TTTT");
    const std::size_t a = 12000 + 400, b = 12000 + 1700;  // both inside the second dash
    const std::string expected = copy_of(audio, {{0, a}, {a, b, true}, {b, audio.size(), true}});
    EXPECT_EQ(copy_of(audio, {{0, a}, {a, b, true, true}, {b, audio.size()}}), expected);
}

TEST(AnalyzerRings, AudioLostToAFullRingMarksTheNextBlock) {
    const std::vector<float> audio = morse("TTTT TTTT TTTT");
    // Ring of 6000 samples, the worker held inside the first sample's block: 4000 samples fit,
    // then 2000 of the next 4000; the audio goes on later, from inside the second dash.
    const std::size_t lost_from = 6001, resume = 12000 + 1700;
    std::vector<Piece> rest;
    for (std::size_t at = resume; at < audio.size(); at += 4000) rest.push_back({at, std::min(at + 4000, audio.size())});

    auto recorder = std::make_shared<Recorder>();
    auto gate = std::make_shared<Gate>();
    sig::Analyzer::Config config = fixed({sig::Mode::CW}, {gate, recorder}, true);
    config.ring_seconds = 0.5;
    sig::Analyzer analyzer(config);
    ASSERT_TRUE(analyzer.push(audio.data(), 1, false, kStart));
    ASSERT_TRUE(gate->wait_entered());
    EXPECT_TRUE(analyzer.push(audio.data() + 1, 4000, false, kStart + 1 / 12000.0));
    EXPECT_FALSE(analyzer.push(audio.data() + 4001, 4000, false, kStart + 4001 / 12000.0));
    gate->open();
    analyzer.flush();
    for (const Piece& p : rest) {
        EXPECT_TRUE(analyzer.push(audio.data() + p.from, p.to - p.from, false, kStart + p.from / 12000.0));
        analyzer.flush();  // waits for the worker, so the ring never overflows again
    }
    std::string text;
    for (const sig::Event& e : recorder->events())
        if (e.kind == sig::EventKind::TEXT) text += e.text + "|";

    // The same audio and block edges inline, with and without a discontinuity where the loss
    // was. (The threaded run flushed less often, but no line was pending before the loss.)
    auto reference = [&](bool flagged) {
        std::vector<Piece> pieces{{0, 1}, {1, 4001}, {4001, lost_from}};
        pieces.insert(pieces.end(), rest.begin(), rest.end());
        pieces[3].discontinuity = flagged;
        return copy_of(audio, pieces);
    };
    ASSERT_NE(reference(false), reference(true));
    EXPECT_EQ(text, reference(true));
}

// --- Real signals ---------------------------------------------------------------------------------

// Noise over the burst and two seconds either side of it, at snr_db in 2500 Hz.
std::vector<float> on_air(const std::vector<float>& burst, double snr_db, unsigned seed) {
    return testbed::noisy_transmission(burst, testbed::mean_power(burst), snr_db, seed, 2.0);
}

std::vector<float> psk31_audio(const std::string& text, double carrier_hz) {
    testbed::PskSignal signal;
    signal.carrier_hz = carrier_hz;
    signal.phase_rad = 0.7;
    return on_air(testbed::modulate_psk_text(text, signal), 15.0, 3);
}

std::vector<float> minimodem_audio(const std::string& text, double mark_hz, double space_hz) {
    return on_air(testbed::minimodem_rtty_audio(text, mark_hz, space_hz), 15.0, 4);
}

std::vector<float> ebook2cw_audio(const std::string& text, int wpm, int tone_hz) {
    return on_air(testbed::ebook2cw_audio(text, wpm, tone_hz), 15.0, 5);
}

struct SignalCase {
    const char* name;
    sig::Mode mode;
    double bandwidth_hz;
    double signal_hz;  // audio frequency of the signal in the channel
    std::function<std::vector<float>()> audio;
    std::string rtty;
    Lines expected;
    std::string variant;
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.name; }

class AnalyzerOnAir : public ::testing::TestWithParam<std::tuple<SignalCase, bool>> {};

TEST_P(AnalyzerOnAir, DetectsDecodesAndSpots) {
    const auto& [c, threaded] = GetParam();
    auto recorder = std::make_shared<Recorder>();
    sig::Analyzer::Config config = fixed({c.mode}, {recorder}, threaded, c.bandwidth_hz);
    config.rtty = c.rtty.empty() ? "auto" : c.rtty;
    config.ring_seconds = 60.0;  // the whole recording may wait: the test pushes faster than real time
    sig::Analyzer analyzer(config);
    const std::vector<float> audio = c.audio();
    ASSERT_TRUE(feed(analyzer, audio));
    analyzer.flush();

    std::vector<sig::Event> events = recorder->events();
    const double end = kStart + static_cast<double>(audio.size()) / 12000.0;
    // A character the modem makes of the sender's last moment (the transmission ends 2 s before
    // the recording does) is no part of the message.
    while (events.size() > c.expected.size() && events.back().kind == sig::EventKind::TEXT &&
           events.back().text.size() <= 1 && events.back().t > end - 2.5)
        events.pop_back();
    EXPECT_EQ(describe(events), c.expected);
    ASSERT_EQ(events.size(), c.expected.size());
    for (std::size_t k = 0; k < events.size(); ++k) {
        const sig::Event& e = events[k];
        EXPECT_EQ(e.track, kFixed);
        EXPECT_EQ(e.variant, c.variant);
        if (k == 0) {
            EXPECT_EQ(e.t, kStart);
            EXPECT_EQ(e.rf_hz, kDial + c.bandwidth_hz / 2.0);
            EXPECT_EQ(e.bw_hz, c.bandwidth_hz);
            continue;
        }
        // The second detected event: the track follows the signal the classifier found. It,
        // the text and the spot sit where the signal is, and when, with its measured width.
        EXPECT_NEAR(e.rf_hz, kDial + c.signal_hz, 2.0) << k;
        EXPECT_NEAR(e.audio_hz, c.signal_hz, 2.0) << k;
        EXPECT_EQ(e.rf_hz, kDial + e.audio_hz);
        EXPECT_GT(e.t, kStart + 2.0);
        EXPECT_LT(e.t, end - 1.0);
        EXPECT_GT(e.bw_hz, 5.0);
        EXPECT_LT(e.bw_hz, 300.0);
        EXPECT_GT(e.snr, 10.0);
    }
    const auto spot = std::find_if(events.begin(), events.end(), [](const sig::Event& e) { return e.kind == sig::EventKind::SPOT; });
    ASSERT_NE(spot, events.end());
    EXPECT_FLOAT_EQ(spot->conf, 0.95f);
    ASSERT_EQ(spot->calls.size(), 1u);
    EXPECT_EQ(spot->calls[0].evidence, "DE");
    EXPECT_EQ(spot->t, (spot - 1)->t);  // the spot of its text line
}

INSTANTIATE_TEST_SUITE_P(
    Signals, AnalyzerOnAir,
    ::testing::Combine(
        ::testing::Values(
            SignalCase{"psk31_from_our_modulator", sig::Mode::PSK31, 3000.0, 1504.0,
                       [] { return psk31_audio("CQ CQ DE Q1ABC Q1ABC PSE K ", 1504.0); }, "",
                       {"detected PSK31", "detected PSK31", "text PSK31 \"CQ CQ DE Q1ABC Q1ABC PSE K\"", "spot PSK31 Q1ABC"}, ""},
            SignalCase{"rtty_from_minimodem", sig::Mode::RTTY, 3000.0, 1500.0,
                       [] { return minimodem_audio("CQ CQ DE Q2XYZ Q2XYZ PSE K\nRYRYRY THE QUICK BROWN FOX\n", 1415.0, 1585.0); }, "45.45/170",
                       {"detected RTTY", "detected RTTY", "text RTTY \"CQ CQ DE Q2XYZ Q2XYZ PSE K RYRYRY THE QUICK BROWN FOX\"", "spot RTTY Q2XYZ"}, "45.45/170"},
            SignalCase{"cw_from_ebook2cw", sig::Mode::CW, 1400.0, 700.0,
                       [] { return ebook2cw_audio("CQ CQ DE Q3DEF Q3DEF K", 25, 700); }, "",
                       {"detected CW", "detected CW", "text CW \"CQ CQ DE Q3DEF Q3DEF K\"", "spot CW Q3DEF"}, ""}),
        ::testing::Bool()),
    [](const ::testing::TestParamInfo<std::tuple<SignalCase, bool>>& info) {
        return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "_threaded" : "_inline");
    });

// A fixed Olivia entry decodes on its own track number, beside the channel's fixed modes, and
// only near where the user put it.
TEST(AnalyzerOnAir, AFixedOliviaEntryCopiesAtItsPlace) {
    struct Case {
        double sent_hz;
        bool copied;
    };
    for (const Case c : {Case{1560.0, true}, Case{1700.0, false}}) {
        auto recorder = std::make_shared<Recorder>();
        sig::Analyzer::Config config = fixed({sig::Mode::CW}, {recorder});
        config.olivia = {{"8/250", 1500.0}};
        sig::Analyzer analyzer(config);
        testbed::OliviaSignal signal;
        signal.tones = 8;
        signal.bandwidth_hz = 250.0;
        signal.centre_hz = c.sent_hz;
        std::vector<float> audio = testbed::modulate_olivia_text("CQ CQ DE K1ABC K1ABC K\r", signal, 2, 2);
        audio.resize(audio.size() + 12000 * 8, 0.0f);
        feed(analyzer, audio);
        analyzer.flush();
        std::string text;
        for (const sig::Event& e : recorder->events()) {
            if (e.kind != sig::EventKind::TEXT || e.track != sig::Analyzer::kFirstOliviaTrack) continue;
            EXPECT_EQ(e.mode, sig::Mode::OLIVIA);
            EXPECT_EQ(e.variant, "8/250");
            text += e.text;
        }
        EXPECT_EQ(text.find("K1ABC") != std::string::npos, c.copied) << c.sent_hz << ": " << text;
    }
}

TEST(AnalyzerOnAir, LowerSidebandPlacesSignalsBelowTheDial) {
    auto recorder = std::make_shared<Recorder>();
    sig::Analyzer::Config config = fixed({sig::Mode::PSK31}, {recorder});
    config.usb = false;
    sig::Analyzer analyzer(config);
    feed(analyzer, psk31_audio("CQ DE Q1ABC K ", 1496.0));
    analyzer.flush();
    const auto events = recorder->events();
    // Announced where it listens first, again when it follows the signal the classifier found.
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0].rf_hz, kDial - 1500.0);
    EXPECT_EQ(events[1].kind, sig::EventKind::DETECTED);
    EXPECT_NEAR(events[1].rf_hz, kDial - 1496.0, 2.0);
    EXPECT_EQ(events[2].kind, sig::EventKind::TEXT);
    EXPECT_NEAR(events[2].rf_hz, kDial - 1496.0, 2.0);
    EXPECT_EQ(events[2].rf_hz, kDial - events[2].audio_hz);
}

TEST(AnalyzerOnAir, PictureEventsAreCompletedFromTheTrack) {
    TempDir dir;
    auto recorder = std::make_shared<Recorder>();
    sig::Analyzer::Config config = fixed({sig::Mode::SSTV}, {recorder});
    config.image_dir = (dir / "pictures" / "sstv").string();
    sig::Analyzer analyzer(config);
    const testbed::SstvGeometry geometry = testbed::sstv_geometry("PD50");
    const auto audio = testbed::concatenate(
        testbed::concatenate(testbed::silence(1.0),
                             testbed::modulate_sstv("PD50", testbed::sstv_test_picture(geometry.width, geometry.height), {})),
        testbed::silence(1.0));
    feed(analyzer, audio);

    const auto events = recorder->events();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events.front().kind, sig::EventKind::DETECTED);
    EXPECT_EQ(events[1].kind, sig::EventKind::WEFAX_START);
    EXPECT_EQ(events[events.size() - 2].kind, sig::EventKind::WEFAX_IMAGE);
    EXPECT_EQ(events.back().kind, sig::EventKind::WEFAX_STOP);
    for (std::size_t k = 1; k < events.size(); ++k) {
        const sig::Event& e = events[k];
        EXPECT_EQ(e.mode, sig::Mode::SSTV);
        EXPECT_EQ(e.variant, "PD50");  // the modem's own
        EXPECT_EQ(e.track, kFixed);
        EXPECT_EQ(e.bw_hz, 1200.0);  // the modem's own, not the channel's
        EXPECT_NEAR(e.audio_hz, 1900.0, 3.0);
        EXPECT_EQ(e.rf_hz, kDial + e.audio_hz);
        EXPECT_GT(e.t, kStart + 1.5);  // the modem's time, not the block's
    }
    const sig::Event& image = events[events.size() - 2];
    EXPECT_EQ(image.lines, geometry.height);
    EXPECT_TRUE(fs::is_regular_file(image.text)) << image.text;
    EXPECT_EQ(fs::path(image.text).parent_path(), fs::path(config.image_dir));
}

// --- Events and sinks -------------------------------------------------------------------------------

TEST(AnalyzerEvents, SpotsStayInsideWhenReportingIsOff) {
    auto recorder = std::make_shared<Recorder>();
    sig::Analyzer::Config config = fixed({sig::Mode::PSK31}, {recorder});
    config.report = false;
    sig::Analyzer analyzer(config);
    feed(analyzer, psk31_audio("CQ CQ DE Q1ABC Q1ABC PSE K ", 1500.0));
    analyzer.flush();
    // Detected at the first block, and again when the track follows the signal found.
    EXPECT_EQ(describe(recorder->events()),
              (Lines{"detected PSK31", "detected PSK31", "text PSK31 \"CQ CQ DE Q1ABC Q1ABC PSE K\""}));
}

TEST(AnalyzerEvents, AFailingSinkIsReportedOnceAndTheOthersGoOn) {
    auto before = std::make_shared<Recorder>();
    auto after = std::make_shared<Recorder>();
    sig::Analyzer::Config config =
        fixed({sig::Mode::PSK31, sig::Mode::CW},
              {before, nullptr, std::make_shared<Thrower<std::runtime_error>>(std::runtime_error("disk full")), after});
    std::string printed = stderr_of([&] {
        sig::Analyzer analyzer(config);
        feed(analyzer, psk31_audio("CQ CQ DE Q1ABC Q1ABC PSE K ", 1500.0));
        analyzer.flush();
        EXPECT_FALSE(analyzer.disabled());
    });
    EXPECT_EQ(printed, "Analysis channel ch1: sink failed: disk full\n");
    EXPECT_EQ(describe(after->events()), describe(before->events()));
    EXPECT_EQ(after->events().size(), 5u);  // two detected, the PSK31 track's binding, a text and its spot
}

TEST(AnalyzerEvents, DestructionWithoutFlushLosesThePendingLine) {
    const std::vector<float> audio = psk31_audio("CQ CQ DE Q1ABC Q1ABC PSE K ", 1500.0);
    const std::size_t until = audio.size() - 12000 * 5 / 2;  // stops 0.5 s after the text
    for (const bool flush : {false, true}) {
        auto recorder = std::make_shared<Recorder>();
        {
            // Inline, so that every pushed block was processed before the end.
            sig::Analyzer analyzer(fixed({sig::Mode::PSK31}, {recorder}));
            feed(analyzer, std::vector<float>(audio.begin(), audio.begin() + static_cast<std::ptrdiff_t>(until)));
            if (flush) analyzer.flush();
        }
        const Lines expected = flush ? Lines{"detected PSK31", "detected PSK31", "text PSK31 \"CQ CQ DE Q1ABC Q1ABC PSE K\"",
                                             "spot PSK31 Q1ABC"}
                                     : Lines{"detected PSK31", "detected PSK31"};
        EXPECT_EQ(describe(recorder->events()), expected) << flush;
        if (flush) {
            EXPECT_EQ(recorder->events().back().t, recorder->events()[2].t);
        }
    }
}

TEST(AnalyzerEvents, BlockTimesThatAreNotNumbersContinueThePreviousBlock) {
    auto recorder = std::make_shared<Recorder>();
    sig::Analyzer analyzer(fixed({sig::Mode::PSK31}, {recorder}));
    const std::vector<float> audio = psk31_audio("CQ CQ DE Q1ABC Q1ABC PSE K ", 1500.0);
    ASSERT_TRUE(analyzer.push(audio.data(), 400, false, kStart));
    for (std::size_t at = 400; at < audio.size(); at += 400)
        analyzer.push(audio.data() + at, std::min<std::size_t>(400, audio.size() - at), false,
                      std::numeric_limits<double>::quiet_NaN());
    analyzer.flush();
    EXPECT_EQ(describe(recorder->events()), (Lines{"detected PSK31", "detected PSK31",
                                                   "text PSK31 \"CQ CQ DE Q1ABC Q1ABC PSE K\"", "spot PSK31 Q1ABC"}));
    for (const sig::Event& e : recorder->events()) {
        EXPECT_GE(e.t, kStart);
        EXPECT_LE(e.t, kStart + static_cast<double>(audio.size()) / 12000.0);
    }
}

TEST(AnalyzerEvents, DecodedLineTimes) {
    const double end = kStart + 10.0;
    EXPECT_EQ(sig::decoded_line_time(kStart + 3.0, end), kStart + 3.0);
    EXPECT_EQ(sig::decoded_line_time(end - 3600.0, end), end - 3600.0);
    EXPECT_EQ(sig::decoded_line_time(end + 3600.0, end), end + 3600.0);
    for (const double wrong : {0.0, -5.0, end - 3600.5, end + 3601.0, 1e30, -1e30,
                               std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()})
        EXPECT_EQ(sig::decoded_line_time(wrong, end), end) << wrong;
}

// --- Failures on the worker ------------------------------------------------------------------------

TEST(AnalyzerFailure, AnExceptionOnTheWorkerDisablesOnlyThatChannel) {
    auto healthy = std::make_shared<Recorder>();
    const std::vector<float> audio = psk31_audio("CQ CQ DE Q1ABC Q1ABC PSE K ", 1500.0);
    sig::Analyzer::Config bad_config = fixed({sig::Mode::PSK31}, {std::make_shared<Thrower<int>>(42)}, true);
    bad_config.channel = "bad";
    bad_config.ring_seconds = 60.0;
    sig::Analyzer::Config good_config = fixed({sig::Mode::PSK31}, {healthy}, true);
    good_config.ring_seconds = 60.0;

    std::size_t refused = 0;
    const std::string printed = stderr_of([&] {
        sig::Analyzer bad(bad_config);
        sig::Analyzer good(good_config);
        for (std::size_t at = 0; at < audio.size(); at += 400) {
            const std::size_t n = std::min<std::size_t>(400, audio.size() - at);
            if (!bad.push(audio.data() + at, n, false, kStart + at / 12000.0)) ++refused;
            good.push(audio.data() + at, n, false, kStart + at / 12000.0);
            if (at == 0) {
                // The first block fails on the worker; wait until the analyzer knows.
                const auto deadline = std::chrono::steady_clock::now() + 20s;
                while (!bad.disabled() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
                ASSERT_TRUE(bad.disabled());
            }
        }
        const auto start = std::chrono::steady_clock::now();
        bad.flush();  // returns at once: there is nothing to wait for
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        good.flush();
    });
    EXPECT_EQ(printed, "Analysis bad: disabled: unknown error\n");
    const std::size_t blocks = (audio.size() + 399) / 400;
    EXPECT_EQ(refused, blocks - 1);  // every block after the failing one, counted by the caller
    EXPECT_EQ(describe(healthy->events()), (Lines{"detected PSK31", "detected PSK31",
                                                  "text PSK31 \"CQ CQ DE Q1ABC Q1ABC PSE K\"", "spot PSK31 Q1ABC"}));
}

TEST(AnalyzerFailure, AStandardExceptionOnTheWorkerIsNamed) {
    struct Exploding final : sig::EventSink {
        void on_event(const sig::ChannelInfo&, const sig::Event& e) override {
            if (e.kind == sig::EventKind::DETECTED) throw std::logic_error("out of tracks");
        }
    };
    // A std::exception from a sink is only a sink failure ...
    sig::Analyzer::Config config = fixed({sig::Mode::CW}, {std::make_shared<Exploding>()}, true);
    std::string printed = stderr_of([&] {
        sig::Analyzer analyzer(config);
        const std::vector<float> quiet(400, 0.0f);
        analyzer.push(quiet.data(), quiet.size(), false, kStart);
        analyzer.flush();
        EXPECT_FALSE(analyzer.disabled());
        EXPECT_TRUE(analyzer.push(quiet.data(), quiet.size(), false, kStart + 1.0));
    });
    EXPECT_EQ(printed, "Analysis channel ch1: sink failed: out of tracks\n");
}

TEST(AnalyzerFailure, InlineTheExceptionReachesThePusherOnce) {
    sig::Analyzer analyzer(fixed({sig::Mode::CW}, {std::make_shared<Thrower<int>>(7)}));
    const std::vector<float> quiet(400, 0.0f);
    EXPECT_THROW(analyzer.push(quiet.data(), quiet.size(), false, kStart), int);
    EXPECT_TRUE(analyzer.disabled());
    // A front end built later around the same analyzer gets refusals, not the exception again.
    EXPECT_FALSE(analyzer.push(quiet.data(), quiet.size(), false, kStart + 1.0));
    analyzer.flush();
}

// --- Threads ----------------------------------------------------------------------------------------

TEST(AnalyzerThreads, SnapshotsAndPushesFromDifferentThreads) {
    auto recorder = std::make_shared<Recorder>();
    sig::Analyzer::Config config = fixed({sig::Mode::PSK31, sig::Mode::CW, sig::Mode::RTTY}, {recorder}, true);
    config.ring_seconds = 60.0;  // a slow worker (a sanitizer build, a busy machine) must not lose audio here
    sig::Analyzer analyzer(config);
    const std::vector<float> audio = psk31_audio("CQ CQ DE Q1ABC Q1ABC PSE K ", 1500.0);
    std::atomic<bool> done{false};
    std::size_t snapshots = 0;
    std::thread reader([&] {
        while (!done.load()) {
            for (const sig::Candidate& c : analyzer.snapshot()) EXPECT_GE(c.track, kFixed);
            ++snapshots;
            std::this_thread::yield();
        }
    });
    std::size_t refused = 0;
    std::thread producer([&] {
        // Paced at about ten times real time, with capture resets from another thread.
        for (std::size_t at = 0; at < audio.size(); at += 400) {
            if (!analyzer.push(audio.data() + at, std::min<std::size_t>(400, audio.size() - at), false,
                               kStart + at / 12000.0))
                ++refused;
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread resetter([&] {
        for (int n = 0; n < 3; ++n) {
            std::this_thread::sleep_for(50ms);
            analyzer.push(nullptr, 0, true, 0.0);
        }
    });
    producer.join();
    resetter.join();
    analyzer.flush();
    done = true;
    reader.join();
    EXPECT_EQ(refused, 0u);
    EXPECT_GT(snapshots, 0u);
    EXPECT_EQ(analyzer.snapshot().size(), 3u);
    const auto events = recorder->events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(describe(std::vector<sig::Event>(events.begin(), events.begin() + 3)),
              (Lines{"detected PSK31", "detected CW", "detected RTTY"}));
}

// --- A station: three channels, one set of sinks -------------------------------------------------

// The PSK Reporter collector on loopback, or (under ThreadSanitizer, whose runtime cannot host
// the asynchronous resolver's threads) the datagrams kept in memory.
class Collector {
public:
    Collector() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot bind loopback collector");
        link_ = std::make_unique<PskCollectorLink>("127.0.0.1", std::to_string(ntohs(address.sin_port)));
    }
    ~Collector() { ::close(fd_); }
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    PskReporter::SendHook hook() {
        return [this](const std::vector<unsigned char>& bytes) {
#if defined(__SANITIZE_THREAD__)
            std::lock_guard<std::mutex> lock(mutex_);
            kept_.push_back(bytes);
#else
            link_->send(bytes, nullptr);
#endif
        };
    }

    std::vector<PskSpot> spots() {
        std::vector<std::vector<unsigned char>> datagrams;
#if defined(__SANITIZE_THREAD__)
        std::lock_guard<std::mutex> lock(mutex_);
        datagrams = kept_;
#else
        for (;;) {
            std::vector<unsigned char> buffer(65536);
            const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n <= 0) break;
            buffer.resize(static_cast<std::size_t>(n));
            datagrams.push_back(std::move(buffer));
        }
#endif
        std::vector<PskSpot> spots;
        for (const auto& datagram : datagrams) {
            const IpfixMessage message = read_ipfix_message(datagram);
            spots.insert(spots.end(), message.spots.begin(), message.spots.end());
        }
        return spots;
    }

private:
    int fd_ = -1;
    std::unique_ptr<PskCollectorLink> link_;
    std::mutex mutex_;
    std::vector<std::vector<unsigned char>> kept_;
};

TEST(AnalysisStation, ThreeChannelsShareTheLogTheJournalAndTheReporter) {
    TempDir dir;
    Collector collector;
    PskClocks clocks;
    clocks.now_s = static_cast<std::int64_t>(kStart) + 20;
    auto reporter = std::make_shared<PskReporter>("K1RX", "FN31", collector.hook(), an_hour, PskReporter::SentHook{},
                                                  clocks.policy());
    auto reporter_sink = std::make_shared<sig::ReporterSink>(reporter);
    const std::string journal = (dir / "signal-events.jsonl").string();
    const std::vector<std::shared_ptr<sig::EventSink>> shared{std::make_shared<sig::StderrSink>(),
                                                              std::make_shared<sig::JournalSink>(journal), reporter_sink};

    struct Channel {
        std::string id;
        sig::Mode mode;
        double dial_hz;
        double bandwidth_hz;
        std::vector<float> audio;
    };
    std::vector<Channel> channels{
        {"psk", sig::Mode::PSK31, 14069000.0, 3000.0, psk31_audio("CQ CQ DE Q1ABC Q1ABC PSE K ", 1504.0)},
        {"rtty", sig::Mode::RTTY, 14081500.0, 3000.0,
         minimodem_audio("CQ CQ DE Q2XYZ Q2XYZ PSE K\nRYRYRY THE QUICK BROWN FOX\n", 1415.0, 1585.0)},
        {"cw", sig::Mode::CW, 7029400.0, 1400.0, ebook2cw_audio("CQ CQ DE Q3DEF Q3DEF K", 25, 700)},
    };
    std::vector<std::unique_ptr<sig::Analyzer>> analyzers;
    for (const Channel& c : channels) {
        sig::Analyzer::Config config = fixed({c.mode}, shared, true, c.bandwidth_hz);
        config.channel = c.id;
        config.dial_hz = c.dial_hz;
        config.ring_seconds = 60.0;
        analyzers.push_back(std::make_unique<sig::Analyzer>(config));
    }
    const std::string log = stderr_of([&] {
        std::vector<std::thread> producers;
        for (std::size_t k = 0; k < channels.size(); ++k)
            producers.emplace_back([&, k] { EXPECT_TRUE(feed(*analyzers[k], channels[k].audio)); });
        for (std::thread& t : producers) t.join();
        for (auto& analyzer : analyzers) analyzer->flush();
        analyzers.clear();
        reporter->stop();
    });

    // SIG lines: per channel detected, text, spot, in that order.
    std::map<std::string, std::vector<std::string>> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("PSK Reporter: sent ")) continue;  // the reporter's own summary
        ASSERT_TRUE(line.starts_with("SIG ")) << line;
        const std::size_t ch = line.find(" ch=");
        lines[line.substr(ch + 4, line.find(' ', ch + 4) - ch - 4)].push_back(line);
    }
    // Each channel's track is announced where it listens first, then where it follows the signal
    // the classifier found (with its measured width and SNR), then its text and spot. A
    // one-character line from the RTTY sender's last moment is no part of the message.
    for (auto& [id, got] : lines)
        while (got.size() > 4 && got.back().find(" text=\"") != std::string::npos &&
               got.back().substr(got.back().find(" text=\"") + 7).size() <= 2)
            got.pop_back();
    const auto has = [](const std::vector<std::string>& got, std::size_t k, const std::string& part) {
        return k < got.size() && got[k].find(part) != std::string::npos;
    };
    ASSERT_EQ(lines["psk"].size(), 4u);
    EXPECT_EQ(lines["psk"][0], "SIG PSK31 240501_120000 14.070500 MHz: detected track=2147483648 ch=psk bw=3000 snr=0.0");
    EXPECT_TRUE(has(lines["psk"], 1, " MHz: detected track=2147483648 ch=psk bw=")) << lines["psk"][1];
    EXPECT_TRUE(has(lines["psk"], 2, " 14.070504 MHz: text track=2147483648 ch=psk snr=")) << lines["psk"][2];
    EXPECT_TRUE(has(lines["psk"], 2, " text=\"CQ CQ DE Q1ABC Q1ABC PSE K\" calls=Q1ABC:0.95")) << lines["psk"][2];
    EXPECT_TRUE(has(lines["psk"], 3, " 14.070504 MHz: spot track=2147483648 ch=psk call=Q1ABC conf=0.95 snr="))
        << lines["psk"][3];
    ASSERT_EQ(lines["rtty"].size(), 4u);
    EXPECT_EQ(lines["rtty"][0], "SIG RTTY 240501_120000 14.083000 MHz: detected track=2147483648 ch=rtty bw=3000 snr=0.0");
    EXPECT_TRUE(has(lines["rtty"], 1, " MHz: detected track=2147483648 ch=rtty bw=")) << lines["rtty"][1];
    EXPECT_TRUE(has(lines["rtty"], 2, " MHz: text track=2147483648 ch=rtty snr=")) << lines["rtty"][2];
    EXPECT_TRUE(has(lines["rtty"], 2, " text=\"CQ CQ DE Q2XYZ")) << lines["rtty"][2];
    EXPECT_TRUE(has(lines["rtty"], 3, " MHz: spot track=2147483648 ch=rtty call=Q2XYZ conf=0.95")) << lines["rtty"][3];
    ASSERT_EQ(lines["cw"].size(), 4u);
    EXPECT_EQ(lines["cw"][0], "SIG CW 240501_120000 7.030100 MHz: detected track=2147483648 ch=cw bw=1400 snr=0.0");
    EXPECT_TRUE(has(lines["cw"], 1, " MHz: detected track=2147483648 ch=cw bw=")) << lines["cw"][1];
    EXPECT_TRUE(has(lines["cw"], 2, " MHz: text track=2147483648 ch=cw snr=")) << lines["cw"][2];
    EXPECT_TRUE(has(lines["cw"], 2, " text=\"CQ CQ DE Q3DEF Q3DEF K\" calls=Q3DEF:0.95")) << lines["cw"][2];
    EXPECT_TRUE(has(lines["cw"], 3, " MHz: spot track=2147483648 ch=cw call=Q3DEF conf=0.95")) << lines["cw"][3];

    // The journal, read back by Python's json: per channel kind, mode, rf and calls in order.
    const std::string script =
        "import json, sys\n"
        "for line in open(sys.argv[1], encoding='utf-8').read().split('\\n')[:-1]:\n"
        "    r = json.loads(line)\n"
        "    print(r['channel'], r['kind'], r['mode'], round(r['rf_hz']), r.get('call', ''),\n"
        "          ','.join(c['call'] + ':' + c['evidence'] for c in r.get('calls', [])))\n";
    const ProcessResult decoded = run_process({"/usr/bin/python3", "-c", script, journal});
    ASSERT_EQ(decoded.exit_status, 0) << decoded.err;
    std::map<std::string, std::vector<std::string>> records;
    std::istringstream jin(decoded.out);
    for (std::string line; std::getline(jin, line);) records[line.substr(0, line.find(' '))].push_back(line);
    auto near = [](const std::string& record, const std::string& prefix, double rf, const std::string& tail) {
        // "channel kind mode rf call calls": the rf within 2 Hz of where the signal was sent.
        std::istringstream fields(record);
        std::string channel, kind, mode;
        double got = 0;
        fields >> channel >> kind >> mode >> got;
        std::string rest;
        std::getline(fields, rest);
        EXPECT_EQ(channel + " " + kind + " " + mode, prefix) << record;
        EXPECT_NEAR(got, rf, 2.0) << record;
        EXPECT_EQ(rest, tail) << record;
    };
    for (auto& [id, got] : records)
        while (got.size() > 4 && got.back().find(" text ") != std::string::npos && got.back().find(':') == std::string::npos)
            got.pop_back();
    ASSERT_EQ(records["psk"].size(), 4u);
    near(records["psk"][0], "psk detected PSK31", 14070500.0, "  ");
    near(records["psk"][1], "psk detected PSK31", 14070504.0, "  ");
    near(records["psk"][2], "psk text PSK31", 14070504.0, "  Q1ABC:DE");
    near(records["psk"][3], "psk spot PSK31", 14070504.0, " Q1ABC ");
    ASSERT_EQ(records["rtty"].size(), 4u);
    near(records["rtty"][0], "rtty detected RTTY", 14083000.0, "  ");
    near(records["rtty"][1], "rtty detected RTTY", 14083000.0, "  ");
    near(records["rtty"][2], "rtty text RTTY", 14083000.0, "  Q2XYZ:DE");
    near(records["rtty"][3], "rtty spot RTTY", 14083000.0, " Q2XYZ ");
    ASSERT_EQ(records["cw"].size(), 4u);
    near(records["cw"][0], "cw detected CW", 7030100.0, "  ");
    near(records["cw"][1], "cw detected CW", 7030100.0, "  ");
    near(records["cw"][2], "cw text CW", 7030100.0, "  Q3DEF:DE");
    near(records["cw"][3], "cw spot CW", 7030100.0, " Q3DEF ");

    // PSK Reporter: each call once, with its mode and frequency.
    std::map<std::string, PskSpot> sent;
    for (const PskSpot& spot : collector.spots()) EXPECT_TRUE(sent.emplace(spot.sender_call, spot).second) << spot.sender_call;
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent["Q1ABC"].mode, "PSK31");
    EXPECT_NEAR(sent["Q1ABC"].frequency_hz, 14070504.0, 2.0);
    EXPECT_EQ(sent["Q2XYZ"].mode, "RTTY");
    EXPECT_NEAR(sent["Q2XYZ"].frequency_hz, 14083000.0, 2.0);
    EXPECT_EQ(sent["Q3DEF"].mode, "CW");
    EXPECT_NEAR(sent["Q3DEF"].frequency_hz, 7030100.0, 2.0);
    for (const auto& [call, spot] : sent) {
        EXPECT_GT(spot.time, static_cast<std::uint32_t>(kStart));
        EXPECT_LT(spot.time, static_cast<std::uint32_t>(kStart) + 20);
    }
    EXPECT_EQ(reporter_sink->accepted(), 3u);
}

}  // namespace
