#include "sig/survey/extract_block_features.hpp"

#include <stdexcept>

namespace sig {

SurveyEnvelopeFeatures extract_block_features(double, double, const std::vector<std::complex<double>>&) {
    throw std::logic_error("extract_block_features is not built yet");
}

}  // namespace sig
