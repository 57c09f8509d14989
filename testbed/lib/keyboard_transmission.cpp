#include "testbed/lib/keyboard_transmission.hpp"

#include <cmath>

#include "testbed/lib/test_signal.hpp"

namespace testbed {

std::vector<float> noisy_transmission(const std::vector<float>& burst, double signal_power, double snr_db,
                                      std::uint64_t seed, double pad_seconds) {
    std::vector<float> audio = concatenate(concatenate(silence(pad_seconds), burst), silence(pad_seconds));
    if (std::isfinite(snr_db)) add_white_noise(audio, noise_rms_for_snr(signal_power, snr_db), seed);
    return audio;
}

}  // namespace testbed
