#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "core/unfilled_allocator.hpp"

// Why a block does not continue the previous one (bits of IqBlock::gap_flags).
// The decoder capture bridges a gap with zeros only when GAP_SEQUENCE or GAP_DROPPED says
// how much is missing and neither GAP_SOURCE_RESET nor GAP_UNKNOWN_SIZE says it cannot know.
inline constexpr std::uint32_t GAP_SOURCE_RESET = 1;  // the source restarted; loss unknown
inline constexpr std::uint32_t GAP_SEQUENCE = 2;      // the backend's sample numbering jumped
inline constexpr std::uint32_t GAP_DROPPED = 4;       // a known number of samples was dropped
inline constexpr std::uint32_t GAP_UNKNOWN_SIZE = 8;  // a discontinuity of unknown size

// A block's IQ samples. Every producer writes all it grows the vector by, so growth leaves the
// new samples unwritten rather than zero-filling them first.
using IqSamples = std::vector<std::complex<float>, UnfilledAllocator<std::complex<float>>>;

// One block of received IQ, handed from a backend's thread to the run loop through the
// SampleQueue. Blocks travel by move; the sample vectors are never copied on the way.
struct IqBlock {
    IqSamples samples;  // full scale about +-1.0
    bool discontinuity = false;
    double utc = 0.0;  // UTC of the first sample, seconds since the UNIX epoch
    std::uint32_t gap_flags = 0;
    std::uint64_t gap_samples = 0;  // IQ samples missing right before this block, where known
    std::uint32_t expected_sample = 0;  // sequence-gap diagnostics (GAP_SEQUENCE)
    std::uint32_t received_sample = 0;
    std::vector<std::int16_t> raw;  // raw ADC samples instead of `samples` (RX-888 engine path)
    std::uint32_t raw_per_sample = 1;

    // Length in IQ samples: every queue count and gap is in these units. A raw block whose
    // raw_per_sample was left at 0 counts one raw sample per IQ sample rather than dividing by 0.
    std::uint64_t length() const
    {
        if (raw.empty())
            return samples.size();
        return raw.size() / (raw_per_sample == 0 ? 1u : raw_per_sample);
    }
};
