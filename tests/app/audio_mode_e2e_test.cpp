// The audio mode as a user runs it: an IQ recording replayed by the real program into a WAV file.

#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/wav_reader.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tone_measure.hpp"

namespace {

class AudioModeProgram : public testing::Test {
protected:
    void SetUp() override
    {
        // Half a second of a 1200 Hz tone in the upper sideband, at 64000 IQ pairs per second.
        testbed::write_iq_file(tmp / "tone.iq", complex_tone(1200, 0.05, 64000, 32000));
    }

    ProcessResult norvane(std::vector<std::string> arguments)
    {
        ProcessRun run;
        run.argv = {NORVANE_EXE, "-f", "14074000", "--iq-file", (tmp / "tone.iq").string(), "--wav",
                    (tmp / "out.wav").string()};
        run.argv.insert(run.argv.end(), arguments.begin(), arguments.end());
        run.working_directory = tmp.path().string();
        return run_process(run);
    }

    TempDir tmp;
};

bool ends_with(std::string const& text, std::string const& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST_F(AudioModeProgram, ReplaysIntoTheWavFile)
{
    ProcessResult const result = norvane({});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(ends_with(result.err, "\nIQ replay: 1.4074e+07 Hz USB, bandwidth=3000 Hz, audio=48000 Hz mono\n"))
        << result.err;
    EXPECT_EQ(result.out, "");

    testbed::WavAudio const wav = testbed::read_wav_mono16(tmp / "out.wav");
    EXPECT_EQ(wav.rate_hz, 48000);
    ASSERT_GT(wav.samples.size(), 19200u);
    ToneMeasure const tone = measure_tone(std::span(wav.samples).subspan(4800, 14400), 48000);
    EXPECT_NEAR(tone.frequency_hz, 1200.0, 1.0);
    EXPECT_NEAR(tone.rms, 0.5 / std::sqrt(2.0), 0.01);
}

TEST_F(AudioModeProgram, ReportsClippingAfterTheRun)
{
    ProcessResult const result = norvane({"--audio-gain", "100", "--mode", "audio", "--bandwidth", "2400",
                                          "--audio-rate", "12000"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_TRUE(std::regex_search(
        result.err, std::regex("\nIQ replay: 1\\.4074e\\+07 Hz USB, bandwidth=2400 Hz, audio=12000 Hz mono\n"
                               "Clipped [0-9]+ audio samples; lower --audio-gain or RF gain\n$")))
        << result.err;
    EXPECT_EQ(testbed::read_wav_mono16(tmp / "out.wav").rate_hz, 12000);
}

}  // namespace
