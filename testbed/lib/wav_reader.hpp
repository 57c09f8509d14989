#pragma once

#include <filesystem>
#include <vector>

namespace testbed {

struct WavAudio {
    int rate_hz = 0;
    std::vector<float> samples;  // -1..1 (PCM16 / 32767)
};

// Reads a mono 16-bit PCM WAV file (as the decoder simulators and the decoder workers write
// them). Throws std::runtime_error naming the file for anything else.
WavAudio read_wav_mono16(std::filesystem::path const& path);

}  // namespace testbed
