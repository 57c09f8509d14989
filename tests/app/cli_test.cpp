// The program as a user runs it: a real child process, its two streams and its exit status.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/version.hpp"
#include "live/analysis_settings.hpp"
#include "live/live_audio.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

ProcessResult norvane(std::vector<std::string> arguments, const std::string& directory = {}) {
  ProcessRun run;
  run.argv = {NORVANE_EXE};
  run.argv.insert(run.argv.end(), arguments.begin(), arguments.end());
  run.working_directory = directory;
  return run_process(run);
}

std::string golden(const std::string& name) {
  std::ifstream in(std::string(NORVANE_SOURCE_DIR) + "/tests/app/golden/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

const std::string title = "SDRplay receiver and FT8/FT4/JS8/WSPR decoder\n";

TEST(Cli, NoArgumentsPrintsTheHelp) {
  ProcessResult bare = norvane({});
  EXPECT_EQ(bare.exit_status, 0);
  EXPECT_EQ(bare.err, "");
  EXPECT_EQ(bare.out.rfind(title, 0), 0u);
  EXPECT_NE(bare.out.find("\nDocumentation: man norvane (FILES lists installed paths).\n"), std::string::npos);

  // The same text as --help and -h; with --version too, only the help.
  for (std::vector<std::string> arguments : {std::vector<std::string>{"--help"}, {"-h"}, {"--help", "--version"},
                                             {"--version", "-h"}}) {
    ProcessResult asked = norvane(arguments);
    EXPECT_EQ(asked.exit_status, 0) << arguments[0];
    EXPECT_EQ(asked.out, bare.out) << arguments[0];
    EXPECT_EQ(asked.err, "");
  }
}

TEST(Cli, VersionBannerOnStandardOutput) {
  ProcessResult result = norvane({"--version"});
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out.rfind(std::string("norvane ") + NORVANE_VERSION + " ", 0), 0u) << result.out;
  EXPECT_EQ(result.out.find('\n'), result.out.size() - 1);
}

struct ListCase {
  std::vector<std::string> modes_arguments;
  const char* golden_file;
};

class ListFrequencies : public testing::TestWithParam<ListCase> {};

TEST_P(ListFrequencies, PrintsTheBandTable) {
  std::vector<std::string> arguments = {"--list-frequencies"};
  arguments.insert(arguments.end(), GetParam().modes_arguments.begin(), GetParam().modes_arguments.end());
  ProcessResult result = norvane(arguments);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, golden(GetParam().golden_file));
}

INSTANTIATE_TEST_SUITE_P(
    EveryMode, ListFrequencies,
    testing::Values(ListCase{{}, "list_frequencies_FT8.txt"},
                    ListCase{{"--modes", "FT8"}, "list_frequencies_FT8.txt"},
                    ListCase{{"--modes", "ft4"}, "list_frequencies_FT4.txt"},
                    ListCase{{"--modes", "JS8"}, "list_frequencies_JS8.txt"},
                    ListCase{{"--modes", "JS8-FAST"}, "list_frequencies_JS8-FAST.txt"},
                    ListCase{{"--modes", "JS8-TURBO"}, "list_frequencies_JS8-TURBO.txt"},
                    ListCase{{"--modes", "JS8-SLOW"}, "list_frequencies_JS8-SLOW.txt"},
                    ListCase{{"--modes", "WSPR"}, "list_frequencies_WSPR.txt"},
                    ListCase{{"--modes", "FT8,WSPR"}, "list_frequencies_FT8_WSPR.txt"}));

TEST(Cli, ListFrequenciesOpensNoDevice) {
  // The configuration names a receiver that does not exist here; the list still comes out.
  TempDir dir;
  auto config = dir.write_file("station.conf", "backend = rx888\nrx888-rate = half\nfrequency = 14.074M\n");
  ProcessResult result = norvane({"--config", config.string(), "--list-frequencies"});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, golden("list_frequencies_FT8.txt"));
}

struct ErrorCase {
  std::vector<std::string> arguments;
  const char* message;
};

class CliError : public testing::TestWithParam<ErrorCase> {};

