#include "live/spectrum_monitor.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Packing {
    double frequency_hz;
    double level_db;
    std::uint64_t hz;
    std::uint64_t level_byte;
};

class PackLevelReport : public testing::TestWithParam<Packing> {};

TEST_P(PackLevelReport, PacksFrequencyLevelAndPresence)
{
    Packing const& p = GetParam();
    std::uint64_t const word = pack_level_report(p.frequency_hz, p.level_db);
    EXPECT_EQ(word & 0xffffffffu, p.hz);
    EXPECT_EQ((word >> 32) & 0xffu, p.level_byte);
    EXPECT_EQ(word >> 40, 1u) << "bit 40 and nothing above it";
}

INSTANTIATE_TEST_SUITE_P(Words, PackLevelReport,
                         testing::Values(Packing {7074000.0, -73.4, 7074000, 87}, Packing {7074000.4, -200.0, 7074000, 0},
                                         Packing {14074000.5, 120.0, 14074001, 255},
                                         Packing {-5.0, -160.0, 0, 0},
                                         Packing {5e9, 0.0, 4000000000u, 160},
                                         // Half-way levels round in dB, away from zero, before the offset.
                                         Packing {7074000.0, -20.5, 7074000, 139},
                                         Packing {7074000.0, -0.5, 7074000, 159},
                                         Packing {7074000.0, 0.5, 7074000, 161},
                                         Packing {7074000.0, -159.5, 7074000, 0},
                                         Packing {7074000.0, 94.5, 7074000, 255}));

constexpr double rate_hz = 51200.0;  // 2048-point monitor, bins 25 Hz apart, stored with step 2
constexpr double centre_hz = 7074000.0;

// A CPU frame of the monitor's geometry, bins set by signed natural index.
struct Frame {
    std::uint64_t n;
    std::uint64_t step;
    std::vector<std::complex<float>> bins;
    SpectrumFrame frame;

    Frame(std::uint64_t fft_size, std::uint64_t bin_step) : n(fft_size), step(bin_step), bins(fft_size)
    {
        frame.bins = bins.data();
        frame.fft_size = n;
        frame.bin_step = step;
        frame.rate = rate_hz;
        frame.centre = centre_hz;
    }
    void set(std::int64_t bin, float amplitude)
    {
        auto const natural = static_cast<std::uint64_t>((bin + static_cast<std::int64_t>(n)) % static_cast<std::int64_t>(n));
        bins[(natural % step) * (n / step) + natural / step] = {amplitude, 0.0f};
    }
};

std::pair<double, double> unpack(std::uint64_t word)
{
    return {static_cast<double>(word & 0xffffffffu), static_cast<double>((word >> 32) & 0xffu) - 160.0};
}

TEST(SpectrumMonitor, GeometryFollowsTheSampleRate)
{
    SpectrumMonitor monitor(rate_hz, centre_hz, rate_hz, nullptr);
    EXPECT_EQ(monitor.fft_size(), 2048u);
    EXPECT_EQ(monitor.bin_step(), 2u);
    SpectrumMonitor wide(2000000.0, centre_hz, 2000000.0, nullptr);
    EXPECT_EQ(wide.fft_size(), 131072u);
    EXPECT_EQ(wide.bin_step(), 128u);
}

TEST(SpectrumMonitor, StrongestSkipsTheCentreAndPrefersTheLowerOfEqualBins)
{
    SpectrumMonitor monitor(rate_hz, centre_hz, rate_hz, nullptr);
    monitor.note_meter_request();
    Frame f(2048, 2);
    f.set(0, 1000.0f);     // DC spike
    f.set(479, 1000.0f);   // 11975 Hz: still inside the 12 kHz kept clear around the centre
    f.set(1000, std::numeric_limits<float>::quiet_NaN());
    f.set(-700, std::numeric_limits<float>::infinity());
    f.set(600, 204.8f);    // equal power above and below: the lower frequency is reported
    f.set(-480, 204.8f);
    monitor.update_strongest(f.frame);
    auto const [frequency, level] = unpack(monitor.strongest());
    EXPECT_EQ(frequency, centre_hz - 480 * 25.0);
    EXPECT_EQ(level, -20.0);
}

TEST(SpectrumMonitor, IgnoresFramesOfAnotherGeometryOrWithoutSignal)
{
    SpectrumMonitor monitor(rate_hz, centre_hz, rate_hz, nullptr);
    monitor.note_meter_request();
    Frame other(4096, 4);
    other.set(1000, 500.0f);
    monitor.update_strongest(other.frame);
    EXPECT_EQ(monitor.strongest(), 0u);

    Frame silent(2048, 2);
    monitor.update_strongest(silent.frame);
    EXPECT_EQ(monitor.strongest(), 0u) << "a frame with no power leaves no level";
}

TEST(SpectrumMonitor, NoSearchWithoutAMeterRequest)
{
    SpectrumMonitor monitor(rate_hz, centre_hz, rate_hz, nullptr);
    Frame f(2048, 2);
    f.set(600, 100.0f);
    monitor.update_strongest(f.frame);
    EXPECT_EQ(monitor.strongest(), 0u);
}

// A receive engine stand-in: only the strongest-bin window matters here.
class WindowEngine : public SpectrumRows {
public:
    int add_complex_row(std::vector<std::int64_t>, std::vector<float>, double) override { return 0; }
    int add_real_row(std::vector<std::int64_t>, std::vector<std::uint64_t>, double) override { return 0; }
    void remove(int) override {}
    void set_window(double centre, double width, double radius) override
    {
        window_centre = centre;
        window_width = width;
        window_radius = radius;
    }
    double window_centre = 0.0;
    double window_width = 0.0;
    double window_radius = 0.0;
};

class PeakResults : public SpectrumResults {
public:
    PeakResults(std::int64_t bin, float value) : bin_(bin), value_(value) {}
    float const* complex_row(int) const override { return nullptr; }
    float const* real_row(int) const override { return nullptr; }
    bool window_peak(std::int64_t& bin_offset, float& value) const override
    {
        bin_offset = bin_;
        value = value_;
        return true;
    }

private:
    std::int64_t bin_;
    float value_;
};

TEST(SpectrumMonitor, EngineFramesAskTheEngineWindow)
{
    auto engine = std::make_shared<WindowEngine>();
    SpectrumMonitor monitor(rate_hz, centre_hz, 40000.0, engine);
    monitor.note_meter_request();
    PeakResults const results(-800, 2048.0f * 2048.0f * 1e-5f);
    SpectrumFrame frame;
    frame.fft_size = 2048;
    frame.bin_step = 2;
    frame.rate = rate_hz;
    frame.centre = centre_hz;
    frame.results = &results;
    monitor.update_strongest(frame);
    EXPECT_EQ(engine->window_centre, centre_hz);
    EXPECT_EQ(engine->window_width, 40000.0) << "the usable rate, not the sample rate";
    EXPECT_EQ(engine->window_radius, 12000.0);
    auto const [frequency, level] = unpack(monitor.strongest());
    EXPECT_EQ(frequency, centre_hz - 800 * 25.0);
    EXPECT_EQ(level, -50.0);
}

}  // namespace
