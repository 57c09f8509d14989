#pragma once

#include <cstdint>
#include <vector>

// A broadcast-like AM signal for tests: a carrier with both sidebands modulated by a speech-like
// programme (band-limited noise whose loudness follows syllables), as a USB receiver tuned
// across an AM station hears it.
namespace testbed {

struct BroadcastAm {
    double carrier_hz = 1500.0;
    double audio_low_hz = 200.0;    // programme band
    double audio_high_hz = 1200.0;
    double depth = 0.7;             // peak modulation
    double syllable_hz = 4.0;       // loudness changes per second
    double amplitude = 0.3;         // carrier amplitude
    std::uint64_t seed = 1;
    double rate_hz = 12000.0;
};

std::vector<float> broadcast_am(double seconds, const BroadcastAm& signal);

// The carrier of `signal` modulated by a programme of peak 1 (speech_like, say) to its depth;
// the programme band and seed of `signal` are not used.
std::vector<float> amplitude_modulate(const std::vector<float>& programme, const BroadcastAm& signal);

}  // namespace testbed
