#pragma once

#include <cstddef>

#include "sig/survey/survey_band_stats.hpp"

namespace sig {

// Band statistics of the emitter centred at the fractional bin centre_bin (n/2 + offset/bin
// width) and bandwidth_hz wide, in a power spectrum of n bins in centred order. A missing
// spectrum, n < 8, a bin width or bandwidth not above 0, or a non-finite bin in the band or its
// surroundings gives the default record (valid false); a band of fewer than 3 bins gives it
// with the bandwidth set.
SurveyBandStats survey_spectrum_stats(const float* spectrum, std::size_t n, double bin_hz, double centre_bin,
                                      double bandwidth_hz);

}  // namespace sig
