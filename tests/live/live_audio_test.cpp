// The live engine's channel commands, limits, frame processing and retune, driven the way the
// run loop and the control thread drive it: handle_command, process with channelizer frames,
// reset_audio, check_retune, prepare_retune and its commit.
#include "live/live_audio.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "core/capture_fit_error.hpp"
#include "decode/channelizer.hpp"
#include "tests/support/control_request.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tone_measure.hpp"

namespace {

namespace fs = std::filesystem;

constexpr double rate = 64000;
constexpr double centre = 7100000;

using Iq = std::vector<std::complex<float>>;

Iq tone_iq(double rf_hz, double amplitude, std::size_t count, double iq_centre, std::size_t first = 0)
{
    Iq iq(count);
    for (std::size_t n = 0; n < count; ++n) {
        double const t = static_cast<double>(first + n) / rate;
        double const phase = 2 * std::numbers::pi * std::fmod((rf_hz - iq_centre) * t, 1.0);
        iq[n] = {static_cast<float>(amplitude * std::cos(phase)), static_cast<float>(amplitude * std::sin(phase))};
    }
    return iq;
}

std::vector<float> wav_samples(fs::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> const bytes {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<float> samples;
    for (std::size_t i = 44; i + 1 < bytes.size(); i += 2)
        samples.push_back(static_cast<float>(static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8))) / 32767.0f);
    return samples;
}

std::string reply_to(LiveAudio& live, std::string const& request)
{
    try {
        return live.handle_command(request);
    } catch (std::exception const& error) {
        return std::string("ERROR ") + error.what();
    }
}

