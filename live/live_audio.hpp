#pragma once

// The live engine of one receiver run: its live audio and analysis channels, its capture
// monitor and its private control socket.
//
// The control socket (when a path is given) is a Unix sequenced-packet socket in a directory
// private to the user, guarded by the lock file "<path>.lock". A connection carries one request
// of 1..4096 bytes and gets one reply; only peers running as the same user are served. Replies
// begin "OK" on success and "ERROR " followed by the message on failure.
//
// Construction replays the start-up channels through handle_command and throws the first
// failure (a std::runtime_error or CaptureFitError whose message is the user's text), leaving
// no socket, lock or thread behind. The destructor joins the control thread, so no RADIO hook
// call is in flight after it returns, and removes the socket (the lock file stays, unlocked).

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

    // One control request in, its reply out; failures are thrown with the user's message.
    std::string handle_command(std::string const& request);

    // The channelizer's spectrum hook: once per forward frame, on the capture's thread.
    void process(SpectrumFrame const& frame);

    // After an IQ discontinuity or a band change: every channel forgets its history. Never throws.
    void reset_audio();

    // The decoder dial frequencies that STATUS lists, rounded to whole hertz.
    void set_decoder_frequencies(std::vector<double> const& dial_frequencies_hz);

    // Throws CaptureFitError when a channel would not fit a capture centred at centre_hz.
    void check_retune(double centre_hz);

    // Builds everything needed for a capture centred at centre_hz beside the running sets; the
    // returned action installs it (run it between frames). Changes nothing live.
    std::function<void()> prepare_retune(double centre_hz);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
