#pragma once

#include <cstdint>

namespace sig {

// The numbers are part of the outside world: they appear in events, in the journal and in
// ANALYZE STATUS, so they never change.
enum class Mode : std::uint32_t {
    UNKNOWN = 0,
    PSK31 = 1,
    QPSK31 = 2,  // classified, but no modem decodes it
    PSK63 = 3,
    RTTY = 4,
    OLIVIA = 5,
    CW = 6,
    WEFAX = 7,
    SSTV = 8,
    JTTY = 9,
};

// Upper-case name of a mode; values outside the list (e.g. a u32 read from an event) are "UNKNOWN".
inline const char* mode_name(Mode mode) {
    switch (mode) {
    case Mode::PSK31: return "PSK31";
    case Mode::QPSK31: return "QPSK31";
    case Mode::PSK63: return "PSK63";
    case Mode::RTTY: return "RTTY";
    case Mode::OLIVIA: return "OLIVIA";
    case Mode::CW: return "CW";
    case Mode::WEFAX: return "WEFAX";
    case Mode::SSTV: return "SSTV";
    case Mode::JTTY: return "JTTY";
    case Mode::UNKNOWN: break;
    }
    return "UNKNOWN";
}

inline const char* mode_name(std::uint32_t mode) { return mode_name(static_cast<Mode>(mode)); }

}  // namespace sig