TEST_P(CliError, OneLineOnStandardErrorAndStatusOne) {
  ProcessResult result = norvane(GetParam().arguments);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, std::string("Error: ") + GetParam().message + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Messages, CliError,
    testing::Values(
        ErrorCase{{"--bogus"}, "Unknown option: --bogus"},
        ErrorCase{{"-f"}, "Missing value for -f"},
        // the checks made while reading still apply to --help
        ErrorCase{{"--help", "--mode", "x"}, "--mode must be audio, decoder, hybrid or receivers"},
        ErrorCase{{"--list-frequencies", "--daemon"},
                  "--list-frequencies cannot be combined with daemon control or --list-devices"},
        ErrorCase{{"-m", "usb"}, "--frequency is required and must be between 1k and 2000M Hz"},
        // the control request is sent (and fails here) instead of the help being printed
        ErrorCase{{"--audio-control", "/tmp/norvane-none.sock", "--audio-command", "STATUS", "--help"},
                  "Audio receiver control is unavailable"}));

// The listing loads the receiver library at run time, exactly as a real run does.
TEST(Cli, ListDevicesThroughTheReceiverLibrary) {
  ProcessResult result =
      norvane({"--list-devices", "--api-library", NORVANE_TESTBED_DIR "/libsdrplay_standin.so"});
  EXPECT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, "0: RSP1A serial=1A0000001 available=1\n");
}

struct OneShot {
  const char* name;
  std::vector<std::string> arguments;
};

void PrintTo(const OneShot& command, std::ostream* out) { *out << command.name; }

class OneShotCommand : public testing::TestWithParam<OneShot> {};

// Every one-shot command fails the same way when its product cannot be written: status 1 and
// the system's reason, never a silent success.
TEST_P(OneShotCommand, OutputThatCannotBeWrittenIsAnError) {
  TempDir dir;
  // A control socket that answers every request, for --audio-command.
  LiveAudio server(48000.0, 7074000.0, 48000.0, (dir / "control.sock").string(), {},
                   [](const std::string&) { return std::string("OK RADIO agc=on"); }, true, AnalysisSettings{},
                   nullptr);
  ProcessRun run;
  run.argv = {NORVANE_EXE};
  run.argv.insert(run.argv.end(), GetParam().arguments.begin(), GetParam().arguments.end());
  run.working_directory = dir.path().string();
  run.stdout_file = "/dev/full";
  ProcessResult result = run_process(run);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.err, "Error: Cannot write to standard output: No space left on device\n");
}

INSTANTIATE_TEST_SUITE_P(
    Commands, OneShotCommand,
    testing::Values(OneShot{"help", {"--help"}}, OneShot{"version", {"--version"}},
                    OneShot{"list_frequencies", {"--list-frequencies"}},
                    OneShot{"list_devices", {"--list-devices", "--api-library", NORVANE_TESTBED_DIR "/libsdrplay_standin.so"}},
                    OneShot{"kill_without_daemon", {"--kill"}},
                    OneShot{"audio_command", {"--audio-control", "control.sock", "--audio-command", "RADIO STATUS"}}),
    [](const testing::TestParamInfo<OneShot>& info) { return std::string(info.param.name); });

// --iq-file checks, each in a directory of its own holding one IQ file.
class IqInput : public testing::Test {
 protected:
  IqInput() { iq = dir.write_file("capture.iq", std::string(4096, '\0')).string(); }

  ProcessResult audio_replay(std::vector<std::string> extra) {
    std::vector<std::string> arguments = {"--iq-file", iq};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return norvane(arguments, dir.path().string());
  }

  ProcessResult decoder_replay(const std::string& iq_path, const std::string& all_txt) {
    return norvane({"--mode", "decoder", "--frequencies", "14.074M", "--iq-file", iq_path, "--start-utc",
                    "20250101_000000", "--all-txt", all_txt},
                   dir.path().string());
  }

  static void expect_refused(const ProcessResult& result, const std::string& message) {
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error: " + message + "\n");
  }

  // Past the checks, the run starts: the banner is the first thing it writes.
  static void expect_accepted(const ProcessResult& result) {
    EXPECT_EQ(result.err.rfind(std::string("norvane ") + NORVANE_VERSION, 0), 0u) << result.err;
    EXPECT_EQ(result.err.find("IQ input"), std::string::npos) << result.err;
  }

  TempDir dir;
  std::string iq;
};

