#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sig/analysis_channel_spec.hpp"
#include "sig/event_sink.hpp"

// The start-up analysis configuration a run hands to its live engine: the channels to start
// with, the sinks every analyzer reports to, and what the analyzers need of the run.
struct AnalysisSettings {
    std::vector<AnalysisChannel> channels;               // added at start, in order
    std::vector<std::shared_ptr<sig::EventSink>> sinks;  // every analyzer's, in this order
    std::shared_ptr<sig::EventSink> reporter;            // PSK Reporter spots; empty without a client
    std::string image_dir;                               // where SSTV and WEFAX pictures go
    std::string receiver;                                // receiver label of the events
    double replay_origin = 0.0;             // UNIX seconds of the replayed file's start; 0 when live
    bool iq_replay = false;                 // the capture is a recorded IQ file
    bool known_channels = false;            // run the built-in known-channel windows
    bool known_channels_report = false;     // their spots may be reported
};
