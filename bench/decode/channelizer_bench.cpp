// Channelizer throughput: IQ samples per second and the real-time factor (seconds of IQ per
// second of wall time) by IQ rate and channel count, beside the bare forward transform on the
// same data, the floor that no channelizer of this design can beat; and the time to build a
// channel set.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <random>
#include <vector>

#include "decode/channelizer.hpp"
#include "decode/fft.hpp"
#include "testbed/lib/push_looped_iq.hpp"
#include "testbed/lib/spread_dials.hpp"

namespace {

constexpr double centre = 14000000.0;
constexpr std::size_t chunk = 16384;  // about what a receiver's block delivers

// A second's worth (at most 2^22 samples, repeated) of noise with a few carriers.
std::vector<std::complex<float>> make_input(double rate)
{
    std::size_t const count = std::min<std::size_t>(static_cast<std::size_t>(rate), std::size_t{1} << 22);
    std::vector<std::complex<float>> iq(count);
    std::mt19937 generator(42);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    for (std::size_t n = 0; n < count; ++n) {
        double const t = static_cast<double>(n) / rate;
        double const carrier = 0.1 * std::cos(2.0 * std::numbers::pi * 0.123 * rate * t);
        iq[n] = {static_cast<float>(carrier) + noise(generator), noise(generator)};
    }
    return iq;
}

void BM_Channelizer(benchmark::State& state)
{
    double const rate = static_cast<double>(state.range(0));
    auto const channels = static_cast<int>(state.range(1));
    std::vector<double> const dials = testbed::spread_dials(centre, rate, channels, 0.0, 3000.0);
    Channelizer::Impl channelizer(rate, centre, 2500.0, 1.0, dials, nullptr);
    auto const input = make_input(rate);
    Channelizer::Impl::Rows rows(static_cast<std::size_t>(channels));
    // One iteration: one second of IQ in receiver-sized chunks.
    auto const per_iteration = static_cast<std::size_t>(rate);
    std::size_t at = 0;
    for (auto _ : state) {
        for (auto& row : rows) {
            row.clear();
        }
        testbed::push_looped_iq(channelizer, input, per_iteration, chunk, at, rows);
        benchmark::DoNotOptimize(rows.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(per_iteration));
    state.counters["realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// The forward transforms of one second of IQ and nothing else, on the channelizer's own
// transform (with its worker pool where it has one).
void BM_ForwardOnly(benchmark::State& state)
{
    double const rate = static_cast<double>(state.range(0));
    Channelizer::Impl channelizer(rate, centre, 2500.0, 1.0, {}, nullptr);
    std::size_t const n = channelizer.fft_size();
    auto const input = make_input(rate);
    FftBuffer frame(n);
    FftBuffer bins(n);
    for (std::size_t i = 0; i < n; ++i) {
        frame[i] = input[i % input.size()];
    }
    std::uint64_t const frames_per_second = static_cast<std::uint64_t>(rate) / channelizer.hop();
    for (auto _ : state) {
        for (std::uint64_t f = 0; f < frames_per_second; ++f) {
            channelizer.forward(frame.data(), bins.data());
        }
        benchmark::DoNotOptimize(bins.data());
    }
    double const seconds = static_cast<double>(frames_per_second * channelizer.hop()) / rate;
    state.SetItemsProcessed(static_cast<std::int64_t>(static_cast<double>(state.iterations()) * seconds * rate));
    state.counters["realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * seconds, benchmark::Counter::kIsRate);
}

// Building a channel set: every live band change builds a whole new one.
void BM_Construction(benchmark::State& state)
{
    double const rate = static_cast<double>(state.range(0));
    auto const channels = static_cast<int>(state.range(1));
    auto const frequencies = testbed::spread_dials(centre, rate, channels, 0.0, 3000.0);
    for (auto _ : state) {
        Channelizer::Impl channelizer(rate, centre, 2500.0, 1.0, frequencies, nullptr);
        benchmark::DoNotOptimize(channelizer.fft_size());
    }
}

}  // namespace

BENCHMARK(BM_Channelizer)
    ->ArgsProduct({{64000, 2000000, 2048000, 10000000, 16000000}, {1, 8, 96}})
    ->ArgNames({"rate", "channels"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ForwardOnly)
    ->Arg(64000)->Arg(2000000)->Arg(2048000)->Arg(10000000)->Arg(16000000)
    ->ArgNames({"rate"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Construction)
    ->ArgsProduct({{2000000, 16000000}, {1, 96}})
    ->ArgNames({"rate", "channels"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
