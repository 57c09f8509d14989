#pragma once

// The Olivia variants ("tones/bandwidth") the Olivia decoder can run, kept in one place so that
// an analysis channel refuses a fixed Olivia entry at once instead of failing later, when its
// decoder is built.

#include <array>

namespace sig {

// Every bandwidth an Olivia variant may have, in ascending order.
inline constexpr std::array<int, 5> olivia_bandwidths_hz{125, 250, 500, 1000, 2000};

// The accepted (tones, bandwidth) pairs; note that 500 Hz has no 32-tone variant.
inline bool is_olivia_variant(int tones, int bandwidth_hz) {
    switch (bandwidth_hz) {
    case 125:
    case 250: return tones == 4 || tones == 8;
    case 500: return tones == 4 || tones == 8 || tones == 16 || tones == 64;
    case 1000:
    case 2000: return tones == 4 || tones == 8 || tones == 16 || tones == 32 || tones == 64;
    default: return false;
    }
}

// The tone count assumed for a bandwidth when no accepted estimate is at hand; 0 for a
// bandwidth no variant has.
inline int olivia_default_tones(int bandwidth_hz) {
    switch (bandwidth_hz) {
    case 125: return 4;
    case 250: return 8;
    case 500: return 16;
    case 1000: return 32;
    case 2000: return 64;
    default: return 0;
    }
}

}  // namespace sig
