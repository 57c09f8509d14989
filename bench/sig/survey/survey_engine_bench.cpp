// The survey engine's cost per second of capture: the spectrum, detection, extraction,
// classification and decoding of one survey pass, at the survey rates of a 2 MS/s capture
// (decimation 1) and a 10 MS/s capture (decimation 6), with 0, 16 and 40 emitters (keyed CW
// calls and PSK31 calls spread over the band), decoding at most 16 of them at once; beside it
// the engine's floor: the averaged power spectrum alone (window, 8192-point transform, smoothing,
// one frame per 4096 samples), the least that any survey of this design does per second.
// "realtime" is seconds of capture processed per second of CPU; "cpu_s_per_capture_s" its
// inverse.

#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <string>
#include <vector>

#include "sig/fft_plan_cache.hpp"
#include "sig/survey/survey_engine.hpp"
#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/psk_modulator.hpp"

namespace {

constexpr double kStart = 1714564800.0;
constexpr double kCentre = 14100000.0;
constexpr double kSeconds = 6.0;
constexpr std::size_t kPass = 32768;  // the runner's pass at decimation 1
constexpr std::size_t kFft = 8192;
constexpr std::size_t kHop = 4096;

int decimation_of(int capture_rate) { return capture_rate > 1500000 ? capture_rate / 1500000 : 1; }

// Our IQ synthesiser works in whole multiples of 12000 Hz: the 1666667 Hz of a 10 MS/s capture
// is run at 1668000 Hz, 0.08 % more work.
int survey_rate_of(int capture_rate) {
    const int decimation = decimation_of(capture_rate);
    return (capture_rate / decimation + 11999) / 12000 * 12000;
}

void count_capture(benchmark::State& state, std::size_t samples_per_iteration, int survey_rate) {
    const double seconds = static_cast<double>(state.iterations()) * static_cast<double>(samples_per_iteration) / survey_rate;
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(samples_per_iteration));
    state.counters["realtime"] = benchmark::Counter(seconds, benchmark::Counter::kIsRate);
    state.counters["cpu_s_per_capture_s"] =
        benchmark::Counter(seconds, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

std::vector<std::complex<float>> capture(int rate, int emitters) {
    std::vector<testbed::IqSynthSignal> signals;
    const double span = 0.8 * rate / 2.0 - 6000.0;
    for (int i = 0; i < emitters; ++i) {
        const double dial = kCentre - span + 2.0 * span * (i + 0.5) / emitters;
        std::vector<float> audio;
        if (i % 2 == 0) {
            testbed::CwKeying cw;
            cw.tone_hz = 800.0;
            audio = testbed::key_text("CQ CQ DE Q1ABC Q1ABC K CQ CQ DE Q1ABC K", cw);
        } else {
            testbed::PskSignal psk;
            psk.carrier_hz = 1000.0;
            audio = testbed::modulate_psk_text("CQ CQ DE Q2XYZ Q2XYZ PSE K CQ CQ DE Q2XYZ K", psk);
        }
        audio.resize(static_cast<std::size_t>(kSeconds * 12000.0));
        signals.push_back({std::move(audio), dial, 0.0});
    }
    testbed::IqSynthConfig synth;
    synth.center_hz = kCentre;
    synth.rate_hz = rate;
    synth.duration_s = kSeconds;
    synth.add_noise = true;
    synth.snr_db = 25.0;
    if (emitters == 0) {  // noise alone: a silent signal sets the noise level
        signals.push_back({std::vector<float>(12000, 0.0f), kCentre, 0.0});
        signals.back().audio[0] = 0.1f;
    }
    return testbed::synthesize_iq(synth, signals);
}

void BM_SurveyEngine(benchmark::State& state) {
    const int capture_rate = static_cast<int>(state.range(0));
    const int emitters = static_cast<int>(state.range(1));
    const int decimation = decimation_of(capture_rate);
    const int survey_rate = survey_rate_of(capture_rate);
    const std::vector<std::complex<float>> iq = capture(survey_rate, emitters);
    const std::size_t block = kPass / static_cast<std::size_t>(decimation);

    sig::SurveyEngine::Config config;
    config.rate = survey_rate;
    config.center_hz = kCentre;
    sig::SurveyEngine engine(config);
    // The first two seconds find and confirm the emitters and start their decoders.
    std::size_t at = 0;
    double t = kStart;
    const auto pass = [&] {
        if (at + block > iq.size()) at = 0;
        engine.process_block(iq.data() + at, block, t);
        at += block;
        t += static_cast<double>(block) / survey_rate;
        benchmark::DoNotOptimize(engine.take_events());
    };
    while (t < kStart + 2.0) pass();

    for (auto _ : state) pass();
    count_capture(state, block, survey_rate);
    state.counters["reported"] = static_cast<double>(engine.report_counts().reported);
    state.counters["decoding"] = static_cast<double>(engine.report_counts().decoding);
}

BENCHMARK(BM_SurveyEngine)
    ->ArgsProduct({{2000000, 10000000}, {0, 16, 40}})
    ->ArgNames({"capture", "emitters"})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0);

// The spectrum floor of the same capture: per 4096 samples, one Hann-windowed 8192-point complex
// transform through the survey's FFT cache and the recursive average of its power in centred
// order; no floor estimate, detection or emitter work. Fed the same passes as the engine.
void BM_SpectrumFloor(benchmark::State& state) {
    const int capture_rate = static_cast<int>(state.range(0));
    const int survey_rate = survey_rate_of(capture_rate);
    const std::vector<std::complex<float>> iq = capture(survey_rate, 0);
    const std::size_t block = kPass / static_cast<std::size_t>(decimation_of(capture_rate));
    std::vector<float> window(kFft);
    for (std::size_t i = 0; i < kFft; ++i)
        window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / kFft));
    std::vector<float> spectrum(kFft, 0.0f);
    sig::FftPlanCache fft;
    fft.complex_data(kFft);
    std::size_t at = 0;     // next pass's start in iq
    std::size_t frame = 0;  // next frame's start in iq, kHop after the last one
    for (auto _ : state) {
        if (at + block > iq.size()) at = frame = 0;
        at += block;
        for (; frame + kFft <= at; frame += kHop) {
            std::complex<float>* work = fft.complex_data(kFft);
            for (std::size_t i = 0; i < kFft; ++i) work[i] = iq[frame + i] * window[i];
            fft.complex_forward(kFft);
            for (std::size_t i = 0; i < kFft; ++i) spectrum[i] += 0.06f * (std::norm(work[(i + kFft / 2) % kFft]) - spectrum[i]);
        }
        benchmark::DoNotOptimize(spectrum.data());
    }
    count_capture(state, block, survey_rate);
}

BENCHMARK(BM_SpectrumFloor)->Arg(2000000)->Arg(10000000)->ArgName("capture")->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace
