#pragma once

#include <complex>
#include <vector>

namespace sig {

// One signal cut out of the channel audio as complex baseband at a low rate.
struct Baseband {
    std::vector<std::complex<float>> samples;
    double rate = 0.0;  // 12000 / decimation; 0 for the empty record of a too-short input
};

}  // namespace sig
