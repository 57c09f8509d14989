// The run loop's control socket: RADIO requests reach the receiver, and RADIO RETUNE APPLY moves
// the running capture and its decoders to another band.
#include "decode/run/decode_receiver.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <complex>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/stop_flag.hpp"
#include "live/audio_channel_spec.hpp"
#include "radio/radio.hpp"
#include "radio/sample_queue.hpp"
#include "tests/support/control_request.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tone_measure.hpp"

namespace {

namespace fs = std::filesystem;
using testing::HasSubstr;

constexpr double kRate = 64000;
constexpr double kT0 = 1800000000;  // 2027-01-15 08:00:00 UTC, an interval boundary
constexpr std::size_t kBlock = 6400;  // 0.1 s

// A receiver whose stream thread runs a script; it answers RADIO requests itself and can retune.
class ControlledRadio : public Radio {
public:
    using Feed = std::function<void(SampleQueue&)>;

    explicit ControlledRadio(Feed feed, double tuning_offset_hz = 0.0)
        : feed_(std::move(feed)), offset_(tuning_offset_hz)
    {
    }
    ~ControlledRadio() override { stop(); }

    void start(SampleQueue& queue) override
    {
        thread_ = std::thread([this, &queue] { feed_(queue); });
    }
    void stop() override
    {
        if (thread_.joinable())
            thread_.join();
    }
    double sample_rate() const override { return kRate; }
    double tuning_offset() const override { return offset_; }
    void check_retune(double) override {}
    void retune(double hz) override
    {
        std::scoped_lock lock(mutex_);
        retunes.push_back(hz);
    }
    std::string control(std::string const& request) override
    {
        std::scoped_lock lock(mutex_);
        requests.push_back(request);
        if (request == "RADIO LNA 99")
            throw std::runtime_error("LNA state must be 0..9");
        return "OK radio heard " + request;
    }

