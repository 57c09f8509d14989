#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/sig/call_evidence.hpp"
#include "core/sig/mode.hpp"

namespace sig {

// The numbers travel in the journal and in SIG lines, so they never change. The picture kinds
// serve SSTV as well as WEFAX.
enum class EventKind : std::uint32_t {
    DETECTED = 0,
    LOST = 1,
    TEXT = 2,
    SPOT = 3,
    WEFAX_START = 4,
    WEFAX_PROGRESS = 5,
    WEFAX_IMAGE = 6,
    WEFAX_STOP = 7,
    UPDATED = 8,  // the wideband survey only
};

// One signal event. A producer fills what it knows; zero numbers and empty texts are completed
// by the analyzer (time, RF frequency, SNR, track) before the sinks see the event.
struct Event {
    EventKind kind = EventKind::DETECTED;
    double t = 0.0;  // UTC seconds
    Mode mode = Mode::UNKNOWN;
    std::string variant;
    double rf_hz = 0.0;
    double audio_hz = 0.0;
    double bw_hz = 0.0;
    double snr = 0.0;
    std::uint32_t track = 0;
    std::uint32_t signal_class = 0;
    std::string text;  // the decoded line, or the picture path of WEFAX_IMAGE
    std::vector<CallEvidence> calls;
    std::string call;
    float conf = 0.0f;
    std::int32_t lines = 0;
    std::int32_t lpm = 0;
    std::int32_t ioc = 0;
};

}  // namespace sig
