#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/run_file.hpp"
#include "sig/analysis_channel_spec.hpp"
#include "sig/event_sink.hpp"

// The start-up analysis configuration a run hands to its live engine: the channels to start
// with, the sinks every analyzer reports to (also of channels added later), what the analyzers
// need of the run, and the run's files that the channels' outputs must leave alone.
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
    // Every file the run reads or writes (run_files): an audio channel's WAV file or socket,
    // at start or added later, may be none of them.
    std::vector<RunFile> run_files;
};
