#pragma once

#include <string>

namespace sig {

// One fixed Olivia decoder that a channel asks for.
struct OliviaEntry {
    std::string format;  // "tones/bandwidth", e.g. "8/250"
    double audio_hz = 0.0;

    friend bool operator==(const OliviaEntry&, const OliviaEntry&) = default;
};

}  // namespace sig
