#include "sig/classify_narrowband_emitter.hpp"

#include <algorithm>
#include <cmath>
#include <complex>

#include "sig/downconvert_audio.hpp"
#include "sig/modems/order_statistics.hpp"
#include "sig/offset_histogram.hpp"
#include "sig/spectral_measurements.hpp"
#include "sig/sstv_line_sync.hpp"
#include "sig/test_olivia_candidate.hpp"

namespace sig {
namespace {

struct LineComb {
    int count = 0;
    double lowest = 0.0;
    double highest = 0.0;
    double spacing = 0.0;
};

// Equally spaced spectral lines around the signal that the signal itself lies on.
LineComb find_line_comb(const ClassifierState& s, double fc) {
    LineComb best;
    const std::vector<float>& A = s.averaged_db;
    const std::vector<float>& F = s.floor_db;
    const int lo = std::max(static_cast<int>(std::floor((fc - 1050.0) / s.bin_hz)), s.lo_bin);
    const int hi = std::min(static_cast<int>(std::ceil((fc + 1050.0) / s.bin_hz)), s.hi_bin);
    if (hi - lo <= 3) return best;
    const auto smoothed = [&](int i) {
        const auto k = static_cast<std::size_t>(i);
        return (A[k - 1] + A[k] + A[k + 1]) / 3.0;
    };
    std::vector<double> lines;
    double strongest = -1e300;
    for (int i = lo + 1; i <= hi - 1; ++i) {
        const double level = smoothed(i);
        if (level > smoothed(i - 1) && level >= smoothed(i + 1) && level >= F[static_cast<std::size_t>(i)] + 3.0) {
            lines.push_back(i * s.bin_hz);
            strongest = std::max(strongest, level);
        }
    }
    std::vector<double> kept;
    for (const double f : lines)
        if (smoothed(static_cast<int>(std::lround(f / s.bin_hz))) >= strongest - 7.0) kept.push_back(f);
    const auto line_near = [&](double position, double tolerance) {
        const auto it = std::lower_bound(kept.begin(), kept.end(), position - tolerance);
        return it != kept.end() && *it <= position + tolerance;
    };
    const double top = hi * s.bin_hz;
    for (std::size_t a = 0; a < kept.size(); ++a) {
        for (std::size_t b = a + 1; b < kept.size(); ++b) {
            const double d = kept[b] - kept[a];
            if (d < 14.0) continue;
            if (d > 260.0) break;
            const double t = std::max(0.25 * d, 1.5 * s.bin_hz);
            int count = 0;
            double lowest = 0.0, highest = 0.0;
            for (int k = 0;; ++k) {
                const double position = kept[a] + k * d;
                if (position > top + d) break;
                if (!line_near(position, t)) continue;
                if (count == 0) lowest = position;
                highest = position;
                ++count;
            }
            if (count <= best.count) continue;
            const double remainder = std::fmod(std::fabs(fc - lowest), d);
            const bool on_comb = remainder <= t || remainder >= d - t;
            if (on_comb && fc >= lowest - d && fc <= highest + d) best = {count, lowest, highest, d};
        }
    }
    return best;
}

bool comb_range_test(ClassifierState& s, ClassifierTrack& track, const float* audio, std::size_t count,
                     double& score_floor, double low, double high) {
    const ToneComb comb = estimate_mfsk_symbol_rate(s.averaged_db, s.bin_hz, low, high);
    if (comb.tones >= 4 && comb.contrast >= 1.5 && comb.peaks >= comb.tones / 2 && comb.peaks <= 2 * comb.tones + 2 &&
        test_olivia_candidate(s, track, audio, count, score_floor, comb.tones, false, comb.spacing, comb.contrast,
                              comb.first_hz, (low + high) / 2.0))
        return true;
    score_floor = std::max(score_floor, 0.3);
    return false;
}

void name(ClassifierTrack& track, Mode mode, double symbol_rate, double quality) {
    track.mode = mode;
    track.symbol_rate = symbol_rate;
    track.quality = static_cast<float>(quality);
    track.variant.clear();
    track.tones = 0;
}

enum class Step { start, lines, wide, late, dominant, narrow, cw_test, score, reject };

// Slow Morse shows only a letter or two in the two seconds the tests look at (a dot lasts 0.24 s
// at 5 words per minute): a keyed envelope with too few runs to time is timed again over up to
// this much of the track's own audio.
constexpr double kSlowKeyingSeconds = 8.0;

bool too_few_runs(const KeyingStats& k) { return k.on_durations.size() <= 4 || k.off_durations.size() <= 2; }

// The newest `count` samples of the classifier's audio ring, oldest first.
std::vector<float> newest_audio(const ClassifierState& s, std::size_t count) {
    const std::size_t ring = s.audio_ring.size();
    count = std::min({count, s.audio_fill, ring});
    std::vector<float> out(count);
    const std::size_t oldest = (s.audio_write + ring - count) % ring;
    for (std::size_t i = 0; i < count; ++i) out[i] = s.audio_ring[(oldest + i) % ring];
    return out;
}

std::vector<float> envelope_power(const Baseband& y) {
    std::vector<float> power(y.samples.size());
    for (std::size_t i = 0; i < power.size(); ++i) power[i] = std::norm(y.samples[i]);
    return power;
}

// The envelope timed over the track's audio in the ring, as far back as the track (and 0.4 s
// before it, as the tests look) and the ring reach, at most kSlowKeyingSeconds.
KeyingStats slow_keying(const ClassifierState& s, const ClassifierTrack& track, std::size_t tested, double cutoff) {
    const double age_s = s.frame_time - track.start_time + 0.4;
    const double wanted = std::round(std::min(age_s, kSlowKeyingSeconds) * ClassifierState::kRate);
    if (!(wanted > static_cast<double>(tested))) return {};
    const std::vector<float> audio = newest_audio(s, static_cast<std::size_t>(wanted));
    if (audio.size() <= tested) return {};
    const Baseband y = downconvert_audio(audio.data(), audio.size(), 24, track.audio_hz, cutoff);
    return keying_stats(envelope_power(y), y.rate);
}

// A PSK clock line stands this far above the envelope spectrum 6 to 20 % to either side of it.
// The envelope of a voice's pitch harmonic, cut narrow, rises and falls with its syllables and
// beats: a broad hump of low keying frequencies whose top may lie at 31.25 Hz, 8 dB and more
// over the median up to 200 Hz, but no higher than the hump around it (at most 6.5 dB over
// it in 30 voiced runs; a PSK31 clock 9 dB and more at -8 dB).
constexpr double kClockLineOverSurroundings_db = 7.5;

// The key-down tone of Morse is one steady carrier: the baseband turns by the same angle from
// sample to sample 10 ms apart. A voice's harmonic glides with the pitch (0.5 of steadiness in a
// run that passed the Morse timing; keyed tones 0.94 and more at +1 dB).
constexpr double kMinCarrierSteadiness = 0.8;
constexpr double kSteadinessLag_s = 0.01;

// Binary PSK keeps two phases a symbol apart: the baseband's turn over one symbol, squared,
// points the same way all through (0.6 and more for PSK31 at -8 dB, PSK63 0.73). A voice's
// harmonic glides and turns any way (0.3 where its envelope showed a clock line).
constexpr double kMinTwoPhaseSteadiness = 0.45;

double line_over_surroundings_db(const PowerSpectrum& spectrum, double frequency_hz) {
    double peak = 0.0;
    std::vector<float> around;
    for (std::size_t k = 0; k < spectrum.bins.size(); ++k) {
        const double f = static_cast<double>(k) * spectrum.bin_hz;
        if (f >= 0.97 * frequency_hz - spectrum.bin_hz && f <= 1.03 * frequency_hz + spectrum.bin_hz)
            peak = std::max(peak, static_cast<double>(spectrum.bins[k]));
        else if ((f >= 0.8 * frequency_hz && f <= 0.94 * frequency_hz) || (f >= 1.06 * frequency_hz && f <= 1.2 * frequency_hz))
            around.push_back(spectrum.bins[k]);
    }
    if (around.empty()) return -100.0;
    return 10.0 * std::log10(peak + 1e-30) - 10.0 * std::log10(quantile(around, 0.5) + 1e-30);
}

// How steadily the baseband turns over `lag` samples, weighted by its strength: 1 for one
// carrier, near 0 for a tone whose frequency wanders.
// With `phases` > 1 the turns are raised to that power first, so that the two phases of binary
// PSK count as one.
double carrier_steadiness(const Baseband& y, std::size_t lag, int phases = 1) {
    std::complex<double> sum = 0.0;
    double magnitude = 0.0;
    for (std::size_t n = lag; n < y.samples.size(); ++n) {
        std::complex<double> turn =
            std::complex<double>(y.samples[n]) * std::conj(std::complex<double>(y.samples[n - lag]));
        if (phases == 2) turn *= turn;
        sum += turn;
        magnitude += std::abs(turn);
    }
    return magnitude > 0.0 ? std::abs(sum) / magnitude : 0.0;
}

}  // namespace

double relative_standard_deviation(const std::vector<double>& values) {
    if (values.size() < 2) return 0.0;
    double sum = 0.0;
    for (const double v : values) sum += v;
    const double mean = sum / static_cast<double>(values.size());
    if (!(mean > 0.0)) return 0.0;
    double squares = 0.0;
    for (const double v : values) squares += (v - mean) * (v - mean);
    return std::sqrt(squares / static_cast<double>(values.size() - 1)) / mean;
}

double morse_dot_s(const KeyingStats& k) {
    if (k.on_durations.empty() || k.off_durations.empty()) return 0.0;
    // The mean of the runs of the shortest kind: up to 1.5 times the run a fifth from the bottom
    // (a dash or a letter gap is three dots; runs of one and two bits of a keyed tone stay apart).
    const auto shortest = [](std::vector<double> runs) {
        std::sort(runs.begin(), runs.end());
        const double limit = 1.5 * runs[runs.size() / 5];
        double sum = 0.0;
        std::size_t n = 0;
        for (const double r : runs) {
            if (r > limit) break;
            sum += r;
            ++n;
        }
        return sum / static_cast<double>(n);
    };
    const double marks = shortest(k.on_durations);
    const double gaps = shortest(k.off_durations);
    // The gaps within a letter last a dot, as the marks of dots do. Runs that do not pair up so
    // (a pulse train whose gaps are several times its marks) are timed by their marks alone.
    if (gaps <= 1.75 * marks && marks <= 1.75 * gaps) return (marks + gaps) / 2.0;
    return marks;
}

bool regular_morse_keying(const KeyingStats& k) {
    const std::size_t on = k.on_durations.size();
    const std::size_t off = k.off_durations.size();
    if (k.transitions <= 5 || k.duty < 0.08 || k.duty > 0.92 || k.dynamic_range_db < 12.0 || on <= 4 || off <= 2)
        return false;
    const double dot = morse_dot_s(k);
    if (!(dot > 0.0)) return false;
    // Speeds are told in whole words per minute: a sender at 40 is 40, not 40.3.
    const double wpm = std::round(1.2 / dot);
    if (wpm < 5.0 || wpm > 40.0) return false;
    const auto share = [](const std::vector<double>& d, double low, double high) {
        const auto inside = std::count_if(d.begin(), d.end(), [&](double x) { return x >= low && x <= high; });
        return static_cast<double>(inside) / static_cast<double>(d.size());
    };
    return share(k.on_durations, 0.5 * dot, 4.5 * dot) >= 0.7 && share(k.off_durations, 0.5 * dot, 10.5 * dot) >= 0.6 &&
           *std::max_element(k.off_durations.begin(), k.off_durations.end()) <= 12.0 * dot;
}

KeyingStats keying_stats(const std::vector<float>& power, double rate_hz) {
    KeyingStats k;
    const std::size_t n = power.size();
    if (n < 16 || !(rate_hz > 0.0)) return k;
    std::vector<float> sorted = power;
    const double p90 = quantile(sorted, 0.9);
    const double p10 = quantile(sorted, 0.1);
    k.dynamic_range_db = 10.0 * std::log10(p90 + 1e-30) - 10.0 * std::log10(std::max(1e-6 * p90, p10) + 1e-30);
    const double on_threshold = 0.35 * p90;
    const double off_threshold = 0.12 * p90;
    bool on = power[0] > on_threshold;
    std::size_t last = 0;
    bool first_run = true;
    std::size_t on_samples = 0;
    for (std::size_t i = 1; i < n; ++i) {
        const bool switch_on = !on && power[i] > on_threshold;
        const bool switch_off = on && power[i] <= off_threshold;
        if (switch_on || switch_off) {
            const double duration = static_cast<double>(i - last) / rate_hz;
            if (!first_run) (switch_off ? k.on_durations : k.off_durations).push_back(duration);
            first_run = false;
            ++k.transitions;
            last = i;
            on = switch_on;
        }
        if (on) ++on_samples;
    }
    k.duty = static_cast<double>(on_samples) / static_cast<double>(n);
    k.on_cv = relative_standard_deviation(k.on_durations);
    k.off_cv = relative_standard_deviation(k.off_durations);
    if (!k.off_durations.empty()) {
        std::vector<double> off = k.off_durations;
        std::sort(off.begin(), off.end());
        k.median_off_s = off[off.size() / 2];
    }
    return k;
}

bool decide_narrowband_keying(const KeyingMeasures& m, ClassifierTrack& track,
                              const std::function<double()>& fourth_power_carrier, double& score_floor) {
    const double bw = track.bandwidth_hz;
    const KeyingStats& keying = m.keying;
    const bool p63 = m.k62 >= 8.0 && m.k62 >= m.k31 + 3.0 && m.q2 >= 10.0;
    const auto psk63 = [&] {
        name(track, Mode::PSK63, 62.5, std::min(0.99, 0.55 + 0.015 * (m.k62 - 8.0) + 0.01 * (m.q2 - 10.0)));
        return true;
    };

    Step step = Step::start;
    for (;;) {
        switch (step) {
        case Step::start:
            if (!m.timed || keying.transitions < 4)
                step = bw >= 25.0 ? Step::lines : Step::score;
            else if (keying.median_off_s >= 0.02)
                step = bw < 25.0 ? Step::narrow : Step::late;
            else
                step = bw >= 25.0 ? Step::lines : Step::narrow;
            break;
        case Step::lines:
            if (bw > 100.0) {
                if (p63) return psk63();
                step = m.k31 >= 10.0 ? Step::dominant : Step::reject;
            } else if (m.k31 < 8.0) {
                if (bw < 55.0) {
                    step = Step::cw_test;
                } else if (p63) {
                    return psk63();
                } else {
                    step = Step::narrow;
                }
            } else if (m.k31 < m.k62 + 1.0) {
                step = bw >= 55.0 ? Step::wide : m.k31 >= 10.0 ? Step::dominant : Step::cw_test;
            } else {
                if (m.q2 >= 10.0) {
                    name(track, Mode::PSK31, 31.25,
                         std::min(0.99, 0.55 + 0.015 * (m.k31 - 8.0) + 0.01 * (m.q2 - 10.0)));
                    return true;
                }
                // No carrier after squaring: a fourth power restores one for four phases.
                const double q4 = fourth_power_carrier();
                if (m.q2 < 8.0 && q4 >= 10.0) {
                    name(track, Mode::QPSK31, 31.25, std::min(0.99, 0.55 + 0.01 * (m.k31 - 8.0) + 0.01 * (q4 - 10.0)));
                    return true;
                }
                score_floor = std::max(score_floor, 0.4);
                step = bw >= 55.0 ? Step::wide : m.k31 >= 10.0 ? Step::dominant : Step::cw_test;
            }
            break;
        case Step::wide:
            if (p63) return psk63();
            step = Step::late;
            break;
        case Step::late: step = m.k31 >= 10.0 ? Step::dominant : Step::narrow; break;
        case Step::dominant:
            step = m.k31 >= std::max({m.k45, m.k50, m.k62, m.k75}) ? Step::reject : Step::narrow;
            break;
        case Step::narrow: step = bw <= 60.0 ? Step::cw_test : Step::reject; break;
        case Step::cw_test:
            if (!regular_morse_keying(keying)) {
                step = Step::score;
                break;
            }
            name(track, Mode::CW, 0.0,
                 std::clamp(0.55 + 0.02 * (keying.transitions - 4) + 0.01 * (keying.dynamic_range_db - 12.0), 0.5,
                            0.99));
            return true;
        case Step::score: {
            const int held = int{keying.transitions > 3} + int{keying.dynamic_range_db >= 12.0} +
                             int{keying.on_cv >= 0.25 || keying.off_cv >= 0.25};
            score_floor = std::max(score_floor, 0.12 * held);
            return false;
        }
        case Step::reject: return false;
        }
    }
}

bool keyed_facsimile(double audio_hz, const float* audio, std::size_t count) {
    if (audio_hz < 1450.0 || audio_hz > 2350.0) return false;
    const OffsetHistogram h = offset_histogram(envelope_statistics(downconvert_audio_1900(audio, count, 8)));
    return h.envelope_cv <= 0.3 && h.within_fraction >= 0.85 && h.occupied_bins > 1 && !shows_sstv_sync(audio, count);
}

bool classify_narrowband_emitter(ClassifierState& s, ClassifierTrack& track, const float* audio, std::size_t count,
                                 double& score_floor) {
    const double fc = track.audio_hz;
    const double bw = track.bandwidth_hz;

    const LineComb comb = find_line_comb(s, fc);
    if (comb.count >= 4 || (comb.count == 3 && (comb.highest - comb.lowest >= 120.0 || bw > 150.0)))
        return comb_range_test(s, track, audio, count, score_floor, comb.lowest - comb.spacing,
                               comb.highest + comb.spacing);
    if (bw > 150.0) return comb_range_test(s, track, audio, count, score_floor, fc - bw, fc + bw);

    const double cutoff = std::max(45.0, 0.6 * bw + 20.0);
    const Baseband y = downconvert_audio(audio, count, 24, fc, cutoff);
    if (y.samples.empty()) return false;
    const std::vector<float> power = envelope_power(y);
    KeyingMeasures m;
    const PowerSpectrum envelope = real_hann_spectrum(s.fft, power, y.rate);
    m.k31 = peak_snr_db(envelope, 31.25, 200.0);
    m.k62 = peak_snr_db(envelope, 62.5, 200.0);
    m.k45 = peak_snr_db(envelope, 45.45, 200.0);
    m.k50 = peak_snr_db(envelope, 50.0, 200.0);
    m.k75 = peak_snr_db(envelope, 75.0, 200.0);
    std::vector<std::complex<float>> squared(y.samples.size());
    for (std::size_t i = 0; i < squared.size(); ++i) squared[i] = y.samples[i] * y.samples[i];
    m.q2 = strongest_peak(complex_hann_spectrum(s.fft, squared, y.rate), 30.0).snr_db;
    m.keying = keying_stats(power, y.rate);
    m.timed = power.size() >= 16;
    if (m.timed && m.keying.dynamic_range_db >= 12.0 && too_few_runs(m.keying)) {
        KeyingStats longer = slow_keying(s, track, count, cutoff);
        if (longer.transitions > m.keying.transitions) m.keying = std::move(longer);
    }
    const auto fourth_power_carrier = [&] {
        std::vector<std::complex<float>> fourth(squared.size());
        for (std::size_t i = 0; i < fourth.size(); ++i) fourth[i] = squared[i] * squared[i];
        return strongest_peak(complex_hann_spectrum(s.fft, std::move(fourth), y.rate), 60.0).snr_db;
    };

    const ClassifierTrack before = track;
    if (!decide_narrowband_keying(m, track, fourth_power_carrier, score_floor)) return false;
    const auto unname = [&] {
        track = before;
        return false;
    };
    if (track.mode == Mode::PSK31 || track.mode == Mode::QPSK31 || track.mode == Mode::PSK63) {
        const double symbol_s = track.mode == Mode::PSK63 ? 1.0 / 62.5 : 1.0 / 31.25;
        if (line_over_surroundings_db(envelope, 1.0 / symbol_s) < kClockLineOverSurroundings_db) return unname();
        const auto symbol = static_cast<std::size_t>(std::lround(symbol_s * y.rate));
        if (track.mode != Mode::QPSK31 && carrier_steadiness(y, symbol, 2) < kMinTwoPhaseSteadiness) return unname();
    }
    if (track.mode == Mode::CW && keyed_facsimile(fc, audio, count)) {
        // Keyed at 1900 Hz but frequency-modulated across the facsimile band: a chart.
        name(track, Mode::WEFAX, 0.0, 0.6);
        track.audio_hz = 1900.0;
        track.bandwidth_hz = 800.0;
        track.smoothed_hz = 1900.0;
        track.low_hz = 1500.0;
        track.high_hz = 2300.0;
        track.kind = GroupKind::IMAGE_BAND;
    } else if (track.mode == Mode::CW &&
               carrier_steadiness(y, static_cast<std::size_t>(std::lround(kSteadinessLag_s * y.rate))) <
                   kMinCarrierSteadiness) {
        return unname();
    }
    return true;
}

}  // namespace sig
