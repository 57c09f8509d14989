#pragma once

#include <string>
#include <vector>

#include "sig/analysis_channel_spec.hpp"

// The start-up analysis configuration a run hands to its live engine. The event sinks and the
// reporter sink join this record together with the analyzers that feed them.
struct AnalysisSettings {
    std::vector<AnalysisChannel> channels;  // replayed as ANALYZE ADD at start
    std::string image_dir;                  // where SSTV and WEFAX pictures go
    std::string receiver;                   // receiver label of the events
    double replay_origin = 0.0;             // UNIX seconds of the replayed file's start; 0 when live
    bool iq_replay = false;                 // the capture is a recorded IQ file
    bool known_channels = false;            // run the built-in known-channel windows
    bool known_channels_report = false;     // their spots may be reported
};
