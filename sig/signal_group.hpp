#pragma once

#include <cstdint>
#include <vector>

namespace sig {

// What a group of detections looks like; a track keeps the kind of the groups it matched.
enum class GroupKind : std::uint32_t {
    SINGLE = 0,       // one detection
    FSK_PAIR = 1,     // two tones at an RTTY shift
    TONE_COMB = 2,    // equally spaced tones (MFSK)
    IMAGE_BAND = 3,   // the facsimile band filled
    WEFAX_TONES = 4,  // a facsimile start or stop pattern
};

// One signal of one classifier frame, made of one or more detections.
struct SignalGroup {
    GroupKind kind = GroupKind::SINGLE;
    double centre = 0.0;
    double bandwidth = 0.0;
    double low_hz = 0.0;
    double high_hz = 0.0;
    double snr = 0.0;        // the largest member snr, not below 0
    double peak_db = 0.0;    // the largest member peak
    double spacing_hz = 0.0; // FSK shift, comb spacing or facsimile tone offset
    double excess = 0.0;     // summed over the members
    std::uint32_t members = 0;  // 0 for SINGLE
    bool present = false;
    bool strong = false;
    std::vector<std::size_t> member_indices;
};

}  // namespace sig
