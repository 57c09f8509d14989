#include "sig/classifier_tracker.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "sig/test_olivia_candidate.hpp"

namespace sig {
namespace {

struct Pair {
    double distance;
    std::size_t track;
    std::size_t group;
};

// Whether a signal of this centre and band may be the group: close centres (within half the
// larger bandwidth, at least 7 Hz) or bands overlapping by half the narrower one.
bool qualifies(double centre, double bandwidth, double low, double high, const SignalGroup& g, double& distance) {
    distance = std::fabs(centre - g.centre);
    if (distance <= std::max(7.0, std::max(g.bandwidth, bandwidth) / 2.0)) return true;
    const double overlap = std::min(high, g.high_hz) - std::max(low, g.low_hz);
    const double narrower = std::min(high - low, g.high_hz - g.low_hz);
    return overlap > 0.0 && overlap >= 0.5 * std::max(1.0, narrower);
}

// The 0.3 step towards the group of the centre, bandwidth, band, spacing and member counts.
void follow(ClassifierTrack& t, const SignalGroup& g) {
    t.smoothed_hz += 0.3 * (g.centre - t.smoothed_hz);
    t.bandwidth_hz += 0.3 * (g.bandwidth - t.bandwidth_hz);
    t.low_hz += 0.3 * (g.low_hz - t.low_hz);
    t.high_hz += 0.3 * (g.high_hz - t.high_hz);
    if (g.spacing_hz > 0.0) t.spacing_hz += 0.3 * (g.spacing_hz - t.spacing_hz);
    t.members = g.members;
    if (g.members > 0) t.max_members = std::max(t.max_members, g.members);
}

// The track takes the group's kind and shape outright.
void adopt(ClassifierTrack& t, const SignalGroup& g) {
    t.kind = g.kind;
    t.smoothed_hz = g.centre;
    t.audio_hz = g.centre;
    t.bandwidth_hz = g.bandwidth;
    t.low_hz = g.low_hz;
    t.high_hz = g.high_hz;
    t.spacing_hz = g.spacing_hz;
    t.members = g.members;
    t.max_members = g.members;
}

// A confirmed track's published frequency moves only when the smoothed one has left it by
// more than 3 Hz or 5 % of the bandwidth, so its modem is not retuned for every wobble.
void settle(ClassifierTrack& t) {
    if (!t.confirmed || std::fabs(t.smoothed_hz - t.audio_hz) > std::max(3.0, 0.05 * t.bandwidth_hz))
        t.audio_hz = t.smoothed_hz;
}

// One tone of an FSK pair seen alone pulls the pair's centre by a fifth of its offset.
void follow_tone(ClassifierTrack& t, const SignalGroup& g) {
    const double upper = t.audio_hz + t.spacing_hz / 2.0;
    const double lower = t.audio_hz - t.spacing_hz / 2.0;
    const double nearer = std::fabs(g.centre - upper) < std::fabs(g.centre - lower) ? upper : lower;
    const double offset = g.centre - nearer;
    if (std::fabs(offset) > std::max(15.0, 0.15 * t.spacing_hz)) return;
    t.smoothed_hz += 0.2 * offset;
    settle(t);
}

void match(ClassifierState& s, ClassifierTrack& t, const SignalGroup& g) {
    const bool single = g.kind == GroupKind::SINGLE;
    if (!t.confirmed) {
        if (single && t.kind == GroupKind::SINGLE) {
            if (g.bandwidth >= 0.6 * t.bandwidth_hz || g.low_hz < t.low_hz - 10.0 || g.high_hz > t.high_hz + 10.0) {
                follow(t, g);
                t.audio_hz = t.smoothed_hz;
                ++t.kind_hits;
            } else {
                // A narrow part of a wider signal moves only the centre, slowly.
                t.smoothed_hz += 0.05 * (g.centre - t.smoothed_hz);
                t.audio_hz = t.smoothed_hz;
            }
        } else if (single && s.frame_time - t.kind_time >= 2.0) {
            adopt(t, g);
            t.kind = GroupKind::SINGLE;
            t.kind_hits = 1;
        } else if (single && t.kind == GroupKind::FSK_PAIR) {
            follow_tone(t, g);
        } else if (!single && g.kind == t.kind) {
            follow(t, g);
            t.audio_hz = t.smoothed_hz;
            ++t.kind_hits;
            t.kind_time = s.frame_time;
        } else if (!single) {
            adopt(t, g);
            t.kind_hits = 1;
            t.kind_time = s.frame_time;
        }
    } else if (t.mode == Mode::OLIVIA) {
        // The variant fixes the band and the comb the centre; the groups of an Olivia signal are
        // whichever of its tones were sent lately, and their middle wanders over the band.
    } else if (g.kind == t.kind) {
        follow(t, g);
        settle(t);
        ++t.kind_hits;
    } else if (single && t.kind == GroupKind::FSK_PAIR) {
        follow_tone(t, g);
    }
    t.snr_db += 0.3 * (g.snr - t.snr_db);
    const double in_2500 = 10.0 * std::log10(std::max(g.excess, 1e-6) * s.bin_hz / 2500.0);
    if (t.snr_2500_db < -900.0)
        t.snr_2500_db = in_2500;
    else
        t.snr_2500_db += 0.3 * (in_2500 - t.snr_2500_db);
    if (g.present) t.last_seen = s.frame_time;
    t.changed = true;
}

void update_pending(ClassifierState& s, const std::vector<bool>& group_matched) {
    for (PendingTrack& p : s.pending) {
        p.hit = false;
        p.matched = false;
    }
    for (std::size_t gi = 0; gi < s.groups.size(); ++gi) {
        if (group_matched[gi]) continue;
        const SignalGroup& g = s.groups[gi];
        const bool inside_track = std::any_of(s.tracks.begin(), s.tracks.end(), [&](const ClassifierTrack& t) {
            return g.low_hz >= t.low_hz - 10.0 && g.high_hz <= t.high_hz + 10.0;
        });
        if (inside_track) continue;
        PendingTrack* nearest = nullptr;
        double nearest_distance = 0.0;
        for (PendingTrack& p : s.pending) {
            double distance = 0.0;
            if (p.matched || !qualifies(p.centre, p.bandwidth, p.low_hz, p.high_hz, g, distance)) continue;
            if (nearest == nullptr || distance < nearest_distance) {
                nearest = &p;
                nearest_distance = distance;
            }
        }
        if (nearest != nullptr) {
            PendingTrack& p = *nearest;
            if (p.kind == g.kind) {
                p.centre += 0.5 * (g.centre - p.centre);
                p.bandwidth += 0.5 * (g.bandwidth - p.bandwidth);
                p.low_hz += 0.5 * (g.low_hz - p.low_hz);
                p.high_hz += 0.5 * (g.high_hz - p.high_hz);
            } else {
                p.kind = g.kind;
                p.centre = g.centre;
                p.bandwidth = g.bandwidth;
                p.low_hz = g.low_hz;
                p.high_hz = g.high_hz;
            }
            p.members = g.members;
            p.snr += 0.5 * (g.snr - p.snr);
            p.spacing_hz = g.spacing_hz;
            p.matched = true;
            if (g.strong) {
                p.misses = 0;
                if (s.frame_counter - p.last_hit_frame >= 2) {
                    ++p.hits;
                    p.last_hit_frame = s.frame_counter;
                }
                p.hit = true;
            }
        } else {
            PendingTrack p;
            p.kind = g.kind;
            p.centre = g.centre;
            p.bandwidth = g.bandwidth;
            p.low_hz = g.low_hz;
            p.high_hz = g.high_hz;
            p.snr = g.snr;
            p.spacing_hz = g.spacing_hz;
            p.members = g.members;
            p.first_time = s.frame_time;
            p.first_frame = s.frame_counter;
            p.last_hit_frame = s.frame_counter;
            p.hits = g.strong ? 1 : 0;
            p.misses = 0;
            p.hit = g.strong;
            p.matched = true;
            s.pending.push_back(p);
        }
    }
}

void promote_pending(ClassifierState& s) {
    const std::uint64_t frames_needed =
        static_cast<std::uint64_t>(s.config.min_hits) + static_cast<std::uint64_t>(s.fft_size / s.hop) - 1;
    for (std::size_t i = s.pending.size(); i-- > 0;) {
        PendingTrack& p = s.pending[i];
        if (!p.hit) {
            ++p.misses;
            if (p.misses >= 3) {
                s.pending.erase(s.pending.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
        }
        if (p.hits < s.config.min_hits || s.frame_counter + 1 - p.first_frame < frames_needed) continue;
        ClassifierTrack t;
        t.track = s.next_track++;
        t.mode = Mode::UNKNOWN;
        t.audio_hz = p.centre;
        t.smoothed_hz = p.centre;
        t.bandwidth_hz = p.bandwidth;
        t.low_hz = p.low_hz;
        t.high_hz = p.high_hz;
        t.snr_db = p.snr;
        t.spacing_hz = p.spacing_hz;
        t.kind = p.kind;
        t.snr_2500_db = -999.0;
        t.start_time = p.first_time;
        t.last_seen = s.frame_time;
        t.kind_time = p.kind == GroupKind::SINGLE ? 0.0 : s.frame_time;
        t.members = p.members;
        t.max_members = p.members;
        t.kind_hits = p.hits;
        t.started = true;
        t.changed = true;
        s.tracks.push_back(t);
        s.pending.erase(s.pending.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

}  // namespace

void update_tracks(ClassifierState& s) {
    // Nearest pairs first, each track and each group taken once.
    std::vector<Pair> pairs;
    for (std::size_t ti = 0; ti < s.tracks.size(); ++ti) {
        const ClassifierTrack& t = s.tracks[ti];
        for (std::size_t gi = 0; gi < s.groups.size(); ++gi) {
            double distance = 0.0;
            if (qualifies(t.audio_hz, t.bandwidth_hz, t.low_hz, t.high_hz, s.groups[gi], distance))
                pairs.push_back({distance, ti, gi});
        }
    }
    std::stable_sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.distance < b.distance; });
    std::vector<long> group_of_track(s.tracks.size(), -1);
    std::vector<bool> group_matched(s.groups.size(), false);
    for (const Pair& p : pairs) {
        if (group_of_track[p.track] >= 0 || group_matched[p.group]) continue;
        group_of_track[p.track] = static_cast<long>(p.group);
        group_matched[p.group] = true;
    }
    for (std::size_t ti = 0; ti < s.tracks.size(); ++ti)
        if (group_of_track[ti] >= 0) match(s, s.tracks[ti], s.groups[static_cast<std::size_t>(group_of_track[ti])]);

    // An unconfirmed track inside the band of a matched group of several detections was a part
    // of that signal (one tone of a pair, one line of a comb): it goes.
    std::vector<bool> remove(s.tracks.size(), false);
    for (std::size_t ti = 0; ti < s.tracks.size(); ++ti) {
        const ClassifierTrack& t = s.tracks[ti];
        if (t.confirmed) continue;
        // Likewise a track centred in the band of a named Olivia signal: a group of its tones.
        if (inside_named_band(s, t, Mode::OLIVIA)) {
            remove[ti] = true;
            continue;
        }
        if (group_of_track[ti] >= 0) continue;
        for (std::size_t owner = 0; owner < s.tracks.size(); ++owner) {
            const long gi = group_of_track[owner];
            if (gi < 0 || owner == ti) continue;
            const SignalGroup& g = s.groups[static_cast<std::size_t>(gi)];
            if (g.kind != GroupKind::SINGLE && g.low_hz - 10.0 <= t.low_hz && t.high_hz <= g.high_hz + 10.0) {
                remove[ti] = true;
                break;
            }
        }
    }
    for (std::size_t ti = s.tracks.size(); ti-- > 0;) {
        if (!remove[ti]) continue;
        s.result.lost.push_back(s.tracks[ti]);
        s.tracks.erase(s.tracks.begin() + static_cast<std::ptrdiff_t>(ti));
    }

    if (s.frames_since_reset < 6) return;
    update_pending(s, group_matched);
    promote_pending(s);
}

}  // namespace sig
