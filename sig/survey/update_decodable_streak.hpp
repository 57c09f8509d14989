#pragma once

#include <cstddef>
#include <cstdint>

#include "sig/survey/survey_band_stats.hpp"
#include "sig/survey/survey_envelope_features.hpp"

namespace sig {

// How long one decodable judgement holds, in seconds, with `emitters` emitters in the engine.
// Emitters without a decoder get their feature passes 16 at a time in 2 s windows, so one is seen
// again within 2 * ceil(emitters / 16) s; the hold lasts one window longer (and at least 4 s), so
// a decodable emitter stays reported across a late pass instead of flickering out between two.
double survey_decodable_hold(std::size_t emitters);

// One feature pass's step of an emitter's decodable streak (call only with valid envelope
// features). Two decodable passes in a row make it decodable until block_time + the hold; a
// pass that is decodable only through a keying line that jumped by more than max(6 Hz, 5 %)
// restarts the streak at 1; a pass that is not decodable clears the streak and the until time.
void update_decodable_streak(const SurveyBandStats& stats, const SurveyEnvelopeFeatures& features, double block_time,
                             std::size_t emitters, std::int32_t& streak, double& last_keying_rate_hz,
                             double& decodable_until);

}  // namespace sig
