// A live channel's PulseAudio delivery against a real server: its private devices, the sinks it
// may play into, devices left by a run that died, and a server that goes away and comes back.
#include "live/output.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "live/live_audio.hpp"
#include "testbed/lib/paced_iq_stream.hpp"
#include "testbed/lib/rtl_tcp_server.hpp"
#include "tests/support/background_process.hpp"
#include "tests/support/control_request.hpp"
#include "tests/support/pulse_server.hpp"
#include "tests/support/stderr_tap.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tone_measure.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

AudioChannel pulse_channel(std::string const& id, std::string const& sink = {})
{
    AudioChannel channel;
    channel.id = id;
    channel.frequency = 7074000;
    channel.sink = sink;
    return channel;
}

std::vector<float> tone_block(std::size_t first, std::size_t count, double frequency, double rate)
{
    std::vector<float> block(count);
    for (std::size_t i = 0; i < count; ++i)
        block[i] = static_cast<float>(
            0.5 * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(first + i) / rate));
    return block;
}

std::vector<float> read_floats(fs::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> const bytes {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

class PulseOutput : public testing::Test {
protected:
    void SetUp() override
    {
        char const* runtime = std::getenv("XDG_RUNTIME_DIR");
        had_runtime_ = runtime != nullptr;
        saved_runtime_ = had_runtime_ ? runtime : "";
        fs::create_directory(dir / "locks");
        fs::permissions(dir / "locks", fs::perms(0700));
        ::setenv("XDG_RUNTIME_DIR", (dir / "locks").c_str(), 1);
        server_ = std::make_unique<PulseServer>(dir / "pulse");
        if (!server_->failure().empty())
            GTEST_SKIP() << server_->failure();
    }
    void TearDown() override
    {
        server_.reset();
        if (had_runtime_)
            ::setenv("XDG_RUNTIME_DIR", saved_runtime_.c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }

    TempDir dir;
    std::unique_ptr<PulseServer> server_;
    bool had_runtime_ = false;
    std::string saved_runtime_;
};

TEST_F(PulseOutput, PrivateDevicesCarryTheToneAndGoWithTheChannel)
{
    std::string const endpoint = audio_endpoint_name("voice1");
    fs::path const recording = dir / "recording.raw";
    OutputSettings paced;
    paced.iq_replay = true;  // the server's pace, not the test's
    {
        StderrTap tap;
        Output output(pulse_channel("voice1"), paced);
        ASSERT_TRUE(tap.wait_for("Audio voice1: ready; input=" + endpoint + "_input\n", 20s)) << tap.text();
        std::vector<std::string> const loaded = server_->modules();
        EXPECT_NE(std::find(loaded.begin(), loaded.end(),
                            "module-null-sink\tsink_name=" + endpoint
                                + " rate=48000 channels=1 channel_map=mono sink_properties=device.description=Norvane_voice1"),
                  loaded.end());
        EXPECT_NE(std::find(loaded.begin(), loaded.end(),
                            "module-remap-source\tmaster=" + endpoint + ".monitor source_name=" + endpoint
                                + "_input channels=1 channel_map=mono master_channel_map=mono "
                                  "source_properties=device.description=Norvane_voice1"),
                  loaded.end());

        BackgroundProcess parec({"parec", "--device=" + endpoint + "_input", "--format=float32le", "--rate=48000",
                                 "--channels=1", "--raw", "--latency-msec=20"},
                                server_->env(), recording.string());
        bool attached = false;
        for (int attempt = 0; attempt < 500 && !attached; ++attempt)
            attached = !server_->pactl({"list", "short", "source-outputs"}).out.empty();
        ASSERT_TRUE(attached) << parec.errors();
        for (std::size_t at = 0; at < 96000; at += 960)
            output.offer(tone_block(at, 960, 1000, 48000));
        auto const deadline = std::chrono::steady_clock::now() + 20s;
        while (read_floats(recording).size() < 96000 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        EXPECT_EQ(output.dropped_samples(), 0u) << server_->log();
    }
    EXPECT_EQ(server_->count_modules("module-null-sink"), 0u) << "unloaded with the channel";
    EXPECT_EQ(server_->count_modules("module-remap-source"), 0u);

    std::vector<float> const recorded = read_floats(recording);
    std::size_t first = 0;
    while (first < recorded.size() && std::fabs(recorded[first]) < 0.2f)
        ++first;
    ASSERT_GT(recorded.size(), first + 72000) << "recorded " << recorded.size() << " samples";
    std::span<float const> const middle = std::span(recorded).subspan(first + 4800, 48000);
    ToneMeasure const tone = measure_tone(middle, 48000);
    EXPECT_NEAR(tone.frequency_hz, 1000.0, 1.0);
    EXPECT_NEAR(tone.rms, 0.5 / std::sqrt(2.0), 0.02);
}

struct SinkCase {
    std::string name;
    std::string sink;
    std::string ready;
};

std::ostream& operator<<(std::ostream& out, SinkCase const& c) { return out << c.name; }

class PulseOutputSinks : public PulseOutput, public testing::WithParamInterface<SinkCase> {};

TEST_P(PulseOutputSinks, PlayIntoAnExistingSinkWithoutDevicesOfTheirOwn)
{
    ASSERT_EQ(server_->pactl({"load-module", "module-null-sink", "sink_name=station"}).exit_status, 0);
    StderrTap tap;
    {
        Output output(pulse_channel("monitor", GetParam().sink));
        EXPECT_TRUE(tap.wait_for("Audio monitor: ready; " + GetParam().ready + "\n", 20s)) << tap.text();
        EXPECT_EQ(server_->count_modules("module-null-sink"), 1u);
        EXPECT_EQ(server_->count_modules("module-remap-source"), 0u);
    }
    EXPECT_EQ(server_->count_modules("module-null-sink"), 1u) << "the station's sink stays";
}

INSTANTIATE_TEST_SUITE_P(Sinks, PulseOutputSinks,
                         testing::Values(SinkCase {"default", "@DEFAULT_SINK@", "output=system default"},
                                         SinkCase {"named", "station", "output=station"}),
                         [](testing::TestParamInfo<SinkCase> const& info) { return info.param.name; });

// A run that crashed left its devices behind. The lock says nobody else uses this channel, so
// they are ours: taken away, and the channel starts instead of waiting for them forever.
TEST_F(PulseOutput, DevicesLeftByADeadRunAreReplaced)
{
    std::string const endpoint = audio_endpoint_name("net");
    ASSERT_EQ(server_->pactl({"load-module", "module-null-sink", "sink_name=" + endpoint, "rate=48000"}).exit_status, 0);
    ASSERT_EQ(server_->pactl({"load-module", "module-remap-source", "master=" + endpoint + ".monitor",
                              "source_name=" + endpoint + "_input"})
                  .exit_status,
              0);
    StderrTap tap;
    {
        Output output(pulse_channel("net"));
        EXPECT_TRUE(tap.wait_for("Audio net: ready; input=" + endpoint + "_input\n", 20s)) << tap.text();
        EXPECT_EQ(tap.count("Audio net: removed the audio devices " + endpoint + " left by an earlier run\n"), 1u)
            << tap.text();
        EXPECT_EQ(server_->count_modules("module-null-sink"), 1u);
        EXPECT_EQ(server_->count_modules("module-remap-source"), 1u);
    }
    EXPECT_EQ(server_->count_modules("module-null-sink"), 0u);
}

// A sink of that name that none of our modules made is someone else's: left alone, and the
// channel waits for it to go.
TEST_F(PulseOutput, ASinkOfOurNameMadeOtherwiseIsLeftAlone)
{
    std::string const endpoint = audio_endpoint_name("net");
    ASSERT_EQ(server_->pactl({"load-module", "module-null-sink", "sink_name=base"}).exit_status, 0);
    ASSERT_EQ(server_->pactl({"load-module", "module-remap-sink", "sink_name=" + endpoint, "master=base"}).exit_status,
              0);
    StderrTap tap;
    {
        Output output(pulse_channel("net"));
        EXPECT_TRUE(tap.wait_for(
            "Audio net: Audio endpoint already exists; it is not owned by this process; retrying\n", 20s))
            << tap.text();
    }
    EXPECT_EQ(server_->count_modules("module-remap-sink"), 1u);
}

TEST_F(PulseOutput, ServerThatComesBackIsReconnectedAfterFiveSeconds)
{
    std::string const endpoint = audio_endpoint_name("voice");
    StderrTap tap;
    Output output(pulse_channel("voice"));
    ASSERT_TRUE(tap.wait_for("Audio voice: ready; input=" + endpoint + "_input\n", 20s)) << tap.text();
    server_->stop();
    ASSERT_TRUE(server_->start()) << server_->failure();
    auto const restarted = std::chrono::steady_clock::now();
    ASSERT_TRUE(tap.wait_for("Audio voice: ready; input=" + endpoint + "_input\n", 20s, 2)) << tap.text();
    auto const waited = std::chrono::steady_clock::now() - restarted;
    EXPECT_GT(waited, 4s) << "the retry waits five seconds after the failure";
    std::string const text = tap.text();
    std::size_t const lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    EXPECT_EQ(lines, 3u) << "ready, one line for the loss, ready again:\n" << text;
    EXPECT_TRUE(text.find("Audio voice: Audio disconnected\n") != std::string::npos
                || text.find("Audio voice: Audio mainloop failed\n") != std::string::npos)
        << text;
    EXPECT_EQ(server_->count_modules("module-null-sink"), 1u) << "the devices are made again";
}

TEST_F(PulseOutput, WithoutAServerOneLineAndTheDropsAtTheEnd)
{
    server_->stop();
    StderrTap tap;
    {
        Output output(pulse_channel("voice"));
        for (int block = 0; block < 40; ++block)
            output.offer(std::vector<float>(2400, 0.1f));  // two seconds; half a second is kept
        // Two connection attempts, five seconds apart.
        std::this_thread::sleep_for(5500ms);
    }
    ASSERT_TRUE(tap.wait_for("Audio voice: dropped 72000 output samples (no connection to the audio server)\n", 10s))
        << tap.text();
    std::string const text = tap.text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    EXPECT_TRUE(text.rfind("Audio voice: Audio server unavailable; retrying\n", 0) == 0
                || text.rfind("Audio voice: Awaiting audio server; retrying\n", 0) == 0)
        << text;
}

// The capture's first second may arrive in a burst while the stream has just started. What
// queues up then, the rate trim's 200 parts per million would take half an hour to play away:
// a second into the stream the queue is cut to the trim's 100 ms, once, with one line, and
// nothing of it is counted as delivery that fell behind, not even what the burst pushed out of
// the full queue. (A suspended sink keeps what the stream holds, so the backlog stays put.)
TEST_F(PulseOutput, BacklogOfTheStartIsCutOnceToATenthOfASecond)
{
    std::string const endpoint = audio_endpoint_name("late");
    StderrTap tap;
    {
        Output output(pulse_channel("late"));
        ASSERT_TRUE(tap.wait_for("Audio late: ready; input=" + endpoint + "_input\n", 20s)) << tap.text();
        ASSERT_EQ(server_->pactl({"suspend-sink", endpoint, "1"}).exit_status, 0) << server_->log();
        std::uint64_t const offered = 40 * 960;  // 0.8 s in blocks of 20 ms; half a second fits
        for (int block = 0; block < 40; ++block)
            output.offer(std::vector<float>(960, 0.1f));
        ASSERT_TRUE(tap.wait_for(" s) queued at start, to play live\n", 20s)) << tap.text();
        // 100 ms stay, counting the block the stream holds but cannot write yet.
        EXPECT_LE(output.queued_samples(), 4800u);
        EXPECT_GE(output.queued_samples(), 4800u - 960u);
        EXPECT_EQ(output.dropped_samples(), 0u);
        std::string const text = tap.text();
        std::size_t const at = text.find("Audio late: skipped ");
        ASSERT_NE(at, std::string::npos) << text;
        std::uint64_t const skipped = std::stoull(text.substr(at + 20));
        // The rest went into the stream's buffer, which asks for 100 ms.
        EXPECT_LE(skipped, offered - 4800);
        EXPECT_GE(skipped, offered - 4800 - 4800) << text;
    }
    std::string const text = tap.text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << "ready and the cut, nothing at the end:\n" << text;
}

// Through the control socket: the channel's devices exist while it lives and go when it is
// removed (the control thread releases the replaced channel set).
TEST_F(PulseOutput, RemovedChannelTakesItsDevicesAlong)
{
    fs::create_directory(dir / "ctl");
    fs::permissions(dir / "ctl", fs::perms(0700));
    fs::path const control = dir / "ctl" / "control";
    std::string const endpoint = audio_endpoint_name("net");
    StderrTap tap;
    LiveAudio live(64000, 7100000, 64000, control.string(), {}, LiveAudio::RadioHook {}, false, AnalysisSettings {},
                   nullptr);
    ASSERT_EQ(ask_control(control, "ADD id=net,frequency=7090000"), "OK");
    ASSERT_TRUE(tap.wait_for("Audio net: ready; input=" + endpoint + "_input\n", 20s)) << tap.text();
    std::vector<std::string> const sinks = server_->names("sinks");
    EXPECT_NE(std::find(sinks.begin(), sinks.end(), endpoint), sinks.end());
    std::vector<std::string> const sources = server_->names("sources");
    EXPECT_NE(std::find(sources.begin(), sources.end(), endpoint + "_input"), sources.end());
    ASSERT_EQ(ask_control(control, "REMOVE net"), "OK");
    bool gone = false;
    for (int attempt = 0; attempt < 200 && !gone; ++attempt) {
        gone = server_->count_modules("module-null-sink") == 0 && server_->count_modules("module-remap-source") == 0;
        if (!gone)
            std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(gone);
}

// A receiver killed with SIGKILL cannot unload its devices; the next run of the channel finds
// them under its lock, takes them away and comes up, live, on our rtl_tcp stand-in.
TEST_F(PulseOutput, ChannelComesBackAfterItsReceiverWasKilled)
{
    std::string const endpoint = audio_endpoint_name("net");
    std::vector<std::string> env = server_->env();
    for (std::string& entry : env) {
        if (entry.rfind("XDG_RUNTIME_DIR=", 0) == 0)
            entry = "XDG_RUNTIME_DIR=" + (dir / "locks").string();  // the channel locks of this test
    }
    auto const receiver = [&](testbed::RtlTcpServer const& rtl, std::string const& name) {
        return std::make_unique<BackgroundProcess>(
            std::vector<std::string> {NORVANE_EXE, "--mode", "receivers", "--backend", "rtl-sdr", "--rtl-port",
                                      std::to_string(rtl.port()), "--sample-rate", "240000", "--center-frequency",
                                      "14.08M", "--all-txt", (dir / "ALL.TXT").string(), "--audio-channel",
                                      "id=net,frequency=14.075M"},
            env, (dir / (name + ".out")).string());
    };
    auto const stream = [] {
        testbed::RtlTcpServerScript script;
        script.generator = testbed::paced_iq_generator({std::vector<std::uint8_t>(480000, 128), 240000, 0.0});
        return script;
    };
    std::string const ready = "Audio net: ready; input=" + endpoint + "_input\n";

    for (int restart = 0; restart < 3; ++restart) {
        testbed::RtlTcpServer rtl(stream());
        std::unique_ptr<BackgroundProcess> norvane = receiver(rtl, "run" + std::to_string(restart));
        ASSERT_TRUE(norvane->wait_for_error_text(ready, 30s)) << norvane->errors() << server_->log();
        if (restart > 0) {
            EXPECT_THAT(norvane->errors(), testing::HasSubstr("Audio net: removed the audio devices " + endpoint
                                                              + " left by an earlier run\n"));
        }
        EXPECT_THAT(norvane->errors(), testing::Not(testing::HasSubstr("already exists")));
        EXPECT_EQ(server_->count_modules("module-null-sink"), 1u);
        EXPECT_EQ(server_->count_modules("module-remap-source"), 1u);
        norvane->stop(SIGKILL);
    }
    EXPECT_EQ(server_->count_modules("module-null-sink"), 1u) << "left by the last killed run";
}

}  // namespace
