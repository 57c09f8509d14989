// Throughput of the WEFAX receiver, in input samples per second: listening to noise, and a whole
// 120 lpm chart (start tone, 20 s of phasing, 60 lines, stop tone, PNG file).
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/modems/modem_factory.hpp"
#include "testbed/lib/picture_run.hpp"
#include "testbed/lib/test_signal.hpp"
#include "testbed/lib/wefax_modulator.hpp"

namespace {

sig::ModemContext bench_context() {
    sig::ModemContext context;
    context.dial_hz = 8638100.0;
    context.image_dir = (std::filesystem::temp_directory_path() / ("norvane-bench-wefax-" + std::to_string(::getpid()))).string();
    return context;
}

std::unique_ptr<sig::Modem> wefax_modem(const sig::ModemContext& context) {
    sig::Candidate candidate;
    candidate.audio_hz = 1900.0;
    return sig::make_modem(sig::Mode::WEFAX, candidate, {}, context);
}

void report(benchmark::State& state, std::size_t samples) {
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(samples));
    state.counters["realtime"] = benchmark::Counter(static_cast<double>(samples) / 12000.0 * static_cast<double>(state.iterations()),
                                                    benchmark::Counter::kIsRate);
}

void wefax_listening(benchmark::State& state) {
    const auto noise = testbed::white_noise(12000, 0.1, 1);
    const auto modem = wefax_modem(bench_context());
    sig::AudioBlock block;
    block.samples.assign(noise.begin(), noise.begin() + 1200);
    for (auto _ : state) {
        modem->process(block);
        benchmark::DoNotOptimize(modem->take_output());
    }
    report(state, block.samples.size());
}

void wefax_chart(benchmark::State& state) {
    testbed::WefaxTransmission t;
    t.phasing_s = 20.0;
    auto audio = testbed::modulate_wefax(testbed::wefax_test_chart(testbed::wefax_width(576), 60), t);
    testbed::add_white_noise(audio, testbed::noise_rms_for_snr(0.125, 20.0), 1);
    const sig::ModemContext context = bench_context();
    for (auto _ : state) {
        const auto modem = wefax_modem(context);
        benchmark::DoNotOptimize(testbed::run_picture_modem(*modem, audio, 1700000000.0));
    }
    std::filesystem::remove_all(context.image_dir);
    report(state, audio.size());
}

BENCHMARK(wefax_listening);
BENCHMARK(wefax_chart)->Unit(benchmark::kMillisecond);

}  // namespace
