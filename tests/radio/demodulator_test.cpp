#include "radio/demodulator.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/tone_measure.hpp"

namespace {

constexpr double iq_rate = 64000.0;
constexpr std::size_t half_second = 32000;

// Filter, DC blocker and converter settle well within this much audio.
std::size_t settle(int audio_rate_hz) { return static_cast<std::size_t>(audio_rate_hz / 10); }

std::vector<float> demodulate(Demodulator& demodulator, std::vector<std::complex<float>> const& iq)
{
    std::vector<float> audio;
    demodulator.process(iq, audio);
    return audio;
}

// An AM carrier of the given level at carrier_hz, modulated to `depth` by a tone.
std::vector<std::complex<float>> am_signal(double carrier_hz, double level, double depth, double tone_hz,
                                           std::size_t count)
{
    std::vector<std::complex<float>> iq = complex_tone(carrier_hz, level, iq_rate, count);
    for (std::size_t n = 0; n < count; ++n)
        iq[n] *= static_cast<float>(1.0 + depth * std::cos(2.0 * std::numbers::pi * tone_hz * n / iq_rate));
    return iq;
}

struct ToneCase {
    char const* name;
    std::uint32_t modulation;
    double tuning_offset_hz;
    double rf_hz;          // the IQ tone (or AM carrier) relative to the IQ centre
    int audio_rate_hz;
    double expected_hz;
    double expected_peak;  // audio amplitude after the gain of 10
};

class DemodulatorTone : public testing::TestWithParam<ToneCase> {};

TEST_P(DemodulatorTone, PutsTheToneAtItsAudioFrequencyAndLevel)
{
    ToneCase const& c = GetParam();
    Demodulator demodulator(c.modulation, 3000, 10, c.audio_rate_hz, c.tuning_offset_hz);
    std::vector<std::complex<float>> iq = c.modulation == Demodulator::am
                                              ? am_signal(c.rf_hz, 0.05, 0.5, c.expected_hz, half_second)
                                              : complex_tone(c.rf_hz, 0.05, iq_rate, half_second);
    std::vector<float> const audio = demodulate(demodulator, iq);

    EXPECT_NEAR(static_cast<double>(audio.size()), half_second * c.audio_rate_hz / iq_rate, 200.0);
    ToneMeasure const tone = measure_tone(after(audio, settle(c.audio_rate_hz)), c.audio_rate_hz);
    EXPECT_NEAR(tone.frequency_hz, c.expected_hz, 1.0);
    EXPECT_NEAR(tone.rms, c.expected_peak / std::sqrt(2.0), 0.02 * c.expected_peak);
    EXPECT_EQ(demodulator.clipped(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DemodulatorTone,
    testing::Values(ToneCase{"UsbAtCentre", Demodulator::usb, 0, 1000, 48000, 1000, 0.5},
                    ToneCase{"UsbBesideTheCentre", Demodulator::usb, 8000, 8700, 48000, 700, 0.5},
                    ToneCase{"UsbTopOfPassband", Demodulator::usb, -8000, -8000 + 2600, 12000, 2600, 0.5},
                    ToneCase{"LsbAtCentre", Demodulator::lsb, 0, -1500, 48000, 1500, 0.5},
                    ToneCase{"LsbBesideTheCentre", Demodulator::lsb, -8000, -8000 - 2200, 8000, 2200, 0.5},
                    // 0.05 carrier at 50 % depth: the envelope swings 0.025 either way.
                    ToneCase{"AmCarrierOffCentre", Demodulator::am, 2000, 2000, 48000, 800, 0.25},
                    ToneCase{"AmAtCentre", Demodulator::am, 0, 0, 22050, 1200, 0.25}),
    [](testing::TestParamInfo<ToneCase> const& info) { return std::string(info.param.name); });

struct RejectCase {
    char const* name;
    std::uint32_t modulation;
    double rf_hz;
};

class DemodulatorRejects : public testing::TestWithParam<RejectCase> {};

// What lies outside the chosen passband, the other sideband above all, must not be heard.
TEST_P(DemodulatorRejects, SignalsOutsideThePassband)
{
    RejectCase const& c = GetParam();
    Demodulator demodulator(c.modulation, 3000, 10, 48000, 0);
    std::vector<float> const audio = demodulate(demodulator, complex_tone(c.rf_hz, 0.05, iq_rate, half_second));
    double const passband_rms = 0.5 / std::sqrt(2.0);
    EXPECT_LT(measure_tone(after(audio, settle(48000)), 48000).rms, 0.001 * passband_rms);
}

INSTANTIATE_TEST_SUITE_P(Cases, DemodulatorRejects,
                         testing::Values(RejectCase{"LsbToneInUsb", Demodulator::usb, -1000},
                                         RejectCase{"UsbToneInLsb", Demodulator::lsb, 1000},
                                         RejectCase{"UsbAboveTheBandwidth", Demodulator::usb, 3600},
                                         RejectCase{"AmFarOffCarrier", Demodulator::am, 5000}),
                         [](testing::TestParamInfo<RejectCase> const& info) { return std::string(info.param.name); });

struct Settings {
    std::uint32_t modulation;
    double bandwidth_hz;
    double gain;
    int audio_rate_hz;
    bool accepted;
};

void PrintTo(Settings const& s, std::ostream* out)
{
    *out << "modulation " << s.modulation << ", bandwidth " << s.bandwidth_hz << " Hz, gain " << s.gain
         << ", audio " << s.audio_rate_hz << " Hz";
}

class DemodulatorSettings : public testing::TestWithParam<Settings> {};

TEST_P(DemodulatorSettings, AcceptsOnlyWhatTheFilterAndRateCarry)
{
    Settings const& s = GetParam();
    auto make = [&] { Demodulator(s.modulation, s.bandwidth_hz, s.gain, s.audio_rate_hz, 0); };
    if (s.accepted) {
        EXPECT_NO_THROW(make());
        return;
    }
    try {
        make();
        FAIL() << "accepted";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "Invalid demodulator settings");
    }
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, DemodulatorSettings,
    testing::Values(Settings{Demodulator::am, 6000, 10, 8000, true}, Settings{Demodulator::usb, 4000, 10, 8000, false},
                    Settings{Demodulator::lsb, 3999, 10, 8000, true}, Settings{Demodulator::am, 8000, 10, 8000, false},
                    Settings{Demodulator::usb, 199, 10, 48000, false}, Settings{Demodulator::usb, 200, 10, 48000, true},
                    Settings{Demodulator::am, 20000, 10, 48000, true}, Settings{Demodulator::am, 20001, 10, 48000, false},
                    Settings{Demodulator::usb, nan, 10, 48000, false}, Settings{Demodulator::usb, inf, 10, 48000, false},
                    Settings{Demodulator::usb, 3000, 0, 48000, false}, Settings{Demodulator::usb, 3000, -1, 48000, false},
                    Settings{Demodulator::usb, 3000, nan, 48000, false}, Settings{Demodulator::usb, 3000, inf, 48000, false},
                    Settings{Demodulator::usb, 3000, 10, 7999, false}, Settings{Demodulator::usb, 3000, 10, 192000, true},
                    Settings{Demodulator::usb, 3000, 10, 192001, false}, Settings{3, 3000, 10, 48000, false}));

TEST(Demodulator, ClampsAndCountsSamplesBeyondFullScale)
{
    Demodulator demodulator(Demodulator::usb, 3000, 100, 48000, 0);
    std::vector<float> const audio = demodulate(demodulator, complex_tone(1000, 0.05, iq_rate, half_second));
    // A peak of 5: most of every cycle lies beyond full scale.
    EXPECT_GT(demodulator.clipped(), audio.size() / 2);
    for (float const x : audio)
        ASSERT_LE(std::fabs(x), 1.0f);
}

// After a discontinuity nothing of the old stream may leak into the new one: a reset
// demodulator must behave exactly like a new one.
TEST(Demodulator, ResetStartsFiltersMixersAndConverterAfresh)
{
    std::vector<std::complex<float>> const first = complex_tone(1300, 0.05, iq_rate, 10000);
    std::vector<std::complex<float>> const second = complex_tone(900, 0.05, iq_rate, 10000);

    Demodulator fresh(Demodulator::usb, 3000, 10, 48000, 4000);
    std::vector<float> const expected = demodulate(fresh, second);

    Demodulator used(Demodulator::usb, 3000, 10, 48000, 4000);
    demodulate(used, first);
    ASSERT_NE(demodulate(used, second), expected) << "the first block left no state behind";

    Demodulator reset(Demodulator::usb, 3000, 10, 48000, 4000);
    demodulate(reset, first);
    reset.reset();
    EXPECT_EQ(demodulate(reset, second), expected);
}

// Draining at the end of input delivers what the converter still holds, so the audio is as
// long as the IQ was.
TEST(Demodulator, DrainDeliversTheConvertersTail)
{
    Demodulator demodulator(Demodulator::usb, 3000, 10, 48000, 0);
    std::vector<float> audio = demodulate(demodulator, complex_tone(1000, 0.05, iq_rate, 64000));
    std::size_t const before = audio.size();
    demodulator.resample({}, true, audio);
    EXPECT_GT(audio.size(), before);
    EXPECT_NEAR(static_cast<double>(audio.size()), 48000.0, 2.0);
}

TEST(Demodulator, EmptyBlockGivesNoAudio)
{
    Demodulator demodulator(Demodulator::lsb, 2400, 10, 12000, 0);
    std::vector<float> audio{1.0f};
    demodulator.process({}, audio);
    EXPECT_TRUE(audio.empty());
}

TEST(ResampleIq, RateOf64000PassesTheBlockThrough)
{
    IqResampler resampler(64000);
    std::vector<std::complex<float>> const iq = complex_tone(1000, 0.5, iq_rate, 1000);
    auto const out = resample_iq(resampler, iq);
    EXPECT_EQ(out.data(), iq.data());
    EXPECT_EQ(out.size(), iq.size());
}

TEST(ResampleIq, RefusesRatesItCannotBringDown)
{
    for (double const rate : {48000.0, 63999.0, 0.0, -128000.0, nan, inf, 64000.0 * 300}) {
        try {
            IqResampler resampler(rate);
            ADD_FAILURE() << "accepted " << rate;
        } catch (std::runtime_error const& error) {
            EXPECT_STREQ(error.what(), "Unsupported IQ input rate") << rate;
        }
    }
}

// A tone in a 192 kHz stream comes out at the same frequency offset and level at 64 kHz.
TEST(ResampleIq, FasterStreamKeepsFrequencyAndLevel)
{
    IqResampler resampler(192000);
    Demodulator demodulator(Demodulator::usb, 3000, 10, 48000, 20000);
    std::vector<float> audio;
    std::vector<float> block_audio;
    std::vector<std::complex<float>> const iq = complex_tone(21000, 0.05, 192000, 96000);
    std::size_t resampled = 0;
    for (std::size_t at = 0; at < iq.size(); at += 9600) {
        auto const slow = resample_iq(resampler, std::span(iq).subspan(at, 9600));
        resampled += slow.size();
        demodulator.process(slow, block_audio);
        audio.insert(audio.end(), block_audio.begin(), block_audio.end());
    }
    EXPECT_NEAR(static_cast<double>(resampled), 32000.0, 100.0);
    ToneMeasure const tone = measure_tone(after(audio, settle(48000)), 48000);
    EXPECT_NEAR(tone.frequency_hz, 1000.0, 1.0);
    EXPECT_NEAR(tone.rms, 0.5 / std::sqrt(2.0), 0.01);
}

}  // namespace
