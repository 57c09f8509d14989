#pragma once

// The per-frame spectrum work of the signal classifier: the averaged spectrum and its noise
// floor, the detections standing above it, and their grouping into signals.

#include <utility>
#include <vector>

#include "sig/classifier_state.hpp"

namespace sig {

// Window and transform the frame ring, update the averaged spectrum, the noise floor and the
// occupied bins. frames_since_reset must already count this frame.
void update_classifier_spectrum(ClassifierState& state);

// The frame's detections: runs of occupied bins split at deep valleys, close neighbours merged,
// spurs beside strong signals absorbed, and signals that stopped decayed faster.
void find_detections(ClassifierState& state);

// The frame's signal groups from its detections: facsimile tones, tone combs, the facsimile
// band, FSK pairs, then every detection left over as a single.
void group_detections(ClassifierState& state);

// The bins around a peak of the averaged spectrum that belong to its signal: from the peak
// outwards, repeatedly the nearest bin within 40 Hz of the edge that stands within 10 dB of the
// peak, inside the searched range.
std::pair<int, int> peak_extent(const ClassifierState& state, int peak);
// The same over another spectrum on the classifier's bins.
std::pair<int, int> peak_extent(const ClassifierState& state, const std::vector<float>& level, int peak);

}  // namespace sig
