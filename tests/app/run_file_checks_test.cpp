#include "app/run_file_checks.hpp"

#include <fcntl.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/parse_options.hpp"
#include "core/unique_fd.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

// Files of the test's directory the run was started with as its standard output and error.
struct Streams {
    char const* output = nullptr;
    char const* error = nullptr;
    bool append = true;  // opened as ">>" opens them, else as ">" does (without emptying them here)
};

struct FilesCase {
    char const* name;
    Args args;
    std::string message;  // empty: accepted; "@" stands for the test's directory
    Streams streams = {};
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
        started_standard_streams().clear();
        fs::current_path(old_directory_);
        if (old_state_)
            ::setenv("XDG_STATE_HOME", old_state_->c_str(), 1);
        else
            ::unsetenv("XDG_STATE_HOME");
    }

    // The standard streams as the program takes them at start, from descriptors of our own.
    void start_with(Streams const& streams)
    {
        auto const open = [&streams](char const* name) {
            return UniqueFd(name == nullptr ? -1
                                            : ::open(name, O_WRONLY | O_CREAT | O_CLOEXEC | (streams.append ? O_APPEND : 0),
                                                     0600));
        };
        UniqueFd const output = open(streams.output);
        UniqueFd const error = streams.error != nullptr && streams.output != nullptr
                                       && std::string(streams.error) == streams.output
                                   ? UniqueFd(::dup(output.get()))
                                   : open(streams.error);
        started_standard_streams() = standard_stream_files(output.get(), error.get());
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
    std::string const here = dir.path().string();
    auto const in_dir = [&here](std::string text) {
        for (auto at = text.find('@'); at != std::string::npos; at = text.find('@', at + here.size()))
            text.replace(at, 1, here);
        return text;
    };
    Args args = GetParam().args;
    for (std::string& arg : args)
        arg = in_dir(arg);
    start_with(GetParam().streams);
    EXPECT_EQ(check(args), in_dir(GetParam().message));
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
        // The program's own standard output and error, when they are files: every output keeps
        // off them, or log lines land in it and it lands in the log.
        FilesCase{"channel_wav_is_standard_output_and_error",
                  decoder({"--audio-channel", "id=w,frequency=14.1M,wav=./run.log"}),
                  "Standard output and error (@/run.log) and the WAV file of audio channel w refer to the same file",
                  {"run.log", "run.log"}},
        FilesCase{"wav_is_standard_error", {"--iq-file", "capture.iq", "--wav", "legacy.log"},
                  "Standard error (@/legacy.log) and --wav refer to the same file", {"out.txt", "legacy.log"}},
        FilesCase{"all_txt_is_standard_error", decoder({}),
                  "Standard error (@/ALL.TXT) and --all-txt refer to the same file", {nullptr, "ALL.TXT"}},
        FilesCase{"iq_input_is_standard_output", replay({}),
                  "Standard output (@/capture.iq) and --iq-file refer to the same file", {"capture.iq", nullptr}},
        FilesCase{"journal_is_standard_error", decoder({"--known-channels", "--signal-journal", "events.jsonl"}),
                  "Standard error (@/events.jsonl) and --signal-journal refer to the same file",
                  {nullptr, "events.jsonl"}},
        // A daemon's log takes lines from both sides when both append; a stream that does not
        // would write over the daemon's first lines.
        FilesCase{"daemon_log_is_where_the_streams_append", decoder({"--daemon", "--log-file", "nv.log"}), "",
                  {"nv.log", "nv.log"}},
        FilesCase{"daemon_log_is_written_over_by_a_stream", decoder({"--daemon", "--log-file", "nv.log"}),
                  "Standard error (@/nv.log) and --log-file refer to the same file; open it for appending (>>) or "
                  "leave the log to the daemon",
                  {"out.txt", "nv.log", false}},
        FilesCase{"streams_of_their_own", decoder({"--daemon"}), "", {"out.txt", "err.txt"}},
        // The picture directory is the program's: every file in it may be a picture.
        FilesCase{"channel_wav_in_picture_directory",
                  decoder({"--analysis-channel", "id=a,frequency=14.1M", "--wefax-images", "@", "--audio-channel",
                           "id=w,frequency=14.1M,wav=w.wav"}),
                  "The WAV file of audio channel w lies in --wefax-images, where the program saves its pictures; "
                  "choose another directory"},
        FilesCase{"channel_socket_in_picture_directory_not_made_yet",
                  decoder({"--known-channels", "--wefax-images", "pictures", "--audio-channel",
                           "id=s,frequency=14.1M,socket=@/pictures/s"}),
                  "The audio socket of audio channel s lies in --wefax-images, where the program saves its "
                  "pictures; choose another directory"},
        FilesCase{"channel_wav_below_picture_directory",
                  decoder({"--known-channels", "--wefax-images", "pictures", "--audio-channel",
                           "id=w,frequency=14.1M,wav=pictures/audio/w.wav"}),
                  ""},
        // The control socket's lock and what SQLite keeps beside each database.
        FilesCase{"channel_wav_is_control_lock",
                  decoder({"--audio-control", "@/ctl/control", "--audio-channel",
                           "id=h,frequency=14.1M,wav=@/ctl/./control.lock"}),
                  "The control socket's lock file @/ctl/control.lock and the WAV file of audio channel h refer to "
                  "the same file"},
        FilesCase{"wav_is_control_lock", {"-f", "7.1M", "--audio-control", "c", "--wav", "c.lock"},
                  "--wav and the control socket's lock file c.lock refer to the same file"},
        FilesCase{"channel_wav_is_history_wal",
                  decoder({"--history-db", "h.sqlite3", "--audio-channel", "id=w,frequency=14.1M,wav=h.sqlite3-wal"}),
                  "The side file h.sqlite3-wal of --history-db and the WAV file of audio channel w refer to the "
                  "same file"},
        FilesCase{"all_txt_is_history_journal", decoder({"--history-db", "h.sqlite3", "--all-txt", "./h.sqlite3-journal"}),
                  "--all-txt and the side file h.sqlite3-journal of --history-db refer to the same file"},
        FilesCase{"pid_file_is_suppression_shm",
                  decoder({"--pskreporter", "--callsign", "K1ABC", "--grid", "FN42", "--daemon", "--pid-file",
                           "state/norvane/psk-dedup.sqlite3-shm"}),
                  "--pid-file and the side file @/state/norvane/psk-dedup.sqlite3-shm of the PSK Reporter "
                  "suppression state @/state/norvane/psk-dedup.sqlite3 refer to the same file"},
        FilesCase{"all_distinct", decoder({"--daemon", "--history-db", "h.sqlite3"}), ""}),
    [](testing::TestParamInfo<FilesCase> const& info) { return std::string(info.param.name); });

}  // namespace
