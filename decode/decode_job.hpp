#pragma once

#include <vector>

#include "core/digital_mode.hpp"

// One complete UTC interval of one decoder channel, from the capture to the decoder pool.
struct DecodeJob {
    double start_utc = 0.0;  // interval number x interval length, seconds since the UNIX epoch
    double dial_hz = 0.0;    // dial frequency of the channel's slot
    std::vector<float> audio;  // exactly one interval at 12000 Hz, in [-1, 1]
    DigitalMode mode = DigitalMode::FT8;
};
