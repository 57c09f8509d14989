// Channels a user adds to a running receiver over its control socket, as norvane runs them: an
// analysis channel added to a receiver started without any reports like one given at start
// (SIG lines, journal records, the picture in --wefax-images), and an audio channel whose output
// would overwrite a file of the run is refused, the file left whole. A weather chart from our
// own transmitter comes through our rtl_tcp stand-in at the pace of the wall clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <complex>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/paced_iq_stream.hpp"
#include "testbed/lib/rtl_tcp_server.hpp"
#include "testbed/lib/wefax_modulator.hpp"
#include "tests/support/background_process.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/control_request.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::HasSubstr;

constexpr double kCentre = 14080000;
constexpr double kDial = 14070000;
constexpr int kRate = 240000;
constexpr double kLead = 1.0;  // quiet before the chart (the channel is added before the stream)

// A short weather chart at dial + 1900 Hz after kLead seconds of noise.
std::vector<std::complex<float>> wefax_capture(int rate_hz)
{
    testbed::WefaxTransmission transmission;
    transmission.lpm = 240;
    transmission.start_tone_s = 3.0;
    transmission.phasing_s = 4.0;
    transmission.stop_tone_s = 3.0;
    transmission.black_after_s = 1.0;
    std::vector<float> const audio =
        testbed::modulate_wefax(testbed::wefax_test_chart(testbed::wefax_width(576), 16), transmission);
    testbed::IqSynthConfig config;
    config.center_hz = kCentre;
    config.rate_hz = rate_hz;
    config.duration_s = kLead + static_cast<double>(audio.size()) / testbed::kIqSynthAudioRateHz + 1.0;
    config.add_noise = true;
    config.snr_db = 25;
    config.seed = 5;
    config.gain_db = -20;
    return testbed::synthesize_iq(config, {{audio, kDial, kLead}});
}

