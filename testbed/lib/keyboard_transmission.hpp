#pragma once

#include <cstdint>
#include <vector>

namespace testbed {

// A transmission as a receiver hears it: a second of silence, the burst, a second of silence,
// and white noise over all of it, snr_db (in 2500 Hz) below signal_power. An infinite snr_db adds
// no noise.
std::vector<float> noisy_transmission(const std::vector<float>& burst, double signal_power, double snr_db,
                                      std::uint64_t seed, double pad_seconds = 1.0);

}  // namespace testbed
