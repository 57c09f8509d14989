// The RX-888 front end on the stand-in GPU plug-in: the plug-in's converter gives what the
// processor gives, block for block, on noise and on tones, for both centre-bin parities, every
// piece size and across restarts; a converter that fails mid-stream is said once and the same
// batch is converted on the processor, so the output goes on without a gap; the banner says
// which path converts and why the GPU is not used.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include "rx888/gpu_library.hpp"
#include "rx888/rx888_frontend.hpp"
#include "tests/rx888/gpu_standin.hpp"

namespace {

constexpr double kClock = 128e6;

std::vector<std::int16_t> noise_words(std::size_t n, unsigned seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0.0, 4000.0);
    std::vector<std::int16_t> words(n);
    for (auto& w : words)
        w = static_cast<std::int16_t>(std::clamp(std::lround(normal(random)), -32767L, 32767L));
    return words;
}

std::vector<std::int16_t> tone_words(std::size_t n, std::vector<std::pair<double, double>> const& tones)
{
    std::vector<std::int16_t> words(n);
    for (std::size_t i = 0; i < n; ++i) {
        double v = 0;
        for (auto const& [hz, amplitude] : tones)
            v += amplitude * std::cos(2 * std::numbers::pi * std::fmod(hz * static_cast<double>(i) / kClock, 1.0));
        words[i] = static_cast<std::int16_t>(std::lround(32767 * v));
    }
    return words;
}

// Everything the front end puts out for `words` given in pieces of `piece` words, with a
// restart around `restart_hz` after `restart_after` words when that is not 0.
std::vector<std::complex<float>> convert_all(Rx888Frontend& frontend, std::vector<std::int16_t> const& words,
                                             std::size_t piece, std::size_t restart_after = 0, double restart_hz = 0)
{
    IqSamples out;
    for (std::size_t at = 0; at < words.size(); at += piece) {
        if (restart_after != 0 && at == restart_after)
            frontend.restart(restart_hz);
        std::size_t const n = std::min(piece, words.size() - at);
        double offset = 0;
        frontend.convert(words.data() + at, n, out, offset);
    }
    return {out.begin(), out.end()};
}

// The largest difference between the two outputs, as a fraction of the largest sample.
double worst_difference(std::vector<std::complex<float>> const& a, std::vector<std::complex<float>> const& b)
{
    double largest = 1e-9;
    double worst = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        largest = std::max(largest, static_cast<double>(std::abs(b[i])));
        worst = std::max(worst, static_cast<double>(std::abs(a[i] - b[i])));
    }
    return worst / largest;
}

struct PathCase {
    char const* name;
    double centre_hz;
    double rate_hz;
    bool tones;
    std::size_t piece;
};

std::ostream& operator<<(std::ostream& out, PathCase const& c) { return out << c.name; }

class Rx888FrontendGpu : public testing::TestWithParam<PathCase> {};

TEST_P(Rx888FrontendGpu, GivesWhatTheProcessorGives)
{
    PathCase const& c = GetParam();
    GpuStandinSettings settings;
    Rx888Frontend gpu(kClock, c.rate_hz, c.centre_hz, "auto", 4, &gpu_standin());
    Rx888Frontend cpu(kClock, c.rate_hz, c.centre_hz, "off", 4);
    gpu.start();
    ASSERT_TRUE(gpu.on_gpu()) << gpu.description();
    EXPECT_EQ(gpu.description(), "GPU (" + gpu_standin_name + ")");
    std::size_t const n = 20 * 8192 + 3000;
    std::vector<std::int16_t> const words =
        c.tones ? tone_words(n, {{c.centre_hz + 0.2 * c.rate_hz, 0.3}, {c.centre_hz - 0.37 * c.rate_hz, 0.2}})
                : noise_words(n, 3);
    // A restart half way, around a centre bin of the other parity.
    double const other = c.centre_hz + kClock / 16384;
    std::size_t const restart_at = (10 * 8192 / c.piece) * c.piece;
    auto const from_gpu = convert_all(gpu, words, c.piece, restart_at, other);
    auto const from_cpu = convert_all(cpu, words, c.piece, restart_at, other);
    ASSERT_EQ(from_gpu.size(), from_cpu.size());
    ASSERT_GT(from_gpu.size(), 0u);
    EXPECT_LT(worst_difference(from_gpu, from_cpu), 2e-5);
    EXPECT_TRUE(gpu.on_gpu());
}

// Centre bins (centre x 16384 / 128 MHz, rounded): 14.08 MHz 1802 and 30 MHz 3840 (even);
// 10.13 MHz 1297 and 32.1 MHz 4109 (odd). The restart moves each to the other parity.
INSTANTIATE_TEST_SUITE_P(
    Table, Rx888FrontendGpu,
    testing::Values(PathCase{"noise_even_bin_d16_transfers", 14.08e6, 8e6, false, 131072},
                    PathCase{"noise_odd_bin_d16_ragged", 10.13e6, 8e6, false, 5000},
                    PathCase{"tones_odd_bin_d16_blocks", 10.13e6, 8e6, true, 8192},
                    PathCase{"tones_even_bin_d2", 30.0e6, 64e6, true, 131072},
                    PathCase{"tones_odd_bin_d256_ragged", 10.13e6, 0.5e6, true, 20000},
                    PathCase{"noise_odd_bin_d4", 32.1e6, 32e6, false, 65536}),
    [](testing::TestParamInfo<PathCase> const& info) { return std::string(info.param.name); });

