#pragma once

#include <vector>

#include "core/sig/candidate.hpp"

namespace sig {

// What one classify call changed. The first three lists are in order of track creation; lost is
// in order of removal.
struct ClassifierResult {
    std::vector<Candidate> started;     // tracks created in this call
    std::vector<Candidate> classified;  // tracks a test accepted in this call
    std::vector<Candidate> updated;     // tracks created, matched or classified in this call
    std::vector<Candidate> lost;        // tracks removed in this call, with their last values
};

}  // namespace sig
