#pragma once

#include <cstdint>
#include <string>

namespace sig {

// One structured line reported by the external JTTY decoder.
struct DecodedLine {
    std::uint32_t id = 0;
    double value = 0.0;  // audio frequency, Hz
    double count = 0.0;  // SNR, dB
    double time = 0.0;   // UTC seconds; 0 or less when the line carries no time
    std::string text;
};

}  // namespace sig
