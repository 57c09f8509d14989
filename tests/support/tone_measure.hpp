#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

// Frequency and level of one steady tone in real audio, for tests that check what a
// demodulator or channel made of a known signal.
struct ToneMeasure {
    double frequency_hz = 0.0;  // from interpolated rising zero crossings; 0 with fewer than two
    double rms = 0.0;
};

ToneMeasure measure_tone(std::span<float const> samples, double rate_hz);

// A least-squares fit of a sine of a known frequency: its amplitude, and what is left over (rms)
// once it is taken out: noise, other tones, or phase jumps of a broken signal path.
struct ToneFit {
    double amplitude = 0.0;
    double residual_rms = 0.0;
};

ToneFit fit_tone(std::span<float const> samples, double rate_hz, double frequency_hz);

// samples[skip..] : the part after a filter has settled.
std::span<float const> after(std::span<float const> samples, std::size_t skip);

// A complex tone e^(j 2 pi f t) of the given amplitude.
std::vector<std::complex<float>> complex_tone(double frequency_hz, double amplitude, double rate_hz, std::size_t count);
