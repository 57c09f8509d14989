#include "app/run_file_checks.hpp"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/parse_options.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

struct FilesCase {
    char const* name;
    Args args;
    std::string message;  // empty: accepted; "@" stands for the test's directory
};

void PrintTo(FilesCase const& c, std::ostream* out) { *out << c.name; }

// A run in a directory of its own holding ALL.TXT and an IQ recording, with the state directory
// inside it too, so that relative spellings and the PSK Reporter state can be tried.
class RunFileChecks : public testing::TestWithParam<FilesCase> {
protected:
    RunFileChecks() : old_directory_(fs::current_path())
    {
        char const* const state = std::getenv("XDG_STATE_HOME");
        if (state != nullptr)
            old_state_ = state;
        ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
        dir.write_file("ALL.TXT", "250101_000000    14.074 Rx FT8    -10  0.1 1500 CQ K1ABC FN42\n");
        dir.write_file("capture.iq", std::string(4096, '\0'));
        fs::current_path(dir.path());
    }
    ~RunFileChecks() override
    {
        fs::current_path(old_directory_);
        if (old_state_)
            ::setenv("XDG_STATE_HOME", old_state_->c_str(), 1);
        else
            ::unsetenv("XDG_STATE_HOME");
    }

    std::string check(Args const& args)
    {
        std::vector<char const*> argv{"norvane"};
        for (std::string const& arg : args)
            argv.push_back(arg.c_str());
        try {
            check_run_files(parse_options(static_cast<int>(argv.size()), argv.data()));
        } catch (std::runtime_error const& error) {
            return error.what();
        }
        return "";
    }

    TempDir dir;
    fs::path old_directory_;
    std::optional<std::string> old_state_;
};

