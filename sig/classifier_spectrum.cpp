#include "sig/classifier_spectrum.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <limits>

#include "sig/modems/order_statistics.hpp"

namespace sig {
namespace {

double db(double power) { return 10.0 * std::log10(power + 1e-30); }
// exp rather than pow(10, x): the same value to the last bit or two at half the cost, and the
// survey converts every bin of every detection on every frame.
double linear(double level_db) { return std::exp(level_db * (std::numbers::ln10 / 10.0)); }

// Fills a detection from the part [start, end] of a run.
Detection make_detection(const ClassifierState& s, int start, int end, int extent_lo, int extent_hi) {
    const std::vector<float>& D = s.averaged_db;
    const std::vector<float>& F = s.floor_db;
    Detection d;
    d.lo = start;
    d.hi = end;
    d.extent_lo = extent_lo;
    d.extent_hi = extent_hi;
    d.peak = start;
    for (int k = start; k <= end; ++k)
        if (D[k] > D[d.peak]) d.peak = k;
    d.peak_db = D[d.peak];
    const double edge_level = d.peak_db - 10.0;
    d.edge_lo = start;
    while (d.edge_lo < d.peak && D[d.edge_lo] < edge_level) ++d.edge_lo;
    d.edge_hi = end;
    while (d.edge_hi > d.peak && D[d.edge_hi] < edge_level) --d.edge_hi;
    d.snr = d.peak_db - F[d.peak];
    d.bandwidth = (d.edge_hi - d.edge_lo + 1) * s.bin_hz;
    for (int k = d.edge_lo; k <= d.edge_hi; ++k) d.power += s.averaged[k];
    double excess = 0.0;
    for (int k = start; k <= end; ++k) excess += std::max(0.0, linear(D[k]) - linear(F[k]));
    d.excess = excess / linear(F[d.peak]);
    const double threshold = s.config.threshold_db;
    for (int k = std::max(d.peak - 1, d.edge_lo); k <= std::min(d.peak + 1, d.edge_hi); ++k) {
        const double level = db(s.power[k]) - F[k];
        if (level >= threshold) d.present = true;
        if (level >= threshold + 2.0) d.strong = true;
    }
    if (d.bandwidth < 100.0) {
        double weighted = 0.0, total = 0.0;
        for (int k = d.edge_lo; k <= d.edge_hi; ++k) {
            const double w = std::max(0.0, static_cast<double>(s.averaged[k]) - linear(F[k]));
            weighted += k * w;
            total += w;
        }
        d.centre = total > 0.0 ? weighted / total * s.bin_hz : d.peak * s.bin_hz;
    } else {
        d.centre = (d.edge_lo + d.edge_hi) / 2.0 * s.bin_hz;
    }
    return d;
}

// Splits the run [a, b] at valleys deep enough between peaks far enough apart.
void split_run(ClassifierState& s, int a, int b) {
    const std::vector<float>& D = s.averaged_db;
    std::vector<int> peaks;
    for (int j = a; j <= b; ++j)
        if ((j == a || D[j - 1] <= D[j]) && (j == b || D[j + 1] < D[j])) peaks.push_back(j);
    int part_start = a;
    double level = peaks.empty() ? D[a] : D[peaks.front()];
    for (std::size_t p = 1; p < peaks.size(); ++p) {
        const int previous = peaks[p - 1];
        const int current = peaks[p];
        int valley = previous + 1;
        for (int k = previous + 1; k < current; ++k)
            if (D[k] < D[valley]) valley = k;
        const double deep = D[valley];
        if (deep <= level - 8.0 && deep <= D[current] - 8.0 && (current - previous) * s.bin_hz >= 40.0 &&
            valley > part_start) {
            s.detections.push_back(make_detection(s, part_start, valley - 1, part_start, valley - 1));
            part_start = valley;
            level = D[current];
        } else {
            level = std::max(level, static_cast<double>(D[current]));
        }
    }
    s.detections.push_back(make_detection(s, part_start, b, part_start, b));
}

void merge_neighbours(ClassifierState& s) {
    const std::vector<float>& D = s.averaged_db;
    std::vector<Detection>& list = s.detections;
    std::size_t i = 0;
    while (i + 1 < list.size()) {
        const Detection& p = list[i];
        const Detection& q = list[i + 1];
        const int gap = q.lo - p.hi - 1;
        bool merge = !(gap < 1 || gap * s.bin_hz > 25.0);
        if (merge && (q.peak - p.peak) * s.bin_hz >= 40.0) {
            double highest = -std::numeric_limits<double>::infinity();
            for (int k = p.hi + 1; k < q.lo; ++k) highest = std::max(highest, static_cast<double>(D[k]));
            if (highest <= std::min(p.peak_db, q.peak_db) - 8.0) merge = false;
        }
        if (merge) {
            list[i] = make_detection(s, p.lo, q.hi, p.lo, q.hi);
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        } else {
            ++i;
        }
    }
}

void absorb_spurs(ClassifierState& s) {
    std::vector<Detection>& list = s.detections;
    bool removed = true;
    while (removed) {
        removed = false;
        for (std::size_t i = 0; i < list.size(); ++i) {
            const Detection& x = list[i];
            const bool lower = i > 0 && list[i - 1].peak_db >= x.peak_db + 10.0 &&
                               (x.extent_lo - list[i - 1].extent_hi) * s.bin_hz <= 40.0;
            const bool upper = i + 1 < list.size() && list[i + 1].peak_db >= x.peak_db + 10.0 &&
                               (list[i + 1].extent_lo - x.extent_hi) * s.bin_hz <= 40.0;
            if (!lower && !upper) continue;
            std::size_t absorber = lower ? i - 1 : i + 1;
            if (lower && upper && list[i + 1].peak_db > list[i - 1].peak_db) absorber = i + 1;
            list[absorber].extent_lo = std::min(list[absorber].extent_lo, x.extent_lo);
            list[absorber].extent_hi = std::max(list[absorber].extent_hi, x.extent_hi);
            list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
            removed = true;
            break;
        }
    }
}

// A signal that stopped (its present level 10 dB under its average) decays by 0.4 a frame
// instead of by the averaging factor, so its detection does not linger.
void release_stopped(ClassifierState& s) {
    if (s.frames_since_reset < 2) return;
    const double alpha = std::max(1.0 / s.frames_since_reset, 0.25);
    const double r = 0.4 / (1.0 - alpha);
    if (!(r < 1.0)) return;
    for (const Detection& d : s.detections) {
        double present = -std::numeric_limits<double>::infinity();
        double average = -std::numeric_limits<double>::infinity();
        for (int k = d.edge_lo; k <= d.edge_hi; ++k) {
            present = std::max(present, db(s.power[k]));
            average = std::max(average, static_cast<double>(s.averaged_db[k]));
        }
        if (present > average - 10.0) continue;
        for (int k = d.extent_lo; k <= d.extent_hi; ++k) {
            s.averaged[k] = static_cast<float>(s.power[k] + (s.averaged[k] - s.power[k]) * r);
            s.averaged_db[k] = static_cast<float>(db(s.averaged[k]));
        }
    }
}

SignalGroup group_of(const ClassifierState& s, GroupKind kind, const std::vector<std::size_t>& members) {
    SignalGroup g;
    g.kind = kind;
    g.member_indices = members;
    g.members = static_cast<std::uint32_t>(members.size());
    g.peak_db = -std::numeric_limits<double>::infinity();
    for (const std::size_t m : members) {
        const Detection& d = s.detections[m];
        g.snr = std::max(g.snr, d.snr);
        g.peak_db = std::max(g.peak_db, d.peak_db);
        g.excess += d.excess;
        g.present = g.present || d.present;
        g.strong = g.strong || d.strong;
    }
    return g;
}

void take(ClassifierState& s, SignalGroup group) {
    for (const std::size_t m : group.member_indices) s.detections[m].used = true;
    s.groups.push_back(std::move(group));
}

// The unused detection nearest `hz` within 25 Hz, or -1.
long nearest_line(const ClassifierState& s, double hz, double min_peak_db) {
    long best = -1;
    double best_distance = 25.0;
    for (std::size_t i = 0; i < s.detections.size(); ++i) {
        const Detection& d = s.detections[i];
        if (d.used || d.peak_db < min_peak_db) continue;
        const double distance = std::fabs(d.centre - hz);
        if (distance <= best_distance && (best < 0 || distance < best_distance)) {
            best = static_cast<long>(i);
            best_distance = distance;
        }
    }
    return best;
}

bool covers_fax_band(const ClassifierState& s) { return s.config.low_hz <= 1500.0 && s.config.high_hz >= 2300.0; }

void group_wefax_tones(ClassifierState& s) {
    if (!covers_fax_band(s)) return;
    const long centre = nearest_line(s, 1900.0, -std::numeric_limits<double>::infinity());
    if (centre < 0) return;
    const double floor_db = s.detections[static_cast<std::size_t>(centre)].peak_db - 15.0;
    for (const double d : {300.0, 675.0, 450.0}) {
        const long lower = nearest_line(s, 1900.0 - d, floor_db);
        const long upper = nearest_line(s, 1900.0 + d, floor_db);
        if (lower < 0 || upper < 0 || lower == centre || upper == centre || lower == upper) continue;
        SignalGroup g = group_of(s, GroupKind::WEFAX_TONES,
                                 {static_cast<std::size_t>(lower), static_cast<std::size_t>(centre),
                                  static_cast<std::size_t>(upper)});
        g.centre = 1900.0;
        g.bandwidth = 800.0;
        g.low_hz = 1500.0;
        g.high_hz = 2300.0;
        g.spacing_hz = d;
        take(s, std::move(g));
        return;
    }
}

bool group_tone_comb(ClassifierState& s) {
    const std::vector<Detection>& list = s.detections;
    std::vector<std::size_t> best;
    double best_power = 0.0;
    std::vector<std::size_t> chain;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i].used) continue;
        for (std::size_t j = i + 1; j < list.size(); ++j) {
            if (list[j].used) continue;
            const double d = list[j].centre - list[i].centre;
            if (d > 260.0) break;
            if (d < 14.0) continue;
            chain.assign({i, j});
            double expected = list[j].centre + d;
            for (std::size_t k = j + 1; k < list.size(); ++k) {
                if (list[k].used) continue;
                if (list[k].centre > expected + 0.2 * d) break;
                if (std::fabs(list[k].centre - expected) <= 0.2 * d) {
                    chain.push_back(k);
                    expected += d;
                }
            }
            if (chain.size() < 4) continue;
            double low = std::numeric_limits<double>::infinity(), high = -low, power = 0.0;
            bool narrow = true;
            for (const std::size_t m : chain) {
                low = std::min(low, list[m].peak_db);
                high = std::max(high, list[m].peak_db);
                power += list[m].power;
                if (list[m].bandwidth > 1.5 * d) narrow = false;
            }
            if (high - low > 12.0 || !narrow) continue;
            if (chain.size() > best.size() || (chain.size() == best.size() && power > best_power)) {
                best = chain;
                best_power = power;
            }
        }
    }
    if (best.empty()) return false;
    SignalGroup g = group_of(s, GroupKind::TONE_COMB, best);
    const double first = list[best.front()].centre;
    const double last = list[best.back()].centre;
    g.spacing_hz = (last - first) / static_cast<double>(best.size() - 1);
    g.centre = (first + last) / 2.0;
    g.bandwidth = last - first + g.spacing_hz;
    g.low_hz = first - g.spacing_hz / 2.0;
    g.high_hz = last + g.spacing_hz / 2.0;
    take(s, std::move(g));
    return true;
}

