#pragma once

#include <cstddef>

#include "sig/classifier_state.hpp"
#include "sig/classifier_track.hpp"

namespace sig {

// The facsimile test of a signal in the 1500..2300 Hz band: a start or stop tone pattern with a
// steady envelope, or a frequency-modulated band that fills at least two of the four 200 Hz
// parts of -400..+400 Hz around 1900 Hz. A filled band that is not facsimile is searched for an
// Olivia comb. Raises score_floor by 0.15 per facsimile condition met when it rejects. A chart is
// named without a variant, so that the WEFAX modem measures speed and index itself.
bool decide_wefax_variant(ClassifierState& state, ClassifierTrack& track, const float* audio, std::size_t count,
                          double& score_floor);

}  // namespace sig
