#pragma once

#include "core/digital_mode.hpp"
#include "decode/interval_audio.hpp"

// One complete UTC interval of one decoder channel, from the capture to the decoder pool; moved,
// never copied. Its samples stay its own until it is destroyed (the worker has finished with
// it, or it was dropped), and only then may the capture fill their storage again.
struct DecodeJob {
    double start_utc = 0.0;  // interval number x interval length, seconds since the UNIX epoch
    double dial_hz = 0.0;    // dial frequency of the channel's slot
    IntervalAudio audio;     // exactly one interval at 12000 Hz, in [-1, 1]
    DigitalMode mode = DigitalMode::FT8;
};
