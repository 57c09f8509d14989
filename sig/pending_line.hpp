#pragma once

#include <cstdint>
#include <string>

#include "core/sig/mode.hpp"

namespace sig {

// The unfinished line of one track, with the track's description as of its latest text.
struct PendingLine {
    std::string text;    // never begins with a blank, never holds two in a row, no control bytes
    double last_t = 0.0;  // UTC seconds of the latest append that left text in the line
    std::uint32_t track = 0;
    Mode mode = Mode::UNKNOWN;
    std::string variant;
    double audio_hz = 0.0;
    double bandwidth_hz = 0.0;
    double snr_db = 0.0;
    double snr_2500_db = -999.0;  // -999 when not measured
};

}  // namespace sig
