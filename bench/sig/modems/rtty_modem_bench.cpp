// Throughput of the RTTY receiver, in input samples per second: searching (nine rate/shift pairs,
// eighteen framers, on noise) and locked (one framer, on a signal).
#include <benchmark/benchmark.h>

#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/modems/modem_factory.hpp"
#include "testbed/lib/rtty_modulator.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

void rtty_modem(benchmark::State& state) {
    const bool locked = state.range(0) != 0;
    constexpr std::size_t kBlock = 1200;
    testbed::RttySignal signal;
    signal.centre_hz = 1500.0;
    std::vector<float> audio = locked ? testbed::modulate_rtty_text("RYRYRYRYRY CQ CQ DE W1AW W1AW K ", signal)
                                      : testbed::white_noise(12000 * 10, 0.1, 1);
    if (locked) testbed::add_white_noise(audio, testbed::noise_rms_for_snr(testbed::mean_power(audio), 10.0), 1);
    sig::Candidate candidate;
    candidate.audio_hz = 1500.0;
    const auto modem = sig::make_modem(sig::Mode::RTTY, candidate, {}, {});
    sig::AudioBlock block;
    // Lock first when asked; the measured blocks then come from the same signal.
    if (locked) {
        block.samples = audio;
        modem->process(block);
        if (modem->take_output().variant.empty()) state.SkipWithError("the receiver did not lock");
    }
    block.samples.assign(audio.end() - static_cast<std::ptrdiff_t>(kBlock), audio.end());
    for (auto _ : state) {
        modem->process(block);
        benchmark::DoNotOptimize(modem->take_output());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kBlock));
}

BENCHMARK(rtty_modem)->Arg(0)->Arg(1);

}  // namespace
