// The real program with --backend rx888 against the stand-in libusb: device listing, an FT8
// transmission in the ADC stream decoded into ALL.TXT, RADIO requests over the control
// socket, recovery from a stall and a replug, a receiver that never comes back, and SIGTERM
// while waiting for one.
//
// Streaming runs go in slow motion (SlowMotion): 64 MS/s of ADC words, their conversion and
// the channelizer are more than a loaded two-core machine can do in real time, and late words
// would rightly be taken for a drifting ADC clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/usb_baseband.hpp"
#include "testbed/lib/wav_reader.hpp"
#include "testbed/lib/wsjt_recordings.hpp"
#include "tests/rx888/gpu_standin.hpp"
#include "tests/rx888/rx888_standin.hpp"
#include "tests/support/control_request.hpp"
#include "tests/support/all_txt_spot.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tone_measure.hpp"

extern char** environ;

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::Not;

namespace {

using Steady = std::chrono::steady_clock;

// How many times slower than real the stand-in streams in these tests; the decoder runs, which
// must keep up for a whole 15 s interval beside other tests, slower still.
constexpr double kSlow = 2;
constexpr double kDecoderSlow = 3;

double utc_now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string seconds_text(double seconds) { return std::to_string(static_cast<int>(std::ceil(seconds))); }

// The arguments of a decoder-mode run on the stand-in at the half rate around 14.08 MHz, with
// one FT8 channel (the capture is sized to it: 8 MS/s).
std::vector<std::string> decoder_run(fs::path const& dir, std::vector<std::string> const& extra)
{
    std::vector<std::string> argv = {NORVANE_EXE,
                                     "--mode",
                                     "decoder",
                                     "--backend",
                                     "rx888",
                                     "--rx888-library",
                                     usb_standin_path(),
                                     "--rx888-rate",
                                     "half",
                                     "--center-frequency",
                                     "14.08M",
                                     "--frequencies",
                                     "14.074M",
                                     "--decoder-timeout",
                                     "60",
                                     "--all-txt",
                                     (dir / "ALL.TXT").string()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

ProcessResult run(fs::path const& dir, std::vector<std::string> argv, int timeout_ms = 120000)
{
    ProcessRun process;
    process.argv = std::move(argv);
    process.working_directory = dir.string();
    process.timeout_ms = timeout_ms;
    return run_process(process);
}

// The program as a child whose standard error goes to a file, for tests that act while it runs.
class Child {
public:
    Child(std::vector<std::string> const& argv, fs::path const& err) : err_(err)
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char*> args;
        for (std::string const& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        int const result = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (result != 0)
            throw std::runtime_error("cannot start the program");
    }
    ~Child()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(Child const&) = delete;
    Child& operator=(Child const&) = delete;

    std::string err() const { return file_text(err_); }

    bool wait_for(std::string const& part, double seconds = 60) const
    {
        auto const end = Steady::now() + std::chrono::duration<double>(seconds);
        while (Steady::now() < end) {
            if (err().find(part) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    void signal(int number) const { ::kill(pid_, number); }

    // Waits for the exit; returns the exit status, or -1 after `seconds` or for a signal.
    int wait(double seconds)
    {
        auto const end = Steady::now() + std::chrono::duration<double>(seconds);
        while (Steady::now() < end) {
            int status = 0;
            pid_t const done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    fs::path err_;
};

// Runs the program until `file` holds a whole line, then stops it with SIGTERM; gives up after
// `seconds` (the program's own --duration should end it before). A loaded machine may fall
// behind the stream and catch up from the receive queue later: the line is waited for, not a
// fixed time.
ProcessResult run_until_line(fs::path const& dir, std::vector<std::string> const& argv, fs::path const& file,
                             double seconds)
{
    Child child(argv, dir / "stderr.txt");
    ProcessResult result;
    auto const end = Steady::now() + std::chrono::duration<double>(seconds);
    while (Steady::now() < end) {
        if (file_text(file).find('\n') != std::string::npos) {
            child.signal(SIGTERM);
            break;
        }
        int const status = child.wait(0.05);
        if (status != -1) {
            result.exit_status = status;
            result.err = child.err();
            return result;
        }
    }
    result.exit_status = child.wait(30);
    result.err = child.err();
    return result;
}

TEST(Rx888Listing, TheSdrplayListingAddsTheRx888sAfterUploadingFirmware)
{
    UsbStandin standin{{"DEVICES", "app:SN1:2:1.4;boot:B1:2:1.5:app-serial=SN2;app::2:1.6:claim=busy;pid=3ddc:N:2:1.7"}};
    std::string const image =
        write_image(standin.dir(), "SDDC_FX3.img", fx3_image_bytes({{0x40000000, pattern(16, 1)}}, 0x40000000));
    ProcessResult const without = run(standin.dir().path(), {NORVANE_EXE, "--list-devices", "--api-library",
                                                             "/nonexistent/libsdrplay_api.so", "--rx888-library",
                                                             usb_standin_path(), "--rx888-firmware", "/nonexistent.img"});
    ASSERT_EQ(without.exit_status, 0) << without.err;
    EXPECT_EQ(without.out, "0: RX-888 MKII serial=SN1 available=1\n1: RX-888 MKII (needs firmware) serial=usb-2-1-5 "
                           "available=0\n2: RX-888 MKII serial=usb-2-1-6 available=0\n");
    EXPECT_THAT(without.err, HasSubstr("RX-888 firmware image not found: /nonexistent.img\n"));
    EXPECT_THAT(without.err, HasSubstr("SDRplay enumeration unavailable: Cannot load receiver library: "));

    ProcessResult const with = run(standin.dir().path(), {NORVANE_EXE, "--list-devices", "--api-library",
                                                          "/nonexistent/libsdrplay_api.so", "--rx888-library",
                                                          usb_standin_path(), "--rx888-firmware", image});
    ASSERT_EQ(with.exit_status, 0) << with.err;
    EXPECT_EQ(with.out, "0: RX-888 MKII serial=SN1 available=1\n1: RX-888 MKII serial=SN2 available=1\n2: RX-888 MKII "
                        "serial=usb-2-1-6 available=0\n");
    EXPECT_THAT(with.err, HasSubstr("RX-888: uploading FX3 firmware " + image + " to the bootloader device (04b4:00f3)\n"));
}

TEST(Rx888Listing, DiagnosticsShowEveryCandidateAndUploadNothing)
{
    UsbStandin standin{
        {"DEVICES", "app:SN1:2:1.4;boot:B1:2:1.5;app:SN3:2:1.6:open=fail;pid=3ddc:N:2:1.7;app:SN4:3:2:identity=4.1.9;"
                    "pid=1234:X:2:1.8"}};
    ProcessResult const result =
        run(standin.dir().path(), {NORVANE_EXE, "--list-devices", "--backend", "rx888", "--rx888-library", usb_standin_path()});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out,
              "RX-888 candidate serial=SN1 port=usb-2-1-4 speed=4 model=4 firmware=2.2\n"
              "RX-888 candidate serial=B1 port=usb-2-1-5 speed=4 Cypress FX3 bootloader (pass --rx888-firmware "
              "SDDC_FX3.img to load firmware)\n"
              "RX-888 candidate serial= port=usb-2-1-6 speed=4 unavailable=LIBUSB_ERROR_ACCESS\n"
              "RX-888 candidate serial=N port=usb-2-1-7 speed=4 newer register firmware (use matching RaspSDR driver)\n"
              "RX-888 candidate serial=SN4 port=usb-3-2 speed=4 model=4 firmware=1.9\n");
    EXPECT_TRUE(standin.log_of("control 40 a0").empty());
    EXPECT_TRUE(standin.log_of("claim").empty());
}

TEST(Rx888Listing, TheDefaultLibraryNameIsLoaded)
{
    // The stand-in under libusb's own file name, found through the loader's search path.
    UsbStandin standin{{"DEVICES", "app:SN1:2:1.4"}};
    fs::create_symlink(usb_standin_path(), standin.file("libusb-1.0.so.0"));
    ProcessRun process;
    process.argv = {NORVANE_EXE, "--list-devices", "--backend", "rx888"};
    process.env = environment_with({"LD_LIBRARY_PATH=" + standin.dir().path().string()});
    ProcessResult const result = run_process(process);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out, "RX-888 candidate serial=SN1 port=usb-2-1-4 speed=4 model=4 firmware=2.2\n");
}

// The two roads from the ADC words to the decoder: the CPU front end and the channelizer's own
// transforms, or the raw words and the GPU receive engine (the stand-in plug-in). Both must
// decode the same transmission into the same ALL.TXT line. The stand-in plug-in does on this
// processor what a GPU would do, a real transform of 2^22 words every 2^21, three times the
// work of the CPU path: that path goes slower still.
struct DecoderPath {
    char const* name;
    bool engine;
    double slow;
};

std::ostream& operator<<(std::ostream& out, DecoderPath const& path) { return out << path.name; }

class Rx888Decoder : public testing::TestWithParam<DecoderPath> {};

TEST_P(Rx888Decoder, AnFt8TransmissionInTheAdcStreamReachesAllTxt)
{
    DecoderPath const& path = GetParam();
    TempDir tmp;
    std::vector<float> const audio = testbed::ft8sim_audio(tmp.path(), "CQ K1ABC FN42", 1200);
    testbed::write_baseband_file(tmp / "ft8.c32", testbed::usb_baseband(audio));
    // Noise of RMS 0.005 full scale over the 32 MHz of the half rate puts
    // 0.005^2 x 2500 / 32e6 of its power into 2500 Hz; the transmission, sent from the next
    // 15 s boundary of UTC on, stands 0 dB above that.
    double const noise = 0.005;
    double const in_2500 = noise * noise * 2500 / 32e6;
    double const amplitude = std::sqrt(in_2500 / testbed::active_power(audio));
    std::ostringstream signal;
    signal << (tmp / "ft8.c32").string() << "@14074000@" << amplitude << "@15";
    // The program's clock starts 2 s before a 15 s boundary of UTC.
    SlowMotion const slow(path.slow, std::floor(utc_now() / 15) * 15 - 2);
    UsbStandin standin{{"SIGNAL", signal.str()}, {"NOISE", std::to_string(noise)}};
    GpuStandinSettings gpu;
    // The 2 s to the boundary and the 15 s interval in slow motion, and time to catch up.
    double const limit = slow.real(17) + 60;
    std::vector<std::string> extra = {"--duration", seconds_text(limit)};
    if (path.engine)
        gpu.set("LIBRARY", gpu_standin_path());
    else
        extra.insert(extra.end(), {"--rx888-gpu", "off"});

    ProcessResult const result = run_until_line(tmp.path(), decoder_run(tmp.path(), extra), tmp / "ALL.TXT", limit + 10);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_THAT(result.err, HasSubstr("RX-888 MKII: model=4 firmware=2.2, ADC=64 MS/s (half), IQ=8 MS/s, "
                                      "center=14.08 MHz, atten=10 dB, VGA=1.46639 dB; no firmware changes by this "
                                      "driver\n"));
    if (path.engine) {
        EXPECT_THAT(result.err, HasSubstr("\nRX-888 receive engine: GPU (" + gpu_standin_name +
                                          "): raw ADC samples in, each consumer's results out\n"));
        EXPECT_THAT(result.err, Not(HasSubstr("RX-888 front end: ")));
    } else {
        EXPECT_THAT(result.err, HasSubstr("\nRX-888 receive engine: CPU front end (--rx888-gpu off)\n"));
        EXPECT_THAT(result.err, HasSubstr("\nRX-888 front end: CPU, "));
        EXPECT_THAT(result.err, HasSubstr(" (GPU: turned off)\n"));
    }
    EXPECT_THAT(result.err, Not(HasSubstr("drifted")));
    expect_only_ft8_spot(file_text(tmp / "ALL.TXT"),
                         {.dial = "14.074", .message = "CQ K1ABC FN42", .audio_hz = 1200, .snr_db = 0, .dt_s = 0,
                          .dt_tolerance_s = 0.3},
                         result.err);
}

INSTANTIATE_TEST_SUITE_P(Paths, Rx888Decoder,
                         testing::Values(DecoderPath{"cpu_front_end", false, kDecoderSlow},
                                         DecoderPath{"gpu_receive_engine", true, 1.5 * kDecoderSlow}),
                         [](testing::TestParamInfo<DecoderPath> const& info) { return std::string(info.param.name); });

TEST(Rx888Decoder, AFailingReceiveEngineEndsTheRunWithItsText)
{
    TempDir tmp;
    SlowMotion const slow(kSlow, utc_now());
    UsbStandin standin{{"TONES", "14075000@0.01"}};
    // A hop of the engine is 2^21 words (33 ms of the stream): the 40th launch comes after
    // about 1.3 s of it.
    GpuStandinSettings gpu{{"LIBRARY", gpu_standin_path()}, {"FAIL", "launch@40"}};
    ProcessResult const result = run(tmp.path(), decoder_run(tmp.path(), {"--duration", seconds_text(slow.real(20))}));
    EXPECT_EQ(result.exit_status, 1) << result.err;
    EXPECT_THAT(result.err, HasSubstr("\nRX-888 GPU receive: stand-in GPU: launch 40 failed on request\n"));
    EXPECT_THAT(result.err, testing::EndsWith("\nError: The RX-888 GPU receive engine failed\n"));
}

// Audio mode converts on the CPU or through the plug-in's converter, which may fail on the way.
struct AudioPath {
    char const* name;
    std::vector<std::pair<std::string, std::string>> gpu;  // stand-in settings; none: --rx888-gpu off
    std::vector<std::string> lines;                         // on standard error, once each
};

std::ostream& operator<<(std::ostream& out, AudioPath const& path) { return out << path.name; }

class Rx888Audio : public testing::TestWithParam<AudioPath> {};

TEST_P(Rx888Audio, AToneAboveTheDialIsHeardAtItsOffset)
{
    // Audio mode tunes 8 kHz beside the dial; a carrier 1 kHz above the dial is a 1 kHz tone in
    // upper sideband.
    AudioPath const& path = GetParam();
    TempDir tmp;
    SlowMotion const slow(kSlow, utc_now());
    UsbStandin standin{{"TONES", "14075000@0.01"}};
    GpuStandinSettings gpu;
    std::vector<std::string> argv = {NORVANE_EXE, "-f", "14.074M", "--backend", "rx888", "--rx888-library",
                                     usb_standin_path(), "--rx888-rate", "half", "--wav", (tmp / "out.wav").string(),
                                     "--duration", seconds_text(slow.real(3))};
    if (path.gpu.empty()) {
        argv.insert(argv.end(), {"--rx888-gpu", "off"});
    } else {
        gpu.set("LIBRARY", gpu_standin_path());
        for (auto const& [name, value] : path.gpu)
            gpu.set(name, value);
    }
    ProcessResult const result = run(tmp.path(), argv);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_THAT(result.err, HasSubstr("center=14.082 MHz"));
    EXPECT_THAT(result.err, HasSubstr("\nrx888: 1.4074e+07 Hz USB, bandwidth=3000 Hz, audio=48000 Hz mono\n"));
    for (std::string const& line : path.lines) {
        std::size_t const at = result.err.find("\n" + line + "\n");
        EXPECT_NE(at, std::string::npos) << line << "\n" << result.err;
        EXPECT_EQ(result.err.find("\n" + line + "\n", at + 1), std::string::npos) << line;
    }
    auto const wav = testbed::read_wav_mono16(tmp / "out.wav");
    ASSERT_GT(wav.samples.size(), 48000u);
    ToneMeasure const tone = measure_tone(after(wav.samples, 24000), 48000);
    EXPECT_NEAR(tone.frequency_hz, 1000.0, 1.0);
    EXPECT_GT(tone.rms, 0.01);
}

INSTANTIATE_TEST_SUITE_P(
    Converters, Rx888Audio,
    testing::Values(AudioPath{"cpu", {}, {}},
                    AudioPath{"gpu", {{"NAME", "Card 7"}}, {"RX-888 front end: GPU (Card 7)"}},
                    // A transfer is one run of the converter: the 100th fails after 0.2 s of stream.
                    AudioPath{"gpu_failing",
                              {{"FAIL", "run@100"}},
                              {"RX-888 front end: GPU (" + gpu_standin_name + ")",
                               "RX-888 front end: the GPU failed (stand-in GPU: run 100 failed on request); "
                               "converting on the CPU from now on"}}),
    [](testing::TestParamInfo<AudioPath> const& info) { return std::string(info.param.name); });

TEST(Rx888Control, RadioRequestsOverTheControlSocket)
{
    TempDir tmp;
    SlowMotion const slow(kSlow, utc_now());
    UsbStandin standin{{"TONES", "14090000@0.2"}};
    fs::path const socket = tmp / "control.sock";
    Child child(decoder_run(tmp.path(), {"--audio-control", socket.string(), "--duration", "60"}), tmp / "err.txt");
    ASSERT_TRUE(child.wait_for("Live audio control: ")) << child.err();
    ASSERT_TRUE(child.wait_for("RX-888 front end: ")) << child.err();

    EXPECT_EQ(ask_control(socket, "RADIO STATUS"), "OK RADIO rx888-rate=half,rx888-attenuation=10.000000,rx888-gain=1.466388");
    EXPECT_EQ(ask_control(socket, "RADIO SET rx888-attenuation=12.5,rx888-gain=5"),
              "OK RADIO rx888-attenuation=12.5,rx888-gain=5");
    EXPECT_EQ(ask_control(socket, "RADIO STATUS"), "OK RADIO rx888-rate=half,rx888-attenuation=12.500000,rx888-gain=5.903363");
    std::vector<std::string> const sent = standin.log_of("control 40 b6");
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent[sent.size() - 2], "control 40 b6 0019 000a 1 00");
    EXPECT_EQ(sent.back(), "control 40 b6 0085 000b 1 00");
    EXPECT_THAT(ask_control(socket, "RADIO SET rx888-attenuation=12.3"), testing::StartsWith("ERROR "));
    // The meter reads once the first converted samples were counted.
    std::string levels;
    for (auto const end = Steady::now() + std::chrono::seconds(20); Steady::now() < end;) {
        levels = ask_control(socket, "RADIO LEVELS");
        if (levels.rfind("OK LEVELS state=ready,", 0) == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_THAT(levels, testing::StartsWith("OK LEVELS state=ready,peak="));
    std::string const meter = ask_control(socket, "RADIO METER");
    EXPECT_THAT(meter, testing::StartsWith("OK LEVELS state=ready,"));
    EXPECT_THAT(meter, HasSubstr("\nOK OVERLOAD state="));
    EXPECT_THAT(meter, HasSubstr("\nOK IFGAIN state=unavailable,reduction=na"));
    EXPECT_THAT(ask_control(socket, "RADIO OVERLOAD"), testing::MatchesRegex("OK OVERLOAD state=(unknown|clear),events=0"));
    EXPECT_THAT(child.err(), HasSubstr("\nRX-888: atten=12.5 dB, VGA=5.90336 dB\n"));

    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(20), 0) << child.err();
}

TEST(Rx888Recovery, AStallAndAReplugAreRecoveredAndMarked)
{
    TempDir tmp;
    // At 64 MS/s a transfer is 2 ms of the stream: the stall comes after about 1 s of it, the
    // replug about 1 s later.
    SlowMotion const slow(kSlow, utc_now());
    UsbStandin standin{{"SCRIPT", "500:stall,1000:unplug:800"}};
    ProcessResult const result =
        run(tmp.path(), decoder_run(tmp.path(), {"--duration", seconds_text(slow.real(2.5) + 4), "--stats"}));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    std::string const& err = result.err;
    EXPECT_THAT(err, HasSubstr("\nRX-888 stream fault: status=4, received=0/262144 bytes, after "));
    EXPECT_THAT(err, HasSubstr("\nRX-888 USB endpoint stalled; loss length unknown; trying to resume\n"));
    EXPECT_THAT(err, HasSubstr("\nRX-888 disconnected; trying to resume\nRX-888 is not answering; waiting up to 130 s "
                               "for it to reset or be replugged\n"));
    std::size_t resumed = 0;
    for (std::size_t at = err.find("RX-888: reception resumed after "); at != std::string::npos;
         at = err.find("RX-888: reception resumed after ", at + 1))
        ++resumed;
    EXPECT_EQ(resumed, 2u) << err;
    // The decoder capture restarted at the start of the stream and at each resumption.
    std::size_t const last_stats = err.rfind("Decoder jobs: ");
    ASSERT_NE(last_stats, std::string::npos);
    std::size_t const last_with_resets = err.rfind(", resets=");
    ASSERT_NE(last_with_resets, std::string::npos);
    EXPECT_EQ(err.substr(last_with_resets, 10), ", resets=3") << err;
}

TEST(Rx888Recovery, AReceiverThatNeverComesBackEndsTheRunWithTheFault)
{
    TempDir tmp;
    SlowMotion const slow(kSlow, utc_now());
    UsbStandin standin{{"SCRIPT", "500:unplug:-1"}};
    ProcessResult const result = run(tmp.path(), decoder_run(tmp.path(), {"--duration", "60", "--rx888-recovery", "2"}));
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_THAT(result.err, HasSubstr("\nRX-888 did not come back within 2 s; unplug it and plug it back in\n"));
    EXPECT_THAT(result.err, testing::EndsWith("\nError: RX-888 disconnected\n"));
}

TEST(Rx888Recovery, SigtermWhileWaitingForTheReceiverIsPrompt)
{
    TempDir tmp;
    SlowMotion const slow(kSlow, utc_now());
    UsbStandin standin{{"SCRIPT", "500:unplug:-1"}};
    Child child(decoder_run(tmp.path(), {"--duration", "120"}), tmp / "err.txt");
    ASSERT_TRUE(child.wait_for("RX-888 is not answering; waiting up to 130 s")) << child.err();
    auto const begin = Steady::now();
    child.signal(SIGTERM);
    EXPECT_EQ(child.wait(20), 0) << child.err();
    EXPECT_LT(std::chrono::duration<double>(Steady::now() - begin).count(), 2.0) << child.err();
    EXPECT_THAT(child.err(), Not(HasSubstr("Error:")));
}

}  // namespace
