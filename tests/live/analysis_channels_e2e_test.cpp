// Analysis channels as a user runs them: a PSK31 call, made by our own modulator and placed in an
// IQ capture by iq_synth, is read by the analysis channel of the norvane binary, once replayed
// from a file (the analyzer on the replay thread) and once live from our rtl_tcp stand-in (the
// analyzer on its own worker), where ANALYZE talks to it over the control socket.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <complex>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/paced_iq_stream.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/rtl_tcp_server.hpp"
#include "tests/support/background_process.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::HasSubstr;

constexpr double kCentre = 14080000;
constexpr double kDial = 14070000;
constexpr char const* kCall = "CQ CQ DE Q1ABC Q1ABC PSE K";

// A PSK31 call at dial + 1500 Hz, one second into a capture of the given length and rate.
std::vector<std::complex<float>> psk_capture(int rate_hz, double seconds)
{
    testbed::PskSignal signal;
    signal.carrier_hz = 1500;
    signal.amplitude = 0.5;
    testbed::IqSynthConfig config;
    config.center_hz = kCentre;
    config.rate_hz = rate_hz;
    config.duration_s = seconds;
    config.add_noise = true;
    config.snr_db = 20;
    config.seed = 3;
    config.gain_db = -20;
    return testbed::synthesize_iq(config, {{testbed::modulate_psk_text(kCall, signal), kDial, 1.0}});
}

std::string joined(std::vector<std::string> const& lines)
{
    std::string text;
    for (std::string const& line : lines)
        text += line + "\n";
    return text;
}

// The decoded text of a run's SIG text lines, in order.
std::string decoded_text(std::string const& err)
{
    std::string text;
    for (std::string const& line : lines_with(err, ": text track=")) {
        std::size_t const start = line.find("text=\"");
        std::size_t const end = line.find('"', start + 6);
        if (start != std::string::npos && end != std::string::npos)
            text += line.substr(start + 6, end - start - 6) + " ";
    }
    return text;
}

