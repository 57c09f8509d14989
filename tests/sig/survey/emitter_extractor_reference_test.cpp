// The extractor against a plain double-precision model of itself: the same design, mixer,
// decimating filter, resampler and audio oscillator, written the obvious way (one oscillator step
// per sample, the filter summed tap by tap at each decimation instant, the whole stream at once).
// The fast extractor must give the model's outputs sample by sample within single-precision
// rounding, whatever blocks it is fed in and wherever it is retuned.
#include "sig/survey/emitter_extractor.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr double kPi = std::numbers::pi;
using Samples = std::vector<std::complex<float>>;

// The oscillator steps are single-precision unit phasors; the model then turns them in double.
std::complex<double> float_unit_phasor(double radians_per_sample) {
    const auto angle = static_cast<float>(radians_per_sample);
    return {static_cast<double>(std::cos(angle)), static_cast<double>(std::sin(angle))};
}

struct DoubleOscillator {
    std::complex<double> phasor{1.0, 0.0};
    std::complex<double> step;
    std::uint64_t count = 0;

    std::complex<double> next() {
        const std::complex<double> now = phasor;
        phasor *= step;
        if (++count % 1024 == 0 && std::abs(phasor) > 1e-12) phasor /= std::abs(phasor);
        return now;
    }
};

struct Retune {
    std::size_t at;  // input sample index from which the new offset applies
    double offset_hz;
};

struct ModelOutput {
    std::vector<double> audio;
    std::vector<std::complex<double>> baseband;
};

ModelOutput model_extract(double input_hz, double offset_hz, double output_hz, double passband_hz, const Samples& input,
                          const std::vector<Retune>& retunes) {
    const int d = std::max(1, static_cast<int>(std::lround(input_hz / output_hz)));
    const double decimated_hz = input_hz / d;
    const bool resampling = std::fabs(decimated_hz - output_hz) > 0.001;
    const double step = decimated_hz / output_hz;
    const int taps = std::clamp(8 * d + 1, 151, 1025);
    const double cutoff_hz = std::min(0.5 * passband_hz, 0.45 * decimated_hz);
    std::vector<double> h(static_cast<std::size_t>(taps));
    double sum = 0.0;
    for (int n = 0; n < taps; ++n) {
        const double m = n - (taps - 1) / 2.0;
        const double x = 2.0 * cutoff_hz * m / input_hz;
        const double ideal = std::fabs(x) < 1e-9 ? 2.0 * cutoff_hz / input_hz : std::sin(kPi * x) / (kPi * m);
        const double blackman =
            0.42 - 0.5 * std::cos(2.0 * kPi * n / (taps - 1)) + 0.08 * std::cos(4.0 * kPi * n / (taps - 1));
        h[static_cast<std::size_t>(n)] = ideal * blackman;
        sum += ideal * blackman;
    }
    for (double& t : h) t /= sum;

    DoubleOscillator mixer{.step = float_unit_phasor(-2.0 * kPi * offset_hz / input_hz)};
    DoubleOscillator audio{.step = float_unit_phasor(2.0 * kPi * 1500.0 / output_hz)};
    std::vector<std::complex<double>> mixed(input.size());
    std::size_t next_retune = 0;
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (next_retune < retunes.size() && retunes[next_retune].at == i)
            mixer.step = float_unit_phasor(-2.0 * kPi * retunes[next_retune++].offset_hz / input_hz);
        mixed[i] = std::complex<double>(input[i]) * mixer.next();
    }

    ModelOutput out;
    std::vector<std::complex<double>> shifted;  // the emitter at 1500 Hz
    const auto emit = [&](std::complex<double> z) {
        out.baseband.push_back(z);
        shifted.push_back(z * audio.next());
    };
    bool have_previous = false;
    std::complex<double> previous;
    double position = 0.0;
    for (std::size_t i = static_cast<std::size_t>(d - 1); i < input.size(); i += static_cast<std::size_t>(d)) {
        std::complex<double> y;
        for (int k = 0; k < taps; ++k) {
            // The window of T samples ends at sample i; before the stream's start it holds zeros.
            const auto at = static_cast<std::ptrdiff_t>(i) - (taps - 1) + k;
            if (at >= 0) y += h[static_cast<std::size_t>(k)] * mixed[static_cast<std::size_t>(at)];
        }
        if (!resampling) {
            emit(y);
            continue;
        }
        if (!have_previous) {
            previous = y;
            have_previous = true;
            continue;
        }
        // Magnitude and phase (the short way round) each on a straight line between neighbours.
        const double turn = std::remainder(std::arg(y) - std::arg(previous), 2.0 * kPi);
        while (position <= 1.0) {
            const double magnitude = (1.0 - position) * std::abs(previous) + position * std::abs(y);
            emit(std::polar(magnitude, std::arg(previous) + position * turn));
            position += step;
        }
        position -= 1.0;
        previous = y;
    }

    // The upper sideband alone: half of the real part, delayed to the centre of a 129-tap
    // Blackman-windowed Hilbert transformer, less half of the transformed imaginary part.
    constexpr int kHilbertTaps = 129;
    constexpr int kCentre = kHilbertTaps / 2;
    std::vector<double> g(kHilbertTaps);
    for (int n = 0; n < kHilbertTaps; ++n) {
        const int k = n - kCentre;
        const double blackman = 0.42 - 0.5 * std::cos(2.0 * kPi * n / (kHilbertTaps - 1)) +
                                0.08 * std::cos(4.0 * kPi * n / (kHilbertTaps - 1));
        g[static_cast<std::size_t>(n)] = k % 2 != 0 ? 2.0 / (kPi * k) * blackman : 0.0;
    }
    const auto at = [&](std::ptrdiff_t i) { return i >= 0 ? shifted[static_cast<std::size_t>(i)] : std::complex<double>{}; };
    for (std::size_t i = 0; i < shifted.size(); ++i) {
        const auto now = static_cast<std::ptrdiff_t>(i);
        double transformed = 0.0;
        for (int n = 0; n < kHilbertTaps; ++n) transformed += g[static_cast<std::size_t>(n)] * at(now - n).imag();
        out.audio.push_back(0.5 * (at(now - kCentre).real() - transformed));
    }
    return out;
}

