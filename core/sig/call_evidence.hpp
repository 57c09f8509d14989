#pragma once

#include <string>

namespace sig {

// One call sign found in a decoded line, with how it was found ("CQ", "DE", "REPEAT", "BARE",
// "ADDRESSEE") and how far it is trusted.
struct CallEvidence {
    std::string call;
    std::string grid;
    float conf = 0.0f;
    std::string evidence;
};

}  // namespace sig
