#pragma once

// The files a run reads and writes, and the rule that keeps them apart: no output may be the IQ
// input, another output or the program's own standard output or error, whatever path, hard link
// or symbolic link names it, and no audio channel may write into the picture directory. The
// start-up checks apply it to the whole list; the live engine applies it again to every audio
// channel output added while the run goes on.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "core/file_identity.hpp"
#include "core/options.hpp"
#include "core/state_directory.hpp"

// A file this run reads as its IQ input or will write.
struct RunFile {
    enum class Kind {
        standard_stream,  // standard output or error, when the program was started with a file there
        iq_input,
        wav,
        all_txt,
        daemon_log,
        pid_file,
        history,
        signal_journal,
        survey_journal,
        pictures,
        sent_batches,
        suppression,
        database_side_file,  // what SQLite keeps beside a database: "-journal", "-wal", "-shm"
        control_socket,
        control_lock,
        channel_wav,     // an audio channel's WAV recording
        channel_socket,  // an audio channel's audio socket (a listener's, not ours)
    };
    Kind kind;
    std::string name;  // how an error names it: the option, or what it is and where
    std::string path;
    // A file the process holds open from its start (its standard streams): the file it was then,
    // whatever its name may name now. Looked up by path when empty.
    std::optional<FileIdentity> held = std::nullopt;
    // Opened for appending, so that a writer beside it cannot overwrite what it wrote.
    bool appends = false;
};

// A message begins with a capital letter, whatever name comes first.
inline std::string capitalised(std::string text)
{
    if (!text.empty() && text.front() >= 'a' && text.front() <= 'z')
        text.front() = static_cast<char>(text.front() - 'a' + 'A');
    return text;
}

inline std::optional<FileIdentity> run_file_identity(RunFile const& file)
{
    return file.held ? file.held : file_identity(file.path);
}

// Standard output and error as run files, when they are regular files (a terminal, a pipe or
// /dev/null is no file of the run): log lines and spots go there, so no output may be one of
// them. One entry when both are the same file. Named by what they are and the file's path.
inline std::vector<RunFile> standard_stream_files(int output_fd = STDOUT_FILENO, int error_fd = STDERR_FILENO)
{
    auto const held = [](int fd, std::string what) -> std::optional<RunFile> {
        std::optional<FileIdentity> const identity = open_file_identity(fd);
        if (!identity)
            return std::nullopt;
        std::error_code error;
        std::filesystem::path const where =
            std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
        if (!error)
            what += " (" + where.string() + ")";
        int const flags = ::fcntl(fd, F_GETFL);
        return RunFile{RunFile::Kind::standard_stream, std::move(what), {}, identity,
                       flags >= 0 && (flags & O_APPEND) != 0};
    };
    std::vector<RunFile> files;
    std::optional<RunFile> const output = held(output_fd, "standard output");
    std::optional<RunFile> const error = held(error_fd, "standard error");
    if (output && error && output->held == error->held) {
        std::optional<RunFile> const both = held(output_fd, "standard output and error");
        files.push_back(*both);
        files.back().appends = output->appends && error->appends;
        return files;
    }
    if (output)
        files.push_back(*output);
    if (error)
        files.push_back(*error);
    return files;
}

// The standard streams the program was started with, taken by take_standard_streams before
// anything is opened (a descriptor opened later could land on a closed 1 or 2) and before a
// daemon points them at its own log. Empty until taken.
inline std::vector<RunFile>& started_standard_streams()
{
    static std::vector<RunFile> files;
    return files;
}

inline void take_standard_streams() { started_standard_streams() = standard_stream_files(); }

// Whether analysis channels may write events and pictures in this run: channels at start, the
// known-channel windows, or channels added later over the control socket.
inline bool run_may_analyse(Options const& o)
{
    return o.wideband && (!o.analysis_channels.empty() || o.known_channels || !o.audio_control.empty());
}

inline RunFile channel_wav_file(AudioChannel const& channel)
{
    return {RunFile::Kind::channel_wav, "the WAV file of audio channel " + channel.id, channel.wav};
}