std::string bytes_of(fs::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An audio channel given at start whose WAV file is a file the run already reads or writes,
// by its name or a hard link: the run is refused before it writes anything, the file left whole.
struct StartCase {
    std::string name;
    std::string file;                // the run's file, in the test directory
    std::vector<std::string> options;  // what makes the run use it ("@" is the test directory)
    std::string refused_as;          // how the refusal names it
};

std::ostream& operator<<(std::ostream& out, StartCase const& c) { return out << c.name; }

class OutputCollisionsAtStart : public testing::TestWithParam<StartCase> {};

TEST_P(OutputCollisionsAtStart, RunIsRefusedAndTheFileKeepsItsBytes)
{
    StartCase const& c = GetParam();
    TempDir tmp;
    std::string const base = tmp.path().string();
    ASSERT_EQ(testbed::write_iq_file(tmp / "capture.iq", std::vector<std::complex<float>>(64000)), 0u);
    if (!fs::exists(tmp / c.file))
        tmp.write_file(c.file, "what " + c.file + " holds\n");
    fs::create_hard_link(tmp / c.file, tmp / "link");
    std::string const before = bytes_of(tmp / c.file);

    for (std::string const& target : std::vector<std::string> {c.file, "link"}) {
        ProcessRun run;
        run.argv = {NORVANE_EXE, "--mode", "receivers", "--iq-file", base + "/capture.iq", "--iq-rate", "64000",
                    "--start-utc", "20240315_120000", "--duration", "1", "--center-frequency", "14.08M",
                    "--all-txt", base + "/ALL.TXT", "--signal-journal", base + "/events.jsonl"};
        for (std::string option : c.options) {
            for (auto at = option.find('@'); at != std::string::npos; at = option.find('@'))
                option.replace(at, 1, base);
            run.argv.push_back(option);
        }
        run.argv.insert(run.argv.end(), {"--audio-channel", "id=w,frequency=14.1M,wav=" + base + "/" + target});
        ProcessResult const result = run_process(run);
        EXPECT_EQ(result.exit_status, 1) << target << "\n" << result.err;
        EXPECT_THAT(result.err, HasSubstr("Error: " + c.refused_as + " and the WAV file of audio channel w refer to "
                                          "the same file\n"))
            << target;
        EXPECT_EQ(bytes_of(tmp / c.file), before) << target;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, OutputCollisionsAtStart,
    testing::Values(
        StartCase {"all_txt", "ALL.TXT", {}, "--all-txt"},
        StartCase {"iq_input", "capture.iq", {}, "--iq-file"},
        StartCase {"signal_journal", "events.jsonl", {"--analysis-channel", "id=fax,frequency=14070000,modes=wefax"},
                   "--signal-journal"},
        StartCase {"survey_journal", "survey.jsonl", {"--survey", "--survey-journal", "@/survey.jsonl"},
                   "--survey-journal"},
        StartCase {"history", "history.sqlite3", {"--history-db", "@/history.sqlite3"}, "--history-db"},
        StartCase {"pid_file", "norvane.pid", {"--daemon", "--pid-file", "@/norvane.pid", "--log-file", "@/log"},
                   "--pid-file"},
        StartCase {"log", "norvane.log", {"--daemon", "--log-file", "@/norvane.log", "--pid-file", "@/pid"},
                   "--log-file"},
        StartCase {"other_channel", "other.wav", {"--audio-channel", "id=other,frequency=14.1M,wav=@/other.wav"},
                   "The WAV file of audio channel other"}),
    [](testing::TestParamInfo<StartCase> const& info) { return info.param.name; });

// A run started with its standard output and error going to a file (as a shell's ">>" or
// "2>>" leaves them): no output of the run may be that file, or log lines land in the output
// and the output in the log. The refusal is the one line the file gains.
struct StreamsCase {
    std::string name;
    std::string redirection;             // the shell's, to "$NV_FILE"
    std::string file;                    // in the test directory
    std::vector<std::string> arguments;  // after the program ("@" is the test directory)
    std::string refused;                 // the error after "Error: " ("@" likewise); empty: the run works
};

std::ostream& operator<<(std::ostream& out, StreamsCase const& c) { return out << c.name; }

class StandardStreamsAtStart : public testing::TestWithParam<StreamsCase> {};

TEST_P(StandardStreamsAtStart, NoOutputIsTheProgramsOwnLog)
{
    StreamsCase const& c = GetParam();
    TempDir tmp;
    std::string const base = tmp.path().string();
    auto const in_dir = [&base](std::string text) {
        for (auto at = text.find('@'); at != std::string::npos; at = text.find('@', at + base.size()))
            text.replace(at, 1, base);
        return text;
    };
    ASSERT_EQ(testbed::write_iq_file(tmp / "capture.iq", std::vector<std::complex<float>>(64000)), 0u);
    tmp.write_file(c.file, "precious\n");

    ProcessRun run;
    run.argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" " + c.redirection, NORVANE_EXE};
    for (std::string const& argument : c.arguments)
        run.argv.push_back(in_dir(argument));
    run.env = environment_with({"NV_FILE=" + (tmp / c.file).string()});
    ProcessResult const result = run_process(run);
    std::string const after = bytes_of(tmp / c.file);
    if (c.refused.empty()) {
        EXPECT_EQ(result.exit_status, 0) << after;
        EXPECT_EQ(after.rfind("precious\n", 0), 0u) << after;
        EXPECT_THAT(after, HasSubstr("precious\nnorvane "));  // the log goes on after its own lines
        EXPECT_EQ(bytes_of(tmp / "w.wav").substr(0, 4), "RIFF");
        return;
    }
    EXPECT_EQ(result.exit_status, 1) << after;
    EXPECT_EQ(after, "precious\nError: " + in_dir(c.refused) + "\n");
}

std::vector<std::string> const receivers_run = {"--mode", "receivers", "--iq-file", "@/capture.iq", "--iq-rate",
                                                "64000", "--start-utc", "20250101_120000", "--duration", "1",
                                                "--center-frequency", "14.08M", "--all-txt", "@/ALL.TXT"};

std::vector<std::string> receivers_with(std::vector<std::string> extra)
{
    std::vector<std::string> arguments = receivers_run;
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return arguments;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, StandardStreamsAtStart,
    testing::Values(
        StreamsCase {"channel_wav", ">>\"$NV_FILE\" 2>&1", "run.log",
                     receivers_with({"--audio-channel", "id=w,frequency=14.1M,wav=@/run.log"}),
                     "Standard output and error (@/run.log) and the WAV file of audio channel w refer to the same "
                     "file"},
        StreamsCase {"audio_mode_wav", ">>\"$NV_FILE\" 2>&1", "legacy.log",
                     {"--iq-file", "@/capture.iq", "--wav", "@/legacy.log"},
                     "Standard output and error (@/legacy.log) and --wav refer to the same file"},
        StreamsCase {"all_txt", "2>>\"$NV_FILE\"", "ALL.TXT", receivers_run,
                     "Standard error (@/ALL.TXT) and --all-txt refer to the same file"},
        StreamsCase {"a_log_of_its_own", "2>>\"$NV_FILE\"", "run.log",
                     receivers_with({"--audio-channel", "id=w,frequency=14.1M,wav=@/w.wav"}), ""}),
    [](testing::TestParamInfo<StreamsCase> const& info) { return info.param.name; });

// A receiver started without analysis channels, live: the analysis channel added over the
// control socket reports its chart on standard error, in the journal and as a picture in
// --wefax-images, and audio channels that would write over the run's files are refused.
TEST(ChannelsAddedLater, AnalysisReportsLikeAStartUpChannelAndOutputsKeepOffTheRunsFiles)
{
    TempDir tmp;
    fs::create_directory(tmp / "ctl");
    fs::permissions(tmp / "ctl", fs::perms(0700));
    fs::path const control = tmp / "ctl" / "control";
    fs::path const journal = tmp / "journal" / "events.jsonl";
    fs::path const pictures = tmp / "pictures";
    fs::path const all_txt = tmp / "ALL.TXT";
    fs::path const history = tmp / "history.sqlite3";
    tmp.write_file("ALL.TXT", "240315_115900    14.074 Rx FT8    -10  0.1 1500 CQ K1ABC FN42\n");
    tmp.write_file("history.sqlite3", "not yet a database\n");
    fs::create_hard_link(history, tmp / "history-link");
    std::string const all_txt_bytes = bytes_of(all_txt);
    std::string const history_bytes = bytes_of(history);

    testbed::RtlTcpServerScript script;
    script.generator = testbed::paced_iq_generator({testbed::rtl_tcp_bytes(wefax_capture(kRate)), kRate, 0.0});
    testbed::RtlTcpServer rtl(std::move(script));
    BackgroundProcess server({NORVANE_EXE, "--mode", "receivers", "--backend", "rtl-sdr", "--rtl-port",
                              std::to_string(rtl.port()), "--sample-rate", std::to_string(kRate),
                              "--center-frequency", "14.08M", "--audio-control", control.string(),
                              "--signal-journal", journal.string(), "--wefax-images", pictures.string(),
                              "--all-txt", all_txt.string(), "--history-db", history.string()},
                             environment_with({}), (tmp / "norvane.out").string());
    ASSERT_TRUE(server.wait_for_error_text("Live audio control: " + control.string() + "\n", 20s))
        << server.errors();
    EXPECT_EQ(ask_control(control, "ANALYZE ADD id=fax,frequency=14070000,modes=wefax"), "OK");

    EXPECT_EQ(ask_control(control, "ADD id=w,frequency=14075000,wav=" + all_txt.string()),
              "ERROR --all-txt and the WAV file of audio channel w refer to the same file");
    EXPECT_EQ(ask_control(control, "ADD id=w,frequency=14075000,wav=" + (tmp / "history-link").string()),
              "ERROR --history-db and the WAV file of audio channel w refer to the same file");
    EXPECT_EQ(ask_control(control, "ADD id=w,frequency=14075000,wav=" + journal.string()),
              "ERROR --signal-journal and the WAV file of audio channel w refer to the same file");
    EXPECT_EQ(ask_control(control, "ADD id=keep,frequency=14075000,wav=" + (tmp / "keep.wav").string()), "OK");
    EXPECT_EQ(ask_control(control, "SET id=keep,frequency=14076000,wav=" + all_txt.string()),
              "ERROR --all-txt and the WAV file of audio channel keep refer to the same file");
    EXPECT_EQ(ask_control(control, "ADD id=s,frequency=14075000,socket=" + control.string()),
              "ERROR --audio-control and the audio socket of audio channel s refer to the same file");
    EXPECT_EQ(ask_control(control, "ADD id=h,frequency=14075000,wav=" + control.string() + ".lock"),
              "ERROR The control socket's lock file " + control.string()
                  + ".lock and the WAV file of audio channel h refer to the same file");
    EXPECT_EQ(ask_control(control, "ADD id=e,frequency=14075000,wav=" + (tmp / "norvane.out").string()),
              "ERROR Standard output (" + (tmp / "norvane.out").string()
                  + ") and the WAV file of audio channel e refer to the same file");

    ASSERT_TRUE(server.wait_for_error_text("wefax-stop track=2147483648 ch=fax", 60s)) << server.errors();
    // The chart is saved: no channel may write over it.
    std::vector<std::string> const saved = lines_with(server.errors(), ": wefax-image track=2147483648 ch=fax");
    ASSERT_EQ(saved.size(), 1u) << server.errors();
    std::string const saved_path = saved[0].substr(saved[0].find("path=\"") + 6, std::string::npos);
    fs::path const chart = saved_path.substr(0, saved_path.find('"'));
    std::string const chart_bytes = bytes_of(chart);
    EXPECT_EQ(ask_control(control, "ADD id=pic,frequency=14075000,wav=" + chart.string()),
              "ERROR The WAV file of audio channel pic lies in --wefax-images, where the program saves its "
              "pictures; choose another directory");
    int const status = server.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << server.errors();
    std::string const err = server.errors();

    // Standard error: the channel's chart from its start to its picture.
    for (std::string const& kind : std::vector<std::string> {"detected", "wefax-start", "wefax-image", "wefax-stop"})
        EXPECT_EQ(lines_with(err, ": " + kind + " track=2147483648 ch=fax").size(), 1u) << kind << "\n" << err;
    std::vector<std::string> const image = lines_with(err, ": wefax-image track=2147483648 ch=fax");
    ASSERT_EQ(image.size(), 1u) << err;
    std::size_t const at = image[0].find("path=\"");
    ASSERT_NE(at, std::string::npos) << image[0];
    fs::path const picture = image[0].substr(at + 6, image[0].size() - at - 7);
    EXPECT_EQ(picture.parent_path(), pictures) << image[0];
    EXPECT_GT(fs::file_size(picture), 0u);

    // The journal: the same four events, one JSON record a line.
    std::ifstream in(journal);
    std::vector<std::string> records;
    for (std::string line; std::getline(in, line);)
        records.push_back(line);
    ASSERT_EQ(records.size(), 4u) << bytes_of(journal);
    for (std::string const& record : records) {
        EXPECT_EQ(record.front(), '{') << record;
        EXPECT_EQ(record.back(), '}') << record;
        EXPECT_THAT(record, HasSubstr("\"fax\"")) << record;
    }
    EXPECT_THAT(records[2], HasSubstr(picture.string()));

    EXPECT_EQ(bytes_of(picture), chart_bytes);
    EXPECT_EQ(chart_bytes.substr(0, 4), "\x89PNG");
    EXPECT_EQ(fs::file_size(control.string() + ".lock"), 0u);
    EXPECT_EQ(bytes_of(all_txt), all_txt_bytes);
    EXPECT_EQ(bytes_of(history), history_bytes);
    EXPECT_EQ(fs::file_size(tmp / "keep.wav") % 2, 0u);
    EXPECT_THAT(err, testing::Not(HasSubstr("disabled")));
}

}  // namespace
