#pragma once

#include <cstdint>

#include "core/sig/candidate.hpp"
#include "sig/signal_group.hpp"

namespace sig {

// A classifier track: the public candidate and what the tracker and the tests keep of it.
struct ClassifierTrack : Candidate {
    GroupKind kind = GroupKind::SINGLE;
    double spacing_hz = 0.0;  // FSK shift, comb spacing or facsimile tone offset
    double low_hz = 0.0;      // the track's band
    double high_hz = 0.0;
    double kind_time = 0.0;   // last match with a group of several detections
    double smoothed_hz = 0.0; // the smoothed centre behind audio_hz
    std::uint32_t members = 0;
    std::uint32_t max_members = 0;
    std::uint32_t kind_hits = 0;  // consecutive matches with a group of the same kind
    std::uint64_t last_attempt_frame = 0;
    std::uint32_t attempts = 0;
    std::uint32_t failures = 0;   // rejections by the RTTY test
    bool confirmed = false;       // a test accepted it; it is never tested again
    bool started = false;         // these three describe the present classify call
    bool changed = false;
    bool classified = false;
};

}  // namespace sig
