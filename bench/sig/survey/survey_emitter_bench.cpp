// CPU cost of the survey's per-emitter work: cutting one emitter out of a 1.5 MHz survey stream
// (per second of stream, as a real-time factor), and one feature pass (band statistics, the
// envelope of one second of history, classification and the decodable judgement).
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

#include "sig/survey/classify_survey_emitter.hpp"
#include "sig/survey/emitter_extractor.hpp"
#include "sig/survey/survey_history_features.hpp"
#include "sig/survey/survey_should_decode.hpp"
#include "sig/survey/survey_spectrum_stats.hpp"

namespace {

constexpr double kPi = std::numbers::pi;

std::vector<std::complex<float>> noisy_keyed_tone(double rate, std::size_t n, double offset_hz) {
    std::mt19937 rng(1);
    std::normal_distribution<float> gauss(0.0f, 0.05f);
    std::vector<std::complex<float>> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double key = std::fmod(t * 10.0, 1.0) < 0.5 ? 1.0 : 0.0;
        x[i] = std::complex<float>(std::polar(0.3 * key, 2.0 * kPi * offset_hz * t)) +
               std::complex<float>(gauss(rng), gauss(rng));
    }
    return x;
}

// One second of a survey stream in the engine's blocks, cut out by one emitter's extractor: at
// 1.5 MHz (the survey of a 3 MS/s capture, 32768 samples a pass) and at 1.67 MHz, resampled (the
// survey of a 10 MS/s capture, 5461 samples a pass), to the 12000 Hz of the audio and the
// histories of wide emitters. The time per iteration is the CPU per emitter per second.
void BM_ExtractorSecond(benchmark::State& state) {
    const double rate = static_cast<double>(state.range(0));
    const double output = static_cast<double>(state.range(1));
    const auto block = static_cast<std::size_t>(state.range(2));
    const auto input = noisy_keyed_tone(rate, static_cast<std::size_t>(rate), 12345.0);
    sig::EmitterExtractor x(rate, 12345.0, output, output == 12000.0 ? 7600.0 : 0.9 * output);
    std::vector<float> audio;
    std::vector<std::complex<float>> baseband;
    for (auto _ : state) {
        audio.clear();
        baseband.clear();
        for (std::size_t at = 0; at < input.size(); at += block)
            x.process(input.data() + at, std::min(block, input.size() - at), audio, &baseband);
        benchmark::DoNotOptimize(audio.data());
    }
    state.counters["realtime_x"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.SetItemsProcessed(state.iterations() * static_cast<long>(input.size()));
}
BENCHMARK(BM_ExtractorSecond)
    ->ArgNames({"rate", "output", "block"})
    ->Args({1500000, 12000, 32768})
    ->Args({1666667, 12000, 5461})
    ->Args({1500000, 24000, 32768})
    ->Args({1666667, 24000, 5461})
    ->Args({1500000, 64000, 32768})
    ->Unit(benchmark::kMillisecond);

// One feature pass of an emitter of the given width with a one-second history at the rate the
// survey keeps for it.
void BM_FeaturePass(benchmark::State& state) {
    const double bandwidth = static_cast<double>(state.range(0));
    const double history_rate = bandwidth <= 6000.0 ? 12000.0 : std::min(64000.0, std::max(24000.0, 2.0 * bandwidth));
    const auto history = noisy_keyed_tone(history_rate, static_cast<std::size_t>(history_rate), 0.0);
    std::vector<float> spectrum(8192, 1.0f);
    const double bin_hz = 1500000.0 / 8192.0;
    for (int i = -3; i <= 3; ++i) spectrum[static_cast<std::size_t>(5000 + i)] = 100.0f;
    sig::SignalClass c = sig::SignalClass::NONE;
    for (auto _ : state) {
        const sig::SurveyBandStats s = sig::survey_spectrum_stats(spectrum.data(), spectrum.size(), bin_hz, 5000.0, bandwidth);
        const sig::SurveyEnvelopeFeatures f =
            sig::survey_history_features(history_rate, bandwidth, history.data(), history.size());
        c = sig::classify_survey_emitter(s, f, c);
        benchmark::DoNotOptimize(sig::survey_should_decode(s, f));
    }
}
BENCHMARK(BM_FeaturePass)->Arg(500)->Arg(3000)->Arg(12000)->Arg(30000)->Unit(benchmark::kMicrosecond);

}  // namespace
