#include "radio/iq_level_meter.hpp"

#include <benchmark/benchmark.h>

#include <complex>
#include <limits>
#include <random>
#include <vector>

namespace {

std::vector<std::complex<float>> noise_block(std::size_t samples)
{
    std::mt19937 random(3);
    std::normal_distribution<float> component(0.0f, 0.1f);
    std::vector<std::complex<float>> block(samples);
    for (auto& sample : block)
        sample = {component(random), component(random)};
    return block;
}

// The receive-path cost per block: finite blocks take the vectorised pass only.
void BM_IqLevelMeterUpdate(benchmark::State& state)
{
    auto const block = noise_block(static_cast<std::size_t>(state.range(0)));
    IqLevelMeter meter;
    double t = 1.7e9;
    for (auto _ : state) {
        meter.update(block, t);
        t += 0.001;
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_IqLevelMeterUpdate)->Arg(1344)->Arg(8192)->Arg(65536);

// A block holding a NaN is scanned a second time, in double precision.
void BM_IqLevelMeterUpdateWithNaN(benchmark::State& state)
{
    auto block = noise_block(static_cast<std::size_t>(state.range(0)));
    block[block.size() / 2] = {std::numeric_limits<float>::quiet_NaN(), 0.0f};
    IqLevelMeter meter;
    double t = 1.7e9;
    for (auto _ : state) {
        meter.update(block, t);
        t += 0.001;
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_IqLevelMeterUpdateWithNaN)->Arg(8192);

}  // namespace
