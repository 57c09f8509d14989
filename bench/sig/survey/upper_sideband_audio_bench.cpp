// What keeping only the upper sideband adds to an emitter's extractor: one second of its
// outputs at 12000 Hz (the decoders' audio) and at the wideband history rates, in the blocks a
// survey pass of 32768 samples at 1.5 MHz yields. The time per iteration is the CPU per emitter
// per second.
#include "sig/survey/upper_sideband_audio.hpp"

#include <benchmark/benchmark.h>

#include <complex>
#include <random>
#include <vector>

namespace {

void BM_UpperSidebandSecond(benchmark::State& state) {
    const auto rate = static_cast<std::size_t>(state.range(0));
    const auto block = static_cast<std::size_t>(state.range(1));
    std::mt19937 rng(5);
    std::normal_distribution<float> gauss(0.0f, 0.3f);
    std::vector<std::complex<float>> input(rate);
    for (auto& z : input) z = {gauss(rng), gauss(rng)};
    sig::UpperSidebandAudio sideband;
    std::vector<float> audio;
    for (auto _ : state) {
        audio.clear();
        for (std::size_t at = 0; at < input.size(); at += block)
            sideband.process(input.data() + at, std::min(block, input.size() - at), audio);
        benchmark::DoNotOptimize(audio.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(input.size()));
}
BENCHMARK(BM_UpperSidebandSecond)
    ->ArgNames({"rate", "block"})
    ->Args({12000, 262})
    ->Args({24000, 524})
    ->Args({64000, 1398})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
