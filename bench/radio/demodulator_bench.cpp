#include "radio/demodulator.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

namespace {

std::vector<std::complex<float>> tone(double frequency_hz, double rate_hz, std::size_t count)
{
    std::vector<std::complex<float>> iq(count);
    for (std::size_t n = 0; n < count; ++n) {
        double const phase = 2.0 * std::numbers::pi * frequency_hz * static_cast<double>(n) / rate_hz;
        iq[n] = {static_cast<float>(0.05 * std::cos(phase)), static_cast<float>(0.05 * std::sin(phase))};
    }
    return iq;
}

// One iteration demodulates one second of 64000 Hz IQ in blocks of range(1) samples.
// Arguments: modulation (0 USB, 2 AM), block size.
void BM_Demodulator(benchmark::State& state)
{
    auto const modulation = static_cast<std::uint32_t>(state.range(0));
    auto const block = static_cast<std::size_t>(state.range(1));
    Demodulator demodulator(modulation, 3000, 10, 48000, 8000);
    std::vector<std::complex<float>> const iq = tone(9000, demodulator_iq_rate_hz, 64000);
    std::vector<float> audio;
    for (auto _ : state) {
        for (std::size_t at = 0; at < iq.size(); at += block) {
            std::size_t const length = std::min(block, iq.size() - at);
            demodulator.process(std::span(iq).subspan(at, length), audio);
            benchmark::DoNotOptimize(audio.data());
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(iq.size()));
    state.counters["realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Demodulator)->ArgsProduct({{0, 2}, {1280, 16384}})->Unit(benchmark::kMillisecond);

// One iteration brings one second of IQ at range(0) Hz down to 64000 Hz in blocks of 16384.
void BM_ResampleIq(benchmark::State& state)
{
    double const rate = static_cast<double>(state.range(0));
    IqResampler resampler(rate);
    std::vector<std::complex<float>> const iq = tone(10000, rate, static_cast<std::size_t>(rate));
    for (auto _ : state) {
        for (std::size_t at = 0; at < iq.size(); at += 16384) {
            std::size_t const length = std::min<std::size_t>(16384, iq.size() - at);
            benchmark::DoNotOptimize(resample_iq(resampler, std::span(iq).subspan(at, length)).data());
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(iq.size()));
    state.counters["realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ResampleIq)->Arg(256000)->Arg(2048000)->Unit(benchmark::kMillisecond);

}  // namespace
