#include "radio/audio_mode.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/daemon.hpp"
#include "core/options.hpp"
#include "core/stop_flag.hpp"
#include "radio/audio_output.hpp"
#include "radio/demodulator.hpp"
#include "radio/iq_block.hpp"
#include "radio/radio.hpp"
#include "radio/sample_queue.hpp"
#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/scripted_radio.hpp"
#include "testbed/lib/wav_reader.hpp"
#include "tests/support/error_of.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tone_measure.hpp"

namespace {

constexpr double iq_rate = 64000.0;
constexpr std::size_t drain_pairs = 2049;

// The stop flag is process-wide: every test leaves it as it found it.
class AudioMode : public testing::Test {
protected:
    void SetUp() override { stop_requested = 0; }
    void TearDown() override { stop_requested = 0; }

    Options options_for(std::filesystem::path const& iq_file)
    {
        Options options;
        options.iq_file = iq_file.string();
        options.wav = (tmp / "out.wav").string();
        options.audio_rate = 48000;
        return options;
    }

    std::vector<float> wav_samples() { return testbed::read_wav_mono16(tmp / "out.wav").samples; }

    TempDir tmp;
};

// The audio a replay of `pairs` IQ pairs writes: the pairs and the drain's filter length of
// silence, at the audio rate (the converter may leave a sample or two either way).
double expected_samples(double pairs, double audio_rate_hz) { return (pairs + drain_pairs) * audio_rate_hz / iq_rate; }

// Reads what a Daemon sent its waiting parent.
class StartupPipe {
public:
    StartupPipe()
    {
        if (::pipe(fds_) != 0)
            throw std::runtime_error("pipe");
    }
    ~StartupPipe()
    {
        ::close(fds_[0]);
        if (daemon.startup_pipe >= 0)
            ::close(daemon.startup_pipe);
        daemon.startup_pipe = -1;
    }
    Daemon daemon;
    void attach() { daemon.startup_pipe = fds_[1]; }
    std::string received()
    {
        char buffer[64];
        ssize_t const n = ::read(fds_[0], buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }

private:
    int fds_[2] = {-1, -1};
};

TEST_F(AudioMode, ReplayPlaysTheToneAndDrainsTheFilter)
{
    testbed::write_iq_file(tmp / "tone.iq", complex_tone(1000, 0.05, iq_rate, 64000));
    Options const options = options_for(tmp / "tone.iq");
    StartupPipe startup;
    startup.attach();
    {
        Demodulator demodulator(Demodulator::usb, 3000, 10, 48000, 0);
        AudioOutput output(options);
        replay_iq_file(options, demodulator, output, startup.daemon);
        output.finish();
    }
    EXPECT_EQ(startup.received(), "S" + std::to_string(::getpid()));

    std::vector<float> const audio = wav_samples();
    EXPECT_NEAR(static_cast<double>(audio.size()), expected_samples(64000, 48000), 2.0);
    ToneMeasure const tone = measure_tone(std::span(audio).subspan(4800, 38400), 48000);
    EXPECT_NEAR(tone.frequency_hz, 1000.0, 1.0);
    EXPECT_NEAR(tone.rms, 0.5 / std::sqrt(2.0), 0.01);
    // The drain's stretch at the end is the filter ringing out to silence.
    EXPECT_LT(measure_tone(std::span(audio).last(200), 48000).rms, 0.001);
}

struct DurationCase {
    double file_seconds;
    double duration;
    double pairs_read;
};

class ReplayDuration : public AudioMode, public testing::WithParamInterface<DurationCase> {};

TEST_P(ReplayDuration, ReadsExactlyTheDurationsPairs)
{
    DurationCase const& c = GetParam();
    testbed::write_iq_file(tmp / "tone.iq",
                           complex_tone(600, 0.05, iq_rate, static_cast<std::size_t>(c.file_seconds * iq_rate)));
    Options options = options_for(tmp / "tone.iq");
    options.duration = c.duration;
    options.audio_rate = 12000;
    Daemon daemon;
    {
        Demodulator demodulator(Demodulator::usb, 3000, 10, 12000, 0);
        AudioOutput output(options);
        replay_iq_file(options, demodulator, output, daemon);
        output.finish();
    }
    EXPECT_NEAR(static_cast<double>(wav_samples().size()), expected_samples(c.pairs_read, 12000), 2.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplayDuration,
                         testing::Values(DurationCase{3.0, 1.0, 64000}, DurationCase{2.0, 0.25, 16000},
                                         // Truncated to whole pairs; not a multiple of the 4096-pair reads.
                                         DurationCase{1.0, 0.1234567, 7901}, DurationCase{0.5, 0, 32000},
                                         DurationCase{0.5, 9.0, 32000}));

TEST_F(AudioMode, EmptyFileGivesOnlyTheDrainsSilence)
{
    std::ofstream(tmp / "empty.iq").close();
    Options const options = options_for(tmp / "empty.iq");
    Daemon daemon;
    {
        Demodulator demodulator(Demodulator::am, 6000, 10, 48000, 0);
        AudioOutput output(options);
        replay_iq_file(options, demodulator, output, daemon);
        output.finish();
    }
    std::vector<float> const audio = wav_samples();
    EXPECT_NEAR(static_cast<double>(audio.size()), expected_samples(0, 48000), 2.0);
    for (float const x : audio)
        ASSERT_EQ(x, 0.0f);
}

struct OddSizeCase {
    std::size_t bytes;
    bool audio_before_failure;
};

class ReplayOddSize : public AudioMode, public testing::WithParamInterface<OddSizeCase> {};

// A torn last pair is refused, but only once the read reaches it: whole reads before it play.
TEST_P(ReplayOddSize, RefusesAnIncompleteLastPair)
{
    OddSizeCase const& c = GetParam();
    std::vector<std::complex<float>> const tone = complex_tone(1000, 0.05, iq_rate, c.bytes / 4 + 1);
    testbed::write_iq_file(tmp / "tone.iq", tone);
    std::filesystem::resize_file(tmp / "tone.iq", c.bytes);
    Options const options = options_for(tmp / "tone.iq");
    Daemon daemon;
    {
        Demodulator demodulator(Demodulator::usb, 3000, 10, 48000, 0);
        AudioOutput output(options);
        EXPECT_EQ(error_of([&] { replay_iq_file(options, demodulator, output, daemon); }),
                  "IQ file ends with an incomplete PCM16 I,Q pair");
    }
    // The output was not finished; its destructor still leaves a readable file.
    EXPECT_EQ(!wav_samples().empty(), c.audio_before_failure);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplayOddSize,
                         testing::Values(OddSizeCase{16385, true}, OddSizeCase{4097, false}, OddSizeCase{3, false},
                                         OddSizeCase{16386, true}));

TEST_F(AudioMode, MissingFileIsNamed)
{
    Options const options = options_for(tmp / "missing.iq");
    StartupPipe startup;
    startup.attach();
    Demodulator demodulator(Demodulator::usb, 3000, 10, 48000, 0);
    AudioOutput output(options);
    EXPECT_EQ(error_of([&] { replay_iq_file(options, demodulator, output, startup.daemon); }),
              "Cannot open IQ file: " + (tmp / "missing.iq").string());
    EXPECT_GE(startup.daemon.startup_pipe, 0) << "reported ready without an input";
}

// Stopped before the first read: the replay reports ready and returns without audio, not even
// the drain.
TEST_F(AudioMode, StopFlagSetEndsReplayWithoutDrain)
{
    testbed::write_iq_file(tmp / "tone.iq", complex_tone(1000, 0.05, iq_rate, 64000));
    Options const options = options_for(tmp / "tone.iq");
    StartupPipe startup;
    startup.attach();
    stop_requested = 1;
    {
        Demodulator demodulator(Demodulator::usb, 3000, 10, 48000, 0);
        AudioOutput output(options);
        replay_iq_file(options, demodulator, output, startup.daemon);
        output.finish();
    }
    EXPECT_EQ(startup.received(), "S" + std::to_string(::getpid()));
    EXPECT_TRUE(wav_samples().empty());
}

using testbed::ScriptedRadio;

// The radio's stream is faster than 64000 Hz and tuned beside the dial: the tone still comes out
// at its audio frequency and level, and the radio is stopped at the end.
TEST_F(AudioMode, ReceiveDemodulatesTheRadioStream)
{
    ScriptedRadio radio(256000, -8000);
    radio.queue_iq(complex_tone(-8000 - 1700, 0.05, 256000, 128000), 5120);
    Options options = options_for({});
    options.iq_file.clear();
    options.modulation = Demodulator::lsb;
    options.duration = 1.0;
    SampleQueue queue;
    StartupPipe startup;
    startup.attach();
    {
        Demodulator demodulator(Demodulator::lsb, 3000, 10, 48000, radio.tuning_offset());
        AudioOutput output(options);
        receive(options, radio, demodulator, output, queue, startup.daemon);
        output.finish();
    }
    EXPECT_EQ(radio.starts, 1);
    EXPECT_GE(radio.stops, 1);
    EXPECT_GE(radio.overload_reports, 1);
    EXPECT_EQ(startup.received(), "S" + std::to_string(::getpid()));

    std::vector<float> const audio = wav_samples();
    EXPECT_NEAR(static_cast<double>(audio.size()), 24000.0, 400.0);
    ToneMeasure const tone = measure_tone(after(audio, 4800), 48000);
    EXPECT_NEAR(tone.frequency_hz, 1700.0, 1.0);
    EXPECT_NEAR(tone.rms, 0.5 / std::sqrt(2.0), 0.01);
}

TEST_F(AudioMode, ReceiveRefusesWhatItCannotRun)
{
    Options options = options_for({});
    Demodulator demodulator(Demodulator::usb, 3000, 10, 48000, 0);
    AudioOutput output(options);
    Daemon daemon;
    {
        ScriptedRadio radio(48000, 0);
        SampleQueue queue;
        EXPECT_EQ(error_of([&] { receive(options, radio, demodulator, output, queue, daemon); }),
                  "Unsupported IQ input rate");
        EXPECT_EQ(radio.starts, 0);
    }
    {
        ScriptedRadio radio(64000, 0);
        SampleQueue queue;
        options.audio_control = (tmp / "control").string();
        // The control server is made before the radio starts, and its failure ends the run there.
        auto const refusing_server = [&](Radio&) -> std::shared_ptr<void> {
            EXPECT_EQ(radio.starts, 0);
            throw std::runtime_error("Cannot bind audio control socket (another receiver may own it)");
        };
        EXPECT_EQ(error_of([&] { receive(options, radio, demodulator, output, queue, daemon, refusing_server); }),
                  "Cannot bind audio control socket (another receiver may own it)");
        EXPECT_EQ(radio.starts, 0);
    }
}

TEST_F(AudioMode, ReceiveRaisesTheBackendsFailureAndStopsTheRadio)
{
    ScriptedRadio radio(64000, 0);
    radio.queue_iq(complex_tone(1000, 0.05, iq_rate, 6400), 6400);
    radio.failure = "Device removed";
    Options const options = options_for({});
    SampleQueue queue;
    Daemon daemon;
    Demodulator demodulator(Demodulator::usb, 3000, 10, 48000, 0);
    AudioOutput output(options);
    EXPECT_EQ(error_of([&] { receive(options, radio, demodulator, output, queue, daemon); }), "Device removed");
    EXPECT_EQ(radio.stops, 1);
}

// Two discontinuities close together: both reset the filters, one line reports it. A full
// queue drops whole blocks and the end of the run says how much.
TEST_F(AudioMode, ReceiveReportsDiscontinuitiesAndDrops)
{
    ScriptedRadio radio(64000, 0);
    radio.queue_iq(complex_tone(1000, 0.05, iq_rate, 40000), 4000, {2, 5});
    Options options = options_for({});
    options.buffer_seconds = 0.5;  // room for 32000 of the 40000 samples
    options.duration = 0.5;
    SampleQueue queue;
    Daemon daemon;
    Demodulator demodulator(Demodulator::usb, 3000, 10, 48000, 0);
    AudioOutput output(options);
    testing::internal::CaptureStderr();
    receive(options, radio, demodulator, output, queue, daemon);
    std::string const err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "IQ discontinuity: reset receive filters (resets=1, dropped input samples=8000)\n"
              "Dropped 8000 input samples: processing/audio did not keep up\n");
}

TEST_F(AudioMode, ReceiveWithTheStopFlagSetStartsAndStopsOnly)
{
    ScriptedRadio radio(64000, 0);
    radio.queue_iq(complex_tone(1000, 0.05, iq_rate, 6400), 3200);
    Options const options = options_for({});
    SampleQueue queue;
    StartupPipe startup;
    startup.attach();
    stop_requested = 1;
    {
        Demodulator demodulator(Demodulator::usb, 3000, 10, 48000, 0);
        AudioOutput output(options);
        receive(options, radio, demodulator, output, queue, startup.daemon);
        output.finish();
    }
    EXPECT_EQ(radio.starts, 1);
    EXPECT_EQ(radio.stops, 1);
    EXPECT_EQ(startup.received(), "S" + std::to_string(::getpid()));
    EXPECT_TRUE(wav_samples().empty());
}

// Delivers one all-zero block only once the loop has run for a second (its second overload
// report), then asks the run to stop: the block lands in a new statistics second.
class LateBlockRadio : public ScriptedRadio {
public:
    LateBlockRadio() : ScriptedRadio(64000, 0) {}
    void start(SampleQueue& queue) override
    {
        ScriptedRadio::start(queue);
        queue_ = &queue;
    }
    void report_overload() override
    {
        ScriptedRadio::report_overload();
        if (overload_reports != 2)
            return;
        IqBlock block;
        block.samples.assign(6400, {});
        queue_->push(std::move(block));
        stop_requested = 1;
    }

private:
    SampleQueue* queue_ = nullptr;
};

TEST_F(AudioMode, ReceiveStatisticsShowSilenceAsMinusInfinity)
{
    LateBlockRadio radio;
    Options options = options_for({});
    options.stats = true;
    SampleQueue queue;
    Daemon daemon;
    Demodulator demodulator(Demodulator::usb, 3000, 10, 48000, 0);
    AudioOutput output(options);
    testing::internal::CaptureStderr();
    receive(options, radio, demodulator, output, queue, daemon);
    std::string const err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(std::regex_match(
        err, std::regex("Levels: IQ=-inf dBFS, audio=-inf dBFS; input=6400, output=[1-9][0-9]*, dropped=0\n")))
        << err;
}

TEST_F(AudioMode, ReceiveGivesUpOnASilentReceiver)
{
    ScriptedRadio radio(64000, 0);
    Options const options = options_for({});
    SampleQueue queue;
    Daemon daemon;
    Demodulator demodulator(Demodulator::usb, 3000, 10, 48000, 0);
    AudioOutput output(options);
    EXPECT_EQ(error_of([&] { receive(options, radio, demodulator, output, queue, daemon); }),
              "Receiver stopped delivering samples for five seconds");
    EXPECT_EQ(radio.stops, 1);
}

}  // namespace
