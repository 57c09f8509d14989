#pragma once

#include <cstddef>

namespace sig {

// SSTV sends a short sync pulse at 1200 Hz before every line (5 to 20 ms), below the band that a
// weather chart never leaves (black 1500 Hz, white 2300 Hz). Both fill the band between with
// picture tones and look alike there; the pulses tell them apart.

// The share of the audio's instants (at 500 Hz) that belong to such a pulse: the power within
// 150 Hz of 1200 Hz exceeds the power within 400 Hz of 1900 Hz at the same instant (the signal
// has left the band) and ten times its own median (a pulse, not a steady line such as a start
// tone's sideband at 1225 or 1300 Hz), for at least two instants in a row (noise gives single
// ones). 0 for fewer than 384 samples.
double sstv_sync_share(const float* audio, std::size_t count);

// The audio holds SSTV line sync: three instants in a thousand or more. One 9 ms Scottie DX pulse
// in two seconds gives about five; a chart at 6 dB gives at most two.
bool shows_sstv_sync(const float* audio, std::size_t count);

}  // namespace sig
