#pragma once

#include <cstdint>
#include <string>

#include "radio/iq_level_meter.hpp"

// Reply texts of the RADIO status requests, shared by every backend that answers them.

struct OverloadStatus {
    std::string state = "unknown";  // "unknown", "clear", "detected" or "unavailable"
    std::uint64_t events = 0;
};

struct IfGainStatus {
    std::string state = "waiting";  // "waiting", "ready" or "unavailable"
    std::uint32_t reduction_db = 0;  // meaningful only when "ready"
};

struct StrongestSignal {
    bool present = false;
    double frequency_hz = 0.0;
    double level_db = 0.0;
};

struct RadioMeter {
    IqLevels levels;
    OverloadStatus overload;
    IfGainStatus if_gain;
    StrongestSignal strongest;  // absent unless set
};

// The overload word keeps the state in bits 0..1 (2 detected, 1 clear, 0 or 3 unknown) and the
// number of overload events above them.
OverloadStatus decode_overload_state(std::uint64_t word);

// "OK OVERLOAD state=...,events=N"
std::string format_overload_reply(OverloadStatus const& status);
// "OK IFGAIN state=...,reduction=N" (reduction "na" unless the state is "ready")
std::string format_ifgain_reply(IfGainStatus const& status);
// "OK STRONGEST <frequency> <level>", both with 17 significant digits.
std::string format_strongest_reply(StrongestSignal const& strongest);
// The LEVELS, OVERLOAD and IFGAIN replies (and STRONGEST when present) on separate lines, with
// no line feed at the end.
std::string format_meter_reply(RadioMeter const& meter);
