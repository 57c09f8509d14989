#pragma once

#include <cstdint>

namespace sig {

// A comb of equally spaced tones found in a dB spectrum (an MFSK signal); tones 0: none found,
// and then every field is 0.
struct ToneComb {
    double spacing = 0.0;       // Hz, equal to the symbol rate of the signals looked for
    double contrast = 0.0;      // mean dB on the tones minus mean dB halfway between them
    double strongest_hz = 0.0;  // the tone position with the highest level
    double first_hz = 0.0;      // the lowest tone position
    std::uint32_t tones = 0;    // 4, 8, 16, 32 or 64
    std::uint32_t width_hz = 0; // tones x spacing: 125, 250, 500, 1000 or 2000
    std::uint32_t peaks = 0;    // local maxima of the smoothed spectrum in the searched range
};

}  // namespace sig
