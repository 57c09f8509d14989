#include "sig/survey/update_decodable_streak.hpp"

#include <algorithm>
#include <climits>
#include <cmath>

#include "sig/survey/survey_should_decode.hpp"

namespace sig {
namespace {

constexpr std::size_t kWindowEmitters = 16;  // feature passes per rotation window
constexpr double kWindowSeconds = 2.0;
constexpr double kShortestHoldSeconds = 4.0;
constexpr std::int32_t kStreakNeeded = 2;

}  // namespace

double survey_decodable_hold(std::size_t emitters) {
    const std::size_t windows = (emitters + kWindowEmitters - 1) / kWindowEmitters;
    return std::max(kShortestHoldSeconds, kWindowSeconds * static_cast<double>(windows) + kWindowSeconds);
}

void update_decodable_streak(const SurveyBandStats& stats, const SurveyEnvelopeFeatures& features, double block_time,
                             std::size_t emitters, std::int32_t& streak, double& last_keying_rate_hz,
                             double& decodable_until) {
    if (!survey_should_decode(stats, features)) {
        streak = 0;
        decodable_until = 0.0;
        return;
    }
    const double rate = features.keying_rate_hz;
    SurveyEnvelopeFeatures without_line = features;
    without_line.keying_peak_ratio = 0.0;
    // A line that wanders from pass to pass is noise in the envelope spectrum, not keying.
    if (!survey_should_decode(stats, without_line) &&
        std::fabs(rate - last_keying_rate_hz) > std::max(6.0, 0.05 * rate)) {
        streak = 1;
        last_keying_rate_hz = rate;
        return;
    }
    last_keying_rate_hz = rate;
    if (streak < INT32_MAX) ++streak;
    if (streak >= kStreakNeeded) decodable_until = block_time + survey_decodable_hold(emitters);
}

}  // namespace sig
