// The live run loop with a stand-in receiver: how a wideband run starts, ends and fails.
#include "decode/run/decode_receiver.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/stop_flag.hpp"
#include "radio/radio.hpp"
#include "radio/sample_queue.hpp"
#include "testbed/lib/cpu_receive_engine.hpp"

namespace {

using testing::HasSubstr;

constexpr double kRateHz = 64000;

// A receiver whose stream thread runs `feed` until stop().
class FeedRadio : public Radio {
public:
    using Feed = std::function<void(SampleQueue&, std::atomic<bool> const& stopping)>;

    explicit FeedRadio(Feed feed) : feed_(std::move(feed)) {}
    ~FeedRadio() override { stop(); }

    void start(SampleQueue& queue) override
    {
        ++starts;
        thread_ = std::thread([this, &queue] { feed_(queue, stopping_); });
    }
    void stop() override
    {
        ++stops;
        stopping_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    double sample_rate() const override { return kRateHz; }
    double tuning_offset() const override { return 0.0; }

    int starts = 0;
    int stops = 0;

private:
    Feed feed_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

IqBlock quiet_block(double utc)
{
    IqBlock block;
    block.samples.assign(6400, {0.0f, 0.0f});
    block.utc = utc;
    return block;
}

// Blocks with consecutive UTC stamps until the radio stops, or `count` of them.
FeedRadio::Feed steady_feed(int count = -1, std::function<void()> after = {})
{
    return [count, after](SampleQueue& queue, std::atomic<bool> const& stopping) {
        double utc = 1800000001.0;
        for (int n = 0; (count < 0 || n < count) && !stopping; ++n) {
            queue.push(quiet_block(utc));
            utc += 6400 / kRateHz;
        }
        if (after)
            after();
    };
}

// Receivers-mode options: no decoder pool, so no decoder programs are involved.
Options wideband_options()
{
    Options options;
    options.wideband = true;
    options.receivers_only = true;
    options.frequency = 14080000;
    options.decoder_channels = {{14074000, DigitalMode::FT8}};
    options.decoders = 1;
    return options;
}

std::size_t count_of(std::string const& text, std::string const& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class LiveLoop : public testing::Test {
protected:
    void SetUp() override { stop_requested = 0; }
    void TearDown() override { stop_requested = 0; }

    SampleQueue queue;
    Daemon daemon;
};

TEST_F(LiveLoop, DurationEndsTheRunAndTheRadioStops)
{
    Options options = wideband_options();
    options.duration = 0.3;
    FeedRadio radio(steady_feed());
    testing::internal::CaptureStderr();
    decode_receiver(options, &radio, queue, daemon);
    std::string const err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(radio.starts, 1);
    EXPECT_GE(radio.stops, 1);
    EXPECT_THAT(err, testing::EndsWith("\nAudio-only wideband capture\n"));
    EXPECT_THAT(err, HasSubstr("FT8: 1 channels, 0 workers, IQ=64000 Hz, center=1.408e+07 Hz; appending to ALL.TXT\n"));
}

TEST_F(LiveLoop, StopFlagEndsTheRun)
{
    FeedRadio radio(steady_feed(20, [] { stop_requested = 1; }));
    testing::internal::CaptureStderr();
    decode_receiver(wideband_options(), &radio, queue, daemon);
    std::string const err = testing::internal::GetCapturedStderr();
    EXPECT_GE(radio.stops, 1);
    EXPECT_THAT(err, testing::EndsWith("\nAudio-only wideband capture\n"));
}

TEST_F(LiveLoop, BackendFailureEndsTheRunWithItsMessageAfterReportingReady)
{
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    daemon.startup_pipe = ends[1];
    FeedRadio radio([](SampleQueue& queue, std::atomic<bool> const&) {
        queue.push(quiet_block(1800000001.0));
        queue.fail("rtl_tcp server closed the connection");
    });
    testing::internal::CaptureStderr();
    try {
        decode_receiver(wideband_options(), &radio, queue, daemon);
        ADD_FAILURE() << "the run did not fail";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "rtl_tcp server closed the connection");
    }
    testing::internal::GetCapturedStderr();
    EXPECT_GE(radio.stops, 1);

    EXPECT_EQ(daemon.startup_pipe, -1);
    char text[64] = {};
    ssize_t const got = ::read(ends[0], text, sizeof text - 1);
    ::close(ends[0]);
    EXPECT_EQ(std::string(text, got > 0 ? static_cast<std::size_t>(got) : 0), "S" + std::to_string(::getpid()));
}

TEST_F(LiveLoop, ARadioThatNeverDeliversFailsAfterFiveSeconds)
{
    FeedRadio radio([](SampleQueue&, std::atomic<bool> const&) {});
    testing::internal::CaptureStderr();
    auto const start = std::chrono::steady_clock::now();
    try {
        decode_receiver(wideband_options(), &radio, queue, daemon);
        ADD_FAILURE() << "the run did not fail";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "Receiver stopped delivering samples for five seconds");
    }
    testing::internal::GetCapturedStderr();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// A receiver that delivers `blocks` blocks at once when it starts, faster than the run takes
// them, and nothing after.
class BurstRadio : public Radio {
public:
    explicit BurstRadio(int blocks) : blocks_(blocks) {}
    void start(SampleQueue& queue) override
    {
        double utc = 1800000001.0;
        for (int n = 0; n < blocks_; ++n, utc += 6400 / kRateHz)
            queue.push(quiet_block(utc));
    }
    void stop() override {}
    double sample_rate() const override { return kRateHz; }
    double tuning_offset() const override { return 0.0; }

private:
    int blocks_;
};

// The backlog line says "nothing is lost" only when nothing was: a buffer of 2 s takes 20
// blocks of 0.1 s, and the blocks beyond them are dropped and told in seconds and samples at the
// first look, before the run has taken a block.
TEST_F(LiveLoop, TheBacklogLineSaysHowMuchWasDropped)
{
    struct Case {
        int blocks;
        std::string line;
    };
    Case const cases[] = {
        {20, "Receiver is 2 s behind (buffer 2 s): decodes are delayed, nothing is lost\n"},
        {50, "Receive buffer (2 s) overflowed: 3 s of IQ (192000 samples) were dropped since the receiver started\n"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.blocks);
        Options options = wideband_options();
        options.buffer_seconds = 2;
        options.duration = 2.5;  // the backlog is looked at once a second
        BurstRadio radio(c.blocks);
        SampleQueue fresh;
        testing::internal::CaptureStderr();
        decode_receiver(options, &radio, fresh, daemon);
        std::string const err = testing::internal::GetCapturedStderr();
        EXPECT_THAT(err, HasSubstr(c.line));
        EXPECT_EQ(count_of(err, "Receiver is ") + count_of(err, "Receive buffer "), 1u) << err;
    }
}

// A receiver of a given rate that may hand out a receive engine, and delivers nothing.
class SilentRadio : public Radio {
public:
    SilentRadio(double rate_hz, std::shared_ptr<SpectrumRows> engine) : rate_(rate_hz), engine_(std::move(engine)) {}
    void start(SampleQueue&) override { stop_requested = 1; }
    void stop() override {}
    double sample_rate() const override { return rate_; }
    double tuning_offset() const override { return 0.0; }
    std::shared_ptr<SpectrumRows> receive_engine(std::size_t, std::string& reason) override
    {
        reason = "stand-in engine";
        return engine_;
    }

private:
    double rate_;
    std::shared_ptr<SpectrumRows> engine_;
};

// Where the survey cannot see the capture it says so once and the run goes on without it.
TEST_F(LiveLoop, TheSurveyIsOffWhereItCannotSeeTheCapture)
{
    struct Case {
        const char* what;
        double rate_hz;
        bool engine;
        std::string line;
    };
    const Case cases[] = {
        {"a capture wider than 10 MS/s", 12000000, false,
         "Wideband survey: off for this 12 MS/s capture (it examines about 1.5 MHz around the capture centre, "
         "which is not a ham band here)\n"},
        {"a receive engine that takes the raw ADC words", 2000000, true,
         "Wideband survey: off: the RX-888 receive engine delivers no IQ samples to survey (--rx888-gpu off keeps "
         "IQ on the CPU front end)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Options options = wideband_options();
        options.survey = true;
        options.backend = c.engine ? "rx888" : "sdrplay";
        std::shared_ptr<SpectrumRows> engine;
        if (c.engine)
            engine = std::make_shared<testbed::CpuReceiveEngine>(131072, 32, 64e6);
        SilentRadio radio(c.rate_hz, engine);
        SampleQueue fresh;
        testing::internal::CaptureStderr();
        decode_receiver(options, &radio, fresh, daemon);
        std::string const err = testing::internal::GetCapturedStderr();
        stop_requested = 0;
        EXPECT_EQ(count_of(err, c.line), 1u) << err;
        EXPECT_EQ(count_of(err, "Wideband survey:"), 1u) << err;
        EXPECT_EQ(count_of(err, "SURVEY "), 0u) << err;
        EXPECT_THAT(err, testing::EndsWith("\nAudio-only wideband capture\n"));
    }
}

// A survey on a live capture: announced after the engine line, stopped at the end of the run
// with its last status line before the run's own last line.
TEST_F(LiveLoop, ASurveyRunsBesideTheCaptureAndEndsWithItsStatusLine)
{
    Options options = wideband_options();
    options.survey = true;
    options.backend = "rtl-sdr";
    options.survey_journal = "";
    FeedRadio radio(steady_feed(20, [] { stop_requested = 1; }));
    testing::internal::CaptureStderr();
    decode_receiver(options, &radio, queue, daemon);
    std::string const err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("Wideband survey: capture=64000 Hz -> survey=64000 Hz (decimation 1), "
                               "center=1.408e+07 Hz, max-decoders=16, min-snr=6 dB, journal=off\n"));
    EXPECT_THAT(err, testing::EndsWith("\nSURVEY rtl-sdr: 0 emitters (0 ham / 0 other), 0 decoding\n"
                                       "Audio-only wideband capture\n"));
}

}  // namespace
