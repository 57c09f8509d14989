#pragma once

#include <string>

namespace sig {

// The channel an event belongs to, as every event sink receives it.
struct ChannelInfo {
    std::string channel;  // analysis channel identifier; "survey" for the wideband survey
    std::string receiver;
    double dial_hz = 0.0;
    bool usb = true;  // true: RF = dial + audio; false: RF = dial - audio
    double bandwidth_hz = 3000.0;
};

}  // namespace sig
