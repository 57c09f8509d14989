// Throughput of the CW receiver on noisy keying, in input samples per second.
#include <benchmark/benchmark.h>

#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/modems/modem_factory.hpp"
#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

void cw_modem(benchmark::State& state) {
    const auto block_size = static_cast<std::size_t>(state.range(0));
    testbed::CwKeying keying;
    keying.tone_hz = 700.0;
    auto audio = testbed::key_text("CQ CQ DE W1AW W1AW K", keying);
    testbed::add_white_noise(audio, testbed::noise_rms_for_snr(0.125, 5.0), 1);
    sig::Candidate candidate;
    candidate.audio_hz = 700.0;
    const auto modem = sig::make_modem(sig::Mode::CW, candidate, {}, {});
    sig::AudioBlock block;
    block.samples.assign(audio.begin(), audio.begin() + static_cast<std::ptrdiff_t>(block_size));
    for (auto _ : state) {
        modem->process(block);
        benchmark::DoNotOptimize(modem->take_output());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(block_size));
}

BENCHMARK(cw_modem)->Arg(1200);

}  // namespace
