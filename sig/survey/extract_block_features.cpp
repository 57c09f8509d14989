#include "sig/survey/extract_block_features.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "sig/fft_plan_cache.hpp"
#include "sig/modems/order_statistics.hpp"

namespace sig {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr std::size_t kEdgeSkip = 64;     // the pre-filter's unfilled ends
constexpr std::size_t kMinSamples = 256;  // more than this are needed
constexpr std::size_t kMinSegment = 256;
constexpr std::size_t kMaxSegment = 4096;
constexpr double kOnOffShare = 0.15;
constexpr double kKeyingMinVariation = 0.08;
constexpr double kLowestKeyingHz = 5.0;
constexpr long kMedianReach = 20;

// The per-thread FFT work arrays of the keying spectrum (the survey calls from one thread).
FftPlanCache& keying_fft() {
    thread_local FftPlanCache cache;
    return cache;
}

// Summed periodograms of the mean-removed envelope over half-overlapping Hann segments of
// length M: M/2 + 1 bins. Empty when no segment fits.
std::vector<double> keying_spectrum(const std::vector<double>& envelope, double mean, std::size_t segment) {
    std::vector<double> power;
    if (segment > envelope.size()) return power;
    power.assign(segment / 2 + 1, 0.0);
    FftPlanCache& fft = keying_fft();
    const double intervals = static_cast<double>(segment - 1);
    // The window once, not once per segment.
    std::vector<double> window(segment);
    for (std::size_t k = 0; k < segment; ++k)
        window[k] = 0.5 - 0.5 * std::cos(2.0 * kPi * static_cast<double>(k) / intervals);
    for (std::size_t start = 0; start + segment <= envelope.size(); start += segment / 2) {
        float* in = fft.real_input(segment);
        for (std::size_t k = 0; k < segment; ++k) in[k] = static_cast<float>((envelope[start + k] - mean) * window[k]);
        const std::complex<float>* out = fft.real_forward(segment);
        for (std::size_t k = 0; k < power.size(); ++k) power[k] += std::norm(out[k]);
    }
    return power;
}

// The bin in lo..hi that stands highest over the median of its neighbours within 20 bins:
// sets the peak ratio and the keying rate.
void strongest_keying_line(const std::vector<double>& power, long lo, long hi, double bin_hz,
                           SurveyEnvelopeFeatures& f) {
    std::vector<float> neighbours;
    neighbours.reserve(2 * kMedianReach);
    double best = -1.0;
    long best_bin = lo;
    for (long k = lo; k <= hi; ++k) {
        neighbours.clear();
        for (long j = std::max(k - kMedianReach, lo); j <= std::min(k + kMedianReach, hi); ++j)
            if (j != k) neighbours.push_back(static_cast<float>(power[static_cast<std::size_t>(j)]));
        double local = median(neighbours);  // rank floor(q/2); 0 when empty
        if (!(local > 1e-12)) local = 1e-12;
        const double ratio = power[static_cast<std::size_t>(k)] / local;
        if (ratio > best) {
            best = ratio;
            best_bin = k;
        }
    }
    f.keying_peak_ratio = best;
    f.keying_rate_hz = static_cast<double>(best_bin) * bin_hz;
}

}  // namespace

SurveyEnvelopeFeatures extract_block_features(double rate_hz, double bandwidth_hz,
                                              const std::vector<std::complex<double>>& samples) {
    SurveyEnvelopeFeatures f;
    if (samples.size() <= kMinSamples) return f;
    std::vector<double> e;
    e.reserve(samples.size() - 2 * kEdgeSkip);
    for (std::size_t i = kEdgeSkip; i + kEdgeSkip < samples.size(); ++i) {
        // The square root of the sum of squares, not the library's hypot, which guards against
        // squares beyond the double range (the survey's samples come from floats) at several
        // times the cost, once per sample.
        const double magnitude = std::sqrt(std::norm(samples[i]));
        // One bad sample would poison every mean and break the ordering the median needs.
        if (!std::isfinite(magnitude)) return f;
        e.push_back(magnitude);
    }
    const auto m = static_cast<double>(e.size());
    double s1 = 0.0, s2 = 0.0, s4 = 0.0, top = 0.0;
    for (double x : e) {
        s1 += x;
        s2 += x * x;
        s4 += (x * x) * (x * x);
        top = std::max(top, x);
    }
    const double m1 = s1 / m, m2 = s2 / m, m4 = s4 / m;
    if (m2 > 0.0) f.kurtosis = m4 / (m2 * m2);
    if (m2 - m1 * m1 > 0.0 && m1 > 0.0) f.variation = std::sqrt(m2 - m1 * m1) / m1;

    if (top > 0.0) {
        std::size_t low = 0, high = 0;
        for (double x : e) {
            if (x < 0.25 * top) ++low;
            if (x > 0.6 * top) ++high;
        }
        f.on_off_keyed = static_cast<double>(low) > kOnOffShare * m && static_cast<double>(high) > kOnOffShare * m;
    }

    if (f.variation >= kKeyingMinVariation && rate_hz > 0.0 && std::isfinite(rate_hz)) {
        std::size_t segment = kMinSegment;
        while (segment * 2 <= e.size() / 3 && segment * 2 <= kMaxSegment) segment *= 2;
        const std::vector<double> power = keying_spectrum(e, m1, segment);
        if (!power.empty()) {
            const double bin_hz = rate_hz / static_cast<double>(segment);
            const auto half = static_cast<double>(segment / 2);
            // Held to the spectrum before the conversion, whatever the rate and bandwidth.
            auto bin_of = [&](double bins) { return static_cast<long>(std::clamp(bins, 0.0, half)); };
            const long lo = std::max(1L, bin_of(std::ceil(kLowestKeyingHz / bin_hz)));
            const double top_hz = std::min(std::max(50.0, bandwidth_hz), 0.45 * rate_hz);
            const long hi = bin_of(std::floor(top_hz / bin_hz));
            if (lo + 10 < hi) strongest_keying_line(power, lo, hi, bin_hz, f);
        }
    }
    f.valid = true;
    return f;
}

}  // namespace sig
