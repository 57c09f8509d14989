#pragma once

// The live engine of one receiver run: its live audio channels (each an AudioDSP demodulator
// with its Output), its capture monitor with the waterfall views, and its private control
// socket. (Analysis channel front ends join the same frame processing and team.)
//
// The control socket (when a path is given) is a Unix sequenced-packet socket in a directory
// private to the user, guarded by the lock file "<path>.lock"; a relative path is taken from
// the current directory. A connection carries one request of 1..4096 bytes and gets one reply
// of at most 16000 bytes (a longer one is cut at a line and ends with a "..." line); only
// peers running as the same user are served. Replies begin "OK" on success and "ERROR "
// followed by the message on failure.
//
// Commands: ADD <spec>, SET <spec>, REMOVE <id>, CLEAR, STATUS, SPECTRUM ..., RADIO ... (to the
// RADIO hook). The channel set is never edited in place: a command builds a new set and
// publishes it with one atomic store; the set it replaced is released on the control thread
// once the frame thread has let go of it, so an Output's thread is never joined on the frame
// path.
//
// Construction replays the start-up channels (their parsed records, not their texts) and
// throws the first failure (a std::runtime_error or CaptureFitError whose message is the
// user's text), leaving no socket, lock, channel or thread behind. The destructor joins the
// control thread, so no RADIO hook call is in flight after it returns, and removes the socket
// (the lock file stays, unlocked).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/receive_engine.hpp"
#include "core/spectrum_frame.hpp"
#include "live/analysis_settings.hpp"
#include "live/audio_channel_spec.hpp"

class LiveAudio {
public:
    using RadioHook = std::function<std::string(std::string const&)>;

    // capture_width_hz: the usable capture width the channels must fit (centre +- 0.45 x width).
    // radio_hook answers RADIO requests (empty on IQ replay); radio_only refuses everything else.
    LiveAudio(double capture_rate_hz, double capture_centre_hz, double capture_width_hz, std::string control_path,
              std::vector<AudioChannel> const& channels, RadioHook radio_hook, bool radio_only,
              AnalysisSettings settings, std::shared_ptr<SpectrumRows> engine);
    ~LiveAudio();
    LiveAudio(LiveAudio const&) = delete;
    LiveAudio& operator=(LiveAudio const&) = delete;

    // One control request in, its reply out; failures are thrown with the user's message and
    // leave the channels as they were.
    std::string handle_command(std::string const& request);

    // The channelizer's spectrum hook: once per forward frame, on the capture's thread. Runs
    // every channel on the frame (inline for three channels or fewer and always on IQ replay,
    // otherwise spread over the ChannelTeam), then the monitor. Never waits for audio delivery.
    void process(SpectrumFrame const& frame);

    // After an IQ discontinuity or a band change, on the capture's thread between frames: every
    // channel forgets its history and its queued audio. Never throws, never waits for a lock.
    void reset_audio();

    // The decoder dial frequencies that STATUS lists, rounded to whole hertz.
    void set_decoder_frequencies(std::vector<double> const& dial_frequencies_hz);

    // Throws CaptureFitError when a channel would not fit a capture centred at centre_hz.
    void check_retune(double centre_hz);

    // Builds every channel, and a fresh monitor, for a capture centred at centre_hz beside the
    // running ones (each channel keeps its Output, so files, sinks and sockets go on); the
    // returned action (commit_retune) installs them all at once: run it on the capture's thread
    // between frames. Changes nothing live; throws what check_retune or a channel build throws.
    std::function<void()> prepare_retune(double centre_hz);

    // Worker threads of the ChannelTeam; 0 while every frame has run inline.
    unsigned channel_team_workers() const;

    // Audio samples the running channels' outputs hold in their queues, and have dropped.
    struct OutputCounts {
        std::uint64_t queued = 0;
        std::uint64_t dropped = 0;
    };
    OutputCounts output_counts() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
