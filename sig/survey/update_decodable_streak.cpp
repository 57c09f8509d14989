#include "sig/survey/update_decodable_streak.hpp"

#include <stdexcept>

namespace sig {

double survey_decodable_hold(std::size_t) { throw std::logic_error("survey_decodable_hold is not built yet"); }

void update_decodable_streak(const SurveyBandStats&, const SurveyEnvelopeFeatures&, double, std::size_t,
                             std::int32_t&, double&, double&) {
    throw std::logic_error("update_decodable_streak is not built yet");
}

}  // namespace sig
