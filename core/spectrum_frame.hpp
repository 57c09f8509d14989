#pragma once

#include <algorithm>
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

// Storage position in a frame of N = fft_size points of FFT bin b (0 <= b < N).
inline std::uint64_t frame_position(std::uint64_t bin, std::uint64_t fft_size)
{
    std::uint64_t const columns = std::min<std::uint64_t>(fft_size, 1024);
    std::uint64_t const step = fft_size / columns;
    return (bin % step) * columns + bin / step;
}

// A signed bin number taken modulo N (a power of two) into -N/2 .. N/2-1: how every list of bins
// handed to a receive engine is written, so that the engine reads the bins a frame lookup
// (which wraps modulo N) reads.
inline std::int64_t wrap_signed_bin(std::int64_t bin, std::uint64_t fft_size)
{
    auto const n = static_cast<std::int64_t>(fft_size);
    std::int64_t const natural = ((bin % n) + n) % n;
    return natural >= n / 2 ? natural - n : natural;
}