void group_image_band(ClassifierState& s) {
    if (!covers_fax_band(s)) return;
    const int first = static_cast<int>(std::ceil(1500.0 / s.bin_hz));
    const int last = static_cast<int>(std::floor(2300.0 / s.bin_hz));
    int occupied = 0, bins = 0;
    for (int k = first; k <= last; ++k) {
        ++bins;
        if (k >= s.lo_bin && k <= s.hi_bin && s.occupied[static_cast<std::size_t>(k)]) ++occupied;
    }
    if (bins == 0 || 2 * occupied < bins) return;
    std::vector<std::size_t> members;
    for (std::size_t i = 0; i < s.detections.size(); ++i) {
        const Detection& d = s.detections[i];
        if (!d.used && d.centre >= 1450.0 && d.centre <= 2350.0) members.push_back(i);
    }
    if (members.empty() || (members.size() == 1 && s.detections[members.front()].bandwidth < 300.0)) return;
    SignalGroup g = group_of(s, GroupKind::IMAGE_BAND, members);
    g.centre = 1900.0;
    g.bandwidth = 800.0;
    g.low_hz = 1500.0;
    g.high_hz = 2300.0;
    g.spacing_hz = 0.0;
    take(s, std::move(g));
}

bool near_rejected(const ClassifierState& s, double hz) {
    for (const RejectedFrequency& r : s.rejected)
        if (std::fabs(hz - r.hz) <= 25.0) return true;
    return false;
}

