// How an RX-888 capture's channelizer gets its large forward transforms: on the GPU plug-in
// (here the stand-in, which computes on the processor) when one answers, on the processor
// otherwise, with the line that says which and why; a plug-in transform that fails hands over
// to the processor within the same frame.
#include "decode/run/decode_pipeline.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <complex>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "decode/channelizer.hpp"
#include "testbed/lib/scripted_radio.hpp"

namespace {

constexpr double kRate = 32e6;  // the channelizer's transform: 2^21 points
constexpr double kCentre = 14.1e6;

std::string standin_path() { return std::string(NORVANE_TESTBED_DIR) + "/libgpu_standin.so"; }

// Sets the NORVANE_GPU_* variables for one test and removes them again. The plug-in is loaded
// once per process, always the stand-in here.
class PluginSettings {
public:
    explicit PluginSettings(std::string const& fail = "")
    {
        setenv("NORVANE_GPU_LIBRARY", standin_path().c_str(), 1);
        if (!fail.empty())
            setenv("NORVANE_GPU_FAIL", fail.c_str(), 1);
    }
    ~PluginSettings()
    {
        unsetenv("NORVANE_GPU_LIBRARY");
        unsetenv("NORVANE_GPU_FAIL");
    }
    PluginSettings(PluginSettings const&) = delete;
    PluginSettings& operator=(PluginSettings const&) = delete;
};

Options rx888_decoder_options(std::string const& gpu)
{
    Options options;
    options.backend = "rx888";
    options.rx888_gpu = gpu;
    options.wideband = true;
    options.frequency = kCentre;
    options.bandwidth = 3000;
    options.decoder_channels = {{14074000, DigitalMode::FT8}, {14300000, DigitalMode::FT8}};
    return options;
}

struct Built {
    std::unique_ptr<DecoderCapture> capture;
    std::string err;
};

Built build(Options const& options, double rate = kRate)
{
    testbed::ScriptedRadio radio(rate, 0);
    DecodePipelineContext context;
    context.rate_hz = rate;
    context.radio = &radio;
    testing::internal::CaptureStderr();
    Built built;
    built.capture = build_decode_pipeline(context, options);
    built.err = testing::internal::GetCapturedStderr();
    return built;
}

// Two hops of noise with a tone, through the channelizer: its channel rows.
Channelizer::Impl::Rows rows_of(Channelizer::Impl& channelizer)
{
    std::mt19937 random(3);
    std::normal_distribution<float> noise(0.0f, 0.01f);
    std::vector<std::complex<float>> iq(3 * channelizer.hop());
    for (std::size_t n = 0; n < iq.size(); ++n) {
        double const phase = 2 * 3.141592653589793 * (14075000.0 - kCentre) * static_cast<double>(n) / kRate;
        iq[n] = {0.1f * static_cast<float>(std::cos(phase)) + noise(random),
                 0.1f * static_cast<float>(std::sin(phase)) + noise(random)};
    }
    Channelizer::Impl::Rows rows(channelizer.channel_count());
    channelizer.push_iq(iq.data(), iq.size(), rows);
    return rows;
}

void expect_same_rows(Channelizer::Impl::Rows const& got, Channelizer::Impl::Rows const& expected)
{
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t c = 0; c < got.size(); ++c) {
        ASSERT_EQ(got[c].size(), expected[c].size()) << "channel " << c;
        ASSERT_FALSE(got[c].empty());
        for (std::size_t i = 0; i < got[c].size(); ++i)
            ASSERT_NEAR(got[c][i], expected[c][i], 1e-4) << "channel " << c << " sample " << i;
    }
}

TEST(Rx888TransformChoice, LargeTransformsRunOnThePlugIn)
{
    PluginSettings plugin;
    Built gpu = build(rx888_decoder_options("auto"));
    EXPECT_EQ(gpu.err, "Channelizer FFT: GPU (Stand-in GPU (FFTW))\n");
    Built cpu = build(rx888_decoder_options("off"));
    EXPECT_EQ(cpu.err, "Channelizer FFT: CPU (--rx888-gpu off)\n");
    expect_same_rows(rows_of(gpu.capture->channelizer()), rows_of(cpu.capture->channelizer()));
}

TEST(Rx888TransformChoice, APlugInWithoutATransformLeavesItToTheProcessor)
{
    PluginSettings plugin("fft_create");
    EXPECT_EQ(build(rx888_decoder_options("auto")).err,
              "Channelizer FFT: CPU (stand-in GPU: transform creation failed on request)\n");
}

TEST(Rx888TransformChoice, AFailedRunHandsTheSameFrameToTheProcessor)
{
    PluginSettings plugin("fft_run@2");
    Built gpu = build(rx888_decoder_options("auto"));
    Built cpu = build(rx888_decoder_options("off"));
    testing::internal::CaptureStderr();
    Channelizer::Impl::Rows const from_gpu = rows_of(gpu.capture->channelizer());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Channelizer FFT: GPU failed (stand-in GPU: fft_run 2 failed on request); continuing on the CPU\n");
    expect_same_rows(from_gpu, rows_of(cpu.capture->channelizer()));
}

TEST(Rx888TransformChoice, SmallTransformsStayOnTheProcessorWithoutALine)
{
    PluginSettings plugin;
    EXPECT_EQ(build(rx888_decoder_options("auto"), 8e6).err, "");
}

}  // namespace
