#pragma once

#include <string>
#include <vector>

#include "core/options.hpp"

// A file this run reads as its IQ input or will write, as the start-up checks see it.
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
    };
    Kind kind;
    std::string name;  // how an error names it: the option, or what it is and where
    std::string path;
};

// The IQ input and every file and directory this run will write with these options, in the
// order above: only those the run actually uses (ALL.TXT, history and PSK Reporter state in the
// wideband modes, the PID file and log with --daemon, the journals and the picture directory
// with the analysis or survey that writes them). May throw when the state directory has no home.
std::vector<RunFile> run_files(Options const& options);

// The start-up checks of the files a run touches, before anything is opened:
// - --iq-file must be an existing regular file ("IQ input must be an existing regular file");
// - no two of run_files may be the same file (same device and inode when it exists, the same
//   name in the same directory when it does not yet, symbolic and hard links followed): the
//   error names both. The signal and survey journals alone may share a file: both append whole
//   locked records.
// Does nothing for a run that reads no IQ file and writes at most one file.
void check_run_files(Options const& options);
