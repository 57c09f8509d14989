#pragma once

#include <cstdint>

#include "sig/frequency_track.hpp"

namespace sig {

// How a frequency track around 1900 Hz spreads over the facsimile band: smoothed offsets and
// the four 200 Hz bins covering -400..+400 Hz.
struct OffsetHistogram {
    double envelope_cv = 0.0;      // copied from the track
    double within_fraction = 0.0;  // share of smoothed offsets of magnitude at most 430 Hz
    double spread_hz = 0.0;        // their sample standard deviation
    std::uint32_t occupied_bins = 0;  // bins holding at least 5 % of them
    std::uint64_t count = 0;          // smoothed offsets
};

// Five-sample means of the valid offsets of a track, summarised.
OffsetHistogram offset_histogram(const FrequencyTrack& track);

}  // namespace sig
