#pragma once

// One analysis channel: a passband of the capture and the modes its analyzer runs there. Read
// by the option layer, the live engine and the analyzers; its spec text lives in sig/.

#include <string>
#include <vector>

#include "core/sig/mode.hpp"
#include "core/sig/olivia_entry.hpp"

struct AnalysisChannel {
    std::string id;
    double dial_hz = 0.0;         // suppressed-carrier frequency
    double bandwidth_hz = 3000.0;  // audio passband width
    bool usb = true;              // false: lower sideband
    // From modes_auto to olivia the fields have the layout of the modem settings.
    bool modes_auto = true;           // let the classifier find and identify signals
    std::vector<sig::Mode> modes;     // fixed modes, in spec order, when modes_auto is false
    std::string rtty = "auto";        // RTTY variant
    std::string wefax = "auto";       // WEFAX variant
    bool report = true;               // spot events may leave the analyzer
    std::vector<sig::OliviaEntry> olivia;  // fixed Olivia decoders
    bool enabled = true;  // a disabled channel is kept but not fitted to the capture

    friend bool operator==(const AnalysisChannel&, const AnalysisChannel&) = default;
};
