#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Impairments for synthetic test signals: noise at a stated SNR, frequency offset and drift,
// sample-clock error. They work on any real 12000 Hz signal, whatever made it.
namespace testbed {

// SNRs are quoted, as amateur decoders do, against noise in a 2500 Hz bandwidth.
inline constexpr double kSnrBandwidthHz = 2500.0;

double mean_power(const std::vector<float>& samples);

// RMS of white noise (flat from 0 to rate/2) that puts a signal of this mean power at snr_db.
double noise_rms_for_snr(double signal_power, double snr_db, double rate_hz = 12000.0);

// Gaussian white noise, the same for the same seed.
std::vector<float> white_noise(std::size_t count, double rms, std::uint64_t seed);
void add_white_noise(std::vector<float>& samples, double rms, std::uint64_t seed);

// Moves every component of a real signal up by offset_hz + drift_hz_per_s * t (t from the first
// sample). It works through the analytic signal, which is accurate for content between about
// 100 Hz and rate/2 - 100 Hz.
std::vector<float> shift_frequency(const std::vector<float>& samples, double offset_hz, double drift_hz_per_s,
                                   double rate_hz = 12000.0);

// The signal as a receiver would record it from a sender whose sample clock runs ppm fast:
// everything happens sooner, so it takes fewer samples (negative ppm: slower, more samples).
std::vector<float> apply_clock_error(const std::vector<float>& samples, double ppm);

// Silence to pad a signal with.
std::vector<float> silence(double seconds, double rate_hz = 12000.0);

// a followed by b.
std::vector<float> concatenate(std::vector<float> a, const std::vector<float>& b);

}  // namespace testbed
