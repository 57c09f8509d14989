// Live audio channels as a user runs them: norvane replays an IQ recording made by our iq_synth
// with tones, an AM and an FM carrier beside an FT8 signal; its channels write WAV files, feed an
// audio socket and play into PulseAudio, the FT8 decodes stay what they are without them, and
// the channels are changed over the control socket with --audio-command.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <locale>
#include <mutex>
#include <numbers>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.hpp"
#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/paced_iq_stream.hpp"
#include "testbed/lib/rtl_tcp_server.hpp"
#include "testbed/lib/wsjt_recordings.hpp"
#include "tests/support/background_process.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/pulse_server.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tone_measure.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::HasSubstr;

constexpr char const* kStartUtc = "20240315_120359";
constexpr double kCentre = 14080000;
constexpr double kAudioRate = 12000;

// 12000 Hz audio of a steady sine (its phase running from 0).
std::vector<float> sine(double seconds, double hz, double amplitude)
{
    std::vector<float> audio(static_cast<std::size_t>(seconds * kAudioRate));
    for (std::size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * hz * i / kAudioRate));
    return audio;
}

// Audio that iq_synth turns into a carrier at dial + carrier_hz: amplitude modulated by
// tone_hz at 50 %, or frequency modulated with the given deviation.
std::vector<float> am_audio(double seconds, double carrier_hz, double tone_hz, double amplitude)
{
    std::vector<float> audio(static_cast<std::size_t>(seconds * kAudioRate));
    for (std::size_t i = 0; i < audio.size(); ++i) {
        double const t = i / kAudioRate;
        audio[i] = static_cast<float>(amplitude * (1 + 0.5 * std::cos(2 * std::numbers::pi * tone_hz * t))
                                      * std::cos(2 * std::numbers::pi * carrier_hz * t));
    }
    return audio;
}

