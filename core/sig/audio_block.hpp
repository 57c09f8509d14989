#pragma once

#include <cstdint>
#include <vector>

namespace sig {

// One block of channel audio: 12000 Hz mono, as the analyzer and the survey hand it to modems.
struct AudioBlock {
    std::vector<float> samples;
    double time = 0.0;           // UTC seconds of the first sample
    bool discontinuity = false;  // audio was lost before this block
    std::uint64_t sequence = 0;
};

}  // namespace sig
