#pragma once

// Overlap-save FFT filter bank: one wideband IQ stream in, one 12000 Hz real (upper-sideband)
// audio row per channel out. A forward transform of N points every hop of N/2 samples; per
// channel an M-point inverse of the bins around the channel, a fine NCO shift tied to the
// absolute sample clock, the real part, a 20 Hz DC blocker, the gain, resampling to 12000 Hz
// and clamping to -1..1.
//
// All buffers and plans are made at construction; the push calls allocate nothing but the
// growth of the caller's rows. The object belongs to one thread; its worker pool (only for
// transforms of 2^20 points and more) is used inside a call and idle between calls.

#include <complex>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/receive_engine.hpp"
#include "core/spectrum_frame.hpp"

class Channelizer {
public:
    class Impl;
};

class Channelizer::Impl {
public:
    using Rows = std::vector<std::vector<float>>;
    using SpectrumHook = std::function<void(SpectrumFrame const&)>;
    // Computes the unnormalised forward transform of N points in the channelizer's storage
    // order; false means it failed (it reports that itself) and is never called again.
    using ForwardHook = std::function<bool(std::complex<float> const*, std::complex<float>*)>;

    // frequencies: dial frequencies in Hz (lower edge of each upper-sideband passband);
    // bandwidths: one per frequency, or null to use `bandwidth` for every channel.
    Impl(double rate, double centre, double bandwidth, double gain, std::vector<double> const& frequencies,
         std::vector<double> const* bandwidths);
    ~Impl();
    Impl(Impl const&) = delete;
    Impl& operator=(Impl const&) = delete;

    // Feed samples; every completed hop appends its 12000 Hz output to rows[channel]. rows must
    // already hold one vector per channel.
    void push_iq(std::complex<float> const* samples, std::uint64_t count, Rows& rows);
    // Raw receiver words for the attached engine.
    void push_raw(std::int16_t const* raw, std::uint64_t count, Rows& rows);
    // count zero IQ samples (decimation() raw zeros each on the engine path).
    void push_zeros(std::uint64_t count, Rows& rows);
    // Forget all history: the next sample is sample 0 of a new stream.
    void reset();

    void set_spectrum_hook(SpectrumHook hook);
    void set_forward_hook(ForwardHook hook);
    // Hands the channel rows to a receive engine: checks that its block is decimation() x hop
    // raw words ("GPU receive engine frame differs from the channelizer's"), registers one
    // complex row per channel, and from then on takes each hop's rows from the engine. The rows
    // are removed from the engine when this object is destroyed.
    void attach_engine(std::shared_ptr<RawSpectrum> engine);

    // One forward transform of N points (in to out), through the forward hook when one is set.
    void forward(std::complex<float> const* in, std::complex<float>* out);
    void configure_workers(std::uint32_t count);

    double rate() const;
    double centre() const;
    double channel_rate() const;
    std::uint64_t fft_size() const;
    std::uint64_t channel_fft_size() const;
    std::uint64_t hop() const;
    std::uint64_t decimation() const;
    std::uint64_t sample_index() const;
    std::uint64_t clipped() const;
    std::uint64_t channel_count() const;
    std::vector<int> const& row_ids() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
