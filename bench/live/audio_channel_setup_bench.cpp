// Cost of building one live audio channel (its filter, inverse transform plan and resampler),
// at 2 and 10 MS/s. "cold": no other channel holds the channel's filter, so it is designed and
// transformed anew; "warm": a channel of the same passband width at the same sub-bin position
// is alive, so the new one shares its filter. "sixteen" builds the 16 channels of a full
// receiver, spread over the capture (every one a different filter), as a start-up or a retune
// does. CPU time is the benchmark thread's.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "live/audio_channel_spec.hpp"
#include "live/audio_dsp.hpp"
#include "testbed/lib/spread_dials.hpp"

namespace {

constexpr double centre = 14000000.0;

AudioChannel usb_channel(double frequency)
{
    return parse_audio_channel("id=c,frequency=" + std::to_string(frequency));
}

// rate, warm (1) or cold (0)
void BM_AudioChannelSetup(benchmark::State& state)
{
    double const rate = static_cast<double>(state.range(0));
    bool const warm = state.range(1) != 0;
    double const frequency = centre + 123456.0;
    std::unique_ptr<AudioDSP> holder;
    if (warm)
        holder = std::make_unique<AudioDSP>(usb_channel(frequency), rate, centre, nullptr);
    for (auto _ : state) {
        AudioDSP chain(usb_channel(frequency), rate, centre, nullptr);
        benchmark::DoNotOptimize(chain.extract_size());
    }
}

BENCHMARK(BM_AudioChannelSetup)
    ->ArgsProduct({{2000000, 10000000}, {0, 1}})
    ->ArgNames({"rate", "warm"})
    ->Unit(benchmark::kMillisecond);

// rate: sixteen channels of different frequencies (USB, LSB, AM and FM in turn), built and
// released together.
void BM_SixteenChannels(benchmark::State& state)
{
    double const rate = static_cast<double>(state.range(0));
    std::vector<double> const dials = testbed::spread_dials(centre, rate, 16, 1500.0, 12000.0);
    std::vector<AudioChannel> channels;
    for (std::size_t i = 0; i < dials.size(); ++i) {
        static char const* const modes[] = {"USB", "LSB", "AM", "FM"};
        channels.push_back(parse_audio_channel("id=c" + std::to_string(i) + ",frequency="
                                               + std::to_string(dials[i]) + ",modulation=" + modes[i % 4]));
    }
    for (auto _ : state) {
        std::vector<std::unique_ptr<AudioDSP>> built;
        for (AudioChannel const& channel : channels)
            built.push_back(std::make_unique<AudioDSP>(AudioChannel(channel), rate, centre, nullptr));
        benchmark::DoNotOptimize(built.data());
    }
}

BENCHMARK(BM_SixteenChannels)->Arg(2000000)->Arg(10000000)->ArgNames({"rate"})->Unit(benchmark::kMillisecond);

}  // namespace
