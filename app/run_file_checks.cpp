#include "app/run_file_checks.hpp"

#include <sys/stat.h>

#include <initializer_list>
#include <optional>
#include <stdexcept>

#include "core/file_identity.hpp"
#include "core/state_directory.hpp"

namespace {

using Kind = RunFile::Kind;

bool is_one_of(Kind kind, std::initializer_list<Kind> kinds)
{
    for (Kind k : kinds) {
        if (k == kind)
            return true;
    }
    return false;
}

// The texts the daemon and IQ checks have always used for their pairs; every other pair is named
// by its two options.
std::string clash_message(RunFile const& first, RunFile const& second)
{
    if (first.kind == Kind::iq_input && second.kind == Kind::wav)
        return "IQ input and WAV output refer to the same file";
    if (first.kind == Kind::iq_input && second.kind == Kind::all_txt)
        return "IQ input and ALL.TXT output refer to the same file";
    std::initializer_list<Kind> const daemon_neighbours = {Kind::iq_input, Kind::wav, Kind::all_txt};
    if ((second.kind == Kind::daemon_log && is_one_of(first.kind, daemon_neighbours)) ||
        (first.kind == Kind::daemon_log && second.kind == Kind::pid_file))
        return "Daemon log must differ from PID file, IQ input, WAV output and ALL.TXT";
    if (second.kind == Kind::pid_file && is_one_of(first.kind, daemon_neighbours))
        return "Daemon PID file must differ from the log, IQ input, WAV output and ALL.TXT";
    return first.name + " and " + second.name + " refer to the same file";
}

}  // namespace

std::vector<RunFile> run_files(Options const& o)
{
    std::vector<RunFile> files;
    auto const add = [&files](Kind kind, std::string name, std::string const& path) {
        if (!path.empty())
            files.push_back({kind, std::move(name), path});
    };
    bool const analysis = o.wideband && (!o.analysis_channels.empty() || o.known_channels);
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
    return files;
}

void check_run_files(Options const& options)
{
    if (!options.iq_file.empty()) {
        struct stat input {};
        if (::stat(options.iq_file.c_str(), &input) != 0 || !S_ISREG(input.st_mode))
            throw std::runtime_error("IQ input must be an existing regular file");
    }

    std::vector<RunFile> const files = run_files(options);
    std::vector<std::optional<FileIdentity>> identities;
    identities.reserve(files.size());
    for (RunFile const& file : files)
        identities.push_back(file_identity(file.path));

    for (std::size_t i = 0; i < files.size(); ++i) {
        for (std::size_t j = i + 1; j < files.size(); ++j) {
            if (!identities[i] || identities[i] != identities[j])
                continue;
            if (files[i].kind == Kind::signal_journal && files[j].kind == Kind::survey_journal)
                continue;
            throw std::runtime_error(clash_message(files[i], files[j]));
        }
    }
}
