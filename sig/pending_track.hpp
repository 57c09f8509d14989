#pragma once

#include <cstdint>

#include "sig/signal_group.hpp"

namespace sig {

// A signal seen in a few frames, not yet a track.
struct PendingTrack {
    GroupKind kind = GroupKind::SINGLE;
    double centre = 0.0;
    double bandwidth = 0.0;
    double low_hz = 0.0;
    double high_hz = 0.0;
    double snr = 0.0;
    double spacing_hz = 0.0;
    double first_time = 0.0;
    std::uint64_t first_frame = 0;
    std::uint64_t last_hit_frame = 0;
    std::uint32_t members = 0;
    std::uint32_t hits = 0;
    std::uint32_t misses = 0;
    bool hit = false;      // hit in the present frame
    bool matched = false;  // matched by a group in the present frame
};

}  // namespace sig
