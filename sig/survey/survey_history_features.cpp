#include "sig/survey/survey_history_features.hpp"

#include <stdexcept>

namespace sig {

std::vector<std::complex<double>> survey_envelope_prefilter(double, double, const std::complex<float>*, std::size_t) {
    throw std::logic_error("survey_envelope_prefilter is not built yet");
}

SurveyEnvelopeFeatures survey_history_features(double, double, const std::complex<float>*, std::size_t) {
    throw std::logic_error("survey_history_features is not built yet");
}

}  // namespace sig