    std::vector<std::string> requests;
    std::vector<double> retunes;

private:
    std::mutex mutex_;
    Feed feed_;
    double offset_ = 0.0;
    std::thread thread_;
};

// Blocks holding one tone at rf_hz for a capture centred at centre_hz, from utc_from up to
// utc_to, at ten times real time (so that the live channels' outputs keep up as they would).
void push_tone(SampleQueue& queue, double utc_from, double utc_to, double rf_hz, double centre_hz)
{
    for (double utc = utc_from; utc < utc_to - 1e-9; utc += kBlock / kRate) {
        IqBlock block;
        block.samples.resize(kBlock);
        for (std::size_t i = 0; i < kBlock; ++i) {
            double const t = utc - kT0 + static_cast<double>(i) / kRate;
            double const phase = 2 * std::numbers::pi * std::fmod((rf_hz - centre_hz) * t, 1.0);
            block.samples[i] = std::polar(0.01f, static_cast<float>(phase));
        }
        block.utc = utc;
        queue.push(std::move(block));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Quiet blocks from utc_from up to utc_to, consecutive in time.
void push_quiet(SampleQueue& queue, double utc_from, double utc_to)
{
    for (double utc = utc_from; utc < utc_to - 1e-9; utc += kBlock / kRate) {
        IqBlock block;
        block.samples.assign(kBlock, {0.0f, 0.0f});
        block.utc = utc;
        queue.push(std::move(block));
    }
}

class LiveControl : public testing::Test {
protected:
    void SetUp() override
    {
        stop_requested = 0;
        options.wideband = true;
        options.receivers_only = true;
        options.frequency = 14080000;
        options.decoder_channels = {{14074000, DigitalMode::FT8}};
        options.decoders = 1;
        options.audio_control = (dir / "control").string();
    }
    void TearDown() override { stop_requested = 0; }

    // Runs the receiver to its end on this thread, with standard error captured.
    std::string run(Radio* radio)
    {
        testing::internal::CaptureStderr();
        try {
            decode_receiver(options, radio, queue, daemon);
        } catch (...) {
            testing::internal::GetCapturedStderr();
            throw;
        }
        return testing::internal::GetCapturedStderr();
    }

    TempDir dir;
    Options options;
    SampleQueue queue;
    Daemon daemon;
};

TEST_F(LiveControl, RadioRequestsOnTheSocketReachTheReceiver)
{
    std::vector<std::string> replies;
    ControlledRadio radio([&](SampleQueue& queue) {
        push_quiet(queue, kT0 + 1, kT0 + 2);
        for (std::string const request : {"RADIO IFGAIN", "RADIO RETUNE", "RADIO LNA 99", "RADIO RETUNE CHECK 7080000"})
            replies.push_back(ask_control(options.audio_control, request));
        stop_requested = 1;
    });
    std::string const err = run(&radio);

    EXPECT_EQ(replies, (std::vector<std::string>{"OK radio heard RADIO IFGAIN", "OK radio heard RADIO RETUNE",
                                                 "ERROR LNA state must be 0..9", "OK RETUNE validated"}));
    // Without its trailing blank "RADIO RETUNE" is an ordinary request; a band change never is.
    EXPECT_EQ(radio.requests, (std::vector<std::string>{"RADIO IFGAIN", "RADIO RETUNE", "RADIO LNA 99"}));
    EXPECT_TRUE(radio.retunes.empty());
    EXPECT_THAT(err, HasSubstr("Live audio control: " + options.audio_control + "\n"));
    EXPECT_FALSE(fs::exists(options.audio_control)) << "the socket goes with the run";
}

TEST_F(LiveControl, IqReplayHasNoHardwareToControl)
{
    fs::path const iq = dir / "capture.iq";
    ASSERT_EQ(::mkfifo(iq.c_str(), 0600), 0);
    options.iq_file = iq.string();
    options.start_utc = "20270115_080000";
    std::string reply;
    // The replay waits on the FIFO, so the socket is up while this client asks; closing the
    // FIFO ends the file and with it the run.
    std::thread client([&] {
        int const fd = ::open(iq.c_str(), O_WRONLY);
        reply = ask_control(options.audio_control, "RADIO IFGAIN");
        ::close(fd);
    });
    std::string const err = run(nullptr);
    client.join();
    EXPECT_EQ(reply, "ERROR Hardware control unavailable for IQ replay");
    EXPECT_THAT(err, HasSubstr("Live audio control: " + options.audio_control + "\n"));
}

// Decoder mode with a stand-in decoder that prints one spot per interval and announces each run
// on a FIFO: the old band runs into an interval, APPLY moves to 40 m, the new band runs on.
TEST_F(LiveControl, ApplyMovesTheDecodersAndDropsTheOldBandsPartialIntervals)
{
    fs::path const decoder = dir / "jt9";
    fs::create_symlink(NORVANE_SOURCE_DIR "/testbed/decoders/scripted_decoder", decoder);
    dir.write_file("jt9.out", "{hhmmss} -12 0.3 1500 ~ CQ W9XYZ EN37\n");
    fs::path const started = dir / "jt9.fifo";
    ASSERT_EQ(::mkfifo(started.c_str(), 0600), 0);
    fs::create_directory(dir / "work");
    options.receivers_only = false;
    options.decoder = options.js8_decoder = options.wspr_decoder = decoder.string();
    options.work_dir = (dir / "work").string();
    options.all_txt = (dir / "ALL.TXT").string();
    options.workers = 1;
    options.buffer_seconds = 120;  // the feed below runs ahead of the loop by a minute of IQ

    std::string reply;
    ControlledRadio radio([&](SampleQueue& queue) {
        // Held open for reading and writing, the FIFO never reports an end and keeps every
        // announcement, however the decoder runs' opens and closes interleave with the reads.
        int const announcements = ::open(started.c_str(), O_RDWR | O_CLOEXEC);
        // The old band's capture starts at T0+1 and is 5 s into the interval of T0+15 when the
        // band changes; that interval must never be decoded.
        push_quiet(queue, kT0 + 1, kT0 + 20);
        reply = ask_control(options.audio_control, "RADIO RETUNE APPLY 7080000 FT8:7074000");
        push_quiet(queue, kT0 + 20, kT0 + 80);
        // Three decoder runs: the worker appends a run's spots before it starts the next.
        std::string heard;
        while (announcements >= 0 && std::count(heard.begin(), heard.end(), '\n') < 3) {
            char buffer[64];
            ssize_t const n = ::read(announcements, buffer, sizeof buffer);
            if (n > 0)
                heard.append(buffer, static_cast<std::size_t>(n));
            else if (n < 0 && errno != EINTR)
                break;
        }
        if (announcements >= 0)
            ::close(announcements);
        stop_requested = 1;
    });
    std::string const err = run(&radio);

    EXPECT_EQ(reply, "OK RETUNE center=7080000.000000 channels=1");
    EXPECT_EQ(radio.retunes, std::vector<double>{7080000});
    EXPECT_THAT(err, HasSubstr("Retuned receiver: center=7.08e+06 Hz, 1 decoder channels; "
                               "discarded partial intervals\n"));
    std::vector<std::string> const lines = file_lines(dir / "ALL.TXT");
    ASSERT_GE(lines.size(), 2u) << err;
    EXPECT_THAT(lines[0], testing::StartsWith("270115_080030 "));
    EXPECT_THAT(lines[1], testing::StartsWith("270115_080045 "));
    for (std::string const& line : lines) {
        EXPECT_THAT(line, HasSubstr(" 7.074 Rx FT8 "));
        EXPECT_THAT(line, testing::Not(HasSubstr("14.074")));
    }
}

// A live channel records through a band change: the capture moves, the channel follows, and
// the same WAV file goes on.
TEST_F(LiveControl, RecordingGoesOnThroughARetune)
{
    options.decoder_channels.clear();
    options.decoders = 0;
    options.if_bandwidth = kRate;
    fs::path const recording = dir / "net.wav";
    options.audio_channels = {parse_audio_channel("id=net,frequency=14085000,agc=off,wav=" + recording.string())};
    std::string reply;
    std::string status;
    ControlledRadio radio([&](SampleQueue& queue) {
        push_tone(queue, kT0 + 1, kT0 + 2, 14086000, 14080000);
        reply = ask_control(options.audio_control, "RADIO RETUNE APPLY 14082000");
        status = ask_control(options.audio_control, "STATUS");
        push_tone(queue, kT0 + 2, kT0 + 3, 14086000, 14082000);
        stop_requested = 1;
    });
    run(&radio);

    EXPECT_EQ(reply, "OK RETUNE center=14082000.000000 channels=0");
    EXPECT_EQ(status, "OK capture=14082000.000000,span=57600.000000\nid=net,frequency=14085000,modulation=USB,"
                      "bandwidth=3000,audio-rate=48000,audio-gain=10,enabled=true,agc=off,wav="
                          + recording.string());
    std::ifstream in(recording, std::ios::binary);
    std::vector<unsigned char> const bytes {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<float> samples;
    for (std::size_t i = 44; i + 1 < bytes.size(); i += 2)
        samples.push_back(static_cast<float>(static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8))) / 32767.0f);
    ASSERT_GT(samples.size(), 86000u) << "both seconds, in one file";
    // A live output may drop a block when a loaded machine starves its writer; that breaks the
    // tone's phase in one stretch only, so the tone is judged by the middle of six stretches.
    auto const tone_level = [&](std::size_t first) {
        std::vector<double> levels;
        for (std::size_t k = 0; k < 6; ++k)
            levels.push_back(fit_tone(std::span(samples).subspan(first + k * 4800, 4800), 48000, 1000).amplitude);
        std::sort(levels.begin(), levels.end());
        return levels[3];
    };
    EXPECT_NEAR(tone_level(9600), 0.1, 0.003);
    EXPECT_NEAR(tone_level(samples.size() - 28800), 0.1, 0.003);
}

// The survey follows the capture: a band change stops the survey of the old band (its last
// status line) and builds one for the new capture centre.
TEST_F(LiveControl, ApplyRebuildsTheSurveyForTheNewCapture)
{
    options.decoder_channels.clear();
    options.decoders = 0;
    options.survey = true;
    options.backend = "sdrplay";
    options.serial = "1234";
    std::string reply;
    ControlledRadio radio(
        [&](SampleQueue& queue) {
            push_quiet(queue, kT0 + 1, kT0 + 2);
            reply = ask_control(options.audio_control, "RADIO RETUNE APPLY 7080000");
            push_quiet(queue, kT0 + 2, kT0 + 3);
            stop_requested = 1;
        },
        10000);
    std::string const err = run(&radio);

    EXPECT_EQ(reply, "OK RETUNE center=7080000.000000 channels=0");
    std::string const head = "Wideband survey: capture=64000 Hz -> survey=64000 Hz (decimation 1), center=";
    std::string const tail = " Hz, max-decoders=16, min-snr=6 dB, journal=off\n";
    std::string const status = "SURVEY sdrplay 1234: 0 emitters (0 ham / 0 other), 0 decoding\n";
    // The capture centre is the tuned frequency less the radio's offset.
    std::size_t const old_banner = err.find(head + "1.407e+07" + tail);
    std::size_t const old_status = err.find(status, old_banner);
    std::size_t const new_banner = err.find(head + "7.07e+06" + tail, old_status);
    std::size_t const new_status = err.find(status, new_banner);
    ASSERT_NE(old_banner, std::string::npos) << err;
    ASSERT_NE(old_status, std::string::npos) << err;
    ASSERT_NE(new_banner, std::string::npos) << err;
    ASSERT_NE(new_status, std::string::npos) << err;
    EXPECT_EQ(err.find(status, new_status + 1), std::string::npos) << err;
    EXPECT_EQ(err.find("Wideband survey: capture=", new_banner + 1), std::string::npos) << err;
}

// CHECK asks what APPLY would do: the capture centre the radio would really use, and every
// live channel, the audio socket ones included. What APPLY refuses, CHECK refuses.
TEST_F(LiveControl, CheckRefusesWhatApplyRefuses)
{
    options.decoder_channels.clear();
    options.decoders = 0;
    options.if_bandwidth = kRate;
    options.frequency = 14100000;  // this radio's capture sits 10 kHz lower: 14090000
    options.audio_channels = {parse_audio_channel("id=web,frequency=14100000,socket=/tmp/norvane-web-listener")};
    std::vector<std::string> replies;
    ControlledRadio radio(
        [&](SampleQueue& queue) {
            push_quiet(queue, kT0 + 1, kT0 + 2);
            // Asked for 14080000, the capture would be centred at 14070000 and end at 14098800.
            for (std::string const request :
                 {"RADIO RETUNE CHECK 14080000", "RADIO RETUNE APPLY 14080000", "STATUS",
                  "RADIO RETUNE CHECK 14095000", "RADIO RETUNE APPLY 14095000", "STATUS"})
                replies.push_back(ask_control(options.audio_control, request));
            stop_requested = 1;
        },
        10000);
    testing::internal::CaptureStderr();
    decode_receiver(options, &radio, queue, daemon);
    testing::internal::GetCapturedStderr();

    std::string const refused = "ERROR Audio passband is outside the running capture; receiver restart required";
    std::string const channel = "\nid=web,frequency=14100000,modulation=USB,bandwidth=3000,audio-rate=48000,"
                                "audio-gain=10,enabled=true,socket=/tmp/norvane-web-listener";
    EXPECT_EQ(replies, (std::vector<std::string> {refused, refused, "OK capture=14090000.000000,span=57600.000000" + channel,
                                                  "OK RETUNE validated", "OK RETUNE center=14095000.000000 channels=0",
                                                  "OK capture=14085000.000000,span=57600.000000" + channel}));
    EXPECT_EQ(radio.retunes, std::vector<double> {14095000}) << "the refused change never reached the radio";
}

}  // namespace
