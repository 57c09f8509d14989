#pragma once

// Complex downconverters that cut one signal out of 12000 Hz channel audio: a windowed-sinc
// lowpass around the centre frequency, one output per `decimation` input samples, the mixer
// phase running on from input sample 0 (output k describes inputs k*D .. k*D + taps - 1).

#include <cstddef>

#include "sig/baseband.hpp"

namespace sig {

// 384 taps, cutoff_hz either side of centre_hz, unit gain at the centre. Fewer than 384 samples
// (or a decimation below 1) give the empty record.
Baseband downconvert_audio(const float* audio, std::size_t n, int decimation, double centre_hz, double cutoff_hz);

// The decimation whose baseband rate (500 .. 3000 Hz) carries needed_rate.
int baseband_decimation(double needed_rate);

// The facsimile band: 192 taps, 480 Hz either side of 1900 Hz. Fewer than 192 samples give the
// empty record.
Baseband downconvert_audio_1900(const float* audio, std::size_t n, int decimation);

}  // namespace sig