bool group_fsk_pair(ClassifierState& s) {
    const std::vector<Detection>& list = s.detections;
    constexpr std::array<double, 3> kShifts{170.0, 450.0, 850.0};
    long best_i = -1, best_j = -1;
    double best_error = 0.0;
    const auto fits = [](const Detection& d) { return d.bandwidth <= 160.0; };
    const auto keyed = [](const Detection& d) { return d.bandwidth >= 15.0; };
    // Both tones keyed; or one as narrow as a carrier, which is what the mark of a signal that
    // idles on mark looks like, but only when it is the stronger of the two: a steady carrier
    // beside a weaker keyed signal pairs as well, and the RTTY test then finds its frequency on
    // one tone only.
    const auto tones = [&](const Detection& a, const Detection& b) {
        if (keyed(a) && keyed(b)) return true;
        if (keyed(a) == keyed(b)) return false;
        const Detection& narrow = keyed(a) ? b : a;
        const Detection& other = keyed(a) ? a : b;
        return narrow.peak_db > other.peak_db;
    };
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i].used || !fits(list[i])) continue;
        for (std::size_t j = i + 1; j < list.size(); ++j) {
            if (list[j].used || !fits(list[j])) continue;
            const double d = list[j].centre - list[i].centre;
            if (d > 850.0 * 1.08) break;
            if (!tones(list[i], list[j])) continue;
            if (std::fabs(list[i].peak_db - list[j].peak_db) > 12.0) continue;
            double error = std::numeric_limits<double>::infinity();
            for (const double shift : kShifts) error = std::min(error, std::fabs(d - shift) / shift);
            if (error > 0.08) continue;
            if (near_rejected(s, (list[i].centre + list[j].centre) / 2.0)) continue;
            if (best_i < 0 || error < best_error) {
                best_i = static_cast<long>(i);
                best_j = static_cast<long>(j);
                best_error = error;
            }
        }
    }
    if (best_i < 0) return false;
    const Detection& a = list[static_cast<std::size_t>(best_i)];
    const Detection& b = list[static_cast<std::size_t>(best_j)];
    SignalGroup g = group_of(s, GroupKind::FSK_PAIR,
                             {static_cast<std::size_t>(best_i), static_cast<std::size_t>(best_j)});
    g.centre = (a.centre + b.centre) / 2.0;
    g.spacing_hz = b.centre - a.centre;
    g.bandwidth = (a.bandwidth + b.bandwidth) / 2.0 + g.spacing_hz;
    g.low_hz = a.centre - a.bandwidth / 2.0;
    g.high_hz = b.centre + b.bandwidth / 2.0;
    take(s, std::move(g));
    return true;
}

}  // namespace

