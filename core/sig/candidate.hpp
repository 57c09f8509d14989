#pragma once

#include <cstdint>
#include <string>

#include "core/sig/mode.hpp"

namespace sig {

// The classifier's public record of one signal.
struct Candidate {
    std::uint32_t track = 0;
    Mode mode = Mode::UNKNOWN;
    std::string variant;  // sub-mode estimate such as "45.45/170" or "32/1000"; empty when none
    double audio_hz = 0.0;      // centre of the signal in the channel audio
    double bandwidth_hz = 0.0;  // occupied bandwidth; 0 or less when unknown
    double snr_db = 0.0;
    double snr_2500_db = -999.0;  // -999 until measured
    double start_time = 0.0;      // UTC seconds
    double last_seen = 0.0;
    double symbol_rate = 0.0;
    std::uint32_t tones = 0;
    float quality = 0.0f;
};

}  // namespace sig
