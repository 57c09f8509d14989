// Cost of the JTTY bridge on the analyzer thread per block of audio: sample conversion, the send
// to the decoder and the read of its output. The decoder is our stand-in (it reads and prints a
// line now and then); its own CPU time is not counted here.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <string>
#include <vector>

#include "core/sig/modem_context.hpp"
#include "sig/modems/modem_factory.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

void jtty_bridge(benchmark::State& state) {
    ::setenv("NORVANE_JTTY", NORVANE_TESTBED_DIR "/jtty-rx", 1);
    ::unsetenv("JTTY_STANDIN_LOG");
    ::unsetenv("JTTY_STANDIN_DUMP");
    ::unsetenv("JTTY_STANDIN_SCRIPT");
    constexpr std::size_t kBlock = 1200;
    const sig::ModemContext context{{"bench", "rx", 14080000.0, true, 3000.0}, ""};
    const auto modem = sig::make_modem(sig::Mode::JTTY, {}, {}, context);
    sig::AudioBlock block;
    block.samples = testbed::white_noise(kBlock, 0.3, 1);
    double t = 0.0;
    std::size_t lines = 0;
    for (auto _ : state) {
        block.time = t;
        t += 0.1;
        modem->process(block);
        lines += modem->take_output().lines.size();
    }
    benchmark::DoNotOptimize(lines);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kBlock));
    state.counters["realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 0.1, benchmark::Counter::kIsRate);
}

BENCHMARK(jtty_bridge);

}  // namespace
