// The receive-engine path against the processor path, both from the same stand-in receiver:
// tones in the ADC stream reach two 12 kHz channels through the raw words, the GPU receive
// engine (the stand-in plug-in) and the channelizer's engine rows, and through the CPU front
// end and the channelizer's own transforms; both give the same tones, at the same level, with
// no phase jump at any hop. The capture centre sits on an odd bin of the engine's transform,
// and one channel on an odd bin of the channelizer's, so every sign rule of both paths counts.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <memory>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "core/options.hpp"
#include "decode/channelizer.hpp"
#include "radio/iq_block.hpp"
#include "radio/sample_queue.hpp"
#include "rx888/gpu_receiver.hpp"
#include "rx888/rx888_radio.hpp"
#include "tests/rx888/gpu_standin.hpp"
#include "tests/rx888/rx888_standin.hpp"

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr double kSlow = 8;
#else
constexpr double kSlow = 4;
#endif

using Steady = std::chrono::steady_clock;

constexpr double kRate = 4e6;                   // D = 16 at 64 MS/s
constexpr std::uint64_t kFrame = 262144;         // the channelizer's transform at 4 MS/s
constexpr double kBin = 64e6 / (kFrame * 16.0);  // 15.2587890625 Hz, both paths
constexpr double kCentre = 924059 * kBin;        // an odd bin, about 14.1 MHz
// Dials whose channels sit on bins 3359 (odd) and -6472 (even) of the channelizer.
constexpr double kDialOdd = kCentre + 50000;
constexpr double kDialEven = kCentre - 100000;
constexpr double kToneOdd = 1000;   // audio Hz
constexpr double kToneEven = 1500;

double wall_utc()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

struct Audio {
    std::vector<float> odd;
    std::vector<float> even;
};

// The two channels' audio of `seconds` of the stream, on the engine path or the processor path.
Audio receive(bool engine_path, double seconds)
{
    std::string const tones = std::to_string(kDialOdd + kToneOdd) + "@0.1," + std::to_string(kDialEven + kToneEven) +
                              "@0.05";
    UsbStandin standin{{"SLOW", std::to_string(kSlow)}, {"TONES", tones}};
    Options options = rx888_options();
    options.rx888_rate = "half";
    options.sample_rate = static_cast<std::int32_t>(kRate);
    options.frequency = kCentre;
    options.rx888_gpu = engine_path ? "auto" : "off";
    Rx888Hooks hooks;
    auto const start = Steady::now();
    double const utc_start = wall_utc();
    hooks.utc_now = [=] { return utc_start + std::chrono::duration<double>(Steady::now() - start).count() / kSlow; };
    hooks.gpu_library = &gpu_standin();
    std::unique_ptr<Radio> radio = make_rx888_radio(options, hooks);

    Channelizer::Impl channelizer(radio->sample_rate(), radio->center_for(options.frequency), 2500, 1.0,
                                  {kDialOdd, kDialEven}, nullptr);
    EXPECT_DOUBLE_EQ(radio->center_for(options.frequency), kCentre);
    SampleQueue queue;
    if (engine_path) {
        std::string reason;
        auto engine = std::dynamic_pointer_cast<RawSpectrum>(radio->receive_engine(kFrame, reason));
        EXPECT_EQ(reason, "GPU (" + gpu_standin_name + ")");
        if (!engine)
            return {};
        channelizer.attach_engine(engine);
        queue.configure(radio->sample_rate(), 8, 2 * engine->decimation());
    } else {
        queue.configure(radio->sample_rate(), 8);
    }
    EXPECT_EQ(channelizer.fft_size(), kFrame);

    Channelizer::Impl::Rows rows(2);
    radio->start(queue);
    std::uint64_t taken = 0;
    std::uint64_t const wanted = static_cast<std::uint64_t>(seconds * kRate);
    auto const deadline = Steady::now() + std::chrono::duration<double>(seconds * kSlow * 4 + 20);
    while (taken < wanted && Steady::now() < deadline) {
        std::vector<IqBlock> blocks;
        if (!queue.pop_blocks(blocks))
            continue;
        for (IqBlock const& block : blocks) {
            // Only the stream's start may be a break: the comparison needs one unbroken stream.
            EXPECT_TRUE(!block.discontinuity || taken == 0) << "a break after " << taken << " samples";
            EXPECT_EQ(block.raw.empty(), !engine_path);
            if (engine_path)
                channelizer.push_raw(block.raw.data(), block.raw.size(), rows);
            else
                channelizer.push_iq(block.samples.data(), block.samples.size(), rows);
            taken += block.length();
        }
    }
    radio->stop();
    EXPECT_EQ(queue.failure(), "");
    EXPECT_GE(taken, wanted);
    return {rows[0], rows[1]};
}