void update_classifier_spectrum(ClassifierState& s) {
    const auto n = static_cast<std::size_t>(s.fft_size);
    float* in = s.fft.real_input(n);
    // The ring's write position is its oldest sample once it is full.
    for (std::size_t i = 0; i < n; ++i) in[i] = s.frame_ring[(s.frame_write + i) % n] * s.window[i];
    const std::complex<float>* spectrum = s.fft.real_forward(n);
    const float scale = 4.0f / static_cast<float>(n);
    const auto bins = static_cast<std::size_t>(s.half) + 1;
    for (std::size_t k = 0; k < bins; ++k) s.power[k] = std::norm(spectrum[k] * scale);

    const double frames = std::max<double>(1.0, s.frames_since_reset);
    if (!s.averaged_started) {
        std::copy(s.power.begin(), s.power.end(), s.averaged.begin());
        s.averaged_started = true;
    } else {
        const float alpha = static_cast<float>(std::max(1.0 / frames, 0.25));
        for (std::size_t k = 0; k < bins; ++k) s.averaged[k] += alpha * (s.power[k] - s.averaged[k]);
    }
    for (std::size_t k = 0; k < bins; ++k) s.averaged_db[k] = static_cast<float>(db(s.averaged[k]));

    // A floor per segment of about 200 Hz, the low fifth of its levels, held within 6 dB of the
    // whole band's, interpolated between segment centres.
    const int lo = s.lo_bin, hi = s.hi_bin;
    const int seg = std::max(8, static_cast<int>(std::lround(200.0 / s.bin_hz)));
    const int count = std::max(1, (hi - lo + 1 + seg / 2) / seg);
    s.scratch.assign(s.averaged_db.begin() + lo, s.averaged_db.begin() + hi + 1);
    const double global = quantile(s.scratch, 0.2);
    s.segment_floor.resize(static_cast<std::size_t>(count));
    s.segment_centre.resize(static_cast<std::size_t>(count));
    for (int g = 0; g < count; ++g) {
        const int first = lo + g * seg;
        const int last = g + 1 == count ? hi : lo + (g + 1) * seg - 1;
        s.scratch.assign(s.averaged_db.begin() + first, s.averaged_db.begin() + last + 1);
        s.segment_floor[static_cast<std::size_t>(g)] = std::min(quantile(s.scratch, 0.2), global + 6.0) + 2.0;
        s.segment_centre[static_cast<std::size_t>(g)] = (first + last) / 2;
    }
    const double beta = std::max(1.0 / frames, 0.3);
    for (std::size_t k = 0; k < bins; ++k) {
        const double x = static_cast<double>(k);
        double value;
        if (count == 1 || x <= s.segment_centre.front()) {
            value = s.segment_floor.front();
        } else if (x >= s.segment_centre.back()) {
            value = s.segment_floor.back();
        } else {
            std::size_t g = 0;
            while (x > s.segment_centre[g + 1]) ++g;
            const double c0 = s.segment_centre[g], c1 = s.segment_centre[g + 1];
            value = s.segment_floor[g] + (s.segment_floor[g + 1] - s.segment_floor[g]) * (x - c0) / (c1 - c0);
        }
        if (!s.floor_started)
            s.floor_db[k] = static_cast<float>(value);
        else
            s.floor_db[k] = static_cast<float>(s.floor_db[k] + beta * (value - s.floor_db[k]));
    }
    s.floor_started = true;

    std::fill(s.occupied.begin(), s.occupied.end(), 0);
    for (int k = lo; k <= hi; ++k)
        s.occupied[static_cast<std::size_t>(k)] = s.averaged_db[k] >= s.floor_db[k] + s.config.threshold_db ? 1 : 0;
}

