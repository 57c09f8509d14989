#pragma once

// The demodulator of one live audio channel. It never sees IQ samples: each forward frame of
// the wideband capture arrives through LiveAudio::process, and the chain cuts its own bins out
// of it (overlap-save filtering in the frequency domain), brings them back to the time domain
// at an intermediate rate of at least 24 kHz, demodulates USB, LSB, AM or FM (with
// de-emphasis), and resamples to the channel's output rate. With a receive engine the bin
// extraction, filter and inverse transform are one engine row, and each frame hands back the
// row's time samples instead.
//
// The same chain, without an Output, is the front of an analysis channel: the block step
// (process_channel_block) is shared, and its state is all here.
//
// Threads: one thread steps a chain at a time (the capture's thread or one ChannelTeam
// worker); reset runs on the capture's thread between frames. The control thread reads the
// channel record and changes the gain (set_gain) while frames run: the working gain is atomic,
// and nothing else of the record is read by the frame path.

#include <atomic>
#include <complex>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/audio_channel.hpp"
#include "core/receive_engine.hpp"
#include "core/spectrum_frame.hpp"

class ChannelFilter;
class Output;

class AudioDSP {
public:
    // Throws "Audio bandwidth exceeds input rate" when the channel needs more bins than the
    // capture's transform has, or libsamplerate's text when the resampler cannot be made. With
    // an engine the chain registers its row there and removes it again when it goes.
    AudioDSP(AudioChannel&& channel, double input_rate_hz, double input_centre_hz,
             std::shared_ptr<SpectrumRows> engine);
    ~AudioDSP();
    AudioDSP(AudioDSP const&) = delete;
    AudioDSP& operator=(AudioDSP const&) = delete;

    // The block step of a live audio channel and the hand-off of the block to its Output (which
    // never waits). A failing step disables the channel for good with the line
    // "Audio <id>: disabled: <reason>". Never throws.
    void process(SpectrumFrame const& frame) noexcept;

    // After a discontinuity or a band change: the demodulator and resampler forget their history
    // (the Output is reset by its owner).
    void reset() noexcept;

    AudioChannel const& channel() const;
    // Control thread: a new gain for the running chain, from the next block on.
    void set_gain(double gain);
    double working_gain() const;

    std::shared_ptr<Output> const& output() const;
    void set_output(std::shared_ptr<Output> output);
    bool disabled() const;

    // Geometry: the capture transform it expects, the bins it takes, their rate.
    std::uint64_t fft_size() const;
    std::uint64_t extract_size() const;
    double intermediate_rate() const;
    double input_rate() const;
    std::int32_t centre_bin() const;
    int engine_row() const;  // -1 without an engine
    // The filter, shared with every chain of the same design.
    std::shared_ptr<ChannelFilter const> const& filter() const;

private:
    friend void process_channel_block(AudioDSP& chain, SpectrumFrame const& frame, std::vector<float>& out);
    struct State;
    std::unique_ptr<State> state_;
};

// One block step: clears `out` and fills it with the frame's new samples at the channel's
// output rate, each within -1..1 (non-finite input becomes silence, never a poisoned state).
// Throws "Audio FFT geometry changed" for a frame of another transform, "Audio resampler
// stalled" or libsamplerate's text. On the engine path a frame without this chain's row gives
// an empty block.
void process_channel_block(AudioDSP& chain, SpectrumFrame const& frame, std::vector<float>& out);