// Noise with tones in and beside the passband, so that mixing, filtering and resampling all show.
Samples test_stream(double rate_hz, std::size_t n, double offset_hz) {
    std::mt19937 rng(11);
    std::normal_distribution<float> gauss(0.0f, 0.1f);
    Samples x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate_hz;
        x[i] = std::complex<float>(gauss(rng), gauss(rng)) +
               std::complex<float>(std::polar(0.5, 2.0 * kPi * (offset_hz + 730.0) * t)) +
               std::complex<float>(std::polar(0.3, 2.0 * kPi * (offset_hz - 2100.0) * t + 1.0)) +
               std::complex<float>(std::polar(0.4, 2.0 * kPi * (offset_hz + 40000.0) * t));
    }
    return x;
}

struct ModelCase {
    std::string name;
    double input_hz, output_hz, passband_hz, offset_hz;
    double seconds;
};

void PrintTo(const ModelCase& c, std::ostream* out) { *out << c.name; }

class ExtractorModel : public ::testing::TestWithParam<ModelCase> {};

TEST_P(ExtractorModel, MatchesTheDoublePrecisionModelInAnyBlocksAndAcrossRetunes) {
    const ModelCase& c = GetParam();
    const Samples input = test_stream(c.input_hz, static_cast<std::size_t>(c.input_hz * c.seconds), c.offset_hz);
    // Retunes at odd sample indices, one a small drift and one a jump, as the survey follows an
    // emitter; the extractor is retuned between the blocks that meet there.
    const std::vector<Retune> retunes{{input.size() / 3 + 17, c.offset_hz + 160.0},
                                      {2 * input.size() / 3 + 5, c.offset_hz - 3000.0}};
    const ModelOutput model = model_extract(c.input_hz, c.offset_hz, c.output_hz, c.passband_hz, input, retunes);
    ASSERT_GT(model.audio.size(), 2000u);
    double power = 0.0;
    for (const auto& z : model.baseband) power += std::norm(z);
    const double rms = std::sqrt(power / static_cast<double>(model.baseband.size()));
    ASSERT_GT(rms, 0.1);
    // Single-precision rounding of taps, mixer and sums stays below a few parts in a million of
    // the signal; a mixer whose phase wanders or a magnitude not pulled back in time does not.
    const double tolerance = 2e-5 * rms;

    for (const std::vector<std::size_t>& sizes : std::vector<std::vector<std::size_t>>{
             {input.size()}, {1, 7, 0, 1000}, {5461}, {32768, 3, 125, 124}, {99991}}) {
        sig::EmitterExtractor x(c.input_hz, c.offset_hz, c.output_hz, c.passband_hz);
        std::vector<float> audio;
        Samples baseband;
        std::size_t at = 0;
        std::size_t next_retune = 0;
        for (std::size_t b = 0; at < input.size(); ++b) {
            if (next_retune < retunes.size() && at == retunes[next_retune].at)
                x.retune(retunes[next_retune++].offset_hz);
            std::size_t n = std::min(sizes[b % sizes.size()], input.size() - at);
            if (next_retune < retunes.size()) n = std::min(n, retunes[next_retune].at - at);
            x.process(input.data() + at, n, audio, &baseband);
            at += n;
        }
        ASSERT_EQ(next_retune, retunes.size());
        ASSERT_EQ(audio.size(), model.audio.size()) << "first block " << sizes.front();
        ASSERT_EQ(baseband.size(), model.baseband.size());
        for (std::size_t i = 0; i < model.audio.size(); ++i) {
            ASSERT_NEAR(baseband[i].real(), model.baseband[i].real(), tolerance)
                << "sample " << i << ", first block " << sizes.front();
            ASSERT_NEAR(baseband[i].imag(), model.baseband[i].imag(), tolerance) << "sample " << i;
            ASSERT_NEAR(audio[i], model.audio[i], tolerance) << "sample " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExtractorModel,
    ::testing::Values(
        // The survey's audio extractor at 1.5 MHz: 125 to 1, 1001 taps, no resampling.
        ModelCase{"audio_exact_rate", 1500000.0, 12000.0, 7600.0, 12345.0, 0.5},
        // At the survey rate of a 10 MS/s capture: 139 to 1, 1025 taps, resampled.
        ModelCase{"audio_resampled", 1666666.67, 12000.0, 7600.0, -401234.5, 0.5},
        // Wideband histories of wide emitters, far from the centre.
        ModelCase{"wideband_24k", 1500000.0, 24000.0, 21600.0, 650000.25, 0.25},
        ModelCase{"wideband_64k", 1666666.67, 64000.0, 57600.0, -250000.0, 0.25},
        // No decimation, and upsampling: every input sample is an output instant.
        ModelCase{"same_rate", 96000.0, 96000.0, 7600.0, 3000.0, 0.5},
        ModelCase{"upsampling", 48000.0, 64000.0, 57600.0, -9000.0, 0.5}),
    [](const auto& info) { return info.param.name; });

}  // namespace
