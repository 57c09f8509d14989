#pragma once

#include <string>
#include <vector>

#include "core/sig/mode.hpp"
#include "core/sig/olivia_entry.hpp"

namespace sig {

// The mode part of an analysis channel's configuration. "auto" or an empty variant means the
// channel leaves the choice to the classifier and the modem.
struct ModemSettings {
    bool modes_auto = true;
    std::vector<Mode> modes;
    std::string rtty = "auto";
    std::string wefax = "auto";
    bool report = true;
    std::vector<OliviaEntry> olivia;
};

}  // namespace sig
