#pragma once

// The signal classifier: it watches one stream of 12000 Hz audio (an analysis channel's passband,
// or one emitter of the wideband survey), follows every signal in it as a numbered track and
// names each track's mode once a test accepts it. The caller feeds blocks of audio and gets back,
// per block, which tracks started, were classified, changed and were lost.

#include <memory>

#include "core/sig/audio_block.hpp"
#include "sig/classifier_config.hpp"
#include "sig/classifier_result.hpp"
#include "sig/classifier_state.hpp"

namespace sig {

// A new classifier: every buffer sized, the frame FFT planned, track numbers starting at 1.
std::unique_ptr<ClassifierState> init_classifier(const ClassifierConfig& config);

// Processes one block of any length (frames are taken wherever the hop falls, across block
// boundaries too) and returns what changed. A discontinuity restarts the spectrum and forgets
// the signals not yet tracked; tracks stay and are lost by time. Samples that are not finite
// count as silence; a block time that is not finite continues the previous block. Exceptions
// come only from allocation and leave the state usable.
ClassifierResult classify(ClassifierState& state, const AudioBlock& block);

}  // namespace sig
