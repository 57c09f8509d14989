// The RX-888 front end: CPU time per second of ADC data at 64 and 128 MS/s for every
// decimation, with one to four workers, beside the floor of the same transforms done by FFTW
// alone (a real 16384-point transform every 8192 words and one 16384/D-point inverse), with
// the measured plans the front end runs and, for comparison, with fixed (estimated) plans.
// Compare the two side by side: --benchmark_repetitions=N --benchmark_enable_random_interleaving.
//
// One iteration converts 16 transfers (2^21 words) of a tone in noise. "realtime" is seconds
// of ADC data converted per second of wall time: above 1 the front end keeps up.
#include <benchmark/benchmark.h>

#include <fftw3.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <numbers>
#include <random>
#include <vector>

#include "core/fft_planner.hpp"
#include "rx888/rx888_frontend.hpp"

namespace {

constexpr std::size_t kWords = 16 * 131072;

std::vector<std::int16_t> const& adc_words()
{
    static std::vector<std::int16_t> const words = [] {
        std::vector<std::int16_t> w(kWords);
        std::mt19937 random(7);
        std::normal_distribution<double> noise(0.0, 300.0);
        for (std::size_t n = 0; n < kWords; ++n) {
            double const tone = 3000.0 * std::cos(2 * std::numbers::pi * 0.1101 * static_cast<double>(n));
            w[n] = static_cast<std::int16_t>(std::lround(tone + noise(random)));
        }
        return w;
    }();
    return words;
}

// args: ADC clock in MHz, decimation, workers
void BM_Rx888Frontend(benchmark::State& state)
{
    double const clock = static_cast<double>(state.range(0)) * 1e6;
    auto const d = static_cast<double>(state.range(1));
    auto const workers = static_cast<unsigned>(state.range(2));
    double const rate = clock / d;
    // Any centre the plan accepts: the work does not depend on it.
    double const centre = std::max(0.45 * rate + 1e3, 14.08e6 < clock / 2 - 0.45 * rate ? 14.08e6 : clock / 4);
    Rx888Frontend frontend(clock, rate, centre, "off", workers * 8);
    frontend.start();
    std::vector<std::int16_t> const& words = adc_words();
    IqSamples out;
    out.reserve(kWords / static_cast<std::size_t>(d) + 16384);
    double offset = 0;
    for (auto _ : state) {
        for (std::size_t at = 0; at < kWords; at += 131072) {
            out.clear();
            frontend.convert(words.data() + at, 131072, out, offset);
            benchmark::DoNotOptimize(out.data());
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kWords));
    state.counters["realtime"] = benchmark::Counter(static_cast<double>(state.iterations()) * kWords / clock,
                                                    benchmark::Counter::kIsRate);
}

// args: ADC clock in MHz, decimation, measured plans (1) or fixed ones (0): the transforms
// alone, on one thread.
void BM_Rx888FftFloor(benchmark::State& state)
{
    double const clock = static_cast<double>(state.range(0)) * 1e6;
    auto const d = static_cast<std::size_t>(state.range(1));
    bool const measured = state.range(2) != 0;
    std::size_t const m = 16384 / d;
    auto* input = static_cast<float*>(fftwf_malloc(sizeof(float) * (kWords + 8192)));
    auto* spectrum = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * 8193));
    auto* selected = static_cast<fftwf_complex*>(fftwf_malloc(sizeof(fftwf_complex) * m));
    std::memset(selected, 0, sizeof(fftwf_complex) * m);
    std::vector<std::int16_t> const& words = adc_words();
    for (std::size_t n = 0; n < kWords + 8192; ++n)
        input[n] = static_cast<float>(words[n % kWords]) / 32768.0f;
    fftwf_plan forward = nullptr;
    fftwf_plan inverse = nullptr;
    if (measured) {
        forward = measured_fft_plans().real_forward(16384);
        inverse = measured_fft_plans().complex_in_place(m, FFTW_BACKWARD);
    } else {
        std::scoped_lock lock(fft_planner_mutex());
        forward = fftwf_plan_dft_r2c_1d(16384, input, spectrum, fixed_plan_flags | FFTW_PRESERVE_INPUT);
        inverse = fftwf_plan_dft_1d(static_cast<int>(m), selected, selected, FFTW_BACKWARD, fixed_plan_flags);
    }
    for (auto _ : state) {
        for (std::size_t at = 0; at + 16384 <= kWords + 8192; at += 8192) {
            fftwf_execute_dft_r2c(forward, input + at, spectrum);
            fftwf_execute_dft(inverse, selected, selected);
            benchmark::DoNotOptimize(selected);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kWords));
    state.counters["realtime"] = benchmark::Counter(static_cast<double>(state.iterations()) * kWords / clock,
                                                    benchmark::Counter::kIsRate);
    if (!measured) {
        std::scoped_lock lock(fft_planner_mutex());
        fftwf_destroy_plan(forward);
        fftwf_destroy_plan(inverse);
    }
    fftwf_free(input);
    fftwf_free(spectrum);
    fftwf_free(selected);
}

void frontend_cases(benchmark::internal::Benchmark* b)
{
    for (long clock : {64L, 128L})
        for (long d = 2; d <= 256; d *= 2)
            for (long workers = 1; workers <= 4; ++workers)
                b->Args({clock, d, workers});
}

void floor_cases(benchmark::internal::Benchmark* b)
{
    for (long clock : {64L, 128L})
        for (long d = 2; d <= 256; d *= 2)
            for (long measured : {1L, 0L})
                b->Args({clock, d, measured});
}

}  // namespace

BENCHMARK(BM_Rx888Frontend)->Apply(frontend_cases)->ArgNames({"MHz", "D", "workers"})->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rx888FftFloor)->Apply(floor_cases)->ArgNames({"MHz", "D", "measured"})->UseRealTime()->Unit(benchmark::kMillisecond);
