#include "sig/verify_tracks.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <numbers>
#include <vector>

#include "sig/classifier_spectrum.hpp"
#include "sig/classify_narrowband_emitter.hpp"
#include "sig/decide_wefax_variant.hpp"
#include "sig/downconvert_audio.hpp"
#include "sig/spectral_measurements.hpp"
#include "sig/test_audio_spectrum.hpp"
#include "sig/test_olivia_candidate.hpp"

namespace sig {
namespace {

constexpr std::size_t kMinTestSamples = 14400;  // 1.2 s
constexpr double kMinAge_s = 1.3;
// RTTY sits on its two tones at least this share of the time, and keys at least this far above
// the keying spectrum's median.
constexpr double kRttyRatio = 0.75;
constexpr double kRttyKeying_db = 7.0;
// RTTY sends characters of 7.5 bits: in the 1.2 to 2 s a test looks at, its frequency crosses
// between the tones 18 times and more (45.45 to 75 Bd, clean and at -2 dB). Two harmonics of a
// voice 170 Hz apart, one and then the other stronger as the formants move, sit on the levels
// of a pair as long as required but cross between them a few times only (at most 9 in 30
// voiced runs).
constexpr std::size_t kMinRttyEdges = 12;

bool due(const ClassifierState& s, const ClassifierTrack& t) {
    if (t.confirmed || s.frame_time - t.start_time < kMinAge_s) return false;
    if (t.attempts == 0) return true;
    const std::uint64_t since = s.frame_counter - t.last_attempt_frame;
    return t.attempts < 20 ? since >= 6 : since >= 24;
}

// A keyed pair moves between its tones at least kMinToneChanges times in the test audio, and
// each tone holds at least kMinToneShare of the time the frequency spends on the two.
constexpr int kMinToneChanges = 4;
constexpr double kMinToneShare = 0.1;

// The share of the valid frequency track whose five-sample mean sits on one of the two tones;
// none when the frequency does not move between the tones: one that stays on one tone is a
// carrier beside the pair's middle (an AM station's, or a tone beside a keyed signal), and one
// that moves once is one signal ending while the other goes on.
double two_level_ratio(const FrequencyTrack& track, double shift_hz) {
    const std::size_t n = track.hz.size();
    if (n <= 4) return 0.0;
    std::size_t counted = 0, on_level = 0, upper = 0;
    int level = 0, changes = 0;
    for (std::size_t i = 4; i < n; ++i) {
        if (!track.valid[i - 2]) continue;
        ++counted;
        const double mean =
            (track.hz[i - 4] + track.hz[i - 3] + track.hz[i - 2] + track.hz[i - 1] + track.hz[i]) / 5.0;
        const bool on_upper = std::fabs(mean - shift_hz / 2.0) < shift_hz / 4.0;
        const bool on_lower = std::fabs(mean + shift_hz / 2.0) < shift_hz / 4.0;
        if (!on_upper && !on_lower) continue;
        ++on_level;
        if (on_upper) ++upper;
        const int now = on_upper ? 1 : -1;
        if (level != 0 && now != level) ++changes;
        level = now;
    }
    const double lesser = static_cast<double>(std::min(upper, on_level - upper));
    if (counted == 0 || changes < kMinToneChanges || lesser < kMinToneShare * static_cast<double>(on_level))
        return 0.0;
    return static_cast<double>(on_level) / static_cast<double>(counted);
}

// The keying edges of an FSK track: the (interpolated) sample times at which the frequency,
// smoothed over five samples, crosses from one tone to the other. A level is entered a quarter
// shift beyond the middle between the two tones, so noise on a tone makes no edge; a fade (an
// invalid sample) forgets the level.
std::vector<double> keying_edges(const FrequencyTrack& track, double shift_hz) {
    const std::size_t n = track.hz.size();
    std::vector<double> edges;
    if (n < 6) return edges;
    std::vector<double> mean(n, 0.0);
    std::vector<std::uint8_t> usable(n, 0);
    double upper = 0.0, lower = 0.0;
    std::size_t uppers = 0, lowers = 0;
    for (std::size_t i = 4; i < n; ++i) {
        usable[i] = track.valid[i - 4] && track.valid[i - 3] && track.valid[i - 2] && track.valid[i - 1] &&
                    track.valid[i];
        mean[i] = (track.hz[i - 4] + track.hz[i - 3] + track.hz[i - 2] + track.hz[i - 1] + track.hz[i]) / 5.0;
        if (!usable[i]) continue;
        if (std::fabs(mean[i] - shift_hz / 2.0) < shift_hz / 4.0) {
            upper += mean[i];
            ++uppers;
        } else if (std::fabs(mean[i] + shift_hz / 2.0) < shift_hz / 4.0) {
            lower += mean[i];
            ++lowers;
        }
    }
    // The middle between the tones as measured, so that a track a little off the pair's centre
    // does not move its rising edges against its falling ones.
    const double middle = uppers > 0 && lowers > 0 ? (upper / uppers + lower / lowers) / 2.0 : 0.0;
    int level = 0;
    double crossing = -1.0;
    for (std::size_t i = 5; i < n; ++i) {
        if (!usable[i] || !usable[i - 1]) {
            level = 0;
            crossing = -1.0;
            continue;
        }
        const double before = mean[i - 1] - middle;
        const double now = mean[i] - middle;
        if ((before < 0.0) != (now < 0.0)) crossing = static_cast<double>(i - 1) + before / (before - now);
        const int entered = now > shift_hz / 4.0 ? 1 : now < -shift_hz / 4.0 ? -1 : 0;
        if (entered == 0 || entered == level) continue;
        if (level != 0 && crossing >= 0.0) edges.push_back(crossing);
        level = entered;
    }
    return edges;
}

// How well keying edges keep the bit clock of a rate: the mean of cos(2 pi x 2 x interval /
// bit) over the pairs of edges less than one character (7.5 bits) apart. Edges a whole or a
// half number of bits apart (1.5 stop bits put every other character half a bit off the
// clock) score 1; a neighbouring rate, 10 % off, drifts out of step within a few bits. Only
// pairs within a character count, so a pause of any length between characters does no harm.
double edge_clock_score(const std::vector<double>& edges, double track_rate, double baud) {
    const double bit = track_rate / baud;
    double sum = 0.0;
    std::size_t pairs = 0;
    for (std::size_t i = 0; i < edges.size(); ++i) {
        for (std::size_t j = i + 1; j < edges.size() && edges[j] - edges[i] <= 7.5 * bit; ++j) {
            sum += std::cos(4.0 * std::numbers::pi * (edges[j] - edges[i]) / bit);
            ++pairs;
        }
    }
    return pairs == 0 ? -1.0 : sum / static_cast<double>(pairs);
}

}  // namespace

double nominal_rtty_shift(double measured_hz) {
    double nominal = 170.0;
    for (const double shift : {450.0, 850.0})
        if (std::fabs(measured_hz - shift) < std::fabs(measured_hz - nominal)) nominal = shift;
    return nominal;
}

RttyVerdict rtty_verdict(double ratio, double keying_db) {
    const bool on_levels = ratio >= kRttyRatio;
    const bool keyed = keying_db >= kRttyKeying_db;
    if (on_levels && keyed)
        return {true, std::min(0.99, 0.55 + 0.3 * (ratio - kRttyRatio) + 0.015 * (keying_db - kRttyKeying_db)), 0.0};
    return {false, 0.0, on_levels || keyed ? 0.2 : 0.0};
}

std::string rtty_variant(double rate_baud, double shift_hz) {
    char text[64];
    const double whole = std::round(rate_baud);
    if (std::fabs(rate_baud - whole) >= 0.01)
        std::snprintf(text, sizeof text, "%.2f/%d", rate_baud, static_cast<int>(std::lround(shift_hz)));
    else
        std::snprintf(text, sizeof text, "%d/%d", static_cast<int>(whole), static_cast<int>(std::lround(shift_hz)));
    return text;
}

bool rtty_test(ClassifierState& s, ClassifierTrack& t, const float* audio, std::size_t count, double& score_floor) {
    const double shift = t.spacing_hz;
    const double nominal = nominal_rtty_shift(shift);
    if (!(std::fabs(shift - nominal) <= 0.1 * nominal)) return false;
    const double cutoff = 60.0 + shift / 2.0;
    const Baseband baseband = downconvert_audio(audio, count, baseband_decimation(2.5 * cutoff), t.audio_hz, cutoff);
    if (baseband.samples.empty()) return false;
    const FrequencyTrack frequency = envelope_statistics(baseband);
    const double ratio = two_level_ratio(frequency, shift);
    const PowerSpectrum keying = step_change_spectrum(s.fft, frequency);
    double best_rate = 45.45;
    double best_k = -100.0;
    if (!keying.bins.empty()) {
        const double limit = std::min(0.5 * keying.rate - 1.0, 200.0);
        for (const double rate : {45.45, 50.0, 75.0}) {
            const double k = std::max(peak_snr_db(keying, 2.0 * rate, limit), peak_snr_db(keying, rate, limit));
            if (k > best_k) {
                best_k = k;
                best_rate = rate;
            }
        }
    }
    RttyVerdict verdict = rtty_verdict(ratio, best_k);
    const std::vector<double> edges = verdict.accepted ? keying_edges(frequency, shift) : std::vector<double>{};
    if (verdict.accepted && edges.size() < kMinRttyEdges) verdict = {false, 0.0, 0.2};
    if (verdict.accepted) {
        // The strongest keying line names the rate only where its neighbours lie apart: with
        // 1.5 stop bits a character lasts 7.5 bits, the keying lines fall at multiples of the
        // character rate, none at the bit rate itself, and those next to it land within 3 % of
        // the other rates (48.5 Hz from 45.45 Bd lies by 50, 46.7 Hz from 50 Bd by 45.45).
        // The edges themselves keep the bit clock of the true rate only.
        double best_score = -2.0;
        for (const double rate : {45.45, 50.0, 75.0}) {
            const double score = edge_clock_score(edges, frequency.rate, rate);
            if (score > best_score) {
                best_score = score;
                best_rate = rate;
            }
        }
        t.mode = Mode::RTTY;
        t.variant = rtty_variant(best_rate, nominal);
        t.symbol_rate = best_rate;
        t.tones = 2;
        t.bandwidth_hz = nominal + 60.0;
        t.quality = static_cast<float>(verdict.quality);
        return true;
    }
    score_floor = std::max(score_floor, verdict.score_floor);
    ++t.failures;
    // A pair that keeps failing is probably two unrelated carriers: keep new pairs from forming
    // around it for a minute.
    if (t.failures >= 8) s.rejected.push_back({t.audio_hz, s.frame_time + 60.0});
    return false;
}

bool comb_test(ClassifierState& s, ClassifierTrack& t, const float* audio, std::size_t count, double& score_floor) {
    const int first = std::max(static_cast<int>(std::floor(t.low_hz / s.bin_hz)), s.lo_bin);
    const int last = std::min(static_cast<int>(std::ceil(t.high_hz / s.bin_hz)), s.hi_bin);
    if (first > last) return false;
    const std::vector<float> level = test_audio_spectrum_db(s, audio, count);
    int peak = first;
    for (int k = first; k <= last; ++k)
        if (level[static_cast<std::size_t>(k)] > level[static_cast<std::size_t>(peak)]) peak = k;
    const auto [low_bin, high_bin] = peak_extent(s, level, peak);
    const double low = low_bin * s.bin_hz;
    const double high = high_bin * s.bin_hz;
    const ToneComb comb = estimate_mfsk_symbol_rate(level, s.bin_hz, low, high);
    const std::uint32_t lines = comb_line_count(level, s.bin_hz, low, high, comb.spacing);
    if (comb.tones > 3 && comb.contrast >= 1.5 && lines >= comb.tones / 2 && lines <= 2 * comb.tones + 2)
        return test_olivia_candidate(s, t, audio, count, score_floor, comb.tones, false, comb.spacing, comb.contrast,
                                     comb.first_hz, (low + high) / 2.0);
    return false;
}

bool tone_count_test(ClassifierState& s, ClassifierTrack& t, const float* audio, std::size_t count,
                     double& score_floor) {
    std::uint32_t tones = 4;
    for (const std::uint32_t candidate : {8u, 16u, 32u, 64u}) {
        const auto distance = [&](std::uint32_t n) { return std::fabs(static_cast<double>(t.max_members) - n); };
        if (distance(candidate) < distance(tones)) tones = candidate;
    }
    if (std::fabs(static_cast<double>(t.max_members) - tones) > 1.0) return false;
    constexpr std::array<std::pair<double, double>, 5> kRates{
        {{15.625, 1.875}, {31.25, 3.75}, {62.5, 7.5}, {125.0, 15.0}, {250.0, 30.0}}};
    double rate = 0.0;
    for (const auto& [nominal, tolerance] : kRates) {
        if (std::fabs(t.spacing_hz - nominal) <= tolerance) {
            rate = nominal;
            break;
        }
    }
    if (rate == 0.0) return false;
    return test_olivia_candidate(s, t, audio, count, score_floor, tones, t.kind_hits > 11, rate, 3.0,
                                 t.audio_hz - (tones - 1.0) * rate / 2.0, t.audio_hz);
}

std::size_t test_samples(const ClassifierState& s, const ClassifierTrack& t) {
    const std::size_t length = std::min(s.audio_fill, ClassifierState::kTestTail);
    const double wanted = std::round((s.frame_time - t.start_time + 0.4) * ClassifierState::kRate);
    std::size_t count = length;
    if (wanted < static_cast<double>(length)) count = static_cast<std::size_t>(std::max(0.0, wanted));
    return std::min(std::max(count, kMinTestSamples), length);
}

std::vector<TrackTest> tests_for(const ClassifierTrack& t) {
    switch (t.kind) {
    case GroupKind::FSK_PAIR: return {TrackTest::rtty};
    case GroupKind::TONE_COMB: return {TrackTest::comb, TrackTest::tone_count};
    case GroupKind::IMAGE_BAND:
    case GroupKind::WEFAX_TONES: return {TrackTest::wefax};
    case GroupKind::SINGLE: break;
    }
    if (t.bandwidth_hz < 100.0) return {TrackTest::narrowband};
    if (t.bandwidth_hz < 200.0) return {TrackTest::narrowband, TrackTest::comb};
    if (t.bandwidth_hz >= 300.0 && t.audio_hz >= 1450.0 && t.audio_hz <= 2350.0) return {TrackTest::comb, TrackTest::wefax};
    return {TrackTest::comb};
}

bool verify_track(ClassifierState& s, ClassifierTrack& t, const float* audio, std::size_t count) {
    double score_floor = 0.0;
    bool accepted = false;
    for (const TrackTest test : tests_for(t)) {
        switch (test) {
        case TrackTest::rtty: accepted = rtty_test(s, t, audio, count, score_floor); break;
        case TrackTest::comb: accepted = comb_test(s, t, audio, count, score_floor); break;
        case TrackTest::tone_count: accepted = tone_count_test(s, t, audio, count, score_floor); break;
        case TrackTest::wefax: accepted = decide_wefax_variant(s, t, audio, count, score_floor); break;
        case TrackTest::narrowband: accepted = classify_narrowband_emitter(s, t, audio, count, score_floor); break;
        }
        if (accepted) break;
    }
    if (accepted) {
        t.confirmed = true;
        t.changed = true;
        t.classified = true;
    } else {
        t.quality = static_cast<float>(std::clamp(score_floor, 0.0, 0.49));
    }
    return accepted;
}

void verification_pass(ClassifierState& s) {
    if (!s.config.verify || s.audio_fill < kMinTestSamples) return;
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < s.tracks.size(); ++i)
        if (due(s, s.tracks[i])) order.push_back(i);
    if (order.empty()) return;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return s.tracks[a].last_attempt_frame < s.tracks[b].last_attempt_frame;
    });

    const std::size_t length = std::min(s.audio_fill, ClassifierState::kTestTail);
    s.tail.resize(length);
    const std::size_t ring = s.audio_ring.size();
    const std::size_t oldest = (s.audio_write + ring - length) % ring;
    for (std::size_t i = 0; i < length; ++i) s.tail[i] = s.audio_ring[(oldest + i) % ring];

    for (const std::size_t i : order) {
        ClassifierTrack& t = s.tracks[i];
        // A part of a signal named Olivia in this pass goes with the next track update.
        if (inside_named_band(s, t, Mode::OLIVIA)) continue;
        ++t.attempts;
        t.last_attempt_frame = s.frame_counter;
        const std::size_t count = test_samples(s, t);
        verify_track(s, t, s.tail.data() + (length - count), count);
    }
}

}  // namespace sig
