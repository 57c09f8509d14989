#pragma once

// Call signs in a finished line of decoded keyboard text, each with how far it is trusted: a
// call after CQ or DE is nearly certain, one merely standing in the text is weak. Only the
// confident ones become spots; the rest travel with the line for the log and the journal.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/sig/call_evidence.hpp"

namespace sig {

inline constexpr float kDeConfidence = 0.95f;         // the call after DE
inline constexpr float kCqConfidence = 0.9f;          // the call after CQ, DX or TEST
inline constexpr float kRepeatConfidence = 0.6f;      // an unrated call that occurs twice or more
inline constexpr float kBareConfidence = 0.3f;        // any other call
inline constexpr float kAddresseeConfidence = 0.3f;   // the calls standing right before "DE call"

// The calls of a line, in the order they were first added. late_start: the line is the first
// of a track whose modem started after the signal did, so its first word may be the tail of
// something longer and counts only when it occurs again in the line.
std::vector<CallEvidence> parse_callsign_events(std::string_view line, bool late_start);

// Adds a record, or merges it into the one with the same call: the higher confidence (and its
// evidence word) wins, and an empty grid is filled in.
void add_call_evidence(std::vector<CallEvidence>& result, const CallEvidence& evidence);

// Upper-case shape of an amateur call: a prefix (one letter, two letters, or a digit and a
// letter), one digit, then 1 to 4 letters to the end.
bool looks_like_callsign(std::string_view word);

// A 4- or 6-character upper-case Maidenhead locator (FN42, FN42AB).
bool is_short_locator(std::string_view word);

// The locator standing next to word i: neighbours i+1, i-1, i+2, i-2 in that order, skipping
// words flagged as calls; empty when none.
std::string find_locator_after(const std::vector<std::string>& words, const std::vector<bool>& is_call,
                               std::size_t i);

}  // namespace sig
