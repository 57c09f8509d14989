#pragma once

#include <cstddef>
#include <cstdint>

#include "sig/classifier_state.hpp"
#include "sig/classifier_track.hpp"

namespace sig {

// Confirms a comb of `tones` tones `spacing_hz` apart by its keying: the frequency of the
// signal cut out around centre_hz must step at the spacing (the symbol rate). Accepted, the
// track becomes an Olivia track of the nearest variant the modem runs, centred on the comb;
// accept_without_keying accepts on the comb alone when no keying line shows. A comb whose
// strongest tone holds from one symbol to the next well beyond chance (a voice's harmonics)
// is refused whether keyed or not. A rejection after
// the keying was looked at raises score_floor to 0.35; an impossible comb (not 125..2000 Hz
// wide, fewer than 4 tones) or too little audio returns false and leaves it.
bool test_olivia_candidate(ClassifierState& state, ClassifierTrack& track, const float* audio, std::size_t count,
                           double& score_floor, std::uint32_t tones, bool accept_without_keying, double spacing_hz,
                           double contrast, double first_hz, double centre_hz);

// Whether the track is centred within the band of another track named in this mode: for
// Olivia (and facsimile) it is then a group of that signal's tones, not a signal of its own.
bool inside_named_band(const ClassifierState& state, const ClassifierTrack& track, Mode mode);

}  // namespace sig
