#pragma once

#include <cstdint>

#include "sig/baseband.hpp"

namespace sig {

// How often the strongest of `tones` tones spaced `spacing_hz` apart (the lowest at
// first_tone_hz, relative to the baseband's centre) is the same one symbol later, above the
// 1/tones an MFSK signal's random tones give by chance: 0 at chance, 1 when it always holds.
// Read on symbol-long frames at the symbol timing that concentrates the most energy on one tone,
// each pair of frames weighted by its quieter frame. Olivia sends one tone per symbol, chosen
// afresh each time; the strongest harmonic of a voice follows a formant for a whole syllable.
// 0 when the baseband holds fewer than two symbols.
double held_tone_fraction(const Baseband& baseband, double first_tone_hz, double spacing_hz, std::uint32_t tones);

}  // namespace sig
