#pragma once

// The filter of a live audio channel, as the channel applies it: the response at the M bins it
// cuts out of each capture frame, in FFT order (non-negative offsets from its centre bin first).
// The filter is a Blackman-windowed sinc of N/2 + 1 taps for an N-point capture transform,
// normalised to unit sum and moved by the channel's sub-bin offset (the middle of its passband
// minus its centre bin's frequency), so that the passband sits where the channel asked for it.
//
// Designing one costs time, so channels share them: `ChannelFilter::shared` hands every channel
// of the same design the same immutable object for as long as one of them holds it (a SET that
// keeps the passband, an AGC change say, or the channels of one width on one bin grid).
// Thread-safe: ADD and SET on the control thread, a retune on its own, and analysis channels may
// ask at the same time.

#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

class ChannelFilter {
public:
    struct Design {
        std::uint64_t fft_size = 0;      // N, a power of two: the capture frames' transform
        std::uint64_t extract_size = 0;  // M, a power of two no larger than N: bins taken per frame
        double input_rate_hz = 0.0;      // capture sample rate
        double width_hz = 0.0;           // passband, high edge minus low edge
        double shift_hz = 0.0;           // middle of the passband minus the centre bin's frequency
        bool operator==(Design const&) const = default;
    };

    // Designs the filter (in double precision, transformed in single precision); the same
    // design always gives the same response, to the bit.
    explicit ChannelFilter(Design const& design);

    // The filter of this design that a channel already holds, or a new one.
    static std::shared_ptr<ChannelFilter const> shared(Design const& design);

    Design const& design() const { return design_; }
    // M values in FFT order.
    std::vector<std::complex<float>> const& response() const { return response_; }

private:
    Design design_;
    std::vector<std::complex<float>> response_;
};
