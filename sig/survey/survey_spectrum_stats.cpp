#include "sig/survey/survey_spectrum_stats.hpp"

#include <algorithm>
#include <cmath>

namespace sig {
namespace {

constexpr double kTiny = 1e-20;

double db_ratio(double numerator, double denominator) { return 10.0 * std::log10(numerator / denominator); }

// A fractional bin position as an index, held within [-1, n] so that far-off inputs cannot
// overflow the conversion; the callers clip to the spectrum themselves.
long long held_index(double x, std::size_t n) {
    return static_cast<long long>(std::clamp(x, -1.0, static_cast<double>(n)));
}

}  // namespace

SurveyBandStats survey_spectrum_stats(const float* spectrum, std::size_t n, double bin_hz, double centre_bin,
                                      double bandwidth_hz) {
    SurveyBandStats s;
    if (spectrum == nullptr || n < 8 || !(bin_hz > 0.0) || !(bandwidth_hz > 0.0) || !std::isfinite(bin_hz) ||
        !std::isfinite(bandwidth_hz) || !std::isfinite(centre_bin))
        return s;
    s.bandwidth_hz = bandwidth_hz;
    const auto last = static_cast<long long>(n) - 1;
    const double h = 0.5 * bandwidth_hz / bin_hz;
    const double g = std::min(static_cast<double>(n), std::max(2.0, h));
    const long long c = held_index(std::round(centre_bin), n);
    const long long lo = std::max(0LL, held_index(std::floor(centre_bin - h), n));
    const long long hi = std::min(last, held_index(std::ceil(centre_bin + h), n));
    if (hi - lo < 2) return s;

    // Every bin the measurements read, the band and its surroundings; a non-finite value there
    // would turn every figure into NaN.
    const long long around_lo = std::max(0LL, held_index(std::floor(centre_bin - h - g), n));
    const long long around_hi = std::min(last, held_index(std::ceil(centre_bin + h + g), n));
    const long long edge = hi - lo > 28 ? (hi - lo + 1) / 10 : 2;
    const long long first_read = std::max(0LL, std::min({around_lo, lo - edge, c - 6}));
    const long long last_read = std::min(last, std::max({around_hi, hi + edge, c + 6}));
    for (long long i = first_read; i <= last_read; ++i)
        if (!std::isfinite(spectrum[i])) return s;

    auto P = [&](long long i) { return std::max(static_cast<double>(spectrum[i]), kTiny); };

    double total = 0.0, log_sum = 0.0, largest = 0.0, lower = 0.0, upper = 0.0;
    double core = 0.0, side = 0.0;
    long long side_count = 0;
    for (long long i = lo; i <= hi; ++i) {
        const double p = P(i);
        total += p;
        log_sum += std::log(p);
        largest = std::max(largest, p);
        if (i < c) lower += p;
        if (i > c) upper += p;
        if (i >= c - 1 && i <= c + 1) {
            core += p;
        } else {
            side += p;
            ++side_count;
        }
    }
    const auto count = static_cast<double>(hi - lo + 1);
    const double mean = total / count;
    s.flatness = std::clamp(std::exp(log_sum / count) / mean, 0.0, 1.0);
    s.peak_db = db_ratio(largest, mean);
    s.symmetry = lower + upper > 0.0 ? 1.0 - std::fabs(lower - upper) / (lower + upper) : 1.0;
    const double side_mean = side_count > 0 ? side / static_cast<double>(side_count) : mean;
    s.core_db = db_ratio(core, std::max(side_mean, kTiny));

    double near = 0.0;
    long long near_count = 0;
    for (long long d = 2; d <= 6; ++d) {
        for (long long i : {c - d, c + d}) {
            if (i < 0 || i > last) continue;
            near += P(i);
            ++near_count;
        }
    }
    if (near_count > 0) {
        double peak = 0.0;
        for (long long i = c - 1; i <= c + 1; ++i)
            if (i >= 0 && i <= last) peak = std::max(peak, P(i));
        s.centre_peak_db = db_ratio(std::max(peak, kTiny), std::max(near / static_cast<double>(near_count), kTiny));
    }

    double around = 0.0;
    long long around_count = 0;
    for (long long i = around_lo; i < lo; ++i, ++around_count) around += P(i);
    for (long long i = hi + 1; i <= around_hi; ++i, ++around_count) around += P(i);
    const double around_mean = around_count > 0 ? around / static_cast<double>(around_count) : mean;
    s.in_band_db = db_ratio(mean, std::max(around_mean, kTiny));

    // Edge contrasts use the raw bins. `inner` and `outer` step away from the edge bin itself.
    auto contrast = [&](long long edge_bin, long long inward, bool& both_sides) {
        double inner = 0.0, outer = 0.0;
        long long inner_count = 0, outer_count = 0;
        for (long long d = 1; d <= edge; ++d) {
            const long long in = edge_bin + inward * d;
            const long long out = edge_bin - inward * d;
            if (in >= 0 && in <= last) inner += spectrum[in], ++inner_count;
            if (out >= 0 && out <= last) outer += spectrum[out], ++outer_count;
        }
        both_sides = inner_count > 0 && outer_count > 0;
        if (!both_sides) return 0.0;
        return db_ratio(std::max(inner / static_cast<double>(inner_count), kTiny),
                        std::max(outer / static_cast<double>(outer_count), kTiny));
    };
    bool upper_both = false, lower_both = false;
    const double upper_edge = contrast(hi, -1, upper_both);
    const double lower_edge = contrast(lo, +1, lower_both);
    s.edge_db = lower_both ? std::min(upper_edge, lower_edge) : std::min(upper_edge, 0.0);
    s.valid = true;
    return s;
}

}  // namespace sig
