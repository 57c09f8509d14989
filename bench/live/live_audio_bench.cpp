// Cost of the live engine per second of capture: the channelizer of 96 decoder channels with
// live audio channels on its frames (each writing a WAV file), with the ChannelTeam and inline,
// beside the decoder channelizer alone. CPU time is the whole process's (every thread: the
// channelizer, the team's workers and the WAV writers), so the "cpu" column per iteration of
// one second of IQ is the number of cores the capture keeps busy.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <complex>
#include <filesystem>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "decode/channelizer.hpp"
#include "live/live_audio.hpp"
#include "testbed/lib/push_looped_iq.hpp"
#include "testbed/lib/spread_dials.hpp"

namespace {

namespace fs = std::filesystem;

constexpr double centre = 14000000.0;
constexpr std::size_t chunk = 16384;

std::vector<std::complex<float>> make_input(double rate)
{
    std::size_t const count = std::min<std::size_t>(static_cast<std::size_t>(rate), std::size_t {1} << 22);
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

// A private directory for the recordings, removed with everything in it.
struct Scratch {
    fs::path path;
    Scratch()
    {
        std::string pattern = (fs::temp_directory_path() / "norvane-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~Scratch() { fs::remove_all(path); }
};

// rate, live channels, team (1) or inline (0), decoder channels
void BM_LiveEngine(benchmark::State& state)
{
    double const rate = static_cast<double>(state.range(0));
    auto const live_channels = static_cast<int>(state.range(1));
    bool const team = state.range(2) != 0;
    auto const decoders = static_cast<int>(state.range(3));
    Scratch scratch;

    std::vector<double> const dials = testbed::spread_dials(centre, rate, decoders, 0.0, 6000.0);
    Channelizer::Impl channelizer(rate, centre, 2500.0, 1.0, dials, nullptr);
    std::vector<AudioChannel> channels;
    std::vector<double> const frequencies = testbed::spread_dials(centre, rate, live_channels, 1500.0, 6000.0);
    for (int i = 0; i < live_channels; ++i) {
        AudioChannel channel;
        channel.id = "c" + std::to_string(i);
        channel.frequency = frequencies[static_cast<std::size_t>(i)];
        channel.modulation = static_cast<AudioModulation>(i % 4);
        channel.bandwidth = i % 4 == 2 ? 6000 : (i % 4 == 3 ? 10000 : 3000);
        channel.wav = (scratch.path / (channel.id + ".wav")).string();
        channels.push_back(channel);
    }
    // Inline: the IQ-replay rule (every frame on the capture's thread); its outputs then also
    // wait for the writers instead of dropping, which the writers easily allow.
    AnalysisSettings settings;
    settings.iq_replay = !team;
    std::unique_ptr<LiveAudio> live;
    if (live_channels > 0) {
        live = std::make_unique<LiveAudio>(rate, centre, rate, "", channels, LiveAudio::RadioHook {}, false, settings,
                                           nullptr);
        channelizer.set_spectrum_hook([&live](SpectrumFrame const& frame) { live->process(frame); });
    }

    auto const input = make_input(rate);
    Channelizer::Impl::Rows rows(static_cast<std::size_t>(decoders));
    auto const per_iteration = static_cast<std::size_t>(rate);
    std::size_t at = 0;
    for (auto _ : state) {
        for (auto& row : rows)
            row.clear();
        testbed::push_looped_iq(channelizer, input, per_iteration, chunk, at, rows);
        benchmark::DoNotOptimize(rows.data());
    }
    if (live) {
        LiveAudio::OutputCounts const counts = live->output_counts();
        state.counters["dropped"] = static_cast<double>(counts.dropped);
        state.counters["team_workers"] = live->channel_team_workers();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(per_iteration));
    state.counters["realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void live_cases(benchmark::internal::Benchmark* b)
{
    for (std::int64_t const rate : {2000000, 10000000}) {
        b->Args({rate, 0, 0, 96});
        for (std::int64_t const live : {4, 16}) {
            for (std::int64_t const team : {1, 0})
                b->Args({rate, live, team, 96});
        }
        b->Args({rate, 16, 1, 0});
    }
}

BENCHMARK(BM_LiveEngine)
    ->Apply(live_cases)
    ->ArgNames({"rate", "live", "team", "decoders"})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
