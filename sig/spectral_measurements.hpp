#pragma once

// What the classifier measures of one signal: spectra of real and complex series, noise floors,
// the strongest line, the instantaneous frequency of a baseband, keying lines and tone combs.
// Pure functions apart from the FFT plan cache they share with the classifier.

#include <complex>
#include <cstdint>
#include <vector>

#include "sig/baseband.hpp"
#include "sig/fft_plan_cache.hpp"
#include "sig/frequency_track.hpp"
#include "sig/peak_measure.hpp"
#include "sig/power_spectrum.hpp"
#include "sig/tone_comb.hpp"

namespace sig {

// Mean removed, Hann window, zero padding to the least power of two at least twice the length
// (and at least 16): bins 0 .. N/2. Fewer than 16 values give the empty record.
PowerSpectrum real_hann_spectrum(FftPlanCache& cache, std::vector<float> x, double rate);

// Hann window and zero padding as above, bins in centred order (bin N/2 is 0 Hz).
PowerSpectrum complex_hann_spectrum(FftPlanCache& cache, std::vector<std::complex<float>> z, double rate);

// The spectrum of a track's step sizes |hz[i+1] - hz[i]| (0 where either sample is invalid):
// a keyed signal shows a line at its symbol rate. Fewer than 32 values give the empty record.
PowerSpectrum step_change_spectrum(FftPlanCache& cache, const FrequencyTrack& track);

// Median bin power over [low_hz, high_hz]; 1e-30 when no bin lies there.
double band_noise_floor(const PowerSpectrum& spectrum, double low_hz, double high_hz);

// The largest bin within +-half_width_hz of 0 Hz, against the median of all bins.
PeakMeasure strongest_peak(const PowerSpectrum& spectrum, double half_width_hz);

// The instantaneous frequency and the gate flags of a baseband, and the variation of its
// magnitude.
FrequencyTrack envelope_statistics(const Baseband& baseband);

// Searches [low_hz, high_hz] of a dB spectrum for a comb of equally spaced tones at the Olivia
// spacings (15.625 .. 250 Hz).
ToneComb estimate_mfsk_symbol_rate(const std::vector<float>& spectrum_db, double bin_hz, double low_hz, double high_hz);

// The lines of a comb of this spacing in [low_hz, high_hz] of a dB spectrum averaged over a
// second or two: the bins whose smoothed level (three bins) is the highest within a quarter
// spacing either side. Between lines 60 Hz or more apart such a spectrum ripples every few
// bins, and a count of every local maximum would take each ripple for a line.
std::uint32_t comb_line_count(const std::vector<float>& spectrum_db, double bin_hz, double low_hz, double high_hz,
                              double spacing_hz);

// The strongest bin within 3 % (and one bin) of frequency_hz against the median bin from 8 Hz
// to noise_high_hz, in dB; -100 for an empty spectrum or a frequency at or above half its rate.
double peak_snr_db(const PowerSpectrum& spectrum, double frequency_hz, double noise_high_hz);

}  // namespace sig
