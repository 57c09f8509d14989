#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "sig/classifier_state.hpp"
#include "sig/classifier_track.hpp"
#include "sig/keying_measures.hpp"
#include "sig/keying_stats.hpp"

namespace sig {

// The test of a narrow signal: a comb of lines around it goes to the Olivia test; a signal up to
// 150 Hz wide is cut out at 500 Hz and named PSK31, QPSK31, PSK63, CW or WEFAX from the keying
// lines of its envelope, the carrier that squaring restores and the timing of its on/off keying.
// Fills the track and returns true on acceptance; a rejection may raise score_floor. The audio is
// the newest stretch of the classifier's audio ring, as the verification pass hands it: a keyed
// signal too slow to time in it is timed again over more of the track's audio in the ring.
bool classify_narrowband_emitter(ClassifierState& state, ClassifierTrack& track, const float* audio, std::size_t count,
                                 double& score_floor);

// The decisions of the narrow path from its measures: names the track PSK31, QPSK31, PSK63 or CW
// (mode, symbol rate, quality, no variant, no tones) and returns true, or returns false and may
// raise score_floor. fourth_power_carrier measures the carrier that the fourth power restores;
// it is asked only on the branch that needs it. The track's bandwidth routes the decisions.
bool decide_narrowband_keying(const KeyingMeasures& measures, ClassifierTrack& track,
                              const std::function<double()>& fourth_power_carrier, double& score_floor);

// A Morse-timed signal at audio_hz is a weather chart when it lies within 1450..2350 Hz and the
// audio around 1900 Hz is frequency-modulated across the facsimile band with a steady envelope
// (and shows no SSTV line sync).
bool keyed_facsimile(double audio_hz, const float* audio, std::size_t count);

// sqrt(sum (x - mean)^2 / (n - 1)) / mean; 0 for fewer than two values or a mean not above 0.
double relative_standard_deviation(const std::vector<double>& values);

// The dot length in seconds of Morse keying with these runs (0 without on or off runs). Keying
// edges and the on threshold above the off threshold shorten every on run and lengthen every off
// run by the same amount, so the dot is the mean of the shortest on runs and the shortest off runs
// (each the mean of the runs up to 1.5 times the run a fifth from the bottom), or the shortest on
// runs alone when the two differ by more than a factor 1.75 (gaps that are not a dot long).
double morse_dot_s(const KeyingStats& keying);

// The timing of Morse: more than five transitions, a duty cycle of 0.08 to 0.92, 12 dB of keying,
// more than four on and two off runs, a dot of 5 to 40 words per minute, at least 70 % of the on
// runs within 0.5 to 4.5 dots, at least 60 % of the off runs within 0.5 to 10.5 dots and none
// longer than 12 dots.
bool regular_morse_keying(const KeyingStats& keying);

// The on/off timing of an envelope power series sampled at rate_hz (at least 16 values; fewer
// give the all-zero record).
KeyingStats keying_stats(const std::vector<float>& power, double rate_hz);

}  // namespace sig
