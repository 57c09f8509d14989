#include "app/run_file_checks.hpp"

#include <sys/stat.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

void check_run_files(Options const& options)
{
    if (!options.iq_file.empty()) {
        struct stat input {};
        if (::stat(options.iq_file.c_str(), &input) != 0 || !S_ISREG(input.st_mode))
            throw std::runtime_error("IQ input must be an existing regular file");
    }

    std::vector<RunFile> const files = run_files(options);
    for (std::size_t i = 0; i < files.size(); ++i) {
        for (std::size_t j = i + 1; j < files.size(); ++j) {
            if (std::optional<std::string> const clash = run_files_clash(files[i], files[j]))
                throw std::runtime_error(*clash);
        }
    }
}
