#pragma once

// Abstract receive engines: hardware (or a test stand-in) that computes, for every hop of the
// channelizer, the per-channel rows that the channelizer, the live audio channels and the
// spectrum views need, straight from the receiver's raw words.
//
// Contract, shared by every implementation:
// - Rows are registered and removed by identifier from any thread; the engine applies the
//   change before the next frame it launches. A frame already in flight keeps the rows it was
//   launched with; once the change applies, a removed row's identifier gives null.
// - `RawSpectrum::process`, `RawSpectrum::reset` and the result callbacks run on one thread
//   (the run loop); a `SpectrumResults` is valid only during its callback.

#include <complex>
#include <cstdint>
#include <functional>
#include <vector>

class SpectrumResults {
public:
    virtual ~SpectrumResults() = default;

    // The complex row of a registered row in this frame, interleaved re, im; null when the id
    // was not part of the frame. For a channelizer row: its channel's M/2 complex samples of
    // this hop (the second half of the channel's inverse transform).
    virtual float const* complex_row(int id) const = 0;
    // One float per segment of a registered real row: the largest power re^2 + im^2 of the
    // segment's bins, on the unscaled scale of a frame bin; null as above.
    virtual float const* real_row(int id) const = 0;
    // The strongest bin of the spectrum window in this frame: its offset from the window
    // centre and its power (unscaled, as above). False when there is no recent window or no
    // positive bin in it.
    virtual bool window_peak(std::int64_t& bin_offset, float& value) const = 0;
};

class SpectrumRows {
public:
    virtual ~SpectrumRows() = default;

    // A complex row: bin offsets relative to the bin nearest frequency_hz, and one complex
    // weight per offset given as two floats (re, im). Its frame row holds offsets.size() / 2
    // complex samples. Returns the row identifier.
    virtual int add_complex_row(std::vector<std::int64_t> offsets, std::vector<float> weights,
                                double frequency_hz) = 0;
    // A real row: bin offsets relative to the bin nearest frequency_hz and the boundaries of
    // consecutive segments (indices into offsets, the last one closing the last segment).
    virtual int add_real_row(std::vector<std::int64_t> offsets, std::vector<std::uint64_t> bounds,
                             double frequency_hz) = 0;
    virtual void remove(int id) = 0;
    // The spectrum window whose strongest bin `SpectrumResults::window_peak` reports: centre
    // +- width/2, leaving out the bins within radius of the centre. A window not set again
    // within 3 s lapses.
    virtual void set_window(double centre_hz, double width_hz, double radius_hz) = 0;
};

class RawSpectrum : public SpectrumRows {
public:
    using ResultsCallback = std::function<void(SpectrumResults const&)>;

    // Raw words per hop: one input block.
    virtual std::uint64_t block_samples() const = 0;
    // Raw words per IQ sample; block_samples() is this times the channelizer's hop.
    virtual std::uint64_t decimation() const = 0;
    // Waits for work in flight, then goes back to the start of a stream (zero history, no
    // frame in flight). The caller restarts its fill position and frame counter at 0.
    virtual void reset() = 0;
    // Where the caller writes the current block's block_samples() raw words.
    virtual std::int16_t* input_slot() = 0;
    // Processes the completed input block number `frame` and calls back with each frame that
    // has completed meanwhile: every call after the first delivers the frame launched by the
    // previous call. False when the engine has failed; it then refuses all later work.
    virtual bool process(std::uint64_t frame, ResultsCallback const& callback) = 0;
};
