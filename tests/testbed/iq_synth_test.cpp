#include "testbed/lib/iq_synth.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <fstream>
#include <iterator>
#include <numbers>
#include <stdexcept>

#include "tests/support/temp_dir.hpp"

namespace {

std::vector<float> tone(double hz, double amplitude, double seconds)
{
    std::vector<float> audio(static_cast<std::size_t>(seconds * 12000));
    for (std::size_t n = 0; n < audio.size(); ++n)
        audio[n] = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * hz * n / 12000.0));
    return audio;
}

// Complex amplitude of the component at hz over samples [begin, end): a single-bin DFT.
double level_at(std::vector<std::complex<float>> const& iq, double hz, int rate_hz, std::size_t begin,
                std::size_t end)
{
    std::complex<double> sum;
    for (std::size_t n = begin; n < end; ++n) {
        double const phase = -2 * std::numbers::pi * hz * static_cast<double>(n) / rate_hz;
        sum += std::complex<double>(iq[n]) * std::complex<double>(std::cos(phase), std::sin(phase));
    }
    return std::abs(sum) / static_cast<double>(end - begin);
}

double db(double ratio) { return 20 * std::log10(ratio); }

struct PlacementCase {
    char const* name;
    double dial_hz;
    double center_hz;
    int rate_hz;
    double audio_hz;
};

class IqSynthPlacement : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(IqSynthPlacement, ToneLandsAtDialPlusAudioWithItsLevelAndNoMirror)
{
    auto const& c = GetParam();
    testbed::IqSynthConfig config;
    config.center_hz = c.center_hz;
    config.rate_hz = c.rate_hz;
    config.duration_s = 1.0;
    auto const iq = testbed::synthesize_iq(config, {{tone(c.audio_hz, 0.5, 1.0), c.dial_hz, 0.0}});
    ASSERT_EQ(iq.size(), static_cast<std::size_t>(c.rate_hz));

