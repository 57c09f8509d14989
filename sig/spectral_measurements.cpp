#include "sig/spectral_measurements.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "sig/modems/order_statistics.hpp"

namespace sig {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// The least power of two that is at least 2n, and at least 16.
std::size_t padded_size(std::size_t n) {
    std::size_t size = 16;
    while (size < 2 * n) size *= 2;
    return size;
}

double hann(std::size_t i, std::size_t n) {
    return 0.5 - 0.5 * std::cos(kTwoPi * static_cast<double>(i) / static_cast<double>(n - 1));
}

double db(double power) { return 10.0 * std::log10(power + 1e-30); }

}  // namespace

PowerSpectrum real_hann_spectrum(FftPlanCache& cache, std::vector<float> x, double rate) {
    const std::size_t n = x.size();
    if (n < 16) return {};
    double sum = 0.0;
    for (const float v : x) sum += v;
    const double mean = sum / static_cast<double>(n);
    const std::size_t size = padded_size(n);
    float* in = cache.real_input(size);
    for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<float>((x[i] - mean) * hann(i, n));
    std::fill(in + n, in + size, 0.0f);
    const std::complex<float>* out = cache.real_forward(size);
    PowerSpectrum spectrum;
    spectrum.bins.resize(size / 2 + 1);
    for (std::size_t k = 0; k < spectrum.bins.size(); ++k) spectrum.bins[k] = std::norm(out[k]);
    spectrum.bin_hz = rate / static_cast<double>(size);
    spectrum.rate = rate;
    spectrum.centred = false;
    return spectrum;
}

PowerSpectrum complex_hann_spectrum(FftPlanCache& cache, std::vector<std::complex<float>> z, double rate) {
    const std::size_t n = z.size();
    if (n < 16) return {};
    const std::size_t size = padded_size(n);
    std::complex<float>* data = cache.complex_data(size);
    for (std::size_t i = 0; i < n; ++i) data[i] = z[i] * static_cast<float>(hann(i, n));
    std::fill(data + n, data + size, std::complex<float>{});
    cache.complex_forward(size);
    PowerSpectrum spectrum;
    spectrum.bins.resize(size);
    for (std::size_t j = 0; j < size; ++j) spectrum.bins[j] = std::norm(data[(j + size / 2) % size]);
    spectrum.bin_hz = rate / static_cast<double>(size);
    spectrum.rate = rate;
    spectrum.centred = true;
    return spectrum;
}

PowerSpectrum step_change_spectrum(FftPlanCache& cache, const FrequencyTrack& track) {
    const std::size_t n = track.hz.size();
    if (n < 32 || track.valid.size() != n) return {};
    std::vector<float> steps(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i)
        steps[i] = track.valid[i] && track.valid[i + 1] ? std::fabs(track.hz[i + 1] - track.hz[i]) : 0.0f;
    return real_hann_spectrum(cache, std::move(steps), track.rate);
}

double band_noise_floor(const PowerSpectrum& spectrum, double low_hz, double high_hz) {
    std::vector<float> in_band;
    for (std::size_t k = 0; k < spectrum.bins.size(); ++k) {
        const double f = spectrum.frequency(k);
        if (f >= low_hz && f <= high_hz) in_band.push_back(spectrum.bins[k]);
    }
    if (in_band.empty()) return 1e-30;
    return quantile(in_band, 0.5);
}

PeakMeasure strongest_peak(const PowerSpectrum& spectrum, double half_width_hz) {
    PeakMeasure result;
    const std::size_t n = spectrum.bins.size();
    if (n == 0) return result;
    double total = 0.0;
    for (const float v : spectrum.bins) total += v;
    double peak = -1.0;
    std::size_t at = 0;
    for (std::size_t k = 0; k < n; ++k) {
        if (std::fabs(spectrum.frequency(k)) <= half_width_hz && spectrum.bins[k] > peak) {
            peak = spectrum.bins[k];
            at = k;
        }
    }
    if (peak < 0.0) return result;
    result.hz = spectrum.frequency(at);
    result.snr_db = db(peak) - db(band_noise_floor(spectrum, -spectrum.rate, spectrum.rate));
    if (total > 0.0) {
        double near = spectrum.bins[at];
        if (at > 0) near += spectrum.bins[at - 1];
        if (at + 1 < n) near += spectrum.bins[at + 1];
        result.concentration = near / total;
    }
    return result;
}

FrequencyTrack envelope_statistics(const Baseband& baseband) {
    FrequencyTrack track;
    track.rate = baseband.rate;
    const std::vector<std::complex<float>>& z = baseband.samples;
    const std::size_t n = z.size();
    if (n < 4) return track;
    std::vector<float> magnitude(n);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        magnitude[i] = std::abs(z[i]);
        sum += magnitude[i];
    }
    const double mean = sum / static_cast<double>(n);
    if (mean > 0.0) {
        double squares = 0.0;
        for (const float m : magnitude) squares += (m - mean) * (m - mean);
        track.envelope_cv = std::sqrt(squares / static_cast<double>(n - 1)) / mean;
    }
    std::vector<float> sorted = magnitude;
    const double gate = 0.3 * quantile(sorted, 0.5);
    track.hz.assign(n, 0.0f);
    track.valid.assign(n, 0);
    const double scale = baseband.rate / kTwoPi;
    for (std::size_t i = 1; i < n; ++i) {
        const std::complex<float> turn = std::conj(z[i - 1]) * z[i];
        track.hz[i] = static_cast<float>(std::atan2(turn.imag(), turn.real()) * scale);
        track.valid[i] = magnitude[i] > gate && magnitude[i - 1] > gate ? 1 : 0;
    }
    return track;
}