inline RunFile channel_socket_file(AudioChannel const& channel)
{
    return {RunFile::Kind::channel_socket, "the audio socket of audio channel " + channel.id, channel.socket};
}

// The control socket and the lock file beside it that keeps a second receiver off it.
inline std::vector<RunFile> control_socket_files(std::string const& path)
{
    if (path.empty())
        return {};
    return {{RunFile::Kind::control_socket, "--audio-control", path},
            {RunFile::Kind::control_lock, "the control socket's lock file " + path + ".lock", path + ".lock"}};
}

// The IQ input and every file and directory this run will write with these options, in the
// order of the kinds: only those the run actually uses (the standard streams taken at start;
// ALL.TXT, history and PSK Reporter state with their SQLite side files in the wideband modes;
// the PID file and log with --daemon; the journals and the picture directory when analysis or
// the survey may write them; the control socket and its lock; the audio channels' outputs in
// the wideband modes). May throw when the state directory has no home.
inline std::vector<RunFile> run_files(Options const& o)
{
    using Kind = RunFile::Kind;
    std::vector<RunFile> files = started_standard_streams();
    auto const add = [&files](Kind kind, std::string name, std::string const& path) {
        if (!path.empty())
            files.push_back({kind, std::move(name), path});
    };
    // SQLite writes its rollback journal or write-ahead log beside the database, by name.
    std::vector<RunFile> side_files;
    auto const add_database = [&](Kind kind, std::string name, std::string const& path) {
        if (path.empty())
            return;
        for (char const* suffix : {"-journal", "-wal", "-shm"})
            side_files.push_back({Kind::database_side_file, "the side file " + path + suffix + " of " + name,
                                  path + suffix});
        add(kind, std::move(name), path);
    };
    bool const analysis = run_may_analyse(o);
    bool const survey = o.wideband && o.survey;

    add(Kind::iq_input, "--iq-file", o.iq_file);
    if (!o.wideband)
        add(Kind::wav, "--wav", o.wav);
    if (o.wideband)
        add(Kind::all_txt, "--all-txt", o.all_txt);
    if (o.daemon) {
        add(Kind::daemon_log, "--log-file", o.log_file);
        add(Kind::pid_file, "--pid-file", o.pid_file);
    }
    if (o.wideband)
        add_database(Kind::history, "--history-db", o.history_db);
    if (analysis)
        add(Kind::signal_journal, "--signal-journal", o.signal_journal);
    if (survey)
        add(Kind::survey_journal, "--survey-journal", o.survey_journal);
    if (analysis || survey)
        add(Kind::pictures, "--wefax-images", o.wefax_images);
    if (o.pskreporter) {
        std::string const sent = state_directory("psk-reports.sqlite3");
        add_database(Kind::sent_batches, "the PSK Reporter sent-batch record " + sent, sent);
        std::string const suppression = state_directory("psk-dedup.sqlite3");
        add_database(Kind::suppression, "the PSK Reporter suppression state " + suppression, suppression);
    }
    files.insert(files.end(), side_files.begin(), side_files.end());
    // The audio mode holds the control socket too, for RADIO requests.
    for (RunFile& file : control_socket_files(o.audio_control))
        files.push_back(std::move(file));
    if (o.wideband) {
        for (AudioChannel const& channel : o.audio_channels) {
            if (!channel.enabled)
                continue;
            if (!channel.wav.empty())
                files.push_back(channel_wav_file(channel));
            if (!channel.socket.empty())
                files.push_back(channel_socket_file(channel));
        }
    }
    return files;
}

// Pairs that may name one file: both journals append whole locked records, several audio
// channels may send to one listener, and a daemon's log may be where its standard streams
// already append (the daemon points them there itself).
inline bool may_share_file(RunFile const& a, RunFile const& b)
{
    using Kind = RunFile::Kind;
    auto const pair = [&a, &b](Kind x, Kind y) {
        return (a.kind == x && b.kind == y) || (a.kind == y && b.kind == x);
    };
    if (pair(Kind::standard_stream, Kind::daemon_log))
        return (a.kind == Kind::standard_stream ? a : b).appends;
    return pair(Kind::signal_journal, Kind::survey_journal) || pair(Kind::channel_socket, Kind::channel_socket);
}

