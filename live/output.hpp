#pragma once

// The audio delivery of one live audio channel, on a thread of its own, so that the frame thread
// that demodulates the channel never waits for a sound server, a disk or a socket. The channel's
// record chooses the destination:
// - PulseAudio (no wav, no socket): a playback stream into a private null sink
//   "norvane_<uid>_<id>" with the remap source "norvane_<uid>_<id>_input" that other programs
//   record from, into an existing sink named by `sink`, or into the server's default sink for
//   "@DEFAULT_SINK@". A failure prints one line, tears down and tries again after 5 s. The
//   server's playback rate is trimmed once a second to keep 100 ms queued; audio that piled up
//   as a stream started (the capture's first second arriving in a burst), beyond what the trim
//   takes back within a minute, is skipped a second into the stream, with one line.
// - a 16-bit mono PCM WAV file (`wav`), written as blocks arrive; a file that cannot be opened
//   or written, or that reaches the 4 GiB limit of the format, ends the recording with one line.
// - a Unix sequenced-packet audio socket (`socket`) of a listener of the same user: raw float
//   samples, at most audio_rate / 25 per packet; reconnected every second. A listener that
//   keeps dropping connections it has just taken is said once per outage, not once a second.
//
// The producer side (offer, reset) never waits: it only tries the queue lock (a block that finds
// it busy goes in with the next one) and counts what the full queue pushes out as dropped,
// reported when the Output is destroyed (what reached a WAV recording after it had ended is
// reported apart, under the reason it ended). On IQ replay the producer
// instead holds the frame thread while a delivering output has no room, so a recording is
// replayed whole into its file, socket or sound server (at the pace the listener takes it).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/audio_channel.hpp"
#include "core/wav_header.hpp"

struct OutputSettings {
    // The capture is a recorded file: wait for a delivering output instead of dropping.
    bool iq_replay = false;
    // Data bytes a WAV recording may hold before it stops (lowered by tests).
    std::uint32_t wav_limit_bytes = wav_max_data_bytes;
};

class Output {
public:
    // Starts the delivery thread. A PulseAudio channel first takes its identifier's lock in the
    // private lock directory; "Audio receiver ID is already in use" when another holder has it.
    explicit Output(AudioChannel channel, OutputSettings settings = {});
    // Stops and joins the thread (unloading any private PulseAudio devices), then reports the
    // samples the producer could not queue. Never throws.
    ~Output();
    Output(Output const&) = delete;
    Output& operator=(Output const&) = delete;

    // Producer: queues one finished block (oldest blocks give way beyond half a second); when the
    // delivery thread holds the queue for a moment, the block is queued with the next one.
    void offer(std::vector<float>&& block) noexcept;
    // After a discontinuity or a band change: what is queued for a sound server or a socket is
    // discarded, without counting it as dropped, and the delivery thread forgets its pending
    // block (stale audio would only add delay). A WAV recording keeps everything.
    void reset() noexcept;

    AudioChannel const& channel() const;
    std::uint64_t dropped_samples() const;
    // Samples waiting in the queue.
    std::uint64_t queued_samples() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// "norvane_" + effective user ID + "_" + identifier: the private PulseAudio sink of a channel.
std::string audio_endpoint_name(std::string const& id);

// Where the channel identifier locks live: $XDG_RUNTIME_DIR/norvane when the runtime directory
// is the user's private one, else "locks" in the state directory; created private (0700).
// Throws "Audio lock directory must be private to this user" when it cannot be made so.
std::filesystem::path audio_lock_directory();

// Playback rate factor that keeps a PulseAudio queue near 100 ms: one part per million per
// millisecond that the queue holds beyond 100 ms, at most 200 parts per million either way.
double output_rate_trim(double queued_seconds);

// Samples to drop at once from a PulseAudio queue a second after its stream started: all beyond
// the 100 ms the trim aims for, when the trim, at its 200 parts per million, would need more
// than a minute to take them back; otherwise 0 (the trim sees to it).
std::uint64_t output_startup_excess(std::uint64_t queued_samples, std::uint32_t audio_rate);
