#pragma once

#include <cstdint>
#include <vector>

// A speech-like programme for tests, what an SSB voice transmission or the programme of an AM
// station carries: words of one to four syllables with pauses between words and longer ones
// between phrases. A syllable may open with an unvoiced consonant (a burst of noise through a
// high resonance) and goes on voiced: a glottal pulse train at the speaker's pitch (90 to 250 Hz,
// drawn from the seed), gliding within the syllable, with vibrato and period jitter and falling
// over the phrase, shaped by three formants that move from one vowel to the next. Band-limited
// and scaled to a peak of 1; the same seed gives the same programme.
//
// Voiced speech is a comb of the pitch's harmonics, a few of them a formant's width apart
// standing out and the comb's spacing drifting with the pitch: the signal a classifier must not
// take for tones or a keyed carrier.
namespace testbed {

struct SpeechLike {
    double low_hz = 300.0;    // band edges
    double high_hz = 2700.0;
    std::uint64_t seed = 1;
    double rate_hz = 12000.0;
};

std::vector<float> speech_like(double seconds, const SpeechLike& speech);

}  // namespace testbed
