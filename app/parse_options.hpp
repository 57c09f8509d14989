#pragma once

#include <cstddef>
#include <cstdint>

#include "core/options.hpp"

// Turns the process arguments (after merging the --config file in front of them) into the
// run's Options: every argument in order, then the decoder channel expansion, the derived
// values and every cross-option rule. The first violation throws std::runtime_error with the
// user's message (CaptureFitError when channels do not fit the capture); no partial record
// escapes.
Options parse_options(int argc, char const* const* argv);

// How many decoder jobs run at once when --workers is not given: one per channel, but no more
// than half the hardware threads (at least 1) and never more than 32.
std::uint32_t choose_decoder_workers(std::size_t channels, unsigned hardware_threads);
