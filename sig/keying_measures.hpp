#pragma once

#include "sig/keying_stats.hpp"

namespace sig {

// What the narrowband keying test measures on a narrow signal cut out at 500 Hz: the keying lines
// of its envelope (peak over the envelope spectrum's noise, dB), the carrier that squaring
// restores (dB over the median bin) and the on/off timing of its envelope.
struct KeyingMeasures {
    double k31 = -100.0;  // the envelope's line at 31.25 Hz
    double k62 = -100.0;  // 62.5 Hz
    double k45 = -100.0;  // 45.45 Hz
    double k50 = -100.0;  // 50 Hz
    double k75 = -100.0;  // 75 Hz
    double q2 = -100.0;   // strongest line within 30 Hz of the centre of the squared baseband
    bool timed = false;   // the envelope had enough values to time its keying
    KeyingStats keying;
};

}  // namespace sig
