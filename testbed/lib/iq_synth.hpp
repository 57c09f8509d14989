#pragma once

#include <complex>
#include <cstdint>
#include <filesystem>
#include <vector>

// Builds a wideband IQ capture from 12000 Hz audio recordings: each recording becomes an
// upper-sideband signal at its dial frequency (audio frequency a lands at RF dial + a), as a
// transmitter fed with that audio would put it on the air.
namespace testbed {

inline constexpr double kIqSynthAudioRateHz = 12000.0;

struct IqSynthSignal {
    std::vector<float> audio;  // 12000 Hz, -1..1
    double dial_hz = 0.0;
    double start_s = 0.0;      // where the audio begins in the capture; may be negative
};

struct IqSynthConfig {
    double center_hz = 0.0;
    int rate_hz = 0;           // complex samples per second
    double duration_s = 0.0;
    bool add_noise = false;
    double snr_db = 0.0;       // of the first signal over the noise in 2500 Hz
    std::uint64_t seed = 1;
    double gain_db = 0.0;      // applied to every signal (not to the noise)
    double gap_start_s = 0.0;  // a stretch left out of the capture, for gap tests
    double gap_length_s = 0.0;
};

// The capture as complex samples in full-scale units. Every signal must lie inside the capture
// (|dial - centre| + 6000 below rate / 2). Throws std::invalid_argument on a bad configuration.
std::vector<std::complex<float>> synthesize_iq(IqSynthConfig const& config, std::vector<IqSynthSignal> const& signals);

// Mean power of the audio between its first and last non-zero sample: the level an SNR refers to.
double active_power(std::vector<float> const& audio);

// Writes little-endian PCM16 I,Q pairs (x 32767, rounded, held at full scale). Returns the number
// of values that had to be clipped. Throws std::runtime_error when the file cannot be written.
std::uint64_t write_iq_file(std::filesystem::path const& path, std::vector<std::complex<float>> const& iq);

}  // namespace testbed
