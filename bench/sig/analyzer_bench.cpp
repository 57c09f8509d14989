// CPU cost of analysis channels, per second of 12000 Hz audio: one fixed-mode channel with its
// signal or with noise alone, and sixteen channels at once (inline, and on their own worker
// threads). Blocks of 400 samples, about what the channelizer delivers per hop at 2 MS/s.
#include <benchmark/benchmark.h>

#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "sig/analyzer.hpp"
#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/rtty_modulator.hpp"
#include "testbed/lib/sstv_modulator.hpp"
#include "testbed/lib/test_signal.hpp"
#include "testbed/lib/wefax_modulator.hpp"

namespace {

constexpr std::size_t kBlock = 400;
constexpr std::size_t kSecond = 12000;
constexpr double kStart = 1714564800.0;
const std::string kText = "CQ CQ DE Q1ABC Q1ABC PSE K the quick brown fox jumps over the lazy dog 0123456789 ";

// Picture modems save their pictures here; removed when the program ends.
struct PictureDirectory {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("norvane-bench-analyzer-" + std::to_string(::getpid()));
    ~PictureDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};
PictureDirectory pictures;

// The mode's signal at 1500 Hz (pictures at 1900 Hz) with noise 10 dB down in 2500 Hz, or the
// noise alone; at least a minute long so that a run loops over whole transmissions.
std::vector<float> channel_audio(sig::Mode mode, bool with_signal) {
    std::vector<float> burst;
    switch (mode) {
    case sig::Mode::PSK31:
    case sig::Mode::PSK63: {
        testbed::PskSignal signal;
        signal.carrier_hz = 1500.0;
        signal.baud = mode == sig::Mode::PSK31 ? 31.25 : 62.5;
        burst = testbed::modulate_psk_text(kText, signal);
        break;
    }
    case sig::Mode::RTTY: {
        testbed::RttySignal signal;
        signal.centre_hz = 1500.0;
        burst = testbed::modulate_rtty_text(kText, signal);
        break;
    }
    case sig::Mode::CW: {
        testbed::CwKeying keying;
        keying.tone_hz = 1500.0;
        burst = testbed::key_text(kText, keying);
        break;
    }
    case sig::Mode::SSTV: {
        const auto geometry = testbed::sstv_geometry("PD50");
        burst = testbed::modulate_sstv("PD50", testbed::sstv_test_picture(geometry.width, geometry.height), {});
        break;
    }
    case sig::Mode::WEFAX: {
        testbed::WefaxTransmission transmission;
        transmission.phasing_s = 10.0;
        burst = testbed::modulate_wefax(testbed::wefax_test_chart(testbed::wefax_width(576), 60), transmission);
        break;
    }
    default: break;
    }
    const double power = burst.empty() ? 0.125 : testbed::mean_power(burst);
    std::vector<float> audio = testbed::concatenate(testbed::silence(2.0), burst);
    while (audio.size() < 60 * kSecond) audio = testbed::concatenate(audio, testbed::silence(5.0));
    if (!with_signal) std::fill(audio.begin(), audio.end(), 0.0f);
    testbed::add_white_noise(audio, testbed::noise_rms_for_snr(power, 10.0), 7);
    return audio;
}

sig::Analyzer::Config config_for(sig::Mode mode, bool threaded, const std::string& rtty = "auto",
                                 double dial_hz = 14069000.0) {
    sig::Analyzer::Config config;
    config.channel = "bench";
    config.dial_hz = dial_hz;
    config.bandwidth_hz = 3000.0;
    config.modes_auto = false;
    config.modes = {mode};
    config.rtty = rtty;
    config.image_dir = pictures.path.string();
    config.threaded = threaded;
    return config;
}

// One channel and its audio, pushed a second at a time, looping.
struct Channel {
    std::unique_ptr<sig::Analyzer> analyzer;
    std::vector<float> audio;
    std::size_t at = 0;
    double t = kStart;

