// The pieces of an analysis channel in the live engine: the front end that turns capture frames
// into 12000 Hz audio for the analyzer, the analyzer's configuration, and the track text that
// ANALYZE STATUS shows.

#include "live/analysis_dsp.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "decode/channelizer.hpp"
#include "live/audio_dsp.hpp"
#include "live/make_analysis_channel.hpp"
#include "live/track_text.hpp"
#include "sig/analysis_channel_spec.hpp"
#include "sig/stderr_sink.hpp"
#include "tests/support/tone_measure.hpp"

namespace {

constexpr double rate = 64000;
constexpr double centre = 7100000;
constexpr double origin = 1765000000.0;  // UNIX seconds of the "recording"'s first sample

using Iq = std::vector<std::complex<float>>;

Iq tone_iq(double rf_hz, double amplitude, std::size_t count)
{
    Iq iq(count);
    for (std::size_t n = 0; n < count; ++n) {
        double const phase = 2 * std::numbers::pi * std::fmod((rf_hz - centre) * static_cast<double>(n) / rate, 1.0);
        iq[n] = {static_cast<float>(amplitude * std::cos(phase)), static_cast<float>(amplitude * std::sin(phase))};
    }
    return iq;
}

AnalysisSettings replay_settings()
{
    AnalysisSettings settings;
    settings.iq_replay = true;
    settings.replay_origin = origin;
    settings.receiver = "test";
    return settings;
}

// What the front end handed on, frame by frame.
struct Fed {
    std::vector<float> audio;
    std::vector<double> times;
    std::vector<std::size_t> sizes;
};

Fed feed(AnalysisDSP& front, Iq const& iq)
{
    Fed fed;
    Channelizer::Impl channelizer(rate, centre, 2500, 1.0, {}, nullptr);
    channelizer.set_spectrum_hook([&](SpectrumFrame const& frame) {
        front.process(frame);
        fed.audio.insert(fed.audio.end(), front.block().begin(), front.block().end());
        fed.times.push_back(front.last_block_time());
        fed.sizes.push_back(front.block().size());
    });
    Channelizer::Impl::Rows rows;
    channelizer.push_iq(iq.data(), iq.size(), rows);
    return fed;
}

std::shared_ptr<AnalysisDSP> front_end(std::string const& spec, std::shared_ptr<SpectrumRows> engine = nullptr)
{
    AnalysisChannel const channel = parse_analysis_channel(spec);
    AnalysisSettings const settings = replay_settings();
    auto analyzer = channel.enabled ? make_analysis_channel(channel, settings, nullptr) : nullptr;
    return std::make_shared<AnalysisDSP>(channel, AnalysisOrigin::user, rate, centre, std::move(analyzer), origin,
                                         true, false, std::move(engine));
}

// ---------------------------------------------------------------------------------------------
// Front end: the channel's sideband, shifted to audio and brought to 12000 Hz.

struct Sideband {
    std::string name;
    std::string spec;
    double tone_rf_hz;
    double audio_hz;
};

std::ostream& operator<<(std::ostream& out, Sideband const& s) { return out << s.name; }

class FrontEndTone : public testing::TestWithParam<Sideband> {};

TEST_P(FrontEndTone, ToneLandsAtItsAudioFrequencyAt12000Hz)
{
    Sideband const& s = GetParam();
    auto front = front_end(s.spec);
    ASSERT_NE(front->chain(), nullptr);
    EXPECT_EQ(front->chain()->channel().audio_rate, 12000u);
    EXPECT_EQ(front->chain()->working_gain(), 1.0);
    EXPECT_FALSE(front->chain()->channel().agc);

    testing::internal::CaptureStderr();
    Fed const fed = feed(*front, tone_iq(s.tone_rf_hz, 0.1, 2 * static_cast<std::size_t>(rate)));
    testing::internal::GetCapturedStderr();  // the analyzer's SIG lines

    // Two seconds in, two seconds of 12000 Hz audio out (less the filter's start-up).
    EXPECT_NEAR(static_cast<double>(fed.audio.size()), 24000.0, 1200.0);
    std::span<float const> const settled = after(fed.audio, 6000);
    EXPECT_NEAR(measure_tone(settled, 12000).frequency_hz, s.audio_hz, 0.5);
    // Unit gain and no AGC: the analyzer sees the tone at the capture's level.
    EXPECT_NEAR(fit_tone(settled, 12000, s.audio_hz).amplitude, 0.1, 0.005);
    EXPECT_LT(fit_tone(settled, 12000, s.audio_hz).residual_rms, 0.003);
    EXPECT_FALSE(front->disabled());
    EXPECT_EQ(front->dropped_blocks(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Channels, FrontEndTone,
    testing::Values(Sideband {"usb", "id=u,frequency=7100500,bandwidth=3000,modes=psk31", 7101500, 1000},
                    Sideband {"lsb", "id=l,frequency=7101500,modulation=LSB,bandwidth=3000,modes=psk31", 7100300,
                              1200},
                    Sideband {"usb_below_centre", "id=b,frequency=7085000,bandwidth=2400,modes=cw", 7085700, 700}),
    [](testing::TestParamInfo<Sideband> const& info) { return info.param.name; });

// A channel may be wider than 12000 Hz audio carries: it is accepted, and its analyzer hears the
// part of it up to 6000 Hz from the dial.
TEST(AnalysisFrontEnd, WideChannelDeliversWhatItsAudioCarries)
{
    testing::internal::CaptureStderr();
    auto low = front_end("id=w,frequency=7080000,bandwidth=20000,modes=cw");
    Fed const heard = feed(*low, tone_iq(7083000, 0.1, static_cast<std::size_t>(rate)));
    auto high = front_end("id=w,frequency=7080000,bandwidth=20000,modes=cw");
    Fed const beyond = feed(*high, tone_iq(7089000, 0.1, static_cast<std::size_t>(rate)));
    testing::internal::GetCapturedStderr();
    EXPECT_NEAR(fit_tone(after(heard.audio, 3000), 12000, 3000).amplitude, 0.1, 0.005);
    EXPECT_LT(measure_tone(after(beyond.audio, 3000), 12000).rms, 0.002);
}

TEST(AnalysisFrontEnd, ReplayBlockTimesCountFromTheRecordingStartWithoutGaps)
{
    auto front = front_end("id=t,frequency=7100500,modes=psk31");
    testing::internal::CaptureStderr();
    Fed const fed = feed(*front, tone_iq(7101500, 0.1, static_cast<std::size_t>(rate)));
    testing::internal::GetCapturedStderr();
    ASSERT_GT(fed.times.size(), 10u);
    double const hop = static_cast<double>(front->chain()->fft_size()) / 2.0 / rate;
    // Each block is stamped with the time of its first sample, a hop after the previous one,
    // from the replayed file's start (the first frame sits half a hop before sample 0).
    EXPECT_NEAR(fed.times.front(), origin - 0.5 * hop, 1e-6);
    for (std::size_t i = 1; i < fed.times.size(); ++i)
        ASSERT_NEAR(fed.times[i] - fed.times[i - 1], hop, 1e-6) << "frame " << i;
}

TEST(AnalysisFrontEnd, LiveBlockTimesFollowTheClock)
{
    AnalysisChannel const channel = parse_analysis_channel("id=t,frequency=7100500,modes=cw");
    AnalysisSettings settings;
    auto analyzer = make_analysis_channel(channel, settings, nullptr);
    AnalysisDSP front(channel, AnalysisOrigin::user, rate, centre, analyzer, 0.0, false, false, nullptr);
    double const before = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    testing::internal::CaptureStderr();
    Fed const fed = feed(front, tone_iq(7101500, 0.1, 16000));
    testing::internal::GetCapturedStderr();
    ASSERT_GT(fed.times.size(), 2u);
    // The audio of the first frame was taken just before it arrived: its time is now, less
    // the frame's delay, with the later blocks stamped on from it.
    EXPECT_NEAR(fed.times.front(), before, 0.2);
    EXPECT_GE(fed.times.back(), fed.times.front());
}

// Live block times: the capture's sample clock counted from a base time, taken from the system
// clock less the frame's delay. Frames that arrive late (a clock running ahead of the samples)
// raise the base by at most a ten-thousandth of a hop per frame, so jitter in their arrival does
// not shake the stamps; an earlier base is taken at once, and so is any change of more than half
// a second or one after a gap. Two frames a hop apart, the clock a hop and `clock_ahead_s` apart.
struct ClockStep {
    std::string name;
    double clock_ahead_s;
    bool gap;
    double base_shift_s;
};

std::ostream& operator<<(std::ostream& out, ClockStep const& c) { return out << c.name; }

class LiveBaseTime : public testing::TestWithParam<ClockStep> {};

TEST_P(LiveBaseTime, FallsAtOnceAndCreepsUp)
{
    ClockStep const& c = GetParam();
    AnalysisChannel const channel = parse_analysis_channel("id=t,frequency=7100500,modes=cw");
    auto analyzer = make_analysis_channel(channel, AnalysisSettings {}, nullptr);
    double now = 1765000000.0;
    AnalysisDSP front(channel, AnalysisOrigin::user, rate, centre, analyzer, 0.0, false, false, nullptr,
                      [&now] { return now; });
    ASSERT_NE(front.chain(), nullptr);
    std::uint64_t const n = front.chain()->fft_size();
    double const hop_s = static_cast<double>(n / 2) / rate;
    std::vector<std::complex<float>> bins(n);
    SpectrumFrame frame;
    frame.bins = bins.data();
    frame.fft_size = n;
    frame.bin_step = n / std::min<std::uint64_t>(n, 1024);
    frame.rate = rate;
    frame.centre = centre;
    frame.sample_index = 100 * (n / 2);
    front.process(frame);
    double const first = front.last_block_time();
    EXPECT_NEAR(first, now - 1.5 * hop_s, 1e-6) << "stamped with the time its samples were taken";

    if (c.gap)
        front.reset();
    frame.sample_index += n / 2;
    now += hop_s + c.clock_ahead_s;
    front.process(frame);
    EXPECT_FALSE(front.disabled());
    EXPECT_NEAR(front.last_block_time() - first - hop_s, c.base_shift_s, 1e-6);
}

// A hop is 32 ms here, so the base creeps by 3.2 us per frame.
INSTANTIATE_TEST_SUITE_P(
    Steps, LiveBaseTime,
    testing::Values(ClockStep {"in_step", 0.0, false, 0.0}, ClockStep {"late_frame_creeps", 0.01, false, 3.2e-6},
                    ClockStep {"just_under_half_a_second_creeps", 0.4999, false, 3.2e-6},
                    ClockStep {"over_half_a_second_is_taken_at_once", 0.5001, false, 0.5001},
                    ClockStep {"early_frame_is_taken_at_once", -0.3, false, -0.3},
                    ClockStep {"after_a_gap_a_late_frame_is_taken_at_once", 0.01, true, 0.01}),
    [](testing::TestParamInfo<ClockStep> const& info) { return info.param.name; });

// A stand-in for the GPU receive engine that records the rows registered with it.
class RecordingRows : public SpectrumRows {
public:
    int add_complex_row(std::vector<std::int64_t>, std::vector<float>, double) override { return ++added; }
    int add_real_row(std::vector<std::int64_t>, std::vector<std::uint64_t>, double) override { return -1; }
    void remove(int id) override { removed.push_back(id); }
    void set_window(double, double, double) override {}

    int added = 0;
    std::vector<int> removed;
};

TEST(AnalysisFrontEnd, DisabledChannelBuildsNoChainAndTakesNoEngineRow)
{
    auto rows = std::make_shared<RecordingRows>();
    {
        auto const disabled = front_end("id=off,frequency=7100500,modes=psk31,enabled=false", rows);
        EXPECT_EQ(disabled->chain(), nullptr);
        EXPECT_EQ(disabled->analyzer(), nullptr);
        EXPECT_EQ(rows->added, 0);
        Fed const fed = feed(*disabled, tone_iq(7101500, 0.1, 16000));
        EXPECT_TRUE(fed.audio.empty());
    }
    EXPECT_TRUE(rows->removed.empty());
    {
        auto const enabled = front_end("id=on,frequency=7100500,modes=psk31", rows);
        ASSERT_NE(enabled->chain(), nullptr);
        EXPECT_EQ(rows->added, 1);
    }
    EXPECT_EQ(rows->removed, std::vector<int>{1}) << "the row leaves with the front end";
}

TEST(AnalysisFrontEnd, ResetMarksTheNextBlockDiscontinuousOnce)
{
    // Pushed times are what the front end reports; the analyzer refuses nothing here.
    auto front = front_end("id=r,frequency=7100500,modes=cw");
    testing::internal::CaptureStderr();
    Iq const iq = tone_iq(7101500, 0.1, 32000);
    feed(*front, iq);
    front->reset();
    feed(*front, iq);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(front->disabled());
    EXPECT_EQ(front->dropped_blocks(), 0u);
}

// ---------------------------------------------------------------------------------------------
// The analyzer's configuration.

class CountingSink : public sig::EventSink {
public:
    void on_event(sig::ChannelInfo const&, sig::Event const&) override {}
};

TEST(MakeAnalysisChannel, ConfigurationFromSpecAndRun)
{
    AnalysisSettings settings;
    settings.receiver = "rx888 A1";
    settings.image_dir = "/tmp/pictures";
    auto const first = std::make_shared<CountingSink>();
    auto const second = std::make_shared<CountingSink>();
    auto const reporter = std::make_shared<CountingSink>();
    settings.sinks = {first, second};
    settings.reporter = reporter;
    auto const text = std::make_shared<TrackText>();

    AnalysisChannel const reporting = parse_analysis_channel(
        "id=c1,frequency=7040000,modulation=LSB,bandwidth=2000,modes=rtty+cw,rtty=50/170,olivia=8/250@1000");
    sig::Analyzer::Config const c = analysis_channel_config(reporting, settings, text);
    EXPECT_EQ(c.channel, "c1");
    EXPECT_EQ(c.receiver, "rx888 A1");
    EXPECT_EQ(c.dial_hz, 7040000.0);
    EXPECT_FALSE(c.usb);
    EXPECT_EQ(c.bandwidth_hz, 2000.0);
    EXPECT_FALSE(c.modes_auto);
    EXPECT_EQ(c.modes, (std::vector<sig::Mode>{sig::Mode::RTTY, sig::Mode::CW}));
    EXPECT_EQ(c.rtty, "50/170");
    ASSERT_EQ(c.olivia.size(), 1u);
    EXPECT_EQ(c.olivia[0].format, "8/250");
    EXPECT_EQ(c.image_dir, "/tmp/pictures");
    EXPECT_TRUE(c.threaded) << "a live run gives every analyzer its worker";
    EXPECT_EQ(c.ring_seconds, 4.0);
    // The run's sinks in order, then the reporter, and the track text always last.
    EXPECT_EQ(c.sinks, (std::vector<std::shared_ptr<sig::EventSink>>{first, second, reporter, text}));

    AnalysisChannel quiet = reporting;
    quiet.report = false;
    settings.iq_replay = true;
    sig::Analyzer::Config const q = analysis_channel_config(quiet, settings, text);
    EXPECT_EQ(q.sinks, (std::vector<std::shared_ptr<sig::EventSink>>{first, second, text}));
    EXPECT_FALSE(q.threaded) << "on IQ replay the analyzer works on the pushing thread";
}

// ---------------------------------------------------------------------------------------------
// Track text.

sig::Event event(sig::EventKind kind, std::uint32_t track, std::string text = {})
{
    sig::Event e;
    e.kind = kind;
    e.track = track;
    e.text = std::move(text);
    return e;
}

sig::ChannelInfo channel_info(std::string id)
{
    sig::ChannelInfo info;
    info.channel = std::move(id);
    return info;
}

struct TextCase {
    std::string name;
    std::vector<std::pair<std::string, sig::Event>> events;  // channel, event
    std::string channel;
    std::uint32_t track;
    std::string expected;
};

std::ostream& operator<<(std::ostream& out, TextCase const& c) { return out << c.name; }

class TrackTextCases : public testing::TestWithParam<TextCase> {};

TEST_P(TrackTextCases, KeepsTheLatestTextOfEachTrack)
{
    TextCase const& c = GetParam();
    TrackText text;
    for (auto const& [channel, e] : c.events)
        text.on_event(channel_info(channel), e);
    EXPECT_EQ(text.text(c.channel, c.track), c.expected);
}

std::string const hundred = std::string(60, 'a') + std::string(40, 'b');
// "é" is two bytes (C3 A9): 79 ASCII bytes then the character put its second byte at the cut.
std::string const accented = std::string(21, 'x') + "\xC3\xA9" + std::string(79, 'y');

INSTANTIATE_TEST_SUITE_P(
    Events, TrackTextCases,
    testing::Values(
        TextCase {"joined_in_order", {{"a", event(sig::EventKind::TEXT, 7, "CQ ")}, {"a", event(sig::EventKind::TEXT, 7, "DE")}}, "a", 7, "CQ DE"},
        TextCase {"last_80_bytes", {{"a", event(sig::EventKind::TEXT, 7, hundred)}}, "a", 7, hundred.substr(20)},
        TextCase {"cut_never_inside_a_character", {{"a", event(sig::EventKind::TEXT, 7, accented)}}, "a", 7, std::string(79, 'y')},
        TextCase {"lost_forgets", {{"a", event(sig::EventKind::TEXT, 7, "old")}, {"a", event(sig::EventKind::LOST, 7)}}, "a", 7, ""},
        TextCase {"after_lost_starts_afresh",
                  {{"a", event(sig::EventKind::TEXT, 7, "old")}, {"a", event(sig::EventKind::LOST, 7)}, {"a", event(sig::EventKind::TEXT, 7, "new")}},
                  "a", 7, "new"},
        TextCase {"channels_apart", {{"a", event(sig::EventKind::TEXT, 7, "one")}, {"b", event(sig::EventKind::TEXT, 7, "two")}}, "b", 7, "two"},
        TextCase {"tracks_apart", {{"a", event(sig::EventKind::TEXT, 7, "one")}, {"a", event(sig::EventKind::TEXT, 8, "two")}}, "a", 7, "one"},
        TextCase {"other_kinds_pass_by",
                  {{"a", event(sig::EventKind::DETECTED, 7, "d")}, {"a", event(sig::EventKind::SPOT, 7, "s")}, {"a", event(sig::EventKind::WEFAX_IMAGE, 7, "/p.png")}},
                  "a", 7, ""}),
    [](testing::TestParamInfo<TextCase> const& info) { return info.param.name; });

TEST(TrackText, ForgetDropsEveryTrackOfOneChannelOnly)
{
    TrackText text;
    text.on_event(channel_info("a"), event(sig::EventKind::TEXT, 1, "x"));
    text.on_event(channel_info("a"), event(sig::EventKind::TEXT, 2147483648u, "y"));
    text.on_event(channel_info("ab"), event(sig::EventKind::TEXT, 1, "z"));
    text.forget("a");
    EXPECT_EQ(text.text("a", 1), "");
    EXPECT_EQ(text.text("a", 2147483648u), "");
    EXPECT_EQ(text.text("ab", 1), "z");
}

// ---------------------------------------------------------------------------------------------
// The STATUS line of one track.

sig::Candidate candidate(double audio_hz, double bandwidth_hz, double snr, double first, double last)
{
    sig::Candidate c;
    c.track = 2147483648u;
    c.mode = sig::Mode::RTTY;
    c.variant = "45.45/170";
    c.audio_hz = audio_hz;
    c.bandwidth_hz = bandwidth_hz;
    c.snr_db = snr;
    c.start_time = first;
    c.last_seen = last;
    return c;
}

TEST(TrackLine, FieldsOfAnOrdinaryTrack)
{
    EXPECT_EQ(format_track_line("r1", 14080000, true, candidate(1500.5, 250.4, 12.34, 100, 112.25), "RYRY \"Q\"\n"),
              "track id=r1 mode=RTTY-45.45/170 hz=14081501 bw=250 snr=12.3 age=12.2 text=\"RYRY \\\"Q\\\"\\x0A\"");
    sig::Candidate plain = candidate(700, 100, -3.06, 50, 40);
    plain.mode = sig::Mode::CW;
    plain.variant.clear();
    EXPECT_EQ(format_track_line("c", 7030000, false, plain, ""),
              "track id=c mode=CW hz=7029300 bw=100 snr=-3.1 age=0.0 text=\"\"");
}

// Whatever the numbers, the line keeps its fields and its quoted text whole.
TEST(TrackLine, ExtremeValuesLeaveTheLineWellFormed)
{
    double const inf = std::numeric_limits<double>::infinity();
    double const nan = std::numeric_limits<double>::quiet_NaN();
    std::string const text(80, '"');
    std::vector<sig::Candidate> extremes = {
        candidate(1e300, -1e300, 1e300, -1e300, 1e300), candidate(inf, inf, -inf, inf, -inf),
        candidate(nan, nan, nan, nan, nan),           candidate(-9.3e18, 9.3e18, -1e12, 0, 5e300)};
    extremes.back().variant = std::string(200, 'v') + " \"x\"";
    for (sig::Candidate const& c : extremes) {
        std::string const line = format_track_line(std::string(32, 'i'), 1e300, true, c, text);
        std::size_t const at = line.find(" text=\"");
        ASSERT_NE(at, std::string::npos) << line;
        std::string escaped;
        for (int i = 0; i < 80; ++i)
            escaped += "\\\"";
        EXPECT_EQ(line.substr(at), " text=\"" + escaped + "\"") << line;
        // Before the text: blank-separated key=value fields, no quote among them.
        EXPECT_EQ(line.substr(0, at).find('"'), std::string::npos) << line;
        EXPECT_EQ(line.substr(0, at).find("nan"), std::string::npos) << line;
        EXPECT_EQ(line.substr(0, at).find("inf"), std::string::npos) << line;
        EXPECT_LT(at, 400u) << line;
    }
}

}  // namespace
