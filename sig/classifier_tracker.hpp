#pragma once

#include "sig/classifier_state.hpp"

namespace sig {

// Once per frame after grouping: matches the frame's groups to the tracks and moves the tracks
// with them, drops unconfirmed tracks swallowed by a wider group, and turns groups seen often
// enough into new tracks (through the pending list).
void update_tracks(ClassifierState& state);

}  // namespace sig