TEST(Rx888FrontendGpuFailure, TheFailedBatchAndAllAfterItGoToTheProcessorWithoutAGap)
{
    // Pieces of 20000 words: the third run, a batch of three blocks, fails with 2656 words
    // waiting beyond it, which the processor must take over with the history.
    GpuStandinSettings settings{{"FAIL", "run@3"}};
    Rx888Frontend gpu(kClock, 8e6, 10.13e6, "auto", 4, &gpu_standin());
    Rx888Frontend cpu(kClock, 8e6, 10.13e6, "off", 4);
    std::vector<std::int16_t> const words = tone_words(16 * 8192, {{10.13e6 + 1.1e6, 0.4}});
    testing::internal::CaptureStderr();
    auto const from_gpu = convert_all(gpu, words, 20000);
    std::string const err = testing::internal::GetCapturedStderr();
    auto const from_cpu = convert_all(cpu, words, 20000);
    EXPECT_EQ(err, "RX-888 front end: the GPU failed (stand-in GPU: run 3 failed on request); converting on the CPU "
                   "from now on\n");
    ASSERT_EQ(from_gpu.size(), from_cpu.size());
    EXPECT_LT(worst_difference(from_gpu, from_cpu), 2e-5);
    EXPECT_FALSE(gpu.on_gpu());
    EXPECT_EQ(gpu.description(), "CPU, 1 thread (GPU: failed: stand-in GPU: run 3 failed on request)");
    EXPECT_EQ(settings.count("gpu_destroy"), 1u);
}

TEST(Rx888FrontendGpu, GrowingPiecesReleaseThePinnedBuffersFirst)
{
    // The stand-in refuses host buffers that moved while pinned: a converter that did not
    // release them before they grew would fail here and fall back.
    GpuStandinSettings settings;
    Rx888Frontend gpu(kClock, 8e6, 14.08e6, "auto", 4, &gpu_standin());
    std::vector<std::int16_t> const words = noise_words(8 * 131072, 5);
    testing::internal::CaptureStderr();
    std::size_t at = 0;
    for (std::size_t piece : {8192u, 9000u, 65536u, 131072u, 262144u, 524288u}) {
        IqSamples out;
        double offset = 0;
        gpu.convert(words.data() + at, piece, out, offset);
        at += piece;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(gpu.on_gpu());
    EXPECT_GT(settings.count("gpu_unpin"), 0u);
}

TEST(Rx888FrontendGpu, DescribesWhyTheGpuIsNotUsed)
{
    struct Case {
        std::string gpu;
        std::vector<std::pair<std::string, std::string>> settings;
        std::string description;
    };
    std::string const long_text = [] {
        std::string text;
        std::string const piece = "stand-in GPU: converter creation failed on request ";
        while (text.size() < 511)
            text += piece;
        return text.substr(0, 511);
    }();
    std::vector<Case> const cases = {
        {"off", {}, "CPU, 1 thread (GPU: turned off)"},
        {"auto", {{"FAIL", "create"}}, "CPU, 1 thread (GPU: stand-in GPU: converter creation failed on request)"},
        {"auto", {{"FAIL", "create"}, {"UNTERMINATED", "1"}}, "CPU, 1 thread (GPU: " + long_text + ")"},
        {"auto", {{"NAME", ""}}, "GPU (GPU)"},
    };
    for (Case const& c : cases) {
        GpuStandinSettings settings;
        for (auto const& [name, value] : c.settings)
            settings.set(name, value);
        Rx888Frontend frontend(kClock, 8e6, 14.08e6, c.gpu, 4, &gpu_standin());
        frontend.start();
        EXPECT_EQ(frontend.description(), c.description);
    }
    GpuLibrary const missing = GpuLibrary::load("/nonexistent/libnorvane-gpu.so");
    Rx888Frontend frontend(kClock, 8e6, 14.08e6, "auto", 4, &missing);
    frontend.start();
    EXPECT_EQ(frontend.description(), "CPU, 1 thread (GPU: " + missing.error + ")");
    GpuLibrary silent = gpu_standin();
    silent.gpu_create = [](uint32_t, uint32_t, uint32_t, float const*, char*, uint32_t) -> void* { return nullptr; };
    Rx888Frontend refused(kClock, 8e6, 14.08e6, "auto", 4, &silent);
    refused.start();
    EXPECT_EQ(refused.description(), "CPU, 1 thread (GPU: GPU converter could not start)");
}

}  // namespace