struct Tone {
    double frequency_hz = 0;
    double amplitude = 0;
    double worst_phase_step = 0;  // the largest departure from a steady phase between windows
    double amplitude_spread = 0;  // (largest - smallest) / mean amplitude of the windows
};

// The tone near `nominal_hz` in audio at 12 kHz, after `skip` samples: windows of one
// millisecond-multiple that hold whole cycles are mixed down by the nominal frequency; their
// phases must advance steadily and their levels stay the same.
Tone measure(std::vector<float> const& audio, double nominal_hz, std::size_t skip)
{
    std::size_t const window = 24;  // 2 ms: whole cycles of 1000 and 1500 Hz
    std::vector<std::complex<double>> sums;
    for (std::size_t at = skip; at + window <= audio.size(); at += window) {
        std::complex<double> sum;
        for (std::size_t n = at; n < at + window; ++n)
            sum += static_cast<double>(audio[n]) *
                   std::polar(1.0, -2 * std::numbers::pi * nominal_hz * static_cast<double>(n) / 12000.0);
        sums.push_back(sum * (2.0 / window));
    }
    Tone tone;
    if (sums.size() < 10)
        return tone;
    std::vector<double> steps;
    double low = 1e9;
    double high = 0;
    double total = 0;
    for (std::size_t k = 0; k < sums.size(); ++k) {
        low = std::min(low, std::abs(sums[k]));
        high = std::max(high, std::abs(sums[k]));
        total += std::abs(sums[k]);
        if (k > 0)
            steps.push_back(std::arg(sums[k] / sums[k - 1]));
    }
    std::vector<double> sorted = steps;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
    double const typical = sorted[sorted.size() / 2];
    for (double step : steps)
        tone.worst_phase_step = std::max(tone.worst_phase_step, std::abs(step - typical));
    tone.frequency_hz = nominal_hz + typical / (2 * std::numbers::pi * (window / 12000.0));
    tone.amplitude = total / static_cast<double>(sums.size());
    tone.amplitude_spread = (high - low) / tone.amplitude;
    return tone;
}

TEST(Rx888EnginePath, ChannelAudioIsTheProcessorPathsWithoutAPhaseJump)
{
    GpuStandinSettings settings;
    double const seconds = 0.8;
    Audio const engine = receive(true, seconds);
    Audio const processor = receive(false, seconds);
    // 0.8 s of stream at 12 kHz, less the channelizer's latency; the first 0.2 s are left out
    // while the filters settle on the stream's onset.
    std::size_t const skip = 2400;
    for (auto [name, from_engine, from_processor, nominal, amplitude] :
         {std::tuple{"odd channel bin", &engine.odd, &processor.odd, kToneOdd, 0.1},
          std::tuple{"even channel bin", &engine.even, &processor.even, kToneEven, 0.05}}) {
        ASSERT_GT(from_engine->size(), skip + 4800) << name;
        ASSERT_GT(from_processor->size(), skip + 4800) << name;
        Tone const e = measure(*from_engine, nominal, skip);
        Tone const p = measure(*from_processor, nominal, skip);
        EXPECT_NEAR(e.frequency_hz, nominal, 0.05) << name;
        EXPECT_NEAR(p.frequency_hz, nominal, 0.05) << name;
        EXPECT_NEAR(e.amplitude, p.amplitude, 0.005 * p.amplitude) << name;
        EXPECT_NEAR(p.amplitude, amplitude, 0.05 * amplitude) << name;
        // A sign wrong on every other hop turns the phase half a turn every 393 samples.
        EXPECT_LT(e.worst_phase_step, 0.01) << name;
        EXPECT_LT(p.worst_phase_step, 0.01) << name;
        EXPECT_LT(e.amplitude_spread, 0.01) << name;
        EXPECT_LT(p.amplitude_spread, 0.01) << name;
    }
}

}  // namespace
