// Cost of analysis channels in the live engine per second of capture: the channelizer of 96
// decoder channels at 2 MS/s with 0 or 16 fixed-mode analysis channels on its frames, each cutting
// its passband to 12000 Hz audio and running its analyzer (classifier, modem, line assembly).
// The capture carries a keyboard signal in every analysis channel. CPU time is the whole
// process's (the capture's thread, the analyzer workers), so the "cpu" column per iteration of
// one second of IQ reads as cores kept busy.
#include <benchmark/benchmark.h>

#include <complex>
#include <memory>
#include <string>
#include <vector>

#include "decode/channelizer.hpp"
#include "live/live_audio.hpp"
#include "sig/modems/modem.hpp"
#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/push_looped_iq.hpp"
#include "testbed/lib/rtty_modulator.hpp"
#include "testbed/lib/spread_dials.hpp"

namespace {

constexpr double centre = 14000000.0;
constexpr double rate = 2000000.0;
constexpr std::size_t chunk = 16384;
constexpr double seconds = 2.0;
const std::string text = "CQ CQ DE Q1ABC Q1ABC PSE K the quick brown fox jumps over the lazy dog ";

// Sixteen channels: PSK31, RTTY 45.45/170 and CW in turn, each with its signal at 1500 Hz.
struct Layout {
    std::vector<AnalysisChannel> channels;
    std::vector<std::complex<float>> iq;
};

Layout const& layout()
{
    static Layout const made = [] {
        Layout l;
        std::vector<testbed::IqSynthSignal> signals;
        std::vector<double> const dials = testbed::spread_dials(centre, rate, 16, 2500.0, 6000.0);
        for (int i = 0; i < 16; ++i) {
            AnalysisChannel channel;
            channel.id = "a" + std::to_string(i);
            channel.dial_hz = static_cast<double>(static_cast<long>(dials[static_cast<std::size_t>(i)]));
            channel.bandwidth_hz = 3000.0;
            channel.modes_auto = false;
            std::vector<float> audio;
            if (i % 3 == 0) {
                channel.modes = {sig::Mode::PSK31};
                testbed::PskSignal psk;
                psk.carrier_hz = 1500.0;
                audio = testbed::modulate_psk_text(text, psk);
            } else if (i % 3 == 1) {
                channel.modes = {sig::Mode::RTTY};
                channel.rtty = "45.45/170";
                testbed::RttySignal rtty;
                rtty.centre_hz = 1500.0;
                audio = testbed::modulate_rtty_text(text, rtty);
            } else {
                channel.modes = {sig::Mode::CW};
                testbed::CwKeying cw;
                cw.tone_hz = 1500.0;
                cw.wpm = 25;
                audio = testbed::key_text(text, cw);
            }
            l.channels.push_back(channel);
            signals.push_back({std::move(audio), channel.dial_hz, 0.0});
        }
        testbed::IqSynthConfig config;
        config.center_hz = centre;
        config.rate_hz = static_cast<int>(rate);
        config.duration_s = seconds;
        config.add_noise = true;
        config.snr_db = 20;
        config.gain_db = -30;
        l.iq = testbed::synthesize_iq(config, signals);
        return l;
    }();
    return made;
}

// analysis channels, threaded (1: live, a worker per analyzer) or inline (0: the IQ-replay rule)
void BM_AnalysisChannels(benchmark::State& state)
{
    auto const count = static_cast<std::size_t>(state.range(0));
    bool const threaded = state.range(1) != 0;
    Layout const& l = layout();

    std::vector<double> const dials = testbed::spread_dials(centre, rate, 96, 0.0, 6000.0);
    Channelizer::Impl channelizer(rate, centre, 2500.0, 1.0, dials, nullptr);
    AnalysisSettings settings;
    settings.channels.assign(l.channels.begin(), l.channels.begin() + static_cast<long>(count));
    settings.iq_replay = !threaded;
    settings.replay_origin = threaded ? 0.0 : 1714564800.0;
    std::unique_ptr<LiveAudio> live;
    if (count > 0) {
        live = std::make_unique<LiveAudio>(rate, centre, rate, "", std::vector<AudioChannel>{}, LiveAudio::RadioHook{},
                                           false, std::move(settings), nullptr);
        channelizer.set_spectrum_hook([&live](SpectrumFrame const& frame) { live->process(frame); });
    }

    Channelizer::Impl::Rows rows(96);
    auto const per_iteration = static_cast<std::size_t>(rate);
    std::size_t at = 0;
    for (auto _ : state) {
        for (auto& row : rows)
            row.clear();
        testbed::push_looped_iq(channelizer, l.iq, per_iteration, chunk, at, rows);
        benchmark::DoNotOptimize(rows.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(per_iteration));
    state.counters["realtime"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    channelizer.set_spectrum_hook({});
    live.reset();
}

BENCHMARK(BM_AnalysisChannels)
    ->ArgNames({"analysis", "threaded"})
    ->Args({0, 0})
    ->Args({16, 1})
    ->Args({16, 0})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime();

}  // namespace
