#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/classifier_config.hpp"

// Runs the signal classifier over a recording the way an analysis channel does (blocks of audio
// with their times) and keeps what happened to every track.
namespace testbed {

struct ClassifiedTrack {
    sig::Candidate last;         // the latest values the classifier reported
    double started_at = -1.0;    // end time of the block whose call started it
    double classified_at = -1.0; // ... classified it; -1: never
    double lost_at = -1.0;       // ... lost it; -1: still running at the end
    int started_count = 0;       // how many calls listed it as started (must be 1)
    int classified_count = 0;
};

struct ClassifierRun {
    std::map<std::uint32_t, ClassifiedTrack> tracks;  // by track number
    std::size_t calls = 0;
};

// The configuration an analysis channel of this bandwidth uses.
sig::ClassifierConfig channel_classifier_config(double bandwidth_hz = 3000.0);

// Feeds the audio in blocks of block_size samples, the first starting at start_time.
ClassifierRun run_classifier(const std::vector<float>& audio, const sig::ClassifierConfig& config,
                             std::size_t block_size = 1200, double start_time = 1000.0);

// The classified track nearest audio_hz within tolerance_hz (by its last centre), or nullptr.
const ClassifiedTrack* classified_near(const ClassifierRun& run, double audio_hz, double tolerance_hz);

// "PSK31", "RTTY 45.45/170", "OLIVIA 8/250", ...: the mode and variant a track was named.
std::string named(const sig::Candidate& candidate);

// The tracks named with a mode that starts a modem (not UNKNOWN, not QPSK31).
std::vector<const ClassifiedTrack*> modem_tracks(const ClassifierRun& run);

}  // namespace testbed
