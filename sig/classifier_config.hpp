#pragma once

#include <cstdint>

namespace sig {

// The settings of one signal classifier, given once at construction. The values written here
// are those of an analysis channel of 3000 Hz; callers set every field.
struct ClassifierConfig {
    std::int32_t fft_size = 4096;   // raised to 256 when smaller
    std::int32_t hop = 1024;        // samples between frames, clamped to 1..fft_size
    double threshold_db = 6.0;      // detection threshold over the noise floor
    std::uint32_t min_hits = 4;     // strong hits a pending signal needs to become a track
    double hold_s = 3.0;            // seconds without presence before a track is lost
    double low_hz = 200.0;          // searched audio range
    double high_hz = 3000.0;
    bool verify = true;             // run the tests that name a track's mode
};

}  // namespace sig
