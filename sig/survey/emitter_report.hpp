#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/sig/call_evidence.hpp"

namespace sig {

// One emitter the survey thinks worth reporting, as the engine publishes it after a block.
struct EmitterReport {
    std::uint64_t id = 0;
    double rf_hz = 0.0;      // survey centre + offset
    double offset_hz = 0.0;  // from the survey centre
    double bw_hz = 0.0;
    double snr = 0.0;  // dB
    double first_seen = 0.0;  // UTC seconds
    double last_seen = 0.0;
    bool steady = false;  // matched in more than 70 % of its recent frames
    std::uint32_t mode = 0;  // sig::Mode of a locked decoder, else 0
    std::string variant;
    float quality = 0.0f;
    bool locked = false;
    std::uint32_t signal_class = 0;  // sig::SignalClass
    std::uint32_t category = 0;      // 0 inside an amateur band, 1 elsewhere
    std::string text;                // the rolling decoded text
    std::vector<CallEvidence> calls;
    bool decoding = false;  // a decoder runs on it
};

}  // namespace sig
