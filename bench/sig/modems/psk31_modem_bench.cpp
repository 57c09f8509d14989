// Throughput of the PSK receiver on noisy PSK31/PSK63 audio, in input samples per second.
#include <benchmark/benchmark.h>

#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/modems/modem_factory.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

void psk_modem(benchmark::State& state) {
    const auto mode = static_cast<sig::Mode>(state.range(0));
    const auto block_size = static_cast<std::size_t>(state.range(1));
    testbed::PskSignal signal;
    signal.baud = mode == sig::Mode::PSK31 ? 31.25 : 62.5;
    auto audio = testbed::modulate_psk_text("benchmark text de W1AW ", signal);
    testbed::add_white_noise(audio, testbed::noise_rms_for_snr(testbed::mean_power(audio), 0.0), 1);
    sig::Candidate candidate;
    candidate.audio_hz = 1000.0;
    const auto modem = sig::make_modem(mode, candidate, {}, {});
    sig::AudioBlock block;
    block.samples.assign(audio.begin(), audio.begin() + static_cast<std::ptrdiff_t>(block_size));
    for (auto _ : state) {
        modem->process(block);
        benchmark::DoNotOptimize(modem->take_output());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(block_size));
}

BENCHMARK(psk_modem)->ArgsProduct({{static_cast<long>(sig::Mode::PSK31), static_cast<long>(sig::Mode::PSK63)}, {1200}});

}  // namespace