void find_detections(ClassifierState& s) {
    s.detections.clear();
    int k = s.lo_bin;
    while (k <= s.hi_bin) {
        if (!s.occupied[static_cast<std::size_t>(k)]) {
            ++k;
            continue;
        }
        const int a = k;
        while (k + 1 <= s.hi_bin && s.occupied[static_cast<std::size_t>(k + 1)]) ++k;
        split_run(s, a, k);
        ++k;
    }
    merge_neighbours(s);
    absorb_spurs(s);
    release_stopped(s);
}

std::pair<int, int> peak_extent(const ClassifierState& s, int peak) { return peak_extent(s, s.averaged_db, peak); }

std::pair<int, int> peak_extent(const ClassifierState& s, const std::vector<float>& level, int peak) {
    const double threshold = level[static_cast<std::size_t>(peak)] - 10.0;
    const int gap = static_cast<int>(std::lround(40.0 / s.bin_hz));
    const auto walk = [&](int step) {
        int edge = peak;
        for (;;) {
            int found = -1;
            for (int k = 1; k <= gap; ++k) {
                const int b = edge + step * k;
                if (b < s.lo_bin || b > s.hi_bin) break;
                if (level[static_cast<std::size_t>(b)] >= threshold) {
                    found = b;
                    break;
                }
            }
            if (found < 0) return edge;
            edge = found;
        }
    };
    return {walk(-1), walk(+1)};
}

void group_detections(ClassifierState& s) {
    s.groups.clear();
    std::erase_if(s.rejected, [&](const RejectedFrequency& r) { return r.until < s.frame_time; });
    for (Detection& d : s.detections) d.used = false;
    group_wefax_tones(s);
    while (group_tone_comb(s)) {
    }
    group_image_band(s);
    while (group_fsk_pair(s)) {
    }
    for (std::size_t i = 0; i < s.detections.size(); ++i) {
        const Detection& d = s.detections[i];
        if (d.used) continue;
        SignalGroup g = group_of(s, GroupKind::SINGLE, {i});
        g.members = 0;
        g.centre = d.centre;
        g.bandwidth = d.bandwidth;
        g.low_hz = (d.lo - 0.5) * s.bin_hz;
        g.high_hz = (d.hi + 0.5) * s.bin_hz;
        g.spacing_hz = 0.0;
        take(s, std::move(g));
    }
}

}  // namespace sig
