#pragma once

#include <cstdint>

namespace sig {

// What the survey makes of an emitter from its spectrum and envelope. The numbers travel in
// events (signal_class), the journal and SIG lines, so they never change. NONE prints as
// "UNKNOWN".
enum class SignalClass : std::uint32_t {
    NONE = 0,
    NOISE = 1,
    CARRIER = 2,
    CW = 3,
    SSB = 4,
    AM = 5,
    FM = 6,
    PSK = 7,
    OFDM = 8,
};

}  // namespace sig