ToneComb estimate_mfsk_symbol_rate(const std::vector<float>& spectrum_db, double bin_hz, double low_hz,
                                   double high_hz) {
    ToneComb result;
    if (!std::isfinite(low_hz) || !std::isfinite(high_hz) || !(bin_hz > 0.0) || high_hz - low_hz < 60.0)
        return result;
    const auto value_at = [&](double f) {
        const double p = f / bin_hz;
        const double i = std::floor(p);
        if (i >= 0.0 && i + 1.0 < static_cast<double>(spectrum_db.size())) {
            const auto k = static_cast<std::size_t>(i);
            return spectrum_db[k] * (1.0 - (p - i)) + spectrum_db[k + 1] * (p - i);
        }
        return -200.0;
    };
    constexpr std::array<double, 5> kSpacings{15.625, 31.25, 62.5, 125.0, 250.0};
    constexpr std::array<int, 5> kToneCounts{4, 8, 16, 32, 64};
    for (const double s : kSpacings) {
        const double estimate = (high_hz - low_hz) / s - 0.5;
        if (estimate < 2.5 || estimate > 70.0) continue;
        double best_contrast = -1e9;
        double best_offset = 0.0;
        for (int step = 0;; ++step) {
            const double offset = 0.5 * bin_hz * step;
            if (offset >= s) break;
            double on = 0.0, mid = 0.0;
            int on_count = 0, mid_count = 0;
            for (int k = 0;; ++k) {
                const double f = low_hz + offset + k * s;
                if (f > high_hz) break;
                on += value_at(f);
                ++on_count;
                if (f + s / 2.0 <= high_hz) {
                    mid += value_at(f + s / 2.0);
                    ++mid_count;
                }
            }
            if (on_count >= 3 && mid_count >= 2) {
                const double contrast = on / on_count - mid / mid_count;
                if (contrast > best_contrast) {
                    best_contrast = contrast;
                    best_offset = offset;
                }
            }
        }
        if (!(best_contrast > result.contrast)) continue;
        int tones = kToneCounts[0];
        for (const int t : kToneCounts)
            if (std::fabs(estimate - t) < std::fabs(estimate - tones)) tones = t;
        if (std::fabs(estimate - tones) > tones / 4.0) continue;
        const long width = std::lround(tones * s);
        if (width != 125 && width != 250 && width != 500 && width != 1000 && width != 2000) continue;
        double strongest = 0.0;
        double strongest_level = -1e9;
        for (int k = 0;; ++k) {
            const double f = low_hz + best_offset + k * s;
            if (f > high_hz) break;
            const double level = value_at(f);
            if (level > strongest_level) {
                strongest_level = level;
                strongest = f;
            }
        }
        result = ToneComb{s, best_contrast, strongest, low_hz + best_offset, static_cast<std::uint32_t>(tones),
                          static_cast<std::uint32_t>(width), 0};
    }
    if (result.tones != 0) {
        const auto bins = static_cast<long>(spectrum_db.size());
        const long i0 = std::max(1L, static_cast<long>(std::floor(low_hz / bin_hz)));
        const long i1 = std::min(static_cast<long>(std::ceil(high_hz / bin_hz)), bins - 2);
        const auto smoothed = [&](long i) {
            return (spectrum_db[static_cast<std::size_t>(i - 1)] + spectrum_db[static_cast<std::size_t>(i)] +
                    spectrum_db[static_cast<std::size_t>(i + 1)]) /
                   3.0f;
        };
        std::uint32_t peaks = 0;
        for (long i = i0 + 1; i < i1; ++i)
            if (smoothed(i) > smoothed(i - 1) && smoothed(i) >= smoothed(i + 1)) ++peaks;
        result.peaks = peaks;
    }
    return result;
}

std::uint32_t comb_line_count(const std::vector<float>& spectrum_db, double bin_hz, double low_hz, double high_hz,
                              double spacing_hz) {
    const auto bins = static_cast<long>(spectrum_db.size());
    if (!(bin_hz > 0.0) || bins < 3) return 0;
    const long i0 = std::max(1L, static_cast<long>(std::floor(low_hz / bin_hz)));
    const long i1 = std::min(static_cast<long>(std::ceil(high_hz / bin_hz)), bins - 2);
    const auto smoothed = [&](long i) {
        return (spectrum_db[static_cast<std::size_t>(i - 1)] + spectrum_db[static_cast<std::size_t>(i)] +
                spectrum_db[static_cast<std::size_t>(i + 1)]) /
               3.0f;
    };
    const long reach = std::max(1L, static_cast<long>(std::floor(spacing_hz / (4.0 * bin_hz))));
    std::uint32_t peaks = 0;
    for (long i = i0 + 1; i < i1; ++i) {
        const float level = smoothed(i);
        bool peak = true;
        for (long j = std::max(1L, i - reach); peak && j <= std::min(bins - 2, i + reach); ++j)
            if (j < i ? smoothed(j) >= level : j > i && smoothed(j) > level) peak = false;
        if (peak) ++peaks;
    }
    return peaks;
}

double peak_snr_db(const PowerSpectrum& spectrum, double frequency_hz, double noise_high_hz) {
    if (spectrum.bins.empty() || frequency_hz >= spectrum.rate / 2.0) return -100.0;
    const double low = 0.97 * frequency_hz - spectrum.bin_hz;
    const double high = 1.03 * frequency_hz + spectrum.bin_hz;
    double peak = 0.0;
    for (std::size_t k = 0; k < spectrum.bins.size(); ++k) {
        const double f = spectrum.frequency(k);
        if (f >= low && f <= high) peak = std::max(peak, static_cast<double>(spectrum.bins[k]));
    }
    return db(peak) - db(band_noise_floor(spectrum, 8.0, noise_high_hz));
}

}  // namespace sig
