#include "app/run_file_checks.hpp"

#include <sys/stat.h>

#include <optional>
#include <stdexcept>
#include <vector>

#include "core/file_identity.hpp"

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
            if (!identities[i] || identities[i] != identities[j] || may_share_file(files[i].kind, files[j].kind))
                continue;
            throw std::runtime_error(same_file_message(files[i], files[j]));
        }
    }
}