class LiveAudioTest : public testing::Test {
protected:
    void SetUp() override
    {
        char const* runtime = std::getenv("XDG_RUNTIME_DIR");
        had_runtime_ = runtime != nullptr;
        saved_runtime_ = had_runtime_ ? runtime : "";
        fs::create_directory(dir / "runtime");
        fs::permissions(dir / "runtime", fs::perms(0700));
        ::setenv("XDG_RUNTIME_DIR", (dir / "runtime").c_str(), 1);
    }
    void TearDown() override
    {
        if (had_runtime_)
            ::setenv("XDG_RUNTIME_DIR", saved_runtime_.c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }

    std::unique_ptr<LiveAudio> make(bool iq_replay = false, std::vector<AudioChannel> const& channels = {})
    {
        AnalysisSettings settings;
        settings.iq_replay = iq_replay;
        return std::make_unique<LiveAudio>(rate, centre, rate, "", channels, LiveAudio::RadioHook {}, false,
                                           settings, nullptr);
    }

    // IQ centred on iq_centre through a channelizer into the engine, frame by frame.
    static void feed(LiveAudio& live, Iq const& iq, double iq_centre = centre)
    {
        Channelizer::Impl channelizer(rate, iq_centre, 2500, 1.0, {}, nullptr);
        channelizer.set_spectrum_hook([&live](SpectrumFrame const& frame) { live.process(frame); });
        Channelizer::Impl::Rows rows;
        channelizer.push_iq(iq.data(), iq.size(), rows);
    }

    std::string wav(std::string const& name) const { return (dir / name).string(); }

    TempDir dir;
    bool had_runtime_ = false;
    std::string saved_runtime_;
};

// ---------------------------------------------------------------------------------------------
// Commands

struct Command {
    std::string name;
    std::vector<std::string> before;  // each answered "OK"
    std::string request;
    std::string reply;  // "{dir}" stands for the test's directory
};

std::ostream& operator<<(std::ostream& out, Command const& c) { return out << c.name; }

class LiveAudioCommands : public LiveAudioTest, public testing::WithParamInterface<Command> {};

std::string with_dir(std::string text, std::string const& dir)
{
    for (std::size_t at = text.find("{dir}"); at != std::string::npos; at = text.find("{dir}", at + dir.size()))
        text.replace(at, 5, dir);
    return text;
}

TEST_P(LiveAudioCommands, AnswerExactly)
{
    Command const& c = GetParam();
    auto live = make();
    live->set_decoder_frequencies({14074000.4, 7074000.6});
    std::string const base = dir.path().string();
    for (std::string const& request : c.before)
        ASSERT_EQ(reply_to(*live, with_dir(request, base)), "OK") << request;
    EXPECT_EQ(reply_to(*live, with_dir(c.request, base)), with_dir(c.reply, base));
}

std::string const header = "OK capture=7100000.000000,span=57600.000000,decoders=14074000/7074001";
std::string const add_a = "ADD id=a,frequency=7090000,wav={dir}/a.wav";
std::string const line_a =
    "id=a,frequency=7090000,modulation=USB,bandwidth=3000,audio-rate=48000,audio-gain=10,enabled=true,wav={dir}/a.wav";
std::string const preserves =
    "ERROR Live tuning preserves output rate, sink, socket and WAV; remove/re-add to change them";

INSTANTIATE_TEST_SUITE_P(
    Requests, LiveAudioCommands,
    testing::Values(
        Command {"status_empty", {}, "STATUS", header},
        Command {"status_lists_channels", {add_a, "ADD id=b,frequency=7110000,modulation=AM,socket=/tmp/b.sock"},
                 "STATUS",
                 header + "\n" + line_a
                     + "\nid=b,frequency=7110000,modulation=AM,bandwidth=6000,audio-rate=48000,audio-gain=10,"
                       "enabled=true,socket=/tmp/b.sock"},
        Command {"add_twice", {add_a}, "ADD id=a,frequency=7095000,wav={dir}/other.wav",
                 "ERROR Audio ID already exists; remove it before replacing it"},
        Command {"add_outside_capture", {}, "ADD id=a,frequency=7140000",
                 "ERROR Audio passband is outside the running capture; receiver restart required"},
        Command {"add_bad_spec", {}, "ADD id=a", "ERROR Audio channel frequency is required"},
        Command {"add_same_wav", {add_a}, "ADD id=b,frequency=7095000,wav={dir}/a.wav",
                 "ERROR The WAV file of audio channel a and the WAV file of audio channel b refer to the same file"},
        Command {"add_same_wav_other_spelling", {add_a}, "ADD id=b,frequency=7095000,wav={dir}/./x/../a.wav",
                 "ERROR The WAV file of audio channel a and the WAV file of audio channel b refer to the same file"},
        Command {"add_disabled_creates_nothing", {"ADD id=off,frequency=7140000,enabled=false"}, "STATUS", header},
        Command {"remove_unknown", {}, "REMOVE nobody", "OK"},
        Command {"remove_bad_id", {}, "REMOVE " + std::string(33, 'x'), "ERROR Invalid audio ID"},
        Command {"remove", {add_a, "REMOVE a"}, "STATUS", header},
        Command {"clear", {add_a, "CLEAR"}, "STATUS", header},
        Command {"set_unknown", {}, "SET id=a,frequency=7090000", "ERROR Audio receiver does not exist"},
        Command {"set_disable", {add_a}, "SET id=a,frequency=7090000,wav={dir}/a.wav,enabled=false", preserves},
        Command {"set_rate", {add_a}, "SET id=a,frequency=7090000,wav={dir}/a.wav,audio-rate=24000", preserves},
        Command {"set_wav", {add_a}, "SET id=a,frequency=7090000,wav={dir}/b.wav", preserves},
        Command {"set_outside_capture", {add_a}, "SET id=a,frequency=7140000,wav={dir}/a.wav",
                 "ERROR Audio passband is outside the running capture; receiver restart required"},
        Command {"set_gain_in_place", {add_a, "SET id=a,frequency=7090000,wav={dir}/a.wav,audio-gain=2.5"}, "STATUS",
                 header + "\n"
                     + "id=a,frequency=7090000,modulation=USB,bandwidth=3000,audio-rate=48000,audio-gain=2.5,"
                       "enabled=true,wav={dir}/a.wav"},
        Command {"set_retunes", {add_a, "SET id=a,frequency=7095000,modulation=LSB,wav={dir}/a.wav"}, "STATUS",
                 header + "\n"
                     + "id=a,frequency=7095000,modulation=LSB,bandwidth=3000,audio-rate=48000,audio-gain=10,"
                       "enabled=true,wav={dir}/a.wav"},
        Command {"unknown", {}, "HELLO", "ERROR Expected ADD, SET, REMOVE, CLEAR, STATUS or ANALYZE ..."},
        Command {"spectrum_malformed", {}, "SPECTRUM v 7090000 7090000 64",
                 "ERROR SPECTRUM needs ID, a range inside the capture and 16..1024 bins"}),
    [](testing::TestParamInfo<Command> const& info) { return info.param.name; });

// Sixteen channels count together; audio socket channels ("web listeners") have their own 24.
TEST_F(LiveAudioTest, ChannelLimits)
{
    auto live = make();
    testing::internal::CaptureStderr();  // the socket channels wait for their listeners
    for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(reply_to(*live, "ADD id=w" + std::to_string(i) + ",frequency=" + std::to_string(7080000 + 1000 * i)
                                      + ",wav=" + wav("w" + std::to_string(i) + ".wav")),
                  "OK");
    }
    EXPECT_EQ(reply_to(*live, "ADD id=more,frequency=7090000,wav=" + wav("more.wav")),
              "ERROR At most 16 audio and analysis channels per SDR");
    EXPECT_EQ(reply_to(*live, "ADD id=off,frequency=7090000,enabled=false"),
              "ERROR At most 16 audio and analysis channels per SDR");
    for (int i = 0; i < 24; ++i) {
        ASSERT_EQ(reply_to(*live, "ADD id=s" + std::to_string(i) + ",frequency=7090000,socket=/tmp/norvane-test-"
                                      + std::to_string(i)),
                  "OK");
    }
    EXPECT_EQ(reply_to(*live, "ADD id=s24,frequency=7090000,socket=/tmp/norvane-test-24"),
              "ERROR At most 24 web listener channels per SDR");
    EXPECT_EQ(reply_to(*live, "REMOVE w3"), "OK");
    EXPECT_EQ(reply_to(*live, "ADD id=more,frequency=7090000,wav=" + wav("more.wav")), "OK");
    live.reset();
    testing::internal::GetCapturedStderr();
}

