#pragma once

#include "core/options.hpp"

// Refuses an --iq-file that is not an existing regular file, or that is the very file (same
// device and inode, so hard and symbolic links count) the run would write as its WAV output or,
// in the wideband modes, as ALL.TXT. Does nothing without --iq-file.
void check_iq_input(const Options& options);