TEST(AnalysisChannelsReplay, PskCallBecomesSigLinesAndJournalRecords)
{
    TempDir tmp;
    fs::path const iq = tmp / "psk.iq";
    ASSERT_EQ(testbed::write_iq_file(iq, psk_capture(64000, 14)), 0u);
    fs::path const journal = tmp / "journal" / "events.jsonl";

    ProcessRun run;
    // Hybrid: the FT8 channel beside it decodes as ever (nothing to decode here).
    run.argv = {NORVANE_EXE, "--mode", "hybrid", "--frequencies", "14.074M", "--all-txt", (tmp / "ALL.TXT").string(),
                "--decoder-timeout", "60", "--iq-file", iq.string(), "--iq-rate", "64000",
                "--start-utc", "20240315_120000", "--center-frequency", "14.08M", "--signal-journal",
                journal.string(), "--analysis-channel", "id=psk,frequency=14070000,modes=psk31"};
    run.timeout_ms = 120000;
    ProcessResult const result = run_process(run);
    ASSERT_EQ(result.exit_status, 0) << result.err;

    EXPECT_THAT(result.err, HasSubstr("Signal analysis: 1 channel(s); journal=" + journal.string()));
    // The fixed track is announced at the start of the recording, on the channel's frequency.
    std::vector<std::string> const detected = lines_with(result.err, ": detected track=2147483648 ch=psk");
    ASSERT_FALSE(detected.empty()) << result.err;
    EXPECT_EQ(detected[0].rfind("SIG PSK31 240315_115959 14.071500 MHz: detected", 0), 0u) << detected[0];
    // The call is read whole, with its call sign, and the call sign is spotted.
    EXPECT_EQ(decoded_text(result.err), std::string(kCall) + " ") << joined(lines_with(result.err, "SIG "));
    for (std::string const& line : lines_with(result.err, ": text track="))
        EXPECT_THAT(line, testing::MatchesRegex("SIG PSK31 240315_1200[0-9]{2} 14\\.071500 MHz: text "
                                                "track=2147483648 ch=psk snr=[0-9.]+ text=\".*\" calls=Q1ABC:0\\.9[0-9]"))
            << line;
    EXPECT_EQ(lines_with(result.err, ": spot track=2147483648 ch=psk call=Q1ABC ").size(), 1u)
        << joined(lines_with(result.err, "SIG "));

    // Every event went to the journal as one record per line, in a directory made private.
    EXPECT_EQ(fs::status(journal.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    std::ifstream in(journal);
    std::size_t records = 0;
    bool text_record = false;
    for (std::string line; std::getline(in, line); ++records) {
        EXPECT_EQ(line.front(), '{');
        EXPECT_EQ(line.back(), '}');
        text_record = text_record || (line.find("\"text\"") != std::string::npos && line.find("Q1ABC") != std::string::npos);
    }
    EXPECT_GE(records, lines_with(result.err, "SIG PSK31").size());
    EXPECT_TRUE(text_record);
}

TEST(AnalysisChannelsReplay, RefusedChannelStopsTheRunWithTheUsersMessage)
{
    TempDir tmp;
    fs::path const iq = tmp / "short.iq";
    ASSERT_EQ(testbed::write_iq_file(iq, psk_capture(64000, 2)), 0u);
    ProcessRun run;
    run.argv = {NORVANE_EXE, "--mode", "receivers", "--iq-file", iq.string(), "--iq-rate", "64000",
                "--start-utc", "20240315_120000", "--center-frequency", "14.08M", "--signal-journal", "off",
                "--analysis-channel", "id=far,frequency=14200000,modes=psk31"};
    ProcessResult const result = run_process(run);
    EXPECT_NE(result.exit_status, 0);
    EXPECT_THAT(result.err, HasSubstr("outside"));
}

// Live, in receivers mode: the analyzer runs on its own worker; STATUS shows the track and its text.
TEST(AnalysisChannelsLive, AnalyzeOverTheControlSocket)
{
    constexpr int rate = 240000;
    TempDir tmp;
    fs::create_directory(tmp / "ctl");
    fs::permissions(tmp / "ctl", fs::perms(0700));
    fs::path const control = tmp / "ctl" / "control";

    testbed::RtlTcpServerScript script;
    script.generator = testbed::paced_iq_generator({testbed::rtl_tcp_bytes(psk_capture(rate, 14)), rate, 0.0});
    testbed::RtlTcpServer rtl(std::move(script));
    BackgroundProcess server({NORVANE_EXE, "--mode", "receivers", "--backend", "rtl-sdr", "--rtl-port",
                              std::to_string(rtl.port()), "--sample-rate", std::to_string(rate),
                              "--center-frequency", "14.08M", "--audio-control", control.string(),
                              "--signal-journal", "off", "--analysis-channel",
                              "id=psk,frequency=14070000,modes=psk31"},
                             environment_with({}), (tmp / "norvane.out").string());
    ASSERT_TRUE(server.wait_for_error_text("Live audio control: " + control.string() + "\n", 20s))
        << server.errors();

    auto const command = [&](std::string const& request) {
        ProcessResult const result =
            run_process({NORVANE_EXE, "--audio-control", control.string(), "--audio-command", request});
        return result.out;
    };
    std::string const spec = "id=psk,frequency=14070000,modulation=USB,bandwidth=3000,modes=psk31,rtty=auto,"
                             "wefax=auto,report=on,enabled=true";
    std::string const header = "OK capture=14080000.000000,span=216000.000000";

    ASSERT_TRUE(server.wait_for_error_text("Q1ABC", 40s)) << server.errors();
    std::string const status = command("ANALYZE STATUS");
    EXPECT_EQ(status.rfind(header + "\n" + spec + "\ntrack id=psk mode=PSK31 hz=", 0), 0u) << status;
    EXPECT_THAT(status, testing::ContainsRegex("track id=psk mode=PSK31 hz=1407[0-9]{4} bw=[0-9]+ snr=-?[0-9.]+ "
                                               "age=[0-9.]+ text=\"[^\"]*\"\n"));

    EXPECT_EQ(command("ANALYZE ADD id=cw,frequency=14090000,modes=cw"), "OK\n");
    EXPECT_EQ(command("ANALYZE ADD id=cw,frequency=14090000,modes=cw"),
              "ERROR Analysis ID already exists; remove it before replacing it\n");
    EXPECT_EQ(command("ANALYZE ADD id=far,frequency=14300000"),
              "ERROR Analysis passband is outside the running capture; receiver restart required\n");
    EXPECT_EQ(command("ANALYZE SET id=cw,frequency=14091000,modes=cw,enabled=false"), "OK\n");
    EXPECT_THAT(command("ANALYZE STATUS"), HasSubstr("\nid=cw,frequency=14091000,modulation=USB,bandwidth=3000,"
                                                     "modes=cw,rtty=auto,wefax=auto,report=on,enabled=false"));
    EXPECT_EQ(command("ANALYZE REMOVE cw"), "OK\n");
    EXPECT_EQ(command("ANALYZE REMOVE psk"), "OK\n");
    EXPECT_EQ(command("ANALYZE STATUS"), header + "\n");
    EXPECT_EQ(command("ANALYZE STATUS now"), "ERROR Expected ANALYZE ADD, SET, REMOVE or STATUS\n");

    int const status_code = server.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status_code) && WEXITSTATUS(status_code) == 0) << server.errors();
    EXPECT_THAT(server.errors(), testing::Not(HasSubstr("disabled"))) << server.errors();
}

}  // namespace