    // Away from the recording's ends, whose hard edges splash.
    std::size_t const begin = c.rate_hz / 10;
    std::size_t const end = c.rate_hz - c.rate_hz / 10;
    double const rf_offset = c.dial_hz + c.audio_hz - c.center_hz;
    EXPECT_NEAR(db(level_at(iq, rf_offset, c.rate_hz, begin, end) / 0.5), 0.0, 0.1);
    // Nothing in the lower sideband, nothing at the mirror frequency, nothing at the dial.
    EXPECT_LT(db(level_at(iq, c.dial_hz - c.audio_hz - c.center_hz, c.rate_hz, begin, end) / 0.5), -60.0);
    EXPECT_LT(db(level_at(iq, -rf_offset, c.rate_hz, begin, end) / 0.5), -60.0);
    EXPECT_LT(db(level_at(iq, c.dial_hz - c.center_hz, c.rate_hz, begin, end) / 0.5), -60.0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IqSynthPlacement,
    ::testing::Values(PlacementCase{"above_centre", 14074000, 14050000, 96000, 1000},
                      PlacementCase{"below_centre", 14000000, 14050000, 120000, 2500},
                      PlacementCase{"at_centre_odd_rate", 7074000, 7074000, 62500, 1500},
                      PlacementCase{"rtl_rate", 14095600, 14100000, 2048000, 1500}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(IqSynth, StartOffsetPlacesTheRecordingInTime)
{
    testbed::IqSynthConfig config;
    config.center_hz = 10000000;
    config.rate_hz = 48000;
    config.duration_s = 2.0;
    auto const iq = testbed::synthesize_iq(config, {{tone(1000, 0.5, 0.5), 10005000, 1.0}});
    double const offset = 6000;
    EXPECT_LT(db(level_at(iq, offset, 48000, 0, 40000) / 0.5), -60.0);            // before 0.83 s
    EXPECT_NEAR(db(level_at(iq, offset, 48000, 52000, 68000) / 0.5), 0.0, 0.1);  // 1.08..1.42 s
    EXPECT_LT(db(level_at(iq, offset, 48000, 80000, 96000) / 0.5), -60.0);       // after 1.67 s
}

TEST(IqSynth, NoiseSitsAtTheStatedSnrAndIsReproducible)
{
    testbed::IqSynthConfig config;
    config.center_hz = 14074000;
    config.rate_hz = 48000;
    config.duration_s = 4.0;
    config.add_noise = true;
    config.snr_db = -10.0;
    std::vector<testbed::IqSynthSignal> const signals{{tone(1000, 0.1, 4.0), 14074000, 0.0}};
    auto const iq = testbed::synthesize_iq(config, signals);

    // Tone power 0.1^2 / 2 = 0.005; -10 dB in 2500 Hz is 0.05 in 2500 Hz of the sideband, which
    // is 0.05 x 48000 / 2500 = 0.96 over the whole complex capture.
    double noise = 0;
    for (auto const& v : iq)
        noise += std::norm(std::complex<double>(v));
    noise = noise / iq.size() - 0.01;  // less the analytic tone, amplitude 0.1
    EXPECT_NEAR(noise, 0.96, 0.96 * 0.03);

    EXPECT_EQ(testbed::synthesize_iq(config, signals), iq);
    config.seed = 2;
    EXPECT_NE(testbed::synthesize_iq(config, signals), iq);
}

TEST(IqSynth, GapLeavesOutExactlyItsSamples)
{
    testbed::IqSynthConfig config;
    config.center_hz = 14074000;
    config.rate_hz = 24000;
    config.duration_s = 3.0;
    config.add_noise = true;
    config.snr_db = 0;
    std::vector<testbed::IqSynthSignal> const signals{{tone(700, 0.3, 3.0), 14072000, 0.0}};
    auto const whole = testbed::synthesize_iq(config, signals);
    config.gap_start_s = 1.0;
    config.gap_length_s = 0.5;
    auto const gapped = testbed::synthesize_iq(config, signals);
    ASSERT_EQ(gapped.size(), whole.size() - 12000);
    EXPECT_TRUE(std::equal(gapped.begin(), gapped.begin() + 24000, whole.begin()));
    EXPECT_TRUE(std::equal(gapped.begin() + 24000, gapped.end(), whole.begin() + 36000));
}

TEST(IqSynth, RefusesSignalsOutsideTheCaptureAndBadGaps)
{
    testbed::IqSynthConfig config;
    config.center_hz = 14074000;
    config.rate_hz = 48000;
    config.duration_s = 1.0;
    EXPECT_THROW(testbed::synthesize_iq(config, {{tone(1000, 0.1, 1), 14074000 + 18001, 0}}), std::invalid_argument);
    EXPECT_NO_THROW(testbed::synthesize_iq(config, {{tone(1000, 0.1, 1), 14074000 + 17999, 0}}));
    config.gap_start_s = 0.8;
    config.gap_length_s = 0.3;
    EXPECT_THROW(testbed::synthesize_iq(config, {}), std::invalid_argument);
}

TEST(IqSynth, FileIsLittleEndianPcm16PairsClippedAtFullScale)
{
    TempDir tmp;
    std::vector<std::complex<float>> const iq{{0.5f, -0.5f}, {1.0f, -1.0f}, {2.0f, -3.0f}, {1.0f / 32767, 0.0f}};
    EXPECT_EQ(testbed::write_iq_file(tmp / "x.iq", iq), 2u);
    std::ifstream in(tmp / "x.iq", std::ios::binary);
    std::vector<unsigned char> const bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<unsigned char> const expected{0x00, 0x40, 0x00, 0xC0,   // 16384, -16384
                                              0xFF, 0x7F, 0x01, 0x80,   // 32767, -32767
                                              0xFF, 0x7F, 0x01, 0x80,   // clipped
                                              0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(bytes, expected);
}

}  // namespace
