#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/unique_fd.hpp"

struct Options;
struct pa_simple;

// Mono float audio out: a 16-bit PCM WAV file when options.wav is set (the decoder workers'
// interval files, or --wav in audio mode), otherwise PulseAudio playback. Unless --sink named a
// sink of the user's own, PulseAudio playback first makes sure the server has our virtual
// devices: the null sink "norvane_rx" and the source "norvane_rx_input" on its monitor, which
// other programs record from; they stay loaded after we exit. Used by one thread at a time.
// A WAV file gets a correct header even when the run ends by an error: the destructor
// completes what finish did not, and after a failed write (a full disk) the header counts
// exactly the whole samples that reached the file.
class AudioOutput {
public:
    explicit AudioOutput(Options const& options);
    // A WAV file on a descriptor the caller opened for writing, empty: the decoder workers open
    // their interval files themselves, refusing what is not a regular file.
    AudioOutput(UniqueFd wav_file, std::uint32_t rate_hz);
    ~AudioOutput();
    AudioOutput(AudioOutput const&) = delete;
    AudioOutput& operator=(AudioOutput const&) = delete;

    // Samples belong in -1..1 (callers clamp). PulseAudio gets them unchanged; in a WAV file
    // anything beyond is held at full scale rather than wrapped.
    void write(std::span<float const> samples);

    // Completes the output; called once after the last write. Later calls do nothing.
    void finish();

private:
    void write_wav_header();

    UniqueFd wav_;                        // the WAV file; empty for PulseAudio
    std::vector<unsigned char> scratch_;  // PCM16 of one write; only grows
    pa_simple* pulse_ = nullptr;          // the playback stream; null in WAV mode
    std::uint32_t data_bytes_ = 0;        // whole samples on disk, never what only was attempted
    bool finished_ = false;
    std::uint32_t rate_hz_ = 0;
};

// Whether samples more 16-bit samples still fit in a WAV file holding data_bytes: the RIFF size
// field (data + 36) must stay within 32 bits.
bool wav_samples_fit(std::uint32_t data_bytes, std::size_t samples);