    void push_second() {
        for (std::size_t n = 0; n < kSecond; n += kBlock) {
            if (at + kBlock > audio.size()) at = 0;
            analyzer->push(audio.data() + at, kBlock, false, t);
            at += kBlock;
            t += static_cast<double>(kBlock) / 12000.0;
        }
    }
};

double process_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double thread_cpu_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The share of one core the work took: an iteration is one second of audio.
double core_percent(double cpu_seconds, const benchmark::State& state) {
    return 100.0 * cpu_seconds / static_cast<double>(state.iterations());
}

// One fixed-mode channel, inline: the time per iteration is the CPU one channel costs per second
// of audio.
void analysis_channel(benchmark::State& state) {
    const auto mode = static_cast<sig::Mode>(state.range(0));
    const bool with_signal = state.range(1) != 0;
    const std::string rtty = state.range(2) != 0 ? "45.45/170" : "auto";
    Channel channel{std::make_unique<sig::Analyzer>(config_for(mode, false, rtty)), channel_audio(mode, with_signal)};
    const double cpu_before = thread_cpu_seconds();
    for (auto _ : state) channel.push_second();
    const double cpu = thread_cpu_seconds() - cpu_before;
    state.SetLabel(std::string(sig::mode_name(mode)) + (mode == sig::Mode::RTTY ? " rtty=" + rtty : "") +
                   (with_signal ? " signal" : " noise"));
    state.counters["core_percent"] = core_percent(cpu, state);
}

// Sixteen channels, the mix of a busy station: three PSK31, two PSK63, four RTTY (two with
// automatic speed), four CW, one SSTV, two WEFAX; each with its signal.
std::vector<Channel> sixteen(bool threaded) {
    struct Row {
        sig::Mode mode;
        const char* rtty;
    };
    const Row rows[] = {{sig::Mode::PSK31, "auto"}, {sig::Mode::PSK31, "auto"}, {sig::Mode::PSK31, "auto"},
                        {sig::Mode::PSK63, "auto"}, {sig::Mode::PSK63, "auto"}, {sig::Mode::RTTY, "auto"},
                        {sig::Mode::RTTY, "auto"},  {sig::Mode::RTTY, "45.45/170"}, {sig::Mode::RTTY, "45.45/170"},
                        {sig::Mode::CW, "auto"},    {sig::Mode::CW, "auto"},   {sig::Mode::CW, "auto"},
                        {sig::Mode::CW, "auto"},    {sig::Mode::SSTV, "auto"}, {sig::Mode::WEFAX, "auto"},
                        {sig::Mode::WEFAX, "auto"}};
    std::vector<Channel> channels;
    double dial_hz = 14000000.0;
    for (const Row& row : rows) {
        // Distinct dials: pictures of different channels get different names.
        sig::Analyzer::Config config = config_for(row.mode, threaded, row.rtty, dial_hz += 5000.0);
        config.ring_seconds = 30.0;
        channels.push_back({std::make_unique<sig::Analyzer>(config), channel_audio(row.mode, true)});
    }
    return channels;
}

void sixteen_channels_inline(benchmark::State& state) {
    std::vector<Channel> channels = sixteen(false);
    const double cpu_before = thread_cpu_seconds();
    for (auto _ : state)
        for (Channel& c : channels) c.push_second();
    state.counters["core_percent"] = core_percent(thread_cpu_seconds() - cpu_before, state);
}

// The same on their worker threads: the pushing thread only fills rings; the process CPU per
// second of audio is the cost, workers and wake-ups included.
void sixteen_channels_threaded(benchmark::State& state) {
    std::vector<Channel> channels = sixteen(true);
    const double cpu_before = process_cpu_seconds();
    for (auto _ : state) {
        for (Channel& c : channels) c.push_second();
        for (Channel& c : channels) c.analyzer->flush();
    }
    const double cpu = process_cpu_seconds() - cpu_before;
    state.counters["process_core_percent"] = core_percent(cpu, state);
}

BENCHMARK(analysis_channel)
    ->ArgNames({"mode", "signal", "fixed_rtty"})
    ->Args({static_cast<long>(sig::Mode::PSK31), 1, 0})
    ->Args({static_cast<long>(sig::Mode::PSK31), 0, 0})
    ->Args({static_cast<long>(sig::Mode::PSK63), 1, 0})
    ->Args({static_cast<long>(sig::Mode::PSK63), 0, 0})
    ->Args({static_cast<long>(sig::Mode::RTTY), 1, 0})
    ->Args({static_cast<long>(sig::Mode::RTTY), 0, 0})
    ->Args({static_cast<long>(sig::Mode::RTTY), 1, 1})
    ->Args({static_cast<long>(sig::Mode::RTTY), 0, 1})
    ->Args({static_cast<long>(sig::Mode::CW), 1, 0})
    ->Args({static_cast<long>(sig::Mode::CW), 0, 0})
    ->Args({static_cast<long>(sig::Mode::SSTV), 1, 0})
    ->Args({static_cast<long>(sig::Mode::SSTV), 0, 0})
    ->Args({static_cast<long>(sig::Mode::WEFAX), 1, 0})
    ->Args({static_cast<long>(sig::Mode::WEFAX), 0, 0})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(sixteen_channels_inline)->Unit(benchmark::kMillisecond);
BENCHMARK(sixteen_channels_threaded)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
