#pragma once

#include "core/options.hpp"
#include "core/run_file.hpp"

// The start-up checks of the files a run touches, before anything is opened:
// - --iq-file must be an existing regular file ("IQ input must be an existing regular file");
// - no two of run_files may clash (run_files_clash): be the same file (same device and inode
//   when it exists, the same name in the same directory when it does not yet, symbolic and hard
//   links followed; the standard streams by the file they were at start), or an audio channel's
//   output lie in the picture directory. The error names both. Only the pairs of may_share_file
//   may be one file.
void check_run_files(Options const& options);
