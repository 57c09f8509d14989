#pragma once

#include <cstdint>
#include <string>

// One spot decoded from one channel interval. It carries no time and no mode: both belong to the
// interval it came from, so every consumer receives them alongside.
struct DecodedSpot {
    std::int32_t snr = 0;        // dB, -50..50
    std::int32_t audio_hz = 0;   // frequency inside the 12000 Hz channel
    double dt = 0.0;             // time offset in seconds, -10..10
    std::string message;         // decoded text (JS8: the text after the TAB)
    std::string sender;          // JS8 sender call; WSPR call parsed from the message
    std::string grid;            // JS8 sender locator; WSPR locator parsed from the message
    std::string frame;           // JS8 frame (12 characters); empty for other modes
    std::int32_t flags = 0;      // JS8 frame flags 0..7
    std::int32_t dbm = -1;       // WSPR reported power; -1 when none
    std::int32_t drift = 0;      // WSPR drift, -10..10
};
