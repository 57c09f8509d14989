#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

// The line the SSTV receiver fits through the syncs of a picture: apart from the receiver so
// that tests can reach it.
namespace sig {

// One sync found: the period it starts and its position in samples.
using SstvSync = std::pair<int, std::int64_t>;

struct SstvSyncFit {
    double slope = 0.0;      // samples per period
    double intercept = 0.0;  // where the sync of period 0 lies
};

// Least squares through the syncs; every sync more than 7.2 samples (0.6 ms) off that line is
// dropped and the line fitted again on the rest. Nothing when fewer than `minimum` syncs are
// there before or after the drop, or when they make no line (fewer than two, or one period).
std::optional<SstvSyncFit> fit_sstv_syncs(const std::vector<SstvSync>& syncs, int minimum);

}  // namespace sig
