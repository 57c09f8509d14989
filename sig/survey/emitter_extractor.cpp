#include "sig/survey/emitter_extractor.hpp"

#include <stdexcept>

namespace sig {

EmitterExtractor::EmitterExtractor(double input_rate_hz, double offset_hz, double output_rate_hz, double)
    : input_rate_(input_rate_hz), output_rate_(output_rate_hz), offset_hz_(offset_hz) {
    throw std::logic_error("EmitterExtractor is not built yet");
}

void EmitterExtractor::process(const std::complex<float>*, std::size_t, std::vector<float>&,
                               std::vector<std::complex<float>>*) {
    throw std::logic_error("EmitterExtractor::process is not built yet");
}

void EmitterExtractor::retune(double) { throw std::logic_error("EmitterExtractor::retune is not built yet"); }

void EmitterExtractor::emit(std::complex<float>, std::vector<float>&, std::vector<std::complex<float>>*) {}

}  // namespace sig