Args decoder(Args extra)
{
    Args args = {"--mode", "decoder", "--frequencies", "14.074M"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

Args replay(Args extra)
{
    Args args = decoder({"--iq-file", "capture.iq", "--start-utc", "20250101_000000"});
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

TEST_P(RunFileChecks, EveryFileWrittenIsAFileOfItsOwn)
{
    std::string expected = GetParam().message;
    if (auto const at = expected.find('@'); at != std::string::npos)
        expected.replace(at, 1, dir.path().string());
    Args args = GetParam().args;
    for (std::string& arg : args) {
        for (auto at = arg.find('@'); at != std::string::npos; at = arg.find('@'))
            arg.replace(at, 1, dir.path().string());
    }
    EXPECT_EQ(check(args), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunFileChecks,
    testing::Values(
        FilesCase{"history_is_all_txt", decoder({"--history-db", "./ALL.TXT"}),
                  "--all-txt and --history-db refer to the same file"},
        FilesCase{"history_is_all_txt_not_written_yet",
                  decoder({"--all-txt", "logs/ALL.TXT", "--history-db", "logs/../logs/ALL.TXT"}),
                  "--all-txt and --history-db refer to the same file"},
        FilesCase{"history_is_iq_input", replay({"--history-db", "capture.iq"}),
                  "--iq-file and --history-db refer to the same file"},
        FilesCase{"iq_input_is_all_txt", replay({"--all-txt", "capture.iq"}),
                  "IQ input and ALL.TXT output refer to the same file"},
        FilesCase{"log_is_history", decoder({"--daemon", "--log-file", "h.sqlite3", "--history-db", "h.sqlite3"}),
                  "--log-file and --history-db refer to the same file"},
        FilesCase{"log_is_pid_file", decoder({"--daemon", "--pid-file", "d.pid", "--log-file", "./d.pid"}),
                  "Daemon log must differ from PID file, IQ input, WAV output and ALL.TXT"},
        FilesCase{"log_is_all_txt", decoder({"--daemon", "--log-file", "ALL.TXT"}),
                  "Daemon log must differ from PID file, IQ input, WAV output and ALL.TXT"},
        FilesCase{"pid_file_is_all_txt", decoder({"--daemon", "--pid-file", "ALL.TXT"}),
                  "Daemon PID file must differ from the log, IQ input, WAV output and ALL.TXT"},
        FilesCase{"pid_file_is_history", decoder({"--daemon", "--history-db", "norvane.pid"}),
                  "--pid-file and --history-db refer to the same file"},
        FilesCase{"sent_batches_are_all_txt",
                  decoder({"--pskreporter", "--callsign", "K1ABC", "--grid", "FN42", "--all-txt",
                           "state/norvane/psk-reports.sqlite3"}),
                  "--all-txt and the PSK Reporter sent-batch record @/state/norvane/psk-reports.sqlite3 refer to "
                  "the same file"},
        FilesCase{"suppression_is_history",
                  decoder({"--pskreporter", "--callsign", "K1ABC", "--grid", "FN42", "--history-db",
                           "state/norvane/./psk-dedup.sqlite3"}),
                  "--history-db and the PSK Reporter suppression state @/state/norvane/psk-dedup.sqlite3 refer "
                  "to the same file"},
        FilesCase{"signal_journal_is_all_txt", decoder({"--known-channels", "--signal-journal", "ALL.TXT"}),
                  "--all-txt and --signal-journal refer to the same file"},
        FilesCase{"survey_journal_is_history", decoder({"--survey", "--survey-journal", "x", "--history-db", "x"}),
                  "--history-db and --survey-journal refer to the same file"},
        FilesCase{"pictures_are_all_txt",
                  decoder({"--analysis-channel", "id=a,frequency=14.1M", "--wefax-images", "ALL.TXT"}),
                  "--all-txt and --wefax-images refer to the same file"},
        FilesCase{"wav_is_iq_input", {"--iq-file", "capture.iq", "--wav", "./capture.iq"},
                  "IQ input and WAV output refer to the same file"},
        FilesCase{"channel_wav_is_all_txt", decoder({"--audio-channel", "id=w,frequency=14.1M,wav=./ALL.TXT"}),
                  "--all-txt and the WAV file of audio channel w refer to the same file"},
        FilesCase{"channel_wav_is_iq_input",
                  replay({"--audio-channel", "id=w,frequency=14.1M,wav=capture.iq"}),
                  "--iq-file and the WAV file of audio channel w refer to the same file"},
        FilesCase{"two_channels_one_wav",
                  decoder({"--audio-channel", "id=a,frequency=14.1M,wav=a.wav", "--audio-channel",
                           "id=b,frequency=14.1M,wav=x/../a.wav"}),
                  "The WAV file of audio channel a and the WAV file of audio channel b refer to the same file"},
        FilesCase{"channel_socket_is_control_socket",
                  decoder({"--audio-control", "@/ctl/control", "--audio-channel",
                           "id=s,frequency=14.1M,socket=@/ctl/./control"}),
                  "--audio-control and the audio socket of audio channel s refer to the same file"},
        // A run with a control socket may be given analysis channels later: its journal counts.
        FilesCase{"journal_of_channels_added_later", decoder({"--audio-control", "c", "--signal-journal", "ALL.TXT"}),
                  "--all-txt and --signal-journal refer to the same file"},
        // Channels may send to one listener; a disabled channel writes nothing.
        FilesCase{"channels_share_a_listener",
                  decoder({"--audio-channel", "id=a,frequency=14.1M,socket=/tmp/l", "--audio-channel",
                           "id=b,frequency=14.1M,socket=/tmp/l"}),
                  ""},
        FilesCase{"disabled_channel", decoder({"--audio-channel", "id=w,frequency=14.1M,wav=ALL.TXT,enabled=false"}),
                  ""},
        // Both journals append whole locked records: sharing one file is their default.
        FilesCase{"journals_share_a_file", decoder({"--known-channels", "--survey"}), ""},
        // Files the run does not write are not compared.
        FilesCase{"journal_without_analysis", decoder({"--signal-journal", "ALL.TXT", "--wefax-images", "ALL.TXT"}),
                  ""},
        FilesCase{"history_in_audio_mode", {"-f", "7.1M", "--wav", "out.wav", "--history-db", "out.wav"}, ""},
        FilesCase{"all_distinct", decoder({"--daemon", "--history-db", "h.sqlite3"}), ""}),
    [](testing::TestParamInfo<FilesCase> const& info) { return std::string(info.param.name); });

}  // namespace
