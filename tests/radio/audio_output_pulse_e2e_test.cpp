#include "radio/audio_output.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <complex>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/options.hpp"
#include "radio/demodulator.hpp"
#include "tests/support/background_process.hpp"
#include "tests/support/pulse_server.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tone_measure.hpp"

namespace {

// A private PulseAudio server for each test (tests/support/pulse_server.hpp).
class PulseAudioOutput : public testing::Test {
protected:
    void SetUp() override
    {
        server_ = std::make_unique<PulseServer>(tmp.path());
        if (!server_->failure().empty())
            GTEST_SKIP() << server_->failure();
        env_ = server_->env();
    }

    ProcessResult pactl(std::vector<std::string> args) { return server_->pactl(std::move(args)); }
    std::vector<std::string> modules() { return server_->modules(); }
    std::size_t count_modules(std::string const& name) { return server_->count_modules(name); }

    TempDir tmp;
    std::vector<std::string> env_;
    std::unique_ptr<PulseServer> server_;
};

Options pulse_options(int rate_hz)
{
    Options options;
    options.audio_rate = rate_hz;
    return options;
}

constexpr char null_sink_arguments[] =
    "module-null-sink\tsink_name=norvane_rx rate=48000 channels=1 channel_map=mono "
    "sink_properties=device.description=Norvane_Receiver_Output";
constexpr char remap_source_arguments[] =
    "module-remap-source\tmaster=norvane_rx.monitor source_name=norvane_rx_input channels=1 channel_map=mono "
    "master_channel_map=mono source_properties=device.description=Norvane_Receiver";

// The whole audio-mode path into the server: the devices appear, and a program recording from
// our source hears the demodulated tone.
TEST_F(PulseAudioOutput, CreatesItsDevicesAndTheSourceCarriesTheTone)
{
    testing::internal::CaptureStderr();
    AudioOutput output(pulse_options(48000));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Decoder input: norvane_rx_input (Norvane_Receiver)\n");
    std::vector<std::string> const loaded = modules();
    EXPECT_NE(std::find(loaded.begin(), loaded.end(), null_sink_arguments), loaded.end());
    EXPECT_NE(std::find(loaded.begin(), loaded.end(), remap_source_arguments), loaded.end());

    std::filesystem::path const recording = tmp / "recording.raw";
    {
        BackgroundProcess parec({"parec", "--device=norvane_rx_input", "--format=float32le", "--rate=48000",
                                 "--channels=1", "--raw", "--latency-msec=20"},
                                env_, recording.string());
        // The recorder must be attached before the tone plays; its stream shows up as a source output.
        bool attached = false;
        for (int attempt = 0; attempt < 500 && !attached; ++attempt)
            attached = !pactl({"list", "short", "source-outputs"}).out.empty();
        ASSERT_TRUE(attached) << parec.errors();

        Demodulator demodulator(Demodulator::usb, 3000, 10, 48000, 0);
        std::vector<std::complex<float>> const iq = complex_tone(1000, 0.05, demodulator_iq_rate_hz, 64000);
        std::vector<float> audio;
        for (std::size_t at = 0; at < iq.size(); at += 6400) {
            demodulator.process(std::span(iq).subspan(at, 6400), audio);
            output.write(audio);
        }
        output.finish();
    }

    std::ifstream in(recording, std::ios::binary);
    std::vector<char> const bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<float> recorded(bytes.size() / sizeof(float));
    std::memcpy(recorded.data(), bytes.data(), recorded.size() * sizeof(float));
    // The stretch where the tone plays, less its edges.
    std::size_t first = 0;
    while (first < recorded.size() && std::fabs(recorded[first]) < 0.2f)
        ++first;
    std::size_t last = recorded.size();
    while (last > first && std::fabs(recorded[last - 1]) < 0.2f)
        --last;
    ASSERT_GT(last - first, 24000u) << "recorded " << recorded.size() << " samples";
    ToneMeasure const tone = measure_tone(std::span(recorded).subspan(first + 4800, last - first - 9600), 48000);
    EXPECT_NEAR(tone.frequency_hz, 1000.0, 2.0);
    EXPECT_NEAR(tone.rms, 0.5 / std::sqrt(2.0), 0.03);
}

TEST_F(PulseAudioOutput, LoadsOnlyTheSourceWhenTheSinkExists)
{
    ProcessResult const loaded = pactl({"load-module", "module-null-sink", "sink_name=norvane_rx"});
    ASSERT_EQ(loaded.exit_status, 0) << loaded.err;
    {
        testing::internal::CaptureStderr();
        AudioOutput output(pulse_options(48000));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Decoder input: norvane_rx_input (Norvane_Receiver)\n");
    }
    EXPECT_EQ(count_modules("module-null-sink"), 1u);
    std::vector<std::string> const after = modules();
    EXPECT_NE(std::find(after.begin(), after.end(), remap_source_arguments), after.end());
}

// Devices stay in the server after the program ends; a second run finds and reuses them.
TEST_F(PulseAudioOutput, ReusesDevicesItLeftBehind)
{
    { AudioOutput first(pulse_options(48000)); }
    { AudioOutput second(pulse_options(48000)); }
    EXPECT_EQ(count_modules("module-null-sink"), 1u);
    EXPECT_EQ(count_modules("module-remap-source"), 1u);
}

TEST_F(PulseAudioOutput, NamedSinkSkipsTheDeviceCheck)
{
    ProcessResult const loaded = pactl({"load-module", "module-null-sink", "sink_name=station_sink"});
    ASSERT_EQ(loaded.exit_status, 0) << loaded.err;
    Options options = pulse_options(12000);
    options.sink = "station_sink";
    options.create_sink = false;
    testing::internal::CaptureStderr();
    {
        AudioOutput output(options);
        std::vector<float> const silence(1200, 0.0f);
        output.write(silence);
        output.finish();
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(count_modules("module-null-sink"), 1u);
    EXPECT_EQ(count_modules("module-remap-source"), 0u);
}

TEST_F(PulseAudioOutput, MissingNamedSinkIsRefused)
{
    Options options = pulse_options(48000);
    options.sink = "no_such_sink";
    options.create_sink = false;
    try {
        AudioOutput output(options);
        FAIL() << "opened a stream on a sink that does not exist";
    } catch (std::runtime_error const& error) {
        EXPECT_EQ(std::string(error.what()).rfind("Open audio sink: ", 0), 0u) << error.what();
    }
}

// Needs no server: only a socket path where none listens.
TEST(PulseAudioOutputWithoutServer, ConnectFailureIsReported)
{
    TempDir tmp;
    char const* previous = std::getenv("PULSE_SERVER");
    std::string const saved = previous ? previous : "";
    ::setenv("PULSE_SERVER", ("unix:" + (tmp / "nobody-listens").string()).c_str(), 1);
    std::string message;
    try {
        AudioOutput output(pulse_options(48000));
    } catch (std::runtime_error const& error) {
        message = error.what();
    }
    if (previous)
        ::setenv("PULSE_SERVER", saved.c_str(), 1);
    else
        ::unsetenv("PULSE_SERVER");
    EXPECT_TRUE(message == "Cannot connect to PulseAudio/PipeWire" || message.rfind("Connect: ", 0) == 0) << message;
}

}  // namespace