TEST_F(IqInput, MustBeAnExistingRegularFile) {
  std::string fifo = (dir / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_directory(dir / "directory");
  std::filesystem::create_symlink(dir / "missing", dir / "dangling");
  for (std::string path : {(dir / "directory").string(), (dir / "missing").string(), fifo,
                           (dir / "dangling").string()}) {
    SCOPED_TRACE(path);
    expect_refused(norvane({"--iq-file", path}), "IQ input must be an existing regular file");
  }
  // A symbolic link to a regular file is that file.
  std::filesystem::create_symlink(iq, dir / "link.iq");
  expect_accepted(norvane({"--iq-file", (dir / "link.iq").string()}));
}

TEST_F(IqInput, MustNotBeTheWavOutput) {
  std::filesystem::create_hard_link(iq, dir / "hard.wav");
  std::filesystem::create_symlink(iq, dir / "soft.wav");
  expect_refused(audio_replay({"--wav", (dir / "hard.wav").string()}),
                 "IQ input and WAV output refer to the same file");
  expect_refused(audio_replay({"--wav", (dir / "soft.wav").string()}),
                 "IQ input and WAV output refer to the same file");
  // Another path form of the same file (relative to the run's directory)
  expect_refused(audio_replay({"--wav", "./capture.iq"}), "IQ input and WAV output refer to the same file");

  // A WAV file that does not exist yet has nothing to compare.
  expect_accepted(audio_replay({"--wav", (dir / "new.wav").string()}));
}

// A FIFO or a symbolic link named as the WAV output is refused at once: an open that waits for a
// reader would hold the program where no stop signal reaches it.
TEST_F(IqInput, WavOutputMustBeARegularFileOfItsOwn) {
  // The run has started (its banner is out) when the output is opened.
  auto expect_failed = [](const ProcessResult& result, const std::string& message) {
    EXPECT_EQ(result.exit_status, 1);
    const std::string line = "Error: " + message + "\n";
    EXPECT_TRUE(result.err.ends_with(line)) << result.err;
  };
  ASSERT_EQ(::mkfifo((dir / "fifo.wav").c_str(), 0600), 0);
  expect_failed(audio_replay({"--wav", (dir / "fifo.wav").string()}),
                "WAV output must be a regular file: " + (dir / "fifo.wav").string());

  auto target = dir.write_file("target", "kept");
  std::filesystem::create_symlink(target, dir / "link.wav");
  expect_failed(audio_replay({"--wav", (dir / "link.wav").string()}),
                "Cannot open WAV output: " + (dir / "link.wav").string());
  std::ifstream in(target, std::ios::binary);
  std::ostringstream kept;
  kept << in.rdbuf();
  EXPECT_EQ(kept.str(), "kept");
}

TEST_F(IqInput, MustNotBeTheAllTxtOfAWidebandRun) {
  std::filesystem::create_hard_link(iq, dir / "hard.txt");
  std::filesystem::create_symlink(iq, dir / "soft.txt");
  expect_refused(decoder_replay(iq, (dir / "hard.txt").string()), "IQ input and ALL.TXT output refer to the same file");
  expect_refused(decoder_replay(iq, (dir / "soft.txt").string()), "IQ input and ALL.TXT output refer to the same file");

  expect_accepted(decoder_replay(iq, (dir / "ALL.TXT").string()));
  dir.write_file("other.txt", "");
  expect_accepted(decoder_replay(iq, (dir / "other.txt").string()));
}

// The history database named by another spelling of ALL.TXT would turn the spot file into a
// database: the run is refused before either is opened, and ALL.TXT keeps its lines and mode.
TEST_F(IqInput, TwoOutputsOnOneFileAreRefusedBeforeEitherIsOpened) {
  const std::string line = "250101_000000    14.074 Rx FT8    -10  0.1 1500 CQ K1ABC FN42\n";
  auto all_txt = dir.write_file("ALL.TXT", line);
  std::filesystem::permissions(all_txt, std::filesystem::perms(0644));
  std::filesystem::create_hard_link(all_txt, dir / "history.sqlite3");
  ProcessResult result =
      norvane({"--mode", "decoder", "--frequencies", "14.074M", "--iq-file", iq, "--start-utc", "20250101_000000",
               "--all-txt", all_txt.string(), "--history-db", (dir / "history.sqlite3").string()},
              dir.path().string());
  expect_refused(result, "--all-txt and --history-db refer to the same file");
  std::ifstream in(all_txt, std::ios::binary);
  std::ostringstream kept;
  kept << in.rdbuf();
  EXPECT_EQ(kept.str(), line);
  EXPECT_EQ(std::filesystem::status(all_txt).permissions(), std::filesystem::perms(0644));
}

}  // namespace
