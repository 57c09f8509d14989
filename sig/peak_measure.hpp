#pragma once

namespace sig {

// The strongest line of a spectrum near 0 Hz.
struct PeakMeasure {
    double hz = 0.0;             // 0 when none
    double snr_db = -100.0;      // against the median bin; -100 when none
    double concentration = 0.0;  // share of all power in the peak bin and its two neighbours
};

}  // namespace sig
