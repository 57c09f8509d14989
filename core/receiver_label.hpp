#pragma once

#include <filesystem>
#include <string>

#include "core/options.hpp"

// The receiver a run's events are labelled with (journal records, the survey's status line):
// the backend with the device's serial when one was chosen, or for a replay "iq-file" and the
// recording's file name, since no receiver of the backend option is involved.
inline std::string receiver_label(Options const& options)
{
    if (!options.iq_file.empty())
        return "iq-file " + std::filesystem::path(options.iq_file).filename().string();
    return options.backend + (options.serial.empty() ? std::string() : " " + options.serial);
}