// The refusal of two files that are one, `first` being the one listed earlier. The daemon and IQ
// checks keep the texts they have always used; every other pair is named by its two names.
inline std::string same_file_message(RunFile const& first, RunFile const& second)
{
    using Kind = RunFile::Kind;
    auto const is_one_of = [](Kind kind, std::initializer_list<Kind> kinds) {
        for (Kind k : kinds) {
            if (k == kind)
                return true;
        }
        return false;
    };
    if (first.kind == Kind::iq_input && second.kind == Kind::wav)
        return "IQ input and WAV output refer to the same file";
    if (first.kind == Kind::iq_input && second.kind == Kind::all_txt)
        return "IQ input and ALL.TXT output refer to the same file";
    std::initializer_list<Kind> const daemon_neighbours = {Kind::iq_input, Kind::wav, Kind::all_txt};
    if ((second.kind == Kind::daemon_log && is_one_of(first.kind, daemon_neighbours))
        || (first.kind == Kind::daemon_log && second.kind == Kind::pid_file))
        return "Daemon log must differ from PID file, IQ input, WAV output and ALL.TXT";
    if (second.kind == Kind::pid_file && is_one_of(first.kind, daemon_neighbours))
        return "Daemon PID file must differ from the log, IQ input, WAV output and ALL.TXT";
    // Only a stream that overwrites from where it stands can be refused here.
    if (first.kind == Kind::standard_stream && second.kind == Kind::daemon_log)
        return capitalised(first.name
                           + " and --log-file refer to the same file; open it for appending (>>) or leave the log "
                             "to the daemon");
    return capitalised(first.name + " and " + second.name + " refer to the same file");
}

// Whether an audio channel's output lies in the picture directory: named in it (whatever path
// leads there), or an existing file that is also one of its files by a hard link. Pictures are
// saved there under names of the program's choosing, so every file in it may be a picture.
inline bool in_picture_directory(RunFile const& pictures, RunFile const& output)
{
    std::optional<FileIdentity> const directory = run_file_identity(pictures);
    if (!directory)
        return false;
    std::filesystem::path parent = std::filesystem::path(output.path).parent_path();
    if (parent.empty())
        parent = ".";
    if (file_identity(parent) == directory)
        return true;
    struct stat file {};
    if (!directory->below.empty() || ::stat(output.path.c_str(), &file) != 0 || file.st_nlink < 2)
        return false;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(pictures.path, error), end; !error && entry != end;
         entry.increment(error)) {
        struct stat picture {};
        if (::lstat(entry->path().c_str(), &picture) == 0 && picture.st_dev == file.st_dev
            && picture.st_ino == file.st_ino)
            return true;
    }
    return false;
}

// Why two files of the run cannot both be used, `first` being the one listed earlier, or nothing.
inline std::optional<std::string> run_files_clash(RunFile const& first, RunFile const& second)
{
    using Kind = RunFile::Kind;
    auto const is_channel_output = [](RunFile const& file) {
        return file.kind == Kind::channel_wav || file.kind == Kind::channel_socket;
    };
    if (!may_share_file(first, second)) {
        std::optional<FileIdentity> const identity = run_file_identity(first);
        if (identity && identity == run_file_identity(second))
            return same_file_message(first, second);
    }
    for (auto [pictures, output] : {std::pair{&first, &second}, std::pair{&second, &first}}) {
        if (pictures->kind == Kind::pictures && is_channel_output(*output) && in_picture_directory(*pictures, *output))
            return capitalised(output->name + " lies in " + pictures->name
                               + ", where the program saves its pictures; choose another directory");
    }
    return std::nullopt;
}

// The refusal of `added` when it clashes with one of `files` (which come first in the message),
// or nothing.
inline std::optional<std::string> same_file_refusal(std::vector<RunFile> const& files, RunFile const& added)
{
    for (RunFile const& file : files) {
        if (std::optional<std::string> refusal = run_files_clash(file, added))
            return refusal;
    }
    return std::nullopt;
}
