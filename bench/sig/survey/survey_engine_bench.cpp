// The survey engine's cost per second of capture: the spectrum, detection, extraction,
// classification and decoding of one survey pass, at the survey rates of a 2 MS/s capture
// (decimation 1) and a 10 MS/s capture (decimation 6), with 0, 16 and 40 emitters (keyed CW
// calls and PSK31 calls spread over the band), decoding at most 16 of them at once.
// "realtime" is seconds of capture processed per second of CPU.

#include <benchmark/benchmark.h>

#include <complex>
#include <string>
#include <vector>

#include "sig/survey/survey_engine.hpp"
#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/psk_modulator.hpp"

namespace {

constexpr double kStart = 1714564800.0;
constexpr double kCentre = 14100000.0;
constexpr double kSeconds = 6.0;
constexpr std::size_t kPass = 32768;  // the runner's pass at decimation 1

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
    const int decimation = capture_rate > 1500000 ? capture_rate / 1500000 : 1;
    // Our IQ synthesiser works in whole multiples of 12000 Hz: the 1666667 Hz of a 10 MS/s capture
    // is run at 1668000 Hz, 0.08 % more work.
    const int survey_rate = (capture_rate / decimation + 11999) / 12000 * 12000;
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
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(block));
    state.counters["realtime"] = benchmark::Counter(static_cast<double>(state.iterations()) * block / survey_rate,
                                                    benchmark::Counter::kIsRate);
    state.counters["reported"] = static_cast<double>(engine.report_counts().reported);
    state.counters["decoding"] = static_cast<double>(engine.report_counts().decoding);
}

BENCHMARK(BM_SurveyEngine)
    ->ArgsProduct({{2000000, 10000000}, {0, 16, 40}})
    ->ArgNames({"capture", "emitters"})
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3.0);

}  // namespace
