#include "sig/modems/sstv_sync_fit.hpp"

#include <cmath>

namespace sig {
namespace {

constexpr double kOutlierSamples = 7.2;  // 0.6 ms

std::optional<SstvSyncFit> least_squares(const std::vector<SstvSync>& syncs) {
    if (syncs.size() < 2) return std::nullopt;
    double sk = 0.0, sp = 0.0, skk = 0.0, skp = 0.0;
    for (const auto& [k, p] : syncs) {
        sk += k;
        sp += static_cast<double>(p);
        skk += static_cast<double>(k) * k;
        skp += static_cast<double>(k) * static_cast<double>(p);
    }
    const auto n = static_cast<double>(syncs.size());
    const double denominator = n * skk - sk * sk;
    if (denominator == 0.0) return std::nullopt;
    SstvSyncFit line;
    line.slope = (n * skp - sk * sp) / denominator;
    line.intercept = (sp - line.slope * sk) / n;
    return line;
}

}  // namespace

std::optional<SstvSyncFit> fit_sstv_syncs(const std::vector<SstvSync>& syncs, int minimum) {
    if (static_cast<int>(syncs.size()) < minimum) return std::nullopt;
    const std::optional<SstvSyncFit> first = least_squares(syncs);
    if (!first) return std::nullopt;
    std::vector<SstvSync> kept;
    kept.reserve(syncs.size());
    for (const SstvSync& sync : syncs)
        if (std::abs(static_cast<double>(sync.second) - (first->slope * sync.first + first->intercept)) <= kOutlierSamples)
            kept.push_back(sync);
    if (static_cast<int>(kept.size()) < minimum) return std::nullopt;
    return least_squares(kept);
}

}  // namespace sig
