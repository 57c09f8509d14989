#pragma once

#include <vector>

// 12000 Hz audio of one WSPR or FT4 transmission, built from the channel symbols that the
// WSJT-X encoders print (wsprsim -c, ft4code): the package has no simulator that writes audio
// for these two modes. Each returns exactly one interval with the transmission at its usual
// place in it, amplitude peak `amplitude`.
namespace testbed {

// 162 symbols (0..3) of 8192 samples, tone spacing 12000/8192 Hz, tones centred on audio_hz,
// starting one second into the 120 s interval.
std::vector<float> wspr_audio_from_symbols(std::vector<int> const& symbols, double audio_hz, double amplitude);

// 105 tones (0..3) including the two ramp symbols, Gaussian-filtered FSK (BT 1) of 576 samples
// per symbol, tone spacing 12000/576 Hz with tone 0 at audio_hz, amplitude ramped over the
// first and last symbol, starting 0.5 s into the 7.5 s interval.
std::vector<float> ft4_audio_from_tones(std::vector<int> const& tones, double audio_hz, double amplitude);

}  // namespace testbed
