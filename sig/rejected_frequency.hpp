#pragma once

namespace sig {

// A frequency where the RTTY test keeps failing: no FSK pair forms around it until `until`.
struct RejectedFrequency {
    double hz = 0.0;
    double until = 0.0;  // UTC seconds
};

}  // namespace sig