// ---------------------------------------------------------------------------------------------
// Frames

TEST_F(LiveAudioTest, ChannelsRunInlineUpToThreeAndOnIqReplay)
{
    auto live = make();
    Iq const quiet(4096);
    for (int i = 0; i < 3; ++i)
        reply_to(*live, "ADD id=c" + std::to_string(i) + ",frequency=7090000,wav=" + wav("c" + std::to_string(i) + ".wav"));
    feed(*live, quiet);
    EXPECT_EQ(live->channel_team_workers(), 0u);
    reply_to(*live, "ADD id=c3,frequency=7090000,wav=" + wav("c3.wav"));
    feed(*live, quiet);
    EXPECT_GE(live->channel_team_workers(), 1u);

    auto replay = make(true);
    for (int i = 0; i < 16; ++i)
        reply_to(*replay, "ADD id=r" + std::to_string(i) + ",frequency=7090000,wav=" + wav("r" + std::to_string(i) + ".wav"));
    feed(*replay, quiet);
    EXPECT_EQ(replay->channel_team_workers(), 0u);
}

// Four channels go over the ChannelTeam, three run inline: each channel's audio is the same.
TEST_F(LiveAudioTest, TeamAndInlineGiveTheSameAudio)
{
    Iq iq = tone_iq(7091000, 0.01, 64000, centre);
    Iq const second = tone_iq(7108500, 0.02, 64000, centre);
    for (std::size_t i = 0; i < iq.size(); ++i)
        iq[i] += second[i];
    std::vector<std::string> const specs = {
        "id=u,frequency=7090000,agc=off", "id=l,frequency=7110000,modulation=LSB,agc=off",
        "id=a,frequency=7091000,modulation=AM", "id=f,frequency=7108500,modulation=FM"};
    // Alone (inline) and on a replay, so that every block reaches its file.
    for (std::string const& spec : specs) {
        auto alone = make(true);
        ASSERT_EQ(reply_to(*alone, "ADD " + spec + ",wav=" + wav("alone" + spec.substr(3, 1) + ".wav")), "OK");
        feed(*alone, iq);
    }
    // Together, live: fed a fifth of a second at a time and let the recordings catch up. A live
    // output never waits: when its writer holds the queue at the very moment a block arrives
    // (a loaded machine can stop it there), the block is dropped and counted, and the files
    // cannot be compared; such a run is repeated.
    for (int attempt = 0; attempt < 5; ++attempt) {
        auto team = make();
        for (std::string const& spec : specs)
            ASSERT_EQ(reply_to(*team, "ADD " + spec + ",wav=" + wav("team" + spec.substr(3, 1) + ".wav")), "OK");
        Channelizer::Impl channelizer(rate, centre, 2500, 1.0, {}, nullptr);
        channelizer.set_spectrum_hook([&team](SpectrumFrame const& frame) { team->process(frame); });
        Channelizer::Impl::Rows rows;
        for (std::size_t at = 0; at < iq.size(); at += 12800) {
            channelizer.push_iq(iq.data() + at, std::min<std::size_t>(12800, iq.size() - at), rows);
            for (int wait = 0; wait < 5000 && team->output_counts().queued > 0; ++wait)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_GE(team->channel_team_workers(), 1u);
        if (team->output_counts().dropped == 0)
            break;
    }
    for (std::string const& spec : specs) {
        std::string const id = spec.substr(3, 1);
        std::vector<float> const team = wav_samples(dir / ("team" + id + ".wav"));
        std::vector<float> const alone = wav_samples(dir / ("alone" + id + ".wav"));
        ASSERT_GT(alone.size(), 40000u) << id;
        EXPECT_EQ(team, alone) << id;
    }
    EXPECT_NEAR(fit_tone(after(wav_samples(dir / "aloneu.wav"), 12000), 48000, 1000).amplitude, 0.1, 0.002);
    EXPECT_NEAR(fit_tone(after(wav_samples(dir / "alonel.wav"), 12000), 48000, 1500).amplitude, 0.2, 0.003);
}

// SET with a new frequency and mode builds a new demodulator; the recording goes on in the
// same file, without a break.
TEST_F(LiveAudioTest, SetRetunesTheChannelAndKeepsItsOutput)
{
    auto live = make(true);
    ASSERT_EQ(reply_to(*live, "ADD id=c,frequency=7090000,agc=off,wav=" + wav("c.wav")), "OK");
    Iq iq = tone_iq(7091000, 0.01, 64000, centre);
    Iq const other = tone_iq(7108800, 0.01, 64000, centre);
    for (std::size_t i = 0; i < iq.size(); ++i)
        iq[i] += other[i];
    Channelizer::Impl channelizer(rate, centre, 2500, 1.0, {}, nullptr);
    channelizer.set_spectrum_hook([&live](SpectrumFrame const& frame) { live->process(frame); });
    Channelizer::Impl::Rows rows;
    channelizer.push_iq(iq.data(), 32000, rows);
    ASSERT_EQ(reply_to(*live, "SET id=c,frequency=7110000,modulation=LSB,agc=off,wav=" + wav("c.wav")), "OK");
    channelizer.push_iq(iq.data() + 32000, 32000, rows);
    live.reset();

    std::vector<float> const samples = wav_samples(dir / "c.wav");
    ASSERT_GT(samples.size(), 44000u) << "both halves in one file";
    EXPECT_NEAR(fit_tone(std::span(samples).subspan(4800, 12000), 48000, 1000).amplitude, 0.1, 0.003);
    EXPECT_NEAR(fit_tone(after(samples, samples.size() - 12000), 48000, 1200).amplitude, 0.1, 0.003);
}

// ---------------------------------------------------------------------------------------------
// Band changes

TEST_F(LiveAudioTest, RetuneCheckCoversEveryChannelTheApplyWould)
{
    auto live = make();
    testing::internal::CaptureStderr();
    ASSERT_EQ(reply_to(*live, "ADD id=s,frequency=7120000,socket=/tmp/norvane-retune-check"), "OK");
    ASSERT_EQ(reply_to(*live, "ADD id=w,frequency=7110000,wav=" + wav("w.wav")), "OK");
    // At 7080 kHz the capture reaches 7108.8 kHz: both channels fall outside.
    try {
        live->check_retune(7080000);
        FAIL() << "a check must not pass what a retune refuses";
    } catch (CaptureFitError const& error) {
        EXPECT_STREQ(error.what(), "Audio passband is outside the running capture; receiver restart required");
    }
    EXPECT_THROW(live->prepare_retune(7080000), CaptureFitError);
    std::string const before = live->handle_command("STATUS");
    EXPECT_EQ(before.substr(0, 41), "OK capture=7100000.000000,span=57600.0000");
    EXPECT_NO_THROW(live->check_retune(7105000));
    live.reset();
    testing::internal::GetCapturedStderr();
}

// The channel follows the capture to its new centre; its recording goes on in the same file.
TEST_F(LiveAudioTest, RetuneKeepsTheRecordingGoing)
{
    auto live = make(true);
    ASSERT_EQ(reply_to(*live, "ADD id=net,frequency=7090000,agc=off,wav=" + wav("net.wav")), "OK");
    feed(*live, tone_iq(7091000, 0.01, 64000, centre));
    double const moved = 7080000;
    live->check_retune(moved);
    {
        std::function<void()> const commit = live->prepare_retune(moved);
        EXPECT_EQ(live->handle_command("STATUS").substr(0, 26), "OK capture=7100000.000000,")
            << "nothing changes yet";
        commit();
        live->reset_audio();
    }
    EXPECT_EQ(live->handle_command("STATUS").substr(0, 26), "OK capture=7080000.000000,");
    // The same signal, now 10 kHz above the new centre, from a new stream.
    feed(*live, tone_iq(7091000, 0.01, 64000, moved));
    live.reset();

    std::vector<float> const samples = wav_samples(dir / "net.wav");
    ASSERT_GT(samples.size(), 90000u) << "both seconds in one file";
    EXPECT_NEAR(fit_tone(std::span(samples).subspan(12000, 30000), 48000, 1000).amplitude, 0.1, 0.002);
    EXPECT_NEAR(fit_tone(after(samples, samples.size() - 30000), 48000, 1000).amplitude, 0.1, 0.002);
}

// ---------------------------------------------------------------------------------------------
// Threads: commands and meter requests on the control socket while frames run on the team.
// Run under ThreadSanitizer, this is where a plain field shared by the two sides shows.

TEST_F(LiveAudioTest, CommandsAndFramesAtOnce)
{
    fs::create_directory(dir / "ctl");
    fs::permissions(dir / "ctl", fs::perms(0700));
    fs::path const control = dir / "ctl" / "control";
    AnalysisSettings settings;
    LiveAudio live(rate, centre, rate, control.string(), {}, [](std::string const&) { return std::string("OK LEVELS"); },
                   false, settings, nullptr);
    testing::internal::CaptureStderr();  // socket channels wait for their listeners
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(reply_to(live, "ADD id=w" + std::to_string(i) + ",frequency=709" + std::to_string(i) + "000,wav="
                                     + wav("w" + std::to_string(i) + ".wav")),
                  "OK");
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(reply_to(live, "ADD id=s" + std::to_string(i) + ",frequency=7105000,socket=" + (dir / "s").string()
                                     + std::to_string(i)),
                  "OK");

    std::atomic<bool> done {false};
    std::vector<std::string> failures;
    std::thread client([&] {
        std::vector<std::string> const requests = {
            "SET id=w0,frequency=7090000,wav=" + wav("w0.wav") + ",audio-gain=3",
            "SET id=w1,frequency=7091500,wav=" + wav("w1.wav"),
            "ADD id=x,frequency=7095000,modulation=FM,wav=" + wav("x.wav"),
            "RADIO METER",
            "SPECTRUM v 7085000 7115000 256",
            "SPECTRUM z 7090900 7091100 64",
            "STATUS",
            "REMOVE x",
            "SET id=w1,frequency=7091000,wav=" + wav("w1.wav"),
        };
        for (std::size_t round = 0; !done.load(); ++round) {
            std::string const& request = requests[round % requests.size()];
            std::string const reply = ask_control(control, request);
            if (reply.rfind("OK", 0) != 0)
                failures.push_back(request + " -> " + reply);
        }
    });
    Channelizer::Impl channelizer(rate, centre, 2500, 1.0, {}, nullptr);
    channelizer.set_spectrum_hook([&live](SpectrumFrame const& frame) { live.process(frame); });
    Channelizer::Impl::Rows rows;
    Iq const iq = tone_iq(7091000, 0.05, 64000, centre);
    for (int second = 0; second < 3; ++second) {
        for (std::size_t at = 0; at < iq.size(); at += 6400) {
            channelizer.push_iq(iq.data() + at, 6400, rows);
            if (at == 32000)
                live.reset_audio();
        }
    }
    done = true;
    client.join();
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(failures.empty()) << failures.front();
    EXPECT_GE(live.channel_team_workers(), 1u);
    EXPECT_EQ(reply_to(live, "RADIO METER").substr(0, 23), "OK LEVELS\nOK STRONGEST ");
}

}  // namespace
