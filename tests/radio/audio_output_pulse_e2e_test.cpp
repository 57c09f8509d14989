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
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tone_measure.hpp"

namespace {

// A program running beside the test, with its standard output going to a file and its standard
// error collected by a reader thread (so that a chatty child never blocks on a full pipe).
// Stopped with SIGTERM and reaped when the object goes.
class BackgroundProcess {
public:
    BackgroundProcess(std::vector<std::string> const& argv, std::vector<std::string> const& env,
                      std::string const& stdout_file)
    {
        int err_pipe[2];
        if (::pipe2(err_pipe, O_CLOEXEC) != 0)
            throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGTERM);
        sigaddset(&defaults, SIGINT);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

        std::vector<char*> args;
        for (std::string const& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string const& e : env)
            envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);

        int const result = ::posix_spawnp(&pid_, argv[0].c_str(), &actions, &attributes, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        ::close(err_pipe[1]);
        if (result != 0) {
            ::close(err_pipe[0]);
            throw std::runtime_error("Cannot start " + argv[0] + ": " + std::strerror(result));
        }
        reader_ = std::thread([this, fd = err_pipe[0]] { read_errors(fd); });
    }

    ~BackgroundProcess()
    {
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reader_.join();
    }

    BackgroundProcess(BackgroundProcess const&) = delete;
    BackgroundProcess& operator=(BackgroundProcess const&) = delete;

    // Waits until the child has written `text` to its standard error, or closed it.
    bool wait_for_error_text(std::string const& text, std::chrono::seconds timeout)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout,
                                 [&] { return errors_.find(text) != std::string::npos || closed_; }) &&
               errors_.find(text) != std::string::npos;
    }

    std::string errors() const
    {
        std::scoped_lock lock(mutex_);
        return errors_;
    }

private:
    void read_errors(int fd)
    {
        char buffer[4096];
        while (true) {
            ssize_t const n = ::read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            std::scoped_lock lock(mutex_);
            if (n <= 0) {
                closed_ = true;
                changed_.notify_all();
                break;
            }
            errors_.append(buffer, static_cast<std::size_t>(n));
            changed_.notify_all();
        }
        ::close(fd);
    }

    pid_t pid_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string errors_;
    bool closed_ = false;
};

// A private PulseAudio server for one test: its own runtime, state and home directories, a
// socket that anyone may use without a cookie, no default configuration. Our clients find it
// through PULSE_SERVER.
class PulseAudioOutput : public testing::Test {
protected:
    void SetUp() override
    {
        for (char const* dir : {"runtime", "home", "state"})
            std::filesystem::create_directories(tmp / dir);
        socket_ = (tmp / "runtime" / "native").string();
        env_ = environment_with({"XDG_RUNTIME_DIR=" + (tmp / "runtime").string(),
                                 "PULSE_RUNTIME_PATH=" + (tmp / "runtime").string(),
                                 "PULSE_STATE_PATH=" + (tmp / "state").string(), "HOME=" + (tmp / "home").string(),
                                 "PULSE_SERVER=unix:" + socket_},
                                {"DBUS_SESSION_BUS_ADDRESS"});
        try {
            server_ = std::make_unique<BackgroundProcess>(
                std::vector<std::string>{"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--system=no",
                                         "--disallow-exit", "--use-pid-file=no", "--log-target=stderr",
                                         "--log-level=info",
                                         "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket_},
                env_, (tmp / "pulseaudio.out").string());
        } catch (std::exception const& error) {
            GTEST_SKIP() << "No PulseAudio server can run here: " << error.what();
        }
        if (!server_->wait_for_error_text("Daemon startup complete.", std::chrono::seconds(20)))
            GTEST_SKIP() << "The PulseAudio server did not start:\n" << server_->errors();
        previous_server_ = std::getenv("PULSE_SERVER") ? std::getenv("PULSE_SERVER") : "";
        ::setenv("PULSE_SERVER", ("unix:" + socket_).c_str(), 1);
    }

    void TearDown() override
    {
        if (previous_server_.empty())
            ::unsetenv("PULSE_SERVER");
        else
            ::setenv("PULSE_SERVER", previous_server_.c_str(), 1);
    }

    ProcessResult pactl(std::vector<std::string> args)
    {
        args.insert(args.begin(), "pactl");
        ProcessRun run;
        run.argv = args;
        run.env = env_;
        run.timeout_ms = 20000;
        return run_process(run);
    }

    // "name\targuments" of every loaded module (pactl lists "index\tname\targuments\tusers").
    std::vector<std::string> modules()
    {
        ProcessResult const listed = pactl({"list", "short", "modules"});
        EXPECT_EQ(listed.exit_status, 0) << listed.err;
        std::vector<std::string> result;
        std::istringstream lines(listed.out);
        for (std::string line; std::getline(lines, line);) {
            std::size_t const name = line.find('\t');
            if (name == std::string::npos)
                continue;
            std::size_t const arguments = line.find('\t', name + 1);
            std::size_t const users = arguments == std::string::npos ? arguments : line.find('\t', arguments + 1);
            result.push_back(line.substr(name + 1, users == std::string::npos ? users : users - name - 1));
        }
        return result;
    }

    std::size_t count_modules(std::string const& name)
    {
        std::size_t count = 0;
        for (std::string const& module : modules())
            count += module.rfind(name + "\t", 0) == 0 ? 1 : 0;
        return count;
    }

    TempDir tmp;
    std::string socket_;
    std::vector<std::string> env_;
    std::unique_ptr<BackgroundProcess> server_;
    std::string previous_server_;
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
