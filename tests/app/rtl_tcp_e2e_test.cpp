// Decoder mode receiving live from an rtl_tcp server: the real program against a stand-in
// server on loopback that speaks the protocol, streams at the pace of the wall clock and
// misbehaves when told.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/paced_iq_stream.hpp"
#include "testbed/lib/rtl_tcp_server.hpp"
#include "testbed/lib/wsjt_recordings.hpp"
#include "tests/support/all_txt_spot.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/tone_measure.hpp"
#include "testbed/lib/wav_reader.hpp"

namespace fs = std::filesystem;
using testbed::RtlTcpCommand;
using testing::HasSubstr;

namespace {

// The lowest rate the rtl_tcp backend accepts in its lower range that divides into 12 kHz audio.
constexpr int kRateHz = 240000;

ProcessResult norvane(int port, std::vector<std::string> const& extra, fs::path const& directory)
{
    ProcessRun run;
    run.argv = {NORVANE_EXE,   "--mode",        "decoder",          "--backend",  "rtl-sdr", "--rtl-port",
                std::to_string(port), "--sample-rate", std::to_string(kRateHz), "--frequencies", "14.074M",
                "--center-frequency", "14.08M", "--decoder-timeout", "60",        "--all-txt",
                (directory / "ALL.TXT").string()};
    run.argv.insert(run.argv.end(), extra.begin(), extra.end());
    run.working_directory = directory.string();
    run.timeout_ms = 120000;
    return run_process(run);
}

// Quiet samples for as long as the client reads.
testbed::RtlTcpServerScript quiet_stream()
{
    testbed::RtlTcpServerScript script;
    script.generator = testbed::paced_iq_generator({{}, kRateHz, 0.0});
    return script;
}

TEST(RtlTcpDecoder, AnFt8SignalOnTheAirReachesAllTxt)
{
    TempDir tmp;
    auto const audio = testbed::ft8sim_audio(tmp.path(), "CQ K1ABC FN42", 1200);

    // One FT8 transmission in noise that fills the 8-bit range without clipping (the noise of
    // the whole capture stands about 20 dB above that of one 2500 Hz channel); the stand-in
    // sends it from the next 15 s boundary of UTC on, as a station on the air would.
    testbed::IqSynthConfig config;
    config.center_hz = 14080000;
    config.rate_hz = kRateHz;
    config.duration_s = 15;
    config.add_noise = true;
    config.snr_db = 0;
    config.gain_db = -32;
    testbed::RtlTcpServerScript script;
    script.generator = testbed::paced_iq_generator(
        {testbed::rtl_tcp_bytes(testbed::synthesize_iq(config, {{audio, 14074000, 0}})), kRateHz, 15.0});
    testbed::RtlTcpServer server(std::move(script));

    // Up to 15.5 s to the boundary, the 15 s interval, and a little for the last block.
    ProcessResult const result = norvane(server.port(), {"--duration", "32"}, tmp.path());
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_THAT(result.err, HasSubstr("Receiver: RTL-SDR via rtl_tcp 127.0.0.1:" + std::to_string(server.port()) +
                                      ", tuner=5, gain steps=29, requested hardware=240000 samples/s\n"));
    EXPECT_THAT(result.err, testing::Not(HasSubstr("Clipped")));
    expect_only_ft8_spot(file_text(tmp / "ALL.TXT"),
                         {.dial = "14.074", .message = "CQ K1ABC FN42", .audio_hz = 1200, .snr_db = 0, .dt_s = 0,
                          .dt_tolerance_s = 0.5},
                         result.err);
}

struct CommandCase {
    std::string name;
    std::vector<std::string> options;
    std::vector<RtlTcpCommand> commands;
    std::string gain_line;  // empty: no gain line
};

class RtlTcpCommands : public testing::TestWithParam<CommandCase> {};

TEST_P(RtlTcpCommands, TheServerIsConfiguredOnceInOrder)
{
    TempDir tmp;
    testbed::RtlTcpServer server(quiet_stream());
    std::vector<std::string> options = {"--duration", "1"};
    options.insert(options.end(), GetParam().options.begin(), GetParam().options.end());
    ProcessResult const result = norvane(server.port(), options, tmp.path());
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(server.commands(), GetParam().commands);
    std::string const gain = "RTL tuner gain requested: ";
    if (GetParam().gain_line.empty())
        EXPECT_THAT(result.err, testing::Not(HasSubstr(gain)));
    else
        EXPECT_THAT(result.err, HasSubstr("\n" + GetParam().gain_line + "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Options, RtlTcpCommands,
    testing::Values(
        CommandCase{"automatic_gain",
                    {},
                    {{9, 0}, {2, 240000}, {5, 0}, {1, 14080000}, {7, 0}, {8, 0}, {10, 0}, {3, 0}},
                    ""},
        CommandCase{"manual_gain_and_negative_ppm",
                    {"--agc", "off", "--rtl-gain", "20.7", "--ppm", "-3"},
                    {{9, 0}, {2, 240000}, {5, 0xFFFFFFFDu}, {1, 14080000}, {7, 0}, {8, 0}, {10, 0}, {3, 1}, {4, 207}},
                    "RTL tuner gain requested: 20.7 dB (server applies supported gain)"},
        CommandCase{"direct_sampling_has_no_gain_commands",
                    {"--direct-sampling", "q", "--agc", "off"},
                    {{9, 2}, {2, 240000}, {5, 0}, {1, 14080000}, {7, 0}, {8, 0}, {10, 0}},
                    ""}),
    [](testing::TestParamInfo<CommandCase> const& info) { return info.param.name; });

struct FailureCase {
    std::string name;
    testbed::RtlTcpServerScript script;
    std::string message;
};

testbed::RtlTcpServerScript with_header(std::string header, bool close)
{
    testbed::RtlTcpServerScript script;
    script.header = std::move(header);
    script.close_at_end = close;
    return script;
}

// After the eight start-up commands of the default options: half a pair at the end, then gone.
testbed::RtlTcpServerScript closing_mid_pair()
{
    testbed::RtlTcpServerScript script;
    script.stream_after_commands = 8;
    script.chunks.push_back({std::vector<std::uint8_t>(1001, 128), false});
    script.close_at_end = true;
    return script;
}

// Streams for a while, then holds the connection open and sends nothing more.
testbed::RtlTcpServerScript stalling()
{
    testbed::RtlTcpServerScript script;
    script.chunks.push_back({std::vector<std::uint8_t>(2 * kRateHz / 2, 128), false});
    return script;
}

class RtlTcpFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(RtlTcpFailure, EndsTheRunWithItsMessage)
{
    TempDir tmp;
    testbed::RtlTcpServer server(GetParam().script);
    ProcessResult const result = norvane(server.port(), {"--duration", "60"}, tmp.path());
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_FALSE(result.timed_out);
    EXPECT_THAT(result.err, testing::EndsWith("Error: " + GetParam().message + "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Server, RtlTcpFailure,
    testing::Values(FailureCase{"wrong_magic", with_header(testbed::rtl_tcp_header(5, 29, "RTL1"), false),
                                "Invalid rtl_tcp header (expected RTL0)"},
                    FailureCase{"short_header", with_header(testbed::rtl_tcp_header(5, 29).substr(0, 11), true),
                                "rtl_tcp disconnected during the server header"},
                    FailureCase{"closed_mid_pair", closing_mid_pair(),
                                "rtl_tcp disconnected with an incomplete IQ pair"},
                    FailureCase{"stopped_sending", stalling(),
                                "Receiver stopped delivering samples for five seconds"}),
    [](testing::TestParamInfo<FailureCase> const& info) { return info.param.name; });

TEST(RtlTcpAudio, PlaysTheUpperSidebandOfTheServersStreamIntoTheWavFile)
{
    TempDir tmp;
    // Audio mode tunes 8 kHz above a USB dial: a carrier 1000 Hz above the dial lies 7000 Hz
    // below the centre of the server's stream.
    testbed::RtlTcpServerScript script;
    script.generator = testbed::paced_iq_generator(
        {testbed::rtl_tcp_bytes(complex_tone(-7000, 0.25, kRateHz, 3 * kRateHz)), kRateHz, 0.0});
    testbed::RtlTcpServer server(std::move(script));

    ProcessRun run;
    run.argv = {NORVANE_EXE, "-f", "14.074M", "--backend", "rtl-sdr", "--rtl-port", std::to_string(server.port()),
                "--sample-rate", std::to_string(kRateHz), "--duration", "2", "--wav",
                (tmp.path() / "out.wav").string()};
    run.working_directory = tmp.path().string();
    run.timeout_ms = 60000;
    ProcessResult const result = run_process(run);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_THAT(result.err, HasSubstr("rtl-sdr: 1.4074e+07 Hz USB, bandwidth=3000 Hz, audio=48000 Hz mono\n"));

    testbed::WavAudio const wav = testbed::read_wav_mono16(tmp.path() / "out.wav");
    ASSERT_GT(wav.samples.size(), 48000u);
    ToneMeasure const tone = measure_tone(after(wav.samples, 24000), 48000);
    EXPECT_NEAR(tone.frequency_hz, 1000.0, 2.0);
    EXPECT_GT(tone.rms, 0.01);
}

}  // namespace
