#include "tests/support/tone_measure.hpp"

#include <cmath>
#include <numbers>

ToneMeasure measure_tone(std::span<float const> samples, double rate_hz)
{
    ToneMeasure result;
    if (samples.empty())
        return result;
    double energy = 0.0;
    for (float const x : samples)
        energy += static_cast<double>(x) * x;
    result.rms = std::sqrt(energy / static_cast<double>(samples.size()));

    double first = -1.0;
    double last = -1.0;
    std::size_t crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0.0f && samples[i] >= 0.0f) {
            double const fraction = samples[i - 1] / (static_cast<double>(samples[i - 1]) - samples[i]);
            double const at = static_cast<double>(i - 1) + fraction;
            if (crossings == 0)
                first = at;
            last = at;
            ++crossings;
        }
    }
    if (crossings >= 2)
        result.frequency_hz = static_cast<double>(crossings - 1) * rate_hz / (last - first);
    return result;
}

std::span<float const> after(std::span<float const> samples, std::size_t skip)
{
    return skip >= samples.size() ? std::span<float const>{} : samples.subspan(skip);
}

std::vector<std::complex<float>> complex_tone(double frequency_hz, double amplitude, double rate_hz, std::size_t count)
{
    std::vector<std::complex<float>> tone(count);
    for (std::size_t n = 0; n < count; ++n) {
        double const phase = 2.0 * std::numbers::pi * frequency_hz * static_cast<double>(n) / rate_hz;
        tone[n] = {static_cast<float>(amplitude * std::cos(phase)), static_cast<float>(amplitude * std::sin(phase))};
    }
    return tone;
}
