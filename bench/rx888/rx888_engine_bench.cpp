// The RX-888 receive-engine path against the CPU path on the same raw stream, as CPU time per
// second of ADC data: 64 MS/s, D = 8 (8 MS/s of IQ, the channelizer's 2^19-point frames),
// 1 to 64 decoder channels.
//
// - BM_Rx888CpuPath: the CPU front end (one worker) and the channelizer's own transforms.
// - BM_Rx888EnginePath: the raw words through the GPU receive engine on the stand-in plug-in
//   (which computes on this processor) and the channelizer's engine rows.
// - BM_Rx888PluginAlone: the stand-in plug-in driven directly, one launch and wait per hop with
//   the channelizer's tables: the transforms the engine path cannot do without.
// - BM_Rx888RowsFinishing: the channelizer finishing rows that an engine hands over at no cost:
//   its share of the engine path.
// The engine path less the last two is what the engine itself adds.
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "decode/channelizer.hpp"
#include "rx888/gpu_library.hpp"
#include "rx888/gpu_receiver.hpp"
#include "rx888/rx888_frontend.hpp"

namespace {

constexpr double kClock = 64e6;
constexpr std::uint32_t kD = 8;
constexpr double kRate = kClock / kD;
constexpr std::uint64_t kFrame = 524288;
constexpr std::size_t kHop = kFrame / 2 * kD;  // raw words per hop
constexpr std::size_t kHops = 4;
constexpr std::size_t kWords = kHops * kHop;
constexpr double kCentre = 14.1e6;

std::vector<std::int16_t> const& adc_words()
{
    static std::vector<std::int16_t> const words = [] {
        std::vector<std::int16_t> w(kWords);
        std::mt19937 random(7);
        std::normal_distribution<double> noise(0.0, 300.0);
        for (std::size_t n = 0; n < kWords; ++n) {
            double const tone = 3000.0 * std::cos(2 * std::numbers::pi * 14.0753e6 * static_cast<double>(n) / kClock);
            w[n] = static_cast<std::int16_t>(std::lround(tone + noise(random)));
        }
        return w;
    }();
    return words;
}

std::vector<double> dials(long channels)
{
    std::vector<double> out;
    for (long c = 0; c < channels; ++c)
        out.push_back(kCentre - 3.0e6 + 6.0e6 * static_cast<double>(c) / static_cast<double>(channels));
    return out;
}

GpuLibrary const& standin()
{
    static GpuLibrary const library = GpuLibrary::load(std::string(NORVANE_TESTBED_DIR) + "/libgpu_standin.so");
    return library;
}

void report(benchmark::State& state)
{
    double const adc_seconds = static_cast<double>(state.iterations()) * kWords / kClock;
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(kWords));
    // CPU seconds per second of ADC data, as a rate over CPU time: its inverse.
    state.counters["adc_s_per_cpu_s"] = benchmark::Counter(adc_seconds, benchmark::Counter::kIsRate);
}

void BM_Rx888CpuPath(benchmark::State& state)
{
    Rx888Frontend frontend(kClock, kRate, kCentre, "off", 1);
    frontend.start();
    Channelizer::Impl channelizer(kRate, kCentre, 2500, 1.0, dials(state.range(0)), nullptr);
    Channelizer::Impl::Rows rows(static_cast<std::size_t>(state.range(0)));
    std::vector<std::int16_t> const& words = adc_words();
    IqSamples iq;
    double offset = 0;
    for (auto _ : state) {
        for (auto& row : rows)
            row.clear();
        for (std::size_t at = 0; at < kWords; at += 131072) {
            iq.clear();
            frontend.convert(words.data() + at, 131072, iq, offset);
            channelizer.push_iq(iq.data(), iq.size(), rows);
        }
        benchmark::DoNotOptimize(rows.data());
    }
    report(state);
}

void BM_Rx888EnginePath(benchmark::State& state)
{
    std::string reason;
    auto engine = GpuReceiver::create(standin(), kFrame, kD, kClock, reason);
    if (!engine) {
        state.SkipWithError(reason.c_str());
        return;
    }
    Channelizer::Impl channelizer(kRate, kCentre, 2500, 1.0, dials(state.range(0)), nullptr);
    channelizer.attach_engine(engine);
    Channelizer::Impl::Rows rows(static_cast<std::size_t>(state.range(0)));
    std::vector<std::int16_t> const& words = adc_words();
    for (auto _ : state) {
        for (auto& row : rows)
            row.clear();
        for (std::size_t at = 0; at < kWords; at += 131072)
            channelizer.push_raw(words.data() + at, 131072, rows);
        benchmark::DoNotOptimize(rows.data());
    }
    report(state);
}

