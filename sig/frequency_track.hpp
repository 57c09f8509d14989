#pragma once

#include <cstdint>
#include <vector>

namespace sig {

// The instantaneous frequency of a complex baseband, sample by sample.
struct FrequencyTrack {
    std::vector<float> hz;            // relative to the baseband centre; element 0 is 0
    std::vector<std::uint8_t> valid;  // 1 where this sample and the one before stand above the gate
    double rate = 0.0;                // of the baseband
    double envelope_cv = 1.0;         // coefficient of variation of the magnitudes
};

}  // namespace sig
