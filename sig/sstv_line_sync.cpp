#include "sig/sstv_line_sync.hpp"

#include <complex>
#include <vector>

#include "sig/downconvert_audio.hpp"
#include "sig/modems/order_statistics.hpp"

namespace sig {
namespace {

constexpr double kSyncShare = 0.003;

std::vector<float> power_of(const Baseband& b) {
    std::vector<float> power(b.samples.size());
    for (std::size_t i = 0; i < power.size(); ++i) power[i] = std::norm(b.samples[i]);
    return power;
}

}  // namespace

double sstv_sync_share(const float* audio, std::size_t count) {
    // The same filter length for both, so that their outputs describe the same instants.
    const Baseband band = downconvert_audio(audio, count, 24, 1900.0, 400.0);
    const Baseband sync = downconvert_audio(audio, count, 24, 1200.0, 150.0);
    if (band.samples.empty() || sync.samples.empty()) return 0.0;
    const std::vector<float> band_power = power_of(band);
    const std::vector<float> sync_power = power_of(sync);
    std::vector<float> sorted = sync_power;
    const double pulse_floor = 10.0 * quantile(sorted, 0.5);
    std::size_t pulses = 0;
    std::size_t run = 0;
    for (std::size_t i = 0; i <= sync_power.size(); ++i) {
        if (i < sync_power.size() && sync_power[i] > band_power[i] && sync_power[i] > pulse_floor) {
            ++run;
            continue;
        }
        if (run >= 2) pulses += run;
        run = 0;
    }
    return static_cast<double>(pulses) / static_cast<double>(sync_power.size());
}

bool shows_sstv_sync(const float* audio, std::size_t count) { return sstv_sync_share(audio, count) >= kSyncShare; }

}  // namespace sig
