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

ToneFit fit_tone(std::span<float const> samples, double rate_hz, double frequency_hz)
{
    ToneFit fit;
    if (samples.empty())
        return fit;
    // Normal equations of x ~ a cos + b sin + c.
    double m[3][3] = {};
    double v[3] = {};
    for (std::size_t n = 0; n < samples.size(); ++n) {
        double const phase = 2.0 * std::numbers::pi * frequency_hz * static_cast<double>(n) / rate_hz;
        double const basis[3] = {std::cos(phase), std::sin(phase), 1.0};
        for (int i = 0; i < 3; ++i) {
            v[i] += basis[i] * samples[n];
            for (int j = 0; j < 3; ++j)
                m[i][j] += basis[i] * basis[j];
        }
    }
    // Gaussian elimination of the 3 x 3 system.
    for (int col = 0; col < 3; ++col) {
        for (int row = col + 1; row < 3; ++row) {
            double const f = m[row][col] / m[col][col];
            for (int k = col; k < 3; ++k)
                m[row][k] -= f * m[col][k];
            v[row] -= f * v[col];
        }
    }
    double coefficient[3] = {};
    for (int row = 2; row >= 0; --row) {
        double sum = v[row];
        for (int k = row + 1; k < 3; ++k)
            sum -= m[row][k] * coefficient[k];
        coefficient[row] = sum / m[row][row];
    }
    fit.amplitude = std::hypot(coefficient[0], coefficient[1]);
    double residual = 0.0;
    for (std::size_t n = 0; n < samples.size(); ++n) {
        double const phase = 2.0 * std::numbers::pi * frequency_hz * static_cast<double>(n) / rate_hz;
        double const model = coefficient[0] * std::cos(phase) + coefficient[1] * std::sin(phase) + coefficient[2];
        residual += (samples[n] - model) * (samples[n] - model);
    }
    fit.residual_rms = std::sqrt(residual / static_cast<double>(samples.size()));
    return fit;
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
