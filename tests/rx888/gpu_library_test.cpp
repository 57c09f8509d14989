// The GPU plug-in loader against the stand-in plug-in and its broken builds: the loader's
// messages, the library closed again after a refusal, the path from the environment, one load
// for the process whichever threads ask first, and the channelizer's transform on the GPU.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <complex>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "decode/fft.hpp"
#include "rx888/gpu_library.hpp"
#include "tests/rx888/gpu_standin.hpp"

using testing::HasSubstr;
using testing::StartsWith;

namespace {

struct LoadCase {
    char const* name;
    std::string path;
    bool loaded;
    std::string error_start;  // the whole text when `exact`
    bool exact;
};

std::ostream& operator<<(std::ostream& out, LoadCase const& c) { return out << c.name; }

class GpuLoad : public testing::TestWithParam<LoadCase> {};

TEST_P(GpuLoad, SaysWhatHappened)
{
    LoadCase const& c = GetParam();
    GpuLibrary const library = GpuLibrary::load(c.path);
    EXPECT_EQ(library.loaded, c.loaded);
    if (c.exact)
        EXPECT_EQ(library.error, c.error_start);
    else
        EXPECT_THAT(library.error, StartsWith(c.error_start));
    // Nothing of a refused library stays callable, and it is closed again.
    EXPECT_EQ(library.rx_destroy != nullptr, c.loaded);
    if (!c.loaded && library.error == "GPU library is from another version") {
        EXPECT_EQ(dlopen(c.path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Plugins, GpuLoad,
    testing::Values(LoadCase{"standin", gpu_standin_path(), true, "", true},
                    LoadCase{"missing", "/nonexistent/libnorvane-gpu.so", false,
                             "GPU library not loaded: /nonexistent/libnorvane-gpu.so: cannot open shared object file",
                             false},
                    LoadCase{"old_abi", gpu_standin_old_abi_path(), false, "GPU library is from another version", true},
                    LoadCase{"missing_function", gpu_standin_no_rx_unpin_path(), false,
                             "GPU library is from another version", true}),
    [](testing::TestParamInfo<LoadCase> const& info) { return std::string(info.param.name); });

TEST(GpuLibraryPath, FromTheEnvironmentWhenSetAndNotEmpty)
{
    unsetenv("NORVANE_GPU_LIBRARY");
    EXPECT_EQ(gpu_library_path(), "/usr/lib/norvane/libnorvane-gpu.so");
    setenv("NORVANE_GPU_LIBRARY", "", 1);
    EXPECT_EQ(gpu_library_path(), "/usr/lib/norvane/libnorvane-gpu.so");
    setenv("NORVANE_GPU_LIBRARY", "/opt/gpu/libplugin.so", 1);
    EXPECT_EQ(gpu_library_path(), "/opt/gpu/libplugin.so");
    unsetenv("NORVANE_GPU_LIBRARY");
}

TEST(GpuLibrary, ThreadsAskingAtOnceShareOneLoad)
{
    GpuStandinSettings settings;
    setenv("NORVANE_GPU_LIBRARY", gpu_standin_path().c_str(), 1);
    constexpr int threads = 8;
    std::atomic<int> ready{0};
    std::vector<GpuLibrary const*> seen(threads, nullptr);
    std::vector<std::thread> askers;
    for (int i = 0; i < threads; ++i) {
        askers.emplace_back([&, i] {
            ++ready;
            while (ready.load() < threads) {
            }
            seen[i] = &gpu_library();
        });
    }
    for (std::thread& asker : askers)
        asker.join();
    unsetenv("NORVANE_GPU_LIBRARY");
    for (GpuLibrary const* library : seen)
        EXPECT_EQ(library, seen[0]);
    ASSERT_TRUE(seen[0]->loaded) << seen[0]->error;
    // The loader asks every library it opens for its ABI version: once means one load.
    EXPECT_EQ(settings.count("abi"), 1u);
}

TEST(GpuErrorBuffer, AFullBufferIsReadUpToItsLastByte)
{
    GpuErrorBuffer<8> buffer;
    for (char& c : buffer.data)
        c = 'x';
    EXPECT_EQ(buffer.text(), "xxxxxxx");
}

TEST(GpuDeviceName, NoneIsTheGpu)
{
    EXPECT_EQ(gpu_device_name(nullptr), "GPU");
    EXPECT_EQ(gpu_device_name(""), "GPU");
    EXPECT_EQ(gpu_device_name("Card 1"), "Card 1");
}

std::vector<std::complex<float>> random_signal(std::size_t n)
{
    std::mt19937 random(7);
    std::normal_distribution<float> normal;
    std::vector<std::complex<float>> x(n);
    for (auto& v : x)
        v = {normal(random), normal(random)};
    return x;
}

class GpuForwardFft : public testing::TestWithParam<std::size_t> {};

TEST_P(GpuForwardFft, MatchesTheChannelizersTransformInItsOrder)
{
    GpuStandinSettings settings;
    std::size_t const n = GetParam();
    FourStepFft reference(n);
    std::string name;
    std::string reason;
    GpuForwardTransform const transform =
        rx888_gpu_fft(gpu_standin(), reference.columns(), reference.rows(), name, reason);
    ASSERT_TRUE(transform) << reason;
    EXPECT_EQ(name, gpu_standin_name);
    std::vector<std::complex<float>> const x = random_signal(n);
    FftBuffer expected(n);
    reference.forward(x.data(), expected.data());
    std::vector<std::complex<float>> got(n);
    ASSERT_TRUE(transform(x.data(), got.data()));
    double const scale = std::sqrt(static_cast<double>(n));
    for (std::size_t i = 0; i < n; ++i)
        ASSERT_LT(std::abs(got[i] - expected[i]), 1e-4 * scale) << "position " << i;
}

// One column, one row, and the 2-D layouts of larger transforms.
INSTANTIATE_TEST_SUITE_P(Sizes, GpuForwardFft, testing::Values(std::size_t{512}, std::size_t{4096}, std::size_t{65536}));

TEST(GpuForwardFft, AFailedRunIsSaidAndReportedFalse)
{
    GpuStandinSettings settings{{"FAIL", "fft_run@2"}};
    std::string name;
    std::string reason;
    GpuForwardTransform const transform = rx888_gpu_fft(gpu_standin(), 64, 4, name, reason);
    ASSERT_TRUE(transform);
    std::vector<std::complex<float>> const x = random_signal(256);
    std::vector<std::complex<float>> out(256);
    EXPECT_TRUE(transform(x.data(), out.data()));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(transform(x.data(), out.data()));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Channelizer FFT: GPU failed (stand-in GPU: fft_run 2 failed on request); continuing on the CPU\n");
}

TEST(GpuForwardFft, TheReasonWhenThereIsNone)
{
    std::string name;
    std::string reason;
    {
        GpuStandinSettings settings{{"FAIL", "fft_create"}};
        EXPECT_FALSE(rx888_gpu_fft(gpu_standin(), 64, 4, name, reason));
        EXPECT_EQ(reason, "stand-in GPU: transform creation failed on request");
    }
    {
        // A plug-in that gives no text.
        GpuStandinSettings settings{{"FAIL", "fft_create"}};
        GpuLibrary silent = gpu_standin();
        silent.fft_create = [](uint64_t, uint64_t, char*, uint32_t) -> void* { return nullptr; };
        EXPECT_FALSE(rx888_gpu_fft(silent, 64, 4, name, reason));
        EXPECT_EQ(reason, "GPU FFT could not start");
    }
    GpuLibrary const missing = GpuLibrary::load("/nonexistent/libnorvane-gpu.so");
    EXPECT_FALSE(rx888_gpu_fft(missing, 64, 4, name, reason));
    EXPECT_EQ(reason, missing.error);
}

TEST(GpuForwardFft, TheTransformGoesWithItsLastCopy)
{
    GpuStandinSettings settings{{"NAME", ""}};
    std::string name;
    std::string reason;
    GpuForwardTransform transform = rx888_gpu_fft(gpu_standin(), 64, 4, name, reason);
    ASSERT_TRUE(transform);
    EXPECT_EQ(name, "GPU");
    GpuForwardTransform copy = transform;
    transform = nullptr;
    EXPECT_EQ(settings.count("fft_destroy"), 0u);
    std::vector<std::complex<float>> const x = random_signal(256);
    std::vector<std::complex<float>> out(256);
    EXPECT_TRUE(copy(x.data(), out.data()));
    copy = nullptr;
    EXPECT_EQ(settings.count("fft_destroy"), 1u);
}

}  // namespace
