#pragma once

// Modems hand back decoded characters in pieces of any size. The assembler gathers them per
// track into lines, finishes a line at 80 characters or when its track falls silent, and turns
// each finished line into a text event carrying the call signs found in it, followed by a spot
// event for every confident call not spotted in the same mode within the hold time. The events
// go back to the owner (an analyzer, a survey decoder), which completes and dispatches them.
//
// No lock: its owner calls it from one thread at a time.

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/sig/candidate.hpp"
#include "core/sig/event.hpp"
#include "sig/pending_line.hpp"

namespace sig {

class LineAssembler {
public:
    // The parameters every owner uses.
    static constexpr double kIdleFlushS = 1.5;
    static constexpr std::size_t kMaxLineChars = 80;
    static constexpr float kMinCallConf = 0.8f;
    static constexpr double kSpotHoldS = 300.0;
    // Olivia sends slowly and pauses between blocks: its lines wait at least this long.
    static constexpr double kOliviaIdleS = 5.0;
    // A call is forgotten this long after it was last seen in a line.
    static constexpr double kCallMemoryS = 600.0;

    LineAssembler(double idle_flush_s = kIdleFlushS, std::size_t max_line_chars = kMaxLineChars,
                  float min_call_conf = kMinCallConf, double spot_hold_s = kSpotHoldS);

    // Adds decoded text of a track received at time t; returns the events of every line this
    // piece completed (usually none). The candidate's description is taken over on every call.
    std::vector<Event> append(const Candidate& track, const std::string& text, double t);

    // Finishes every pending line idle for at least its idle time at `now`; tracks stay known.
    std::vector<Event> flush_aged(double now);

    // Finishes the line of a track that ended and forgets the track and its late-start mark.
    std::vector<Event> flush_track(std::uint32_t track, double t);

    // The track's modem started without hearing the signal's beginning: its next finished line
    // trusts its first word only when it occurs again.
    void mark_late_start(std::uint32_t track);

    // The common end: one text event, then its spot events; nothing for a blank line.
    std::vector<Event> finish_line(const PendingLine& line, double t);

private:
    struct CallSeen {
        int count = 0;
        double last_t = 0.0;
    };

    void remember_spot(const std::string& key, double t);

    double idle_flush_s_;
    std::size_t max_line_chars_;
    float min_call_conf_;
    double spot_hold_s_;
    std::map<std::uint32_t, PendingLine> tracks_;
    std::map<std::string, double> last_spot_;  // "CALL|MODE" -> time of its last spot event
    std::size_t prune_spots_at_ = 1024;
    std::map<std::string, CallSeen> call_history_;
    std::set<std::uint32_t> late_start_tracks_;
};

}  // namespace sig
