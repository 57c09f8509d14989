#include "app/audio_mode_run.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <stdexcept>
#include <string>

#include "core/daemon.hpp"
#include "core/options.hpp"
#include "core/stop_flag.hpp"
#include "radio/demodulator.hpp"
#include "radio/sample_queue.hpp"
#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/scripted_radio.hpp"
#include "testbed/lib/wav_reader.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tone_measure.hpp"

namespace {

constexpr double iq_rate = 64000.0;

class AudioModeRun : public testing::Test {
protected:
    void SetUp() override { stop_requested = 0; }

    Options replay_options()
    {
        testbed::write_iq_file(tmp / "tone.iq", complex_tone(1000, 0.05, iq_rate, 32000));
        Options options;
        options.frequency = 14074000;
        options.iq_file = (tmp / "tone.iq").string();
        options.wav = (tmp / "out.wav").string();
        return options;
    }

    // Runs the audio mode and returns what it wrote to standard error.
    std::string run(Options const& options, Radio* radio = nullptr)
    {
        SampleQueue queue;
        Daemon daemon;
        testing::internal::CaptureStderr();
        try {
            run_audio_mode(options, radio, queue, daemon);
        } catch (...) {
            testing::internal::GetCapturedStderr();
            throw;
        }
        return testing::internal::GetCapturedStderr();
    }

    TempDir tmp;
};

struct SetupLineCase {
    std::uint32_t modulation;
    double bandwidth_hz;
    int audio_rate_hz;
    char const* line;
};

class AudioModeSetupLine : public AudioModeRun, public testing::WithParamInterface<SetupLineCase> {};

TEST_P(AudioModeSetupLine, NamesTheReplayAndItsSettings)
{
    SetupLineCase const& c = GetParam();
    Options options = replay_options();
    options.modulation = c.modulation;
    options.bandwidth = c.bandwidth_hz;
    options.audio_rate = c.audio_rate_hz;
    EXPECT_EQ(run(options), c.line);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AudioModeSetupLine,
    testing::Values(SetupLineCase{Demodulator::usb, 3000, 48000,
                                  "IQ replay: 1.4074e+07 Hz USB, bandwidth=3000 Hz, audio=48000 Hz mono\n"},
                    SetupLineCase{Demodulator::lsb, 2700.5, 12000,
                                  "IQ replay: 1.4074e+07 Hz LSB, bandwidth=2700.5 Hz, audio=12000 Hz mono\n"},
                    SetupLineCase{Demodulator::am, 6000, 8000,
                                  "IQ replay: 1.4074e+07 Hz AM, bandwidth=6000 Hz, audio=8000 Hz mono\n"}));

TEST_F(AudioModeRun, ReplayWritesTheFinishedWav)
{
    Options const options = replay_options();
    run(options);
    testbed::WavAudio const wav = testbed::read_wav_mono16(tmp / "out.wav");
    EXPECT_EQ(wav.rate_hz, 48000);
    // Half a second of tone; the filter's tail follows it.
    ToneMeasure const tone = measure_tone(std::span(wav.samples).subspan(4800, 14400), 48000);
    EXPECT_NEAR(tone.frequency_hz, 1000.0, 1.0);
    EXPECT_NEAR(tone.rms, 0.5 / std::sqrt(2.0), 0.01);
}

TEST_F(AudioModeRun, ReportsClippedSamplesAfterTheRun)
{
    Options options = replay_options();
    options.audio_gain = 100;
    std::string const err = run(options);
    std::smatch match;
    ASSERT_TRUE(std::regex_search(
        err, match, std::regex("\nClipped ([0-9]+) audio samples; lower --audio-gain or RF gain\n$")))
        << err;
    // A peak of five times full scale: most of every cycle of the half second is clipped.
    EXPECT_GT(std::stoul(match[1].str()), 12000u);
}

TEST_F(AudioModeRun, SettingsAreCheckedBeforeTheOutputIsMade)
{
    Options options = replay_options();
    options.bandwidth = 199;
    EXPECT_THROW(
        {
            try {
                run(options);
            } catch (std::runtime_error const& error) {
                EXPECT_STREQ(error.what(), "Invalid demodulator settings");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(tmp / "out.wav"));
}

// A live radio: the demodulator follows the radio's tuning offset, and the label is the backend.
TEST_F(AudioModeRun, LiveRadioUsesItsTuningOffsetAndBackendLabel)
{
    testbed::ScriptedRadio radio(64000, 8000);
    radio.queue_iq(complex_tone(8000 + 1500, 0.05, iq_rate, 32000), 3200);
    Options options;
    options.frequency = 7074000;
    options.backend = "rtl-sdr";
    options.wav = (tmp / "out.wav").string();
    options.duration = 0.5;
    EXPECT_EQ(run(options, &radio), "rtl-sdr: 7.074e+06 Hz USB, bandwidth=3000 Hz, audio=48000 Hz mono\n");
    EXPECT_EQ(radio.stops, 1);
    testbed::WavAudio const wav = testbed::read_wav_mono16(tmp / "out.wav");
    EXPECT_NEAR(measure_tone(after(wav.samples, 4800), 48000).frequency_hz, 1500.0, 1.0);
}

TEST_F(AudioModeRun, WithoutRadioOrFileThereIsNothingToReceive)
{
    Options options;
    options.wav = (tmp / "out.wav").string();
    EXPECT_THROW(run(options), std::runtime_error);
}

}  // namespace
