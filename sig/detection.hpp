#pragma once

#include <cstdint>

namespace sig {

// One contiguous stretch of occupied bins of one classifier frame.
struct Detection {
    std::int32_t lo = 0, hi = 0;                // first and last bin
    std::int32_t extent_lo = 0, extent_hi = 0;  // the bins it covers after absorbing spurs
    std::int32_t edge_lo = 0, edge_hi = 0;      // outermost bins within 10 dB of the peak
    std::int32_t peak = 0;                      // bin of the highest averaged level
    double peak_db = 0.0;
    double snr = 0.0;          // peak level over the noise floor there, dB
    double centre = 0.0;       // Hz
    double bandwidth = 0.0;    // Hz, from edge to edge
    double power = 0.0;        // averaged linear power over the edges
    double excess = 0.0;       // power above the floor, in units of the floor at the peak
    bool present = false;      // the unaveraged level reaches the threshold near the peak
    bool strong = false;       // ... and 2 dB more
    bool used = false;         // taken by a group in this frame
};

}  // namespace sig