void BM_Rx888PluginAlone(benchmark::State& state)
{
    GpuLibrary const& library = standin();
    if (!library.loaded) {
        state.SkipWithError(library.error.c_str());
        return;
    }
    char error[512] = {};
    void* handle = library.rx_create(kFrame * kD, error, 256, 2.0f / kD, kD);
    // The channelizer's rows: 2048 bins each around its channel.
    auto const channels = static_cast<std::uint32_t>(state.range(0));
    std::uint32_t const m = 2048;
    std::vector<std::uint32_t> bins_per_row(channels, m);
    std::vector<std::uint32_t> parity(channels, 0);
    std::vector<std::int64_t> bins;
    std::vector<float> weights(2 * std::size_t{m} * channels, 0.5f);
    double const bin_hz = kClock / (kFrame * kD);
    for (double dial : dials(channels)) {
        auto const centre = static_cast<std::int64_t>(std::llround((dial + 1250) / bin_hz));
        for (std::uint32_t j = 0; j < m; ++j)
            bins.push_back(centre + (j < m / 2 ? j : static_cast<std::int64_t>(j) - m));
    }
    std::uint32_t const starts[1] = {0};
    library.rx_tables(handle, channels, bins_per_row.data(), parity.data(), bins.data(), weights.data(), 0, starts,
                      nullptr, error, 512);
    std::uint64_t const frame_floats = std::uint64_t{m} * channels + 1024;
    std::vector<float> results(2 * frame_floats);
    std::vector<std::int16_t> input(kFrame * kD);
    std::vector<std::int16_t> const& words = adc_words();
    std::uint64_t frame = 0;
    for (auto _ : state) {
        for (std::size_t hop = 0; hop < kHops; ++hop, ++frame) {
            std::uint32_t const slot = frame % 2;
            std::copy_n(words.data() + hop * kHop, kHop, input.data() + slot * kHop);
            library.rx_launch(handle, input.data(), slot, frame, 0, -1, 0, -1, results.data(), frame_floats, error, 512);
            library.rx_wait(handle, slot, error, 512);
        }
        benchmark::DoNotOptimize(results.data());
    }
    library.rx_destroy(handle);
    report(state);
}

// An engine whose rows cost nothing: zeros, one frame per hop.
class FreeEngine final : public RawSpectrum {
public:
    int add_complex_row(std::vector<std::int64_t> offsets, std::vector<float>, double) override
    {
        row_ = std::vector<float>(offsets.size(), 0.0f);
        return ++rows_;
    }
    int add_real_row(std::vector<std::int64_t>, std::vector<std::uint64_t>, double) override { return ++rows_; }
    void remove(int) override {}
    void set_window(double, double, double) override {}
    std::uint64_t block_samples() const override { return kHop; }
    std::uint64_t decimation() const override { return kD; }
    void reset() override {}
    std::int16_t* input_slot() override { return input_.data(); }
    bool process(std::uint64_t, ResultsCallback const& callback) override
    {
        callback(results_);
        return true;
    }

private:
    class Rows final : public SpectrumResults {
    public:
        explicit Rows(std::vector<float> const& row) : row_(row) {}
        float const* complex_row(int) const override { return row_.data(); }
        float const* real_row(int) const override { return nullptr; }
        bool window_peak(std::int64_t&, float&) const override { return false; }

    private:
        std::vector<float> const& row_;
    };
    int rows_ = 0;
    std::vector<float> row_;
    std::vector<std::int16_t> input_ = std::vector<std::int16_t>(kHop);
    Rows results_{row_};
};

void BM_Rx888RowsFinishing(benchmark::State& state)
{
    auto engine = std::make_shared<FreeEngine>();
    Channelizer::Impl channelizer(kRate, kCentre, 2500, 1.0, dials(state.range(0)), nullptr);
    channelizer.attach_engine(engine);
    Channelizer::Impl::Rows rows(static_cast<std::size_t>(state.range(0)));
    std::vector<std::int16_t> const& words = adc_words();
    for (auto _ : state) {
        for (auto& row : rows)
            row.clear();
        for (std::size_t at = 0; at < kWords; at += 131072)
            channelizer.push_raw(words.data() + at, 131072, rows);
        benchmark::DoNotOptimize(rows.data());
    }
    report(state);
}

void channel_counts(benchmark::internal::Benchmark* b)
{
    for (long channels : {1L, 8L, 64L})
        b->Arg(channels);
    b->Unit(benchmark::kMillisecond);
}

}  // namespace

BENCHMARK(BM_Rx888CpuPath)->Apply(channel_counts);
BENCHMARK(BM_Rx888EnginePath)->Apply(channel_counts);
BENCHMARK(BM_Rx888PluginAlone)->Apply(channel_counts);
BENCHMARK(BM_Rx888RowsFinishing)->Apply(channel_counts);
