#pragma once

// The files a run reads and writes, and the rule that keeps them apart: no output may be the IQ
// input or another output, whatever path, hard link or symbolic link names it. The start-up
// checks apply it to the whole list; the live engine applies it again to every audio channel
// output added while the run goes on.

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/file_identity.hpp"
#include "core/options.hpp"
#include "core/state_directory.hpp"

// A file this run reads as its IQ input or will write.
struct RunFile {
    enum class Kind {
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
        control_socket,
        channel_wav,     // an audio channel's WAV recording
        channel_socket,  // an audio channel's audio socket (a listener's, not ours)
    };
    Kind kind;
    std::string name;  // how an error names it: the option, or what it is and where
    std::string path;
};

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

// The IQ input and every file and directory this run will write with these options, in the
// order of the kinds: only those the run actually uses (ALL.TXT, history and PSK Reporter state
// in the wideband modes, the PID file and log with --daemon, the journals and the picture
// directory when analysis or the survey may write them, the control socket and the audio
// channels' outputs in the wideband modes). May throw when the state directory has no home.
inline std::vector<RunFile> run_files(Options const& o)
{
    using Kind = RunFile::Kind;
    std::vector<RunFile> files;
    auto const add = [&files](Kind kind, std::string name, std::string const& path) {
        if (!path.empty())
            files.push_back({kind, std::move(name), path});
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
        add(Kind::history, "--history-db", o.history_db);
    if (analysis)
        add(Kind::signal_journal, "--signal-journal", o.signal_journal);
    if (survey)
        add(Kind::survey_journal, "--survey-journal", o.survey_journal);
    if (analysis || survey)
        add(Kind::pictures, "--wefax-images", o.wefax_images);
    if (o.pskreporter) {
        std::string const sent = state_directory("psk-reports.sqlite3");
        add(Kind::sent_batches, "the PSK Reporter sent-batch record " + sent, sent);
        std::string const suppression = state_directory("psk-dedup.sqlite3");
        add(Kind::suppression, "the PSK Reporter suppression state " + suppression, suppression);
    }
    if (o.wideband) {
        add(Kind::control_socket, "--audio-control", o.audio_control);
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

// Pairs that may name one file: both journals append whole locked records, and several audio
// channels may send to one listener.
inline bool may_share_file(RunFile::Kind a, RunFile::Kind b)
{
    using Kind = RunFile::Kind;
    auto const pair = [a, b](Kind x, Kind y) { return (a == x && b == y) || (a == y && b == x); };
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
    std::string message = first.name + " and " + second.name + " refer to the same file";
    if (message.front() >= 'a' && message.front() <= 'z')
        message.front() = static_cast<char>(message.front() - 'a' + 'A');
    return message;
}

// The refusal of `added` when it is one of `files` (which come first in the message), or
// nothing when it is a file of its own or may share.
inline std::optional<std::string> same_file_refusal(std::vector<RunFile> const& files, RunFile const& added)
{
    std::optional<FileIdentity> const identity = file_identity(added.path);
    if (!identity)
        return std::nullopt;
    for (RunFile const& file : files) {
        if (!may_share_file(file.kind, added.kind) && file_identity(file.path) == identity)
            return same_file_message(file, added);
    }
    return std::nullopt;
}
