#pragma once

#include <cstdint>
#include <string>

// One spot queued for PSK Reporter. Moved, never shared: the reporter's queue owns its spots.
struct PskSpot {
    std::string sender_call;     // call sign of the heard station
    std::string sender_grid;     // its Maidenhead locator; may be empty
    std::uint32_t frequency_hz = 0;  // RF frequency
    std::uint32_t time = 0;      // UNIX seconds of the observation
    std::int32_t snr = 0;        // dB
    std::string mode;            // as sent to PSK Reporter: "FT8", "FT4", "JS8", "WSPR", ...
};
