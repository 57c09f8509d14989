// Throughput of the SSTV receiver, in input samples per second: searching on noise, and a whole
// PD50 transmission (header, picture, sync fit, colour conversion, PNG file).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/modems/modem_factory.hpp"
#include "testbed/lib/picture_run.hpp"
#include "testbed/lib/sstv_modulator.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

sig::ModemContext bench_context() {
    sig::ModemContext context;
    context.dial_hz = 14230000.0;
    context.image_dir = (std::filesystem::temp_directory_path() / ("norvane-bench-sstv-" + std::to_string(::getpid()))).string();
    return context;
}

void report(benchmark::State& state, std::size_t samples) {
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(samples));
    state.counters["realtime"] = benchmark::Counter(static_cast<double>(samples) / 12000.0 * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
}

void sstv_searching(benchmark::State& state) {
    const auto noise = testbed::white_noise(12000, 0.1, 1);
    const auto modem = sig::make_modem(sig::Mode::SSTV, {}, {}, bench_context());
    sig::AudioBlock block;
    block.samples.assign(noise.begin(), noise.begin() + 1200);
    for (auto _ : state) {
        modem->process(block);
        benchmark::DoNotOptimize(modem->take_output());
    }
    report(state, block.samples.size());
}

void sstv_picture(benchmark::State& state) {
    const auto picture = testbed::sstv_test_picture(320, 256);
    auto audio = testbed::modulate_sstv("PD50", picture, {});
    audio = testbed::concatenate(audio, testbed::silence(1.0));
    testbed::add_white_noise(audio, testbed::noise_rms_for_snr(0.125, 20.0), 1);
    const sig::ModemContext context = bench_context();
    for (auto _ : state) {
        const auto modem = sig::make_modem(sig::Mode::SSTV, {}, {}, context);
        benchmark::DoNotOptimize(testbed::run_picture_modem(*modem, audio, 1700000000.0));
    }
    std::filesystem::remove_all(context.image_dir);
    report(state, audio.size());
}

BENCHMARK(sstv_searching);
BENCHMARK(sstv_picture)->Unit(benchmark::kMillisecond);

}  // namespace
