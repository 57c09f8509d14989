#pragma once

#include <string>

#include "core/sig/channel_info.hpp"

namespace sig {

// The channel context a modem keeps for naming picture files and building events; its channel
// part is exactly what the sinks receive.
struct ModemContext : ChannelInfo {
    std::string image_dir;
};

}  // namespace sig
