// The default backend as a user runs it: the real program loading the SDRplay stand-in through
// --api-library, exactly as it loads the vendor's library, for the device list, the audio mode
// and the decoder mode.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/wav_reader.hpp"
#include "testbed/lib/wsjt_recordings.hpp"
#include "tests/support/all_txt_spot.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tone_measure.hpp"

namespace fs = std::filesystem;
using testing::HasSubstr;

namespace {

std::string const standin = std::string(NORVANE_TESTBED_DIR) + "/libsdrplay_standin.so";

// The program with the stand-in as its SDRplay library, configured through its environment;
// the stand-in's call trace goes to trace.txt in the directory.
ProcessResult norvane(fs::path const& directory, std::vector<std::string> arguments,
                      std::vector<std::string> standin_settings, int timeout_ms = 60000)
{
    standin_settings.push_back("NORVANE_SDRPLAY_TRACE=" + (directory / "trace.txt").string());
    ProcessRun run;
    run.argv = {NORVANE_EXE, "--api-library", standin};
    run.argv.insert(run.argv.end(), arguments.begin(), arguments.end());
    run.env = environment_with(standin_settings);
    run.working_directory = directory.string();
    run.timeout_ms = timeout_ms;
    return run_process(run);
}

// The values Init received, from the trace ("Init fs=2000000 rf=...").
std::map<std::string, std::string> init_values(fs::path const& directory)
{
    std::map<std::string, std::string> values;
    std::istringstream lines(file_text(directory / "trace.txt"));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Init ", 0) != 0)
            continue;
        std::istringstream words(line);
        for (std::string word; words >> word;)
            if (std::size_t const equals = word.find('='); equals != std::string::npos)
                values[word.substr(0, equals)] = word.substr(equals + 1);
    }
    return values;
}

TEST(SdrplayProgram, ListsTheLibrarysDevicesAsAvailable)
{
    TempDir tmp;
    ProcessResult const result =
        norvane(tmp.path(), {"--list-devices"}, {"NORVANE_SDRPLAY_DEVICES=255:1A0000001:1,3:2D0000002:1,2:2B0000003:0"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(result.out,
              "0: RSP1A serial=1A0000001 available=1\n"
              "1: RSPduo serial=2D0000002 available=1\n"
              "2: RSP2 serial=2B0000003 available=0\n");
    EXPECT_EQ(result.err, "");
}

TEST(SdrplayProgram, AudioModePlaysTheReceiversToneIntoTheWavFile)
{
    TempDir tmp;
    // The tuner sits 8 kHz above a USB dial: a carrier 1000 Hz above the dial lies 7000 Hz below
    // the centre of the stream.
    ProcessResult const result =
        norvane(tmp.path(),
                {"-f", "14.074M", "--sample-rate", "2M", "--gain-reduction", "35", "--lna-state", "3", "--agc", "off",
                 "--usb-mode", "bulk", "--rf-notch", "on", "--duration", "2", "--wav", (tmp / "out.wav").string()},
                {"NORVANE_SDRPLAY_TONE_HZ=-7000"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_THAT(result.err, HasSubstr("Receiver: RSP1A serial=1A0000001, hardware=2000000 samples/s, callback "
                                      "IQ=125000 samples/s, USB=bulk, antenna=fixed (single input)\n"));
    EXPECT_THAT(result.err, HasSubstr("\nsdrplay: 1.4074e+07 Hz USB, bandwidth=3000 Hz, audio=48000 Hz mono\n"));

    std::map<std::string, std::string> const init = init_values(tmp.path());
    EXPECT_EQ(init.at("rf"), "14082000");
    EXPECT_EQ(init.at("fs"), "2000000");
    EXPECT_EQ(init.at("dec"), "1");
    EXPECT_EQ(init.at("dec_factor"), "16");
    EXPECT_EQ(init.at("gr"), "35");
    EXPECT_EQ(init.at("lna"), "3");
    EXPECT_EQ(init.at("agc"), "0");
    EXPECT_EQ(init.at("transfer"), "1");
    EXPECT_EQ(init.at("rsp1a_notch"), "1");

    testbed::WavAudio const wav = testbed::read_wav_mono16(tmp / "out.wav");
    ASSERT_GT(wav.samples.size(), 48000u);
    ToneMeasure const tone = measure_tone(after(wav.samples, 24000), 48000);
    EXPECT_NEAR(tone.frequency_hz, 1000.0, 2.0);
    EXPECT_GT(tone.rms, 0.01);
}

TEST(SdrplayProgram, DecoderModeTakesAnFt8SignalToAllTxt)
{
    TempDir tmp;
    auto const audio = testbed::ft8sim_audio(tmp.path(), "CQ K1ABC FN42", 1200);

    // One FT8 transmission in noise at the level of a station on a quiet band (the channel's
    // audio neither clips nor drowns), recorded at 50000 IQ pairs per second around the capture
    // centre; the stand-in interpolates it up to the 2 MHz it streams and sends it from the next
    // 15 s boundary of UTC on, as a station on the air would.
    constexpr int kRecordingRateHz = 50000;
    testbed::IqSynthConfig config;
    config.center_hz = 14080000;
    config.rate_hz = kRecordingRateHz;
    config.duration_s = 15;
    config.add_noise = true;
    config.snr_db = 0;
    config.gain_db = -32;
    fs::path const recording = tmp / "ft8.iq";
    ASSERT_EQ(testbed::write_iq_file(recording, testbed::synthesize_iq(config, {{audio, 14074000, 0}})), 0u);

    // Up to 15.5 s to the boundary, the 15 s interval, and a little for the last block.
    ProcessResult const result =
        norvane(tmp.path(),
                {"--mode", "decoder", "--sample-rate", "2M", "--frequencies", "14.074M", "--center-frequency", "14.08M",
                 "--decoder-timeout", "60", "--all-txt", (tmp / "ALL.TXT").string(), "--duration", "32"},
                {"NORVANE_SDRPLAY_IQ_FILE=" + recording.string(),
                 "NORVANE_SDRPLAY_IQ_RATE=" + std::to_string(kRecordingRateHz), "NORVANE_SDRPLAY_IQ_ALIGN=15"},
                120000);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_THAT(result.err, HasSubstr("Receiver: RSP1A serial=1A0000001, hardware=2000000 samples/s, callback "
                                      "IQ=2e+06 samples/s, USB=bulk, antenna=fixed (single input)\n"));
    EXPECT_THAT(result.err, testing::Not(HasSubstr("Clipped")));
    std::map<std::string, std::string> const init = init_values(tmp.path());
    EXPECT_EQ(init.at("rf"), "14080000");
    EXPECT_EQ(init.at("dec"), "0");
    EXPECT_EQ(init.at("wideband"), "1");
    EXPECT_EQ(init.at("transfer"), "1");  // bulk, the decoder mode's default

    expect_only_ft8_spot(file_text(tmp / "ALL.TXT"),
                         {.dial = "14.074", .message = "CQ K1ABC FN42", .audio_hz = 1200, .snr_db = 0, .dt_s = 0,
                          .dt_tolerance_s = 0.5},
                         result.err);
}

}  // namespace
