#pragma once

// The classifier's decisions: which tracks are tested in a frame, which test each kind of track
// gets, and the RTTY, comb and tone-count tests the classifier runs itself.

#include <cstddef>
#include <string>
#include <vector>

#include "sig/classifier_state.hpp"
#include "sig/classifier_track.hpp"

namespace sig {

// Once per frame after the track update: tests the tracks that are due with the last 2 s of
// audio. Needs 1.2 s of audio since the last discontinuity and tracks at least 1.3 s old.
void verification_pass(ClassifierState& state);

// How much of the last 2 s a test of this track looks at: from 0.4 s before the track was first
// seen, at least 1.2 s, at most what the audio ring holds.
std::size_t test_samples(const ClassifierState& state, const ClassifierTrack& track);

// The tests a track gets, in order; the first that accepts ends the list.
enum class TrackTest { rtty, comb, tone_count, wefax, narrowband };
std::vector<TrackTest> tests_for(const ClassifierTrack& track);

// Runs the tests of the track's kind in order until one accepts. On acceptance the track is
// confirmed; on rejection its quality becomes the score floor (0..0.49).
bool verify_track(ClassifierState& state, ClassifierTrack& track, const float* audio, std::size_t count);

// RTTY: the measured shift near 170, 450 or 850 Hz, the frequency on two levels most of the time
// and a keying line at 45.45, 50 or 75 Bd. The rate named is the one whose bit clock the keying
// edges keep (the strongest keying line when there are too few edges).
bool rtty_test(ClassifierState& state, ClassifierTrack& track, const float* audio, std::size_t count,
               double& score_floor);

// A comb of tones in the averaged spectrum around the track's band, confirmed by its keying.
bool comb_test(ClassifierState& state, ClassifierTrack& track, const float* audio, std::size_t count,
               double& score_floor);

// A comb whose member count and spacing fit an Olivia tone count and symbol rate.
bool tone_count_test(ClassifierState& state, ClassifierTrack& track, const float* audio, std::size_t count,
                     double& score_floor);

// The RTTY test's decision from the share of the time the frequency sits on one of the two
// tones and the strongest keying line (dB over the keying spectrum's median): accepted with a
// quality of 0.55 and more; rejected with a score floor of 0.2 when one of the two held.
struct RttyVerdict {
    bool accepted = false;
    double quality = 0.0;      // when accepted
    double score_floor = 0.0;  // when rejected
};
RttyVerdict rtty_verdict(double ratio, double keying_db);

// The nearest RTTY shift (170, 450, 850 Hz; the lower on a tie), and the variant text of a rate
// and shift ("45.45/170", "50/450").
double nominal_rtty_shift(double measured_hz);
std::string rtty_variant(double rate_baud, double shift_hz);

}  // namespace sig
