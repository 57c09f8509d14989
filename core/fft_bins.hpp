#pragma once

#include <cstdint>

// Bin arithmetic of an N-point transform whose output is in FFT order (non-negative offsets
// first), shared by the channelizer and the live channels that read its frames.

// Offset of entry k of an M-point list in FFT order.
inline std::int64_t fft_order_offset(std::uint64_t k, std::uint64_t m)
{
    return k < m / 2 ? static_cast<std::int64_t>(k) : static_cast<std::int64_t>(k) - static_cast<std::int64_t>(m);
}

// Index in 0..n-1 of a bin offset that may be negative or beyond n (wrapped modulo n).
inline std::uint64_t natural_bin(std::int64_t bin, std::uint64_t n)
{
    auto const size = static_cast<std::int64_t>(n);
    return static_cast<std::uint64_t>(((bin % size) + size) % size);
}
