// Cost of the Olivia receiver per second of audio, for every accepted variant: searching (on
// noise, the most expensive state: every frame decodes a block at every offset) and a whole
// transmission (search, confirmation, then locked), each fed as the analyzer feeds it, in
// blocks of 1200 samples with take_output after each.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/modems/modem_factory.hpp"
#include "testbed/lib/keyboard_transmission.hpp"
#include "testbed/lib/olivia_modulator.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

constexpr std::size_t kBlock = 1200;

std::unique_ptr<sig::Modem> modem_for(int tones, int bandwidth_hz) {
    sig::Candidate candidate;
    candidate.audio_hz = 1500.0;
    candidate.variant = std::to_string(tones) + "/" + std::to_string(bandwidth_hz);
    return sig::make_modem(sig::Mode::OLIVIA, candidate, {}, {});
}

double feed(sig::Modem& modem, const std::vector<float>& audio) {
    sig::AudioBlock block;
    std::size_t chars = 0;
    for (std::size_t at = 0; at < audio.size(); at += kBlock) {
        block.samples.assign(audio.begin() + static_cast<std::ptrdiff_t>(at),
                             audio.begin() + static_cast<std::ptrdiff_t>(std::min(audio.size(), at + kBlock)));
        modem.process(block);
        chars += modem.take_output().text.size();
    }
    return static_cast<double>(chars);
}

void set_counters(benchmark::State& state, double audio_seconds) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * audio_seconds * 12000.0));
    // Seconds of audio per second of CPU: the real-time factor on one core.
    state.counters["realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * audio_seconds, benchmark::Counter::kIsRate);
}

void olivia_searching(benchmark::State& state) {
    const auto modem = modem_for(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const std::vector<float> noise = testbed::white_noise(12000 * 10, 0.1, 1);
    feed(*modem, noise);  // past the first 65 symbols, where the search starts
    for (auto _ : state) benchmark::DoNotOptimize(feed(*modem, noise));
    set_counters(state, 10.0);
}

void olivia_transmission(benchmark::State& state) {
    const int tones = static_cast<int>(state.range(0));
    const int bandwidth = static_cast<int>(state.range(1));
    testbed::OliviaSignal signal;
    signal.tones = tones;
    signal.bandwidth_hz = bandwidth;
    const std::string message = "CQ CQ DE W1AW W1AW PSE K\nthe quick brown fox jumps over the lazy dog 0123456789\n";
    const auto burst = testbed::modulate_olivia_text(message, signal);
    const auto audio = testbed::noisy_transmission(burst, testbed::mean_power(burst), 0.0, 1);
    double printed = 0.0;
    for (auto _ : state) {
        const auto modem = modem_for(tones, bandwidth);
        printed = feed(*modem, audio);
    }
    if (printed < static_cast<double>(message.size())) state.SkipWithError("the transmission was not copied");
    set_counters(state, static_cast<double>(audio.size()) / 12000.0);
}

void every_variant(benchmark::internal::Benchmark* b) {
    b->ArgNames({"tones", "bandwidth"});
    for (const auto& [tones, bandwidth] : {std::pair{4, 125}, {8, 125}, {4, 250}, {8, 250}, {4, 500}, {8, 500},
                                           {16, 500}, {64, 500}, {4, 1000}, {8, 1000}, {16, 1000}, {32, 1000},
                                           {64, 1000}, {4, 2000}, {8, 2000}, {16, 2000}, {32, 2000}, {64, 2000}})
        b->Args({tones, bandwidth});
}

BENCHMARK(olivia_searching)->Apply(every_variant)->Unit(benchmark::kMillisecond);
BENCHMARK(olivia_transmission)->Apply(every_variant)->Unit(benchmark::kMillisecond);

}  // namespace