std::vector<float> fm_audio(double seconds, double carrier_hz, double tone_hz, double deviation_hz, double amplitude)
{
    std::vector<float> audio(static_cast<std::size_t>(seconds * kAudioRate));
    for (std::size_t i = 0; i < audio.size(); ++i) {
        double const t = i / kAudioRate;
        audio[i] = static_cast<float>(
            amplitude * std::cos(2 * std::numbers::pi * carrier_hz * t
                                 + deviation_hz / tone_hz * std::sin(2 * std::numbers::pi * tone_hz * t)));
    }
    return audio;
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

// An audio-socket listener of our own: takes one connection and keeps every packet.
class SocketListener {
public:
    explicit SocketListener(fs::path const& path) : path_(path)
    {
        fd_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        if (::bind(fd_.get(), reinterpret_cast<sockaddr const*>(&address), sizeof(address)) != 0
            || ::listen(fd_.get(), 4) != 0)
            throw std::runtime_error("listener failed");
        thread_ = std::thread([this] { serve(); });
    }
    ~SocketListener()
    {
        stop_ = true;
        thread_.join();
        ::unlink(path_.c_str());
    }

    std::vector<float> samples() const
    {
        std::scoped_lock lock(mutex_);
        return samples_;
    }
    std::vector<std::size_t> packet_sizes() const
    {
        std::scoped_lock lock(mutex_);
        return sizes_;
    }

private:
    void serve()
    {
        UniqueFd connection;
        std::vector<float> packet(65536);
        while (!stop_) {
            int const fd = connection.get() >= 0 ? connection.get() : fd_.get();
            pollfd entry {fd, POLLIN, 0};
            if (::poll(&entry, 1, 20) <= 0)
                continue;
            if (connection.get() < 0) {
                connection.reset(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
                continue;
            }
            ssize_t const n = ::recv(connection.get(), packet.data(), packet.size() * sizeof(float), 0);
            if (n <= 0) {
                connection.reset();
                continue;
            }
            std::scoped_lock lock(mutex_);
            sizes_.push_back(static_cast<std::size_t>(n));
            samples_.insert(samples_.end(), packet.begin(), packet.begin() + n / static_cast<ssize_t>(sizeof(float)));
        }
    }

    fs::path path_;
    UniqueFd fd_;
    std::thread thread_;
    std::atomic<bool> stop_ {false};
    mutable std::mutex mutex_;
    std::vector<float> samples_;
    std::vector<std::size_t> sizes_;
};

ProcessResult run_norvane(std::vector<std::string> const& arguments, std::vector<std::string> const& env = {})
{
    ProcessRun run;
    run.argv = {NORVANE_EXE, "--start-utc", kStartUtc, "--iq-rate", "64000", "--decoder-timeout", "60"};
    run.argv.insert(run.argv.end(), arguments.begin(), arguments.end());
    if (!env.empty())
        run.env = env;
    run.timeout_ms = 300000;
    return run_process(run);
}

// ---------------------------------------------------------------------------------------------

// Two FT8 intervals with a USB tone, an LSB tone, an AM and an FM carrier around them, replayed
// in hybrid mode: each channel hears its signal at the right pitch and level, and the decodes
// in ALL.TXT are exactly those of the same run without the channels.
TEST(LiveChannelsReplay, EveryModulationReachesItsOutputAndTheDecodesStay)
{
    TempDir tmp;
    auto const ft8 = testbed::ft8sim_audio(tmp.path(), "CQ K1ABC FN42", 1200);
    double const seconds = 33;
    testbed::IqSynthConfig config;
    config.center_hz = kCentre;
    config.rate_hz = 64000;
    config.duration_s = seconds;
    config.add_noise = true;
    config.snr_db = 10;
    config.seed = 7;
    config.gain_db = -40;  // audio of amplitude 1 becomes a carrier of 0.01
    std::vector<testbed::IqSynthSignal> const signals = {
        {ft8, 14074000, 1},
        {testbed::scaled_audio(ft8, 0), 14074000, 16},
        {sine(seconds, 1000, 5.0), 14085000, 0},                  // USB channel at 14085000: 1000 Hz
        {sine(seconds, 800, 5.0), 14093000, 0},                   // LSB channel at 14095000: 1200 Hz
        {am_audio(seconds, 1500, 700, 5.0), 14063500, 0},         // AM carrier at 14065000, 700 Hz
        {fm_audio(seconds, 3000, 1000, 1500, 5.0), 14097000, 0}}; // FM carrier at 14100000, 1000 Hz
    fs::path const iq = tmp / "live.iq";
    ASSERT_EQ(testbed::write_iq_file(iq, testbed::synthesize_iq(config, signals)), 0u);

    std::vector<std::string> const common = {"--mode", "hybrid", "--iq-file", iq.string(), "--frequencies", "14.074M",
                                             "--center-frequency", "14.08M"};
    std::vector<std::string> plain = common;
    plain.insert(plain.end(), {"--all-txt", (tmp / "plain.txt").string()});
    ProcessResult const without = run_norvane(plain);
    ASSERT_EQ(without.exit_status, 0) << without.err;

    SocketListener listener(tmp / "lsb.sock");
    std::vector<std::string> live = common;
    live.insert(live.end(),
                {"--all-txt", (tmp / "live.txt").string(), "--audio-channel",
                 "id=usb,frequency=14085000,agc=off,audio-rate=12000,wav=" + (tmp / "usb.wav").string(),
                 "--audio-channel",
                 "id=lsb,frequency=14095000,modulation=LSB,agc=off,audio-rate=12000,socket=" + (tmp / "lsb.sock").string(),
                 "--audio-channel", "id=am,frequency=14065000,modulation=AM,agc=off,audio-rate=12000,wav="
                                        + (tmp / "am.wav").string(),
                 "--audio-channel", "id=fm,frequency=14100000,modulation=FM,audio-rate=12000,wav="
                                        + (tmp / "fm.wav").string()});
    ProcessResult const with = run_norvane(live);
    ASSERT_EQ(with.exit_status, 0) << with.err;
    EXPECT_THAT(with.err, HasSubstr("Audio lsb: ready; socket=" + (tmp / "lsb.sock").string() + "\n"));
    EXPECT_THAT(with.err, testing::Not(HasSubstr("dropped"))) << "a replay waits for its outputs";

    std::vector<std::string> const decodes = file_lines(tmp / "plain.txt");
    ASSERT_EQ(decodes.size(), 2u) << without.err;
    EXPECT_EQ(file_lines(tmp / "live.txt"), decodes);

    struct Heard {
        std::string name;
        std::vector<float> audio;
        double hz;
        double amplitude;
    };
    // USB, LSB and AM at 10 x the carrier of 0.05 (50 % of it for AM); FM 1500 Hz of 5 kHz,
    // de-emphasised.
    std::vector<Heard> const heard = {{"usb", wav_samples(tmp / "usb.wav"), 1000, 0.5},
                                      {"lsb", listener.samples(), 1200, 0.5},
                                      {"am", wav_samples(tmp / "am.wav"), 700, 0.25},
                                      {"fm", wav_samples(tmp / "fm.wav"), 1000, 10 * 0.03 * 4 * 0.3 * 0.288}};
    for (Heard const& h : heard) {
        ASSERT_GT(h.audio.size(), static_cast<std::size_t>(32 * kAudioRate)) << h.name;
        std::span<float const> const middle = std::span(h.audio).subspan(12000, 12000 * 20);
        EXPECT_NEAR(measure_tone(middle, kAudioRate).frequency_hz, h.hz, 2.0) << h.name;
        EXPECT_NEAR(fit_tone(middle, kAudioRate, h.hz).amplitude, h.amplitude, 0.1 * h.amplitude) << h.name;
    }
    // The socket's packets: a twenty-fifth of a second of float samples at most.
    for (std::size_t const size : listener.packet_sizes())
        EXPECT_LE(size, 480u * sizeof(float));
}

// A short receivers-mode replay into a channel's own PulseAudio devices: a program recording
// from the channel's source hears the tone.
TEST(LiveChannelsReplay, PlaysIntoItsOwnPulseAudioSource)
{
    TempDir tmp;
    PulseServer server(tmp / "pulse");
    if (!server.failure().empty())
        GTEST_SKIP() << server.failure();
    double const seconds = 6;
    testbed::IqSynthConfig config;
    config.center_hz = kCentre;
    config.rate_hz = 64000;
    config.duration_s = seconds;
    config.gain_db = -40;
    fs::path const iq = tmp / "tone.iq";
    ASSERT_EQ(testbed::write_iq_file(iq, testbed::synthesize_iq(config, {{sine(seconds, 1000, 1.0), 14085000, 0}})),
              0u);

    std::string const endpoint = "norvane_" + std::to_string(::geteuid()) + "_voice";
    fs::path const recording = tmp / "recording.raw";
    BackgroundProcess norvane({NORVANE_EXE, "--mode", "receivers", "--start-utc", kStartUtc, "--iq-rate", "64000",
                               "--iq-file", iq.string(), "--center-frequency", "14.08M", "--audio-channel",
                               "id=voice,frequency=14085000,agc=off"},
                              server.env(), (tmp / "norvane.out").string());
    ASSERT_TRUE(norvane.wait_for_error_text("Audio voice: ready; input=" + endpoint + "_input\n", 20s))
        << norvane.errors();
    {
        BackgroundProcess parec({"parec", "--device=" + endpoint + "_input", "--format=float32le", "--rate=48000",
                                 "--channels=1", "--raw", "--latency-msec=20"},
                                server.env(), recording.string());
        int status = 0;
        ASSERT_TRUE(norvane.wait_exit(60s, status)) << norvane.errors();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << norvane.errors();
    }
    EXPECT_EQ(server.count_modules("module-null-sink"), 0u) << "the channel's devices went with the run";

    std::ifstream in(recording, std::ios::binary);
    std::vector<char> const bytes {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<float> recorded(bytes.size() / sizeof(float));
    std::memcpy(recorded.data(), bytes.data(), recorded.size() * sizeof(float));
    std::size_t first = 0;
    while (first < recorded.size() && std::fabs(recorded[first]) < 0.05f)
        ++first;
    ASSERT_GT(recorded.size(), first + 3 * 48000) << "recorded " << recorded.size() << " samples";
    // Pitch and level of each tenth of a second, and their medians: on a loaded machine the
    // server may run dry for a few milliseconds and play silence, which is the scheduler's doing,
    // not the channel's, and would pull a count of zero crossings over the whole stretch down.
    std::vector<double> pitch;
    std::vector<double> level;
    for (std::size_t at = first + 4800; at + 4800 <= first + 4800 + 2 * 48000; at += 4800) {
        ToneMeasure const part = measure_tone(std::span(recorded).subspan(at, 4800), 48000);
        pitch.push_back(part.frequency_hz);
        level.push_back(part.rms);
    }
    std::nth_element(pitch.begin(), pitch.begin() + pitch.size() / 2, pitch.end());
    std::nth_element(level.begin(), level.begin() + level.size() / 2, level.end());
    EXPECT_NEAR(pitch[pitch.size() / 2], 1000.0, 1.0);
    // The server plays up to 200 parts per million fast or slow to keep its queue short: the
    // pitch may move by a fraction of a hertz, so the level is its rms.
    EXPECT_NEAR(level[level.size() / 2], 0.1 / std::sqrt(2.0), 0.005);
}

// ---------------------------------------------------------------------------------------------
// The control socket through --audio-command, against a receiver streaming live from our
// rtl_tcp stand-in: a steady tone 6005.86 Hz (on a bin of the 16384-point frames) above the
// centre.

constexpr int kRtlRate = 240000;
constexpr double kToneHz = kCentre + 410 * 240000.0 / 16384;

class ControlCommands : public testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directory(tmp / "ctl");
        fs::permissions(tmp / "ctl", fs::perms(0700));
        std::vector<std::complex<float>> iq(static_cast<std::size_t>(kRtlRate) * 20);
        for (std::size_t n = 0; n < iq.size(); ++n) {
            double const phase = 2 * std::numbers::pi * std::fmod((kToneHz - kCentre) * n / kRtlRate, 1.0);
            iq[n] = std::polar(0.1f, static_cast<float>(phase));
        }
        testbed::RtlTcpServerScript script;
        script.generator = testbed::paced_iq_generator({testbed::rtl_tcp_bytes(iq), kRtlRate, 0.0});
        rtl_ = std::make_unique<testbed::RtlTcpServer>(std::move(script));
        server_ = std::make_unique<BackgroundProcess>(
            std::vector<std::string> {NORVANE_EXE, "--mode", "receivers", "--backend", "rtl-sdr", "--rtl-port",
                                      std::to_string(rtl_->port()), "--sample-rate", std::to_string(kRtlRate),
                                      "--center-frequency", "14.08M", "--audio-control", control.string(),
                                      "--audio-channel", "id=start,frequency=14085000,wav=" + (tmp / "start.wav").string()},
            environment_with({}), (tmp / "norvane.out").string());
        ASSERT_TRUE(server_->wait_for_error_text("Live audio control: " + control.string() + "\n", 20s))
            << server_->errors();
    }
    void TearDown() override
    {
        if (server_) {
            int const status = server_->stop(SIGTERM);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << server_->errors();
            EXPECT_FALSE(fs::exists(control)) << "the socket goes with the run";
        }
    }

    struct Reply {
        int status;
        std::string out;
    };
    Reply command(std::string const& request)
    {
        ProcessResult const result =
            run_process({NORVANE_EXE, "--audio-control", control.string(), "--audio-command", request});
        return {result.exit_status, result.out};
    }

    TempDir tmp;
    fs::path const control = tmp / "ctl" / "control";
    std::unique_ptr<testbed::RtlTcpServer> rtl_;
    std::unique_ptr<BackgroundProcess> server_;
};

TEST_F(ControlCommands, ChannelsAreChangedAndRefusedWithExactReplies)
{
    std::string const start = "id=start,frequency=14085000,modulation=USB,bandwidth=3000,audio-rate=48000,"
                              "audio-gain=10,enabled=true,wav=" + (tmp / "start.wav").string();
    std::string const header = "OK capture=14080000.000000,span=216000.000000";
    struct Step {
        std::string request;
        int status;
        std::string reply;
    };
    std::vector<Step> const steps = {
        {"STATUS", 0, header + "\n" + start},
        {"ADD id=b,frequency=14090000,modulation=AM,wav=" + (tmp / "b.wav").string(), 0, "OK"},
        {"ADD id=b,frequency=14090000", 1, "ERROR Audio ID already exists; remove it before replacing it"},
        {"ADD id=far,frequency=14200000", 1,
         "ERROR Audio passband is outside the running capture; receiver restart required"},
        {"ADD id=bad,frequency=14090000,modulation=CW", 1, "ERROR Audio modulation must be USB, LSB, AM or FM"},
        {"SET id=b,frequency=14091000,modulation=AM,wav=" + (tmp / "b.wav").string(), 0, "OK"},
        {"SET id=b,frequency=14091000,modulation=AM,wav=" + (tmp / "b.wav").string() + ",audio-rate=8000", 1,
         "ERROR Live tuning preserves output rate, sink, socket and WAV; remove/re-add to change them"},
        {"STATUS", 0,
         header + "\n" + start + "\nid=b,frequency=14091000,modulation=AM,bandwidth=6000,audio-rate=48000,"
                                 "audio-gain=10,enabled=true,wav=" + (tmp / "b.wav").string()},
        {"REMOVE b", 0, "OK"},
        {"REMOVE " + std::string(33, 'b'), 1, "ERROR Invalid audio ID"},
        {"SPECTRUM v 13900000 14110000 16", 1,
         "ERROR SPECTRUM needs ID, a range inside the capture and 16..1024 bins"},
        {"SPECTRUM v 14085000 14089000 64", 0, "OK WAIT 14085000 14089000 64"},
        {"ANALYZE STATUS ", 1, "ERROR Expected ANALYZE ADD, SET, REMOVE or STATUS"},
        {"RADIO RETUNE CHECK 14090000", 1, "ERROR Live RF retuning is currently supported for local SDRplay receivers"},
        {"CLEAR", 0, "OK"},
        {"STATUS", 0, header}};
    for (Step const& step : steps) {
        Reply const reply = command(step.request);
        EXPECT_EQ(reply.out, step.reply + "\n") << step.request;
        EXPECT_EQ(reply.status, step.status) << step.request;
    }
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(command("ADD id=w" + std::to_string(i) + ",frequency=14085000,wav="
                          + (tmp / ("w" + std::to_string(i) + ".wav")).string())
                      .out,
                  "OK\n");
    EXPECT_EQ(command("ADD id=w16,frequency=14085000,wav=" + (tmp / "w16.wav").string()).out,
              "ERROR At most 16 audio and analysis channels per SDR\n");
}

// The tone in a view from 14085000 to 14089000 Hz in 64 levels of 62.5 Hz: level 16 holds it,
// at its level.
TEST_F(ControlCommands, SpectrumShowsAToneAtItsBinAndLevel)
{
    std::string const request = "SPECTRUM v 14085000 14089000 64";
    EXPECT_EQ(command(request).out, "OK WAIT 14085000 14089000 64\n");
    // The first frames of the stream hold the silence before it: a few frames later every
    // frame is the tone's.
    std::string reply;
    std::istringstream words;
    words.imbue(std::locale::classic());
    std::string ok;
    std::string kind;
    std::uint64_t sequence = 0;
    double lo = 0;
    double hi = 0;
    int bins = 0;
    for (int round = 0; round < 400 && sequence < 10; ++round) {
        reply = command(request).out;
        words.clear();
        words.str(reply);
        sequence = 0;
        words >> ok >> kind;
        if (kind == "SPECTRUM")
            words >> sequence >> lo >> hi >> bins;
    }
    ASSERT_EQ(reply.rfind("OK SPECTRUM ", 0), 0u) << reply;
    ASSERT_GE(sequence, 10u);
    std::vector<double> levels;
    for (double level = 0; words >> level;)
        levels.push_back(level);
    ASSERT_EQ(levels.size(), 64u);
    auto const peak = std::max_element(levels.begin(), levels.end());
    EXPECT_EQ(peak - levels.begin(), 16);
    EXPECT_NEAR(*peak, -20.0, 0.5);
    EXPECT_LT(levels[40], -60.0);
}

}  // namespace
