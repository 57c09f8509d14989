#pragma once

#include <string>
#include <vector>

#include "core/sig/decoded_line.hpp"
#include "core/sig/event.hpp"

namespace sig {

// What a modem hands back after a block. text, events and lines are what arrived since the last
// call; frequency, variant and quality are snapshots of the modem's present view.
struct ModemOutput {
    std::string text;
    std::vector<Event> events;
    double frequency_hz = 0.0;  // 0 when the modem has nothing to report
    std::string variant;        // e.g. "45.45/170"; empty when none
    float quality = 0.0f;       // 0..1
    std::vector<DecodedLine> lines;
};

}  // namespace sig
