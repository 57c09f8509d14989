#pragma once

#include <cstdint>
#include <vector>

// A speech-like programme for tests: syllables of voiced sound (a glottal pulse train whose
// pitch glides between 100 and 220 Hz, shaped by two formants that move from syllable to
// syllable), some unvoiced (noise) and some silent, band-limited and scaled to a peak of 1.
// What an SSB voice transmission or the programme of an AM station carries.
namespace testbed {

struct SpeechLike {
    double low_hz = 300.0;    // band edges
    double high_hz = 2700.0;
    std::uint64_t seed = 1;
    double rate_hz = 12000.0;
};

std::vector<float> speech_like(double seconds, const SpeechLike& speech);

}  // namespace testbed
