#include "sig/offset_histogram.hpp"

#include <array>
#include <cmath>
#include <vector>

namespace sig {

OffsetHistogram offset_histogram(const FrequencyTrack& track) {
    OffsetHistogram result;
    result.envelope_cv = track.envelope_cv;
    const std::size_t n = track.hz.size();
    if (n < 5 || track.valid.size() != n) return result;
    std::vector<float> kept;
    std::array<std::uint64_t, 4> histogram{};
    std::uint64_t within = 0;
    for (std::size_t i = 2; i + 2 < n; ++i) {
        if (!track.valid[i]) continue;
        const float s = (track.hz[i - 2] + track.hz[i - 1] + track.hz[i] + track.hz[i + 1] + track.hz[i + 2]) / 5.0f;
        kept.push_back(s);
        if (std::fabs(s) <= 430.0f) ++within;
        const double bin = std::floor((400.0 + s) / 200.0);
        if (bin >= 0.0 && bin <= 3.0) ++histogram[static_cast<std::size_t>(bin)];
    }
    result.count = kept.size();
    if (kept.empty()) return result;
    const double count = static_cast<double>(kept.size());
    result.within_fraction = static_cast<double>(within) / count;
    if (kept.size() >= 2) {
        double sum = 0.0;
        for (const float s : kept) sum += s;
        const double mean = sum / count;
        double squares = 0.0;
        for (const float s : kept) squares += (s - mean) * (s - mean);
        result.spread_hz = std::sqrt(squares / (count - 1.0));
    }
    for (const std::uint64_t c : histogram)
        if (static_cast<double>(c) >= 0.05 * count) ++result.occupied_bins;
    return result;
}

}  // namespace sig
