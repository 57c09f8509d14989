#pragma once

#include <complex>
#include <cstdint>

class SpectrumResults;

// One forward frame of the channelizer, handed to its spectrum hook by reference; valid only
// during the call. Natural bin k of the frame sits at bins[(k % bin_step) * (fft_size /
// bin_step) + k / bin_step].
struct SpectrumFrame {
    std::complex<float> const* bins = nullptr;  // all fft_size bins; null on the engine path
    std::uint64_t fft_size = 0;
    std::uint64_t bin_step = 1;      // natural bins between neighbouring positions of one row
    std::uint64_t sample_index = 0;  // input sample of the frame's first new sample
    double rate = 0.0;               // IQ rate in Hz
    double centre = 0.0;             // IQ centre in Hz
    SpectrumResults const* results = nullptr;  // the engine's rows; null on the processor path
    std::uint32_t lag_frames = 0;    // extra frames of delay between the input and this data
};
