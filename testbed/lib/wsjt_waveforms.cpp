#include "testbed/lib/wsjt_waveforms.hpp"

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace testbed {

namespace {

constexpr double rate_hz = 12000.0;

// Frequency pulse of Gaussian FSK at bandwidth-time product bt, t in symbols from the symbol's
// centre: a unit rectangle smoothed by the Gaussian filter.
double gfsk_pulse(double bt, double t)
{
    double const k = std::numbers::pi * std::sqrt(2.0 / std::log(2.0));
    return 0.5 * (std::erf(k * bt * (t + 0.5)) - std::erf(k * bt * (t - 0.5)));
}

}  // namespace

std::vector<float> wspr_audio_from_symbols(std::vector<int> const& symbols, double audio_hz, double amplitude)
{
    if (symbols.size() != 162)
        throw std::invalid_argument("WSPR needs 162 channel symbols");
    std::vector<float> audio(1440000, 0.0f);
    double phase = 0;
    std::size_t n = 12000;
    for (int symbol : symbols) {
        double const hz = audio_hz + (symbol - 1.5) * rate_hz / 8192.0;
        for (int k = 0; k < 8192; ++k, ++n) {
            audio[n] = static_cast<float>(amplitude * std::sin(phase));
            phase = std::fmod(phase + 2 * std::numbers::pi * hz / rate_hz, 2 * std::numbers::pi);
        }
    }
    return audio;
}

std::vector<float> ft4_audio_from_tones(std::vector<int> const& tones, double audio_hz, double amplitude)
{
    if (tones.size() != 105)
        throw std::invalid_argument("FT4 needs 105 channel tones");
    constexpr std::size_t nsps = 576;
    double const spacing_hz = rate_hz / nsps;
    std::size_t const total = tones.size() * nsps;
    // Instantaneous frequency in tone units: the tones smoothed by the Gaussian pulse, which
    // reaches one symbol to either side.
    std::vector<double> tone_track(total, 0.0);
    for (std::size_t j = 0; j < tones.size(); ++j) {
        for (std::size_t n = 0; n < total; ++n) {
            double const t = (static_cast<double>(n) + 0.5) / nsps - static_cast<double>(j) - 0.5;
            if (std::fabs(t) < 2.0)
                tone_track[n] += tones[j] * gfsk_pulse(1.0, t);
        }
    }
    std::vector<float> audio(90000, 0.0f);
    std::size_t const begin = 6000;
    double phase = 0;
    for (std::size_t n = 0; n < total; ++n) {
        double envelope = 1.0;
        if (n < nsps)
            envelope = 0.5 * (1.0 - std::cos(std::numbers::pi * static_cast<double>(n) / nsps));
        else if (n >= total - nsps)
            envelope = 0.5 * (1.0 + std::cos(std::numbers::pi * static_cast<double>(n - (total - nsps)) / nsps));
        audio[begin + n] = static_cast<float>(amplitude * envelope * std::sin(phase));
        double const hz = audio_hz + tone_track[n] * spacing_hz;
        phase = std::fmod(phase + 2 * std::numbers::pi * hz / rate_hz, 2 * std::numbers::pi);
    }
    return audio;
}

}  // namespace testbed
