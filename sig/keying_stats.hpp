#pragma once

#include <cstdint>
#include <vector>

namespace sig {

// The on/off timing of a narrowband envelope; all zero when not computed.
struct KeyingStats {
    double duty = 0.0;              // share of samples in the on state
    double dynamic_range_db = 0.0;  // 90th against 10th percentile of the envelope power
    double on_cv = 0.0;             // relative standard deviation of the on durations
    double off_cv = 0.0;
    double median_off_s = 0.0;
    std::int32_t transitions = 0;
    std::vector<double> on_durations;   // seconds
    std::vector<double> off_durations;  // seconds
};

}  // namespace sig
