// The live audio demodulator on real spectrum frames from the channelizer: geometry, each
// modulation's tone and level, the receive-engine path against the processor path, and the
// failures it must survive.
#include "live/audio_dsp.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "decode/channelizer.hpp"
#include "live/audio_channel_spec.hpp"
#include "testbed/lib/cpu_receive_engine.hpp"
#include "tests/support/tone_measure.hpp"

namespace {

constexpr double pi = std::numbers::pi;
constexpr double rate = 64000;  // N = 4096, bins 15.625 Hz apart, bin step 4
constexpr double centre = 7100000;
constexpr double out_rate = 48000;

using Iq = std::vector<std::complex<float>>;

AudioChannel channel(std::string const& spec) { return parse_audio_channel(spec); }

// IQ through a real channelizer (no decoder channels), every frame into the chain.
std::vector<float> run_chain(AudioDSP& chain, Iq const& iq, double iq_rate = rate, double iq_centre = centre)
{
    Channelizer::Impl channelizer(iq_rate, iq_centre, 2500, 1.0, {}, nullptr);
    std::vector<float> audio;
    std::vector<float> block;
    channelizer.set_spectrum_hook([&](SpectrumFrame const& frame) {
        process_channel_block(chain, frame, block);
        audio.insert(audio.end(), block.begin(), block.end());
    });
    Channelizer::Impl::Rows rows;
    channelizer.push_iq(iq.data(), iq.size(), rows);
    return audio;
}

// A carrier at rf_hz, optionally amplitude or frequency modulated by a tone at tone_hz.
struct Signal {
    double rf_hz = 0;
    double amplitude = 0;
    double am_depth = 0;      // AM: 1 + depth x cos
    double deviation_hz = 0;  // FM: peak deviation
    double tone_hz = 0;
};

Iq make_iq(std::vector<Signal> const& signals, std::size_t count, double iq_rate = rate, double iq_centre = centre)
{
    Iq iq(count);
    for (Signal const& s : signals) {
        double const offset = s.rf_hz - iq_centre;
        double const beta = s.tone_hz > 0 ? s.deviation_hz / s.tone_hz : 0.0;
        for (std::size_t n = 0; n < count; ++n) {
            double const t = static_cast<double>(n) / iq_rate;
            double const envelope = s.amplitude * (1.0 + s.am_depth * std::cos(2 * pi * s.tone_hz * t));
            double const phase = 2 * pi * std::fmod(offset * t, 1.0) + beta * std::sin(2 * pi * s.tone_hz * t);
            iq[n] += std::complex<float>(static_cast<float>(envelope * std::cos(phase)),
                                         static_cast<float>(envelope * std::sin(phase)));
        }
    }
    return iq;
}

std::span<float const> settled(std::vector<float> const& audio, double seconds = 0.25)
{
    return after(audio, static_cast<std::size_t>(seconds * out_rate));
}

// ---------------------------------------------------------------------------------------------

struct Geometry {
    std::string name;
    std::string spec;
    double input_rate;
    std::uint64_t fft_size;
    std::uint64_t extract_size;
    double intermediate_rate;
};

std::ostream& operator<<(std::ostream& out, Geometry const& g) { return out << g.name; }

class AudioDspGeometry : public testing::TestWithParam<Geometry> {};

TEST_P(AudioDspGeometry, TakesEnoughBinsForTheChannel)
{
    Geometry const& g = GetParam();
    AudioChannel c = channel(g.spec);
    AudioDSP chain(std::move(c), g.input_rate, 14000000, nullptr);
    EXPECT_EQ(chain.fft_size(), g.fft_size);
    EXPECT_EQ(chain.extract_size(), g.extract_size);
    EXPECT_DOUBLE_EQ(chain.intermediate_rate(), g.intermediate_rate);
}

INSTANTIATE_TEST_SUITE_P(
    Channels, AudioDspGeometry,
    testing::Values(
        // 0.04 x 2 MHz = 80000 -> 131072; 2048 bins of 15.26 Hz reach the 24 kHz floor.
        Geometry {"usb_at_2_mhz", "id=a,frequency=14000000", 2000000, 131072, 2048, 31250},
        // FM needs 2.5 x half its width: 125 kHz for 100 kHz.
        Geometry {"fm_100k_at_2_mhz", "id=a,frequency=14000000,modulation=FM,bandwidth=100000", 2000000, 131072,
                  8192, 125000},
        // AM counts half its width too: 20 kHz wide needs 25 kHz, so 2048 bins still.
        Geometry {"am_20k_at_64_k", "id=a,frequency=14000000,modulation=AM,bandwidth=20000,audio-rate=48000",
                  64000, 4096, 2048, 32000},
        Geometry {"whole_transform", "id=a,frequency=14000000,modulation=FM,bandwidth=40000", 64000, 4096, 4096,
                  64000}),
    [](testing::TestParamInfo<Geometry> const& info) { return info.param.name; });

TEST(AudioDsp, RefusesAChannelWiderThanTheCapture)
{
    try {
        AudioDSP chain(channel("id=a,frequency=14000000,modulation=FM,bandwidth=250000"), 64000, 14000000, nullptr);
        FAIL() << "built";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "Audio bandwidth exceeds input rate");
    }
}

// ---------------------------------------------------------------------------------------------

struct ToneCase {
    std::string name;
    std::string spec;
    Signal signal;
    double tone_hz;
    double amplitude;  // expected at the output
    double tolerance;  // relative
};

std::ostream& operator<<(std::ostream& out, ToneCase const& c) { return out << c.name; }

class AudioDspTones : public testing::TestWithParam<ToneCase> {};

TEST_P(AudioDspTones, DeliverTheToneAtItsLevel)
{
    ToneCase const& c = GetParam();
    AudioDSP chain(channel(c.spec), rate, centre, nullptr);
    std::vector<float> const audio = run_chain(chain, make_iq({c.signal}, 64000));
    ASSERT_GT(audio.size(), 40000u);
    std::span<float const> const tail = settled(audio);
    ToneFit const fit = fit_tone(tail, out_rate, c.tone_hz);
    EXPECT_NEAR(fit.amplitude, c.amplitude, c.amplitude * c.tolerance);
    if (c.amplitude > 0.01) {
        EXPECT_NEAR(measure_tone(tail, out_rate).frequency_hz, c.tone_hz, 1.0);
        EXPECT_LT(fit.residual_rms, 0.03 * fit.amplitude) << "a clean tone, nothing else";
    }
}

// Without AGC an SSB or AM output is the demodulated level times the gain; FM is scaled from
// its deviation (5 kHz full scale for channels up to 30 kHz wide, then 75 kHz) and de-emphasised
// (300 Hz narrow, 75 us wide: at 1 kHz 0.288 and 0.905 of the level). The DC blocker is a
// first-order high pass at 20 Hz: an AM envelope tone at f keeps f / sqrt(f^2 + 20^2) of its
// level (0.447 at 10 Hz, 0.707 at 20 Hz, 0.894 at 40 Hz).
INSTANTIATE_TEST_SUITE_P(
    Modulations, AudioDspTones,
    testing::Values(
        ToneCase {"usb", "id=t,frequency=7090000,agc=off", {7091000, 0.01}, 1000, 0.1, 0.02},
        ToneCase {"usb_rejects_the_lower_sideband", "id=t,frequency=7090000,agc=off", {7089000, 0.01}, 1000, 0.0001,
                  1.0},
        ToneCase {"lsb", "id=t,frequency=7090000,modulation=LSB,agc=off", {7088800, 0.01}, 1200, 0.1, 0.02},
        ToneCase {"usb_low_cut_stops_a_low_tone", "id=t,frequency=7090000,agc=off,low-cut=700", {7090300, 0.01}, 300,
                  0.0015, 1.0},
        ToneCase {"usb_gain", "id=t,frequency=7090000,agc=off,audio-gain=30", {7090700, 0.01}, 700, 0.3, 0.02},
        ToneCase {"usb_agc", "id=t,frequency=7090000", {7091000, 0.001}, 1000, 0.3, 0.05},
        ToneCase {"am", "id=t,frequency=7095000,modulation=AM,agc=off", {7095000, 0.02, 0.5, 0, 800}, 800, 0.1, 0.02},
        ToneCase {"am_below_the_dc_blocker_corner", "id=t,frequency=7095000,modulation=AM,agc=off",
                  {7095000, 0.02, 0.5, 0, 10}, 10, 0.04472, 0.02},
        ToneCase {"am_at_the_dc_blocker_corner", "id=t,frequency=7095000,modulation=AM,agc=off",
                  {7095000, 0.02, 0.5, 0, 20}, 20, 0.07071, 0.02},
        ToneCase {"am_above_the_dc_blocker_corner", "id=t,frequency=7095000,modulation=AM,agc=off",
                  {7095000, 0.02, 0.5, 0, 40}, 40, 0.08944, 0.02},
        ToneCase {"fm_narrow", "id=t,frequency=7105000,modulation=FM", {7105000, 0.02, 0, 2500, 1000}, 1000, 0.1727,
                  0.03},
        ToneCase {"fm_30k_is_narrow", "id=t,frequency=7105000,modulation=FM,bandwidth=30000",
                  {7105000, 0.02, 0, 2500, 1000}, 1000, 0.1725, 0.03},
        ToneCase {"fm_above_30k_is_wide", "id=t,frequency=7105000,modulation=FM,bandwidth=30001",
                  {7105000, 0.02, 0, 2500, 1000}, 1000, 0.00905, 0.03}),
    [](testing::TestParamInfo<ToneCase> const& info) { return info.param.name; });

// The AGC takes a new peak at once and lets it go with a time constant of half a second: 20 dB
// quieter after a loud signal, the level climbs back by a factor e every half second until the
// quiet signal is the peak and sounds as loud as the loud one did.
TEST(AudioDsp, AgcRecoversFromALoudSignalWithAHalfSecondTimeConstant)
{
    AudioDSP chain(channel("id=t,frequency=7090000"), rate, centre, nullptr);
    std::size_t const step = 32000;  // 0.5 s loud, then 1.5 s at a tenth of the amplitude
    Iq iq = make_iq({{7091000, 0.01}}, 4 * step);
    for (std::size_t i = step; i < iq.size(); ++i)
        iq[i] *= 0.1f;
    std::vector<float> const audio = run_chain(chain, iq);
    std::span<float const> const all(audio);
    auto const level = [&](double seconds) {
        auto const at = static_cast<std::size_t>((0.5 + seconds) * out_rate);
        std::size_t const window = 2400;  // 50 ms, 50 cycles
        if (at + window > all.size())
            return 0.0;
        return fit_tone(all.subspan(at, window), out_rate, 1000).amplitude;
    };
    EXPECT_NEAR(level(-0.1), 0.3, 0.006) << "the loud signal at the AGC's level";
    double const early = level(0.2);
    double const late = level(0.7);
    ASSERT_GT(early, 0.03);
    EXPECT_NEAR(0.5 / std::log(late / early), 0.5, 0.01) << early << " then " << late;
    EXPECT_NEAR(level(1.3), 0.3, 0.006) << "the quiet signal is the peak again";
}

// The rotator and the bin sign are tied to the absolute sample index: with the channel on an odd
// bin, a wrong sign would flip the audio every other frame. A channel whose residual shift (its
// offset from the centre bin) is a whole number of cycles per hop starts every frame at the same
// phase, whatever the sign of that phase; off that grid a start phase turned the wrong way jumps
// at every hop and the tone drowns in its own distortion.
class AudioDspCentreBin : public testing::TestWithParam<double> {};

TEST_P(AudioDspCentreBin, ToneStaysCleanAcrossFrames)
{
    double const dial = centre + GetParam();
    AudioDSP chain(channel("id=t,frequency=" + std::to_string(dial) + ",agc=off"), rate, centre, nullptr);
    std::vector<float> const audio = run_chain(chain, make_iq({{dial + 1000, 0.01}}, 64000));
    ToneFit const fit = fit_tone(settled(audio), out_rate, 1000);
    EXPECT_NEAR(fit.amplitude, 0.1, 0.002);
    EXPECT_LT(fit.residual_rms, 0.001);
}

// Passband middles 1000 and 1015.625 Hz above the centre: bins 64 and 65, residual -1500 Hz, 48
// cycles per 32 ms hop. 7 Hz higher the residual is -1493 Hz, 47.776 cycles per hop.
INSTANTIATE_TEST_SUITE_P(EvenAndOdd, AudioDspCentreBin, testing::Values(-500.0, -484.375, -493.0, -477.375));

TEST(AudioDsp, CentreBinsAreTheOnesTheTestMeans)
{
    EXPECT_EQ(AudioDSP(channel("id=t,frequency=7099500"), rate, centre, nullptr).centre_bin(), 64);
    EXPECT_EQ(AudioDSP(channel("id=t,frequency=7099515.625"), rate, centre, nullptr).centre_bin(), 65);
    EXPECT_EQ(AudioDSP(channel("id=t,frequency=7099507"), rate, centre, nullptr).centre_bin(), 64);
    EXPECT_EQ(AudioDSP(channel("id=t,frequency=7099522.625"), rate, centre, nullptr).centre_bin(), 65);
}

// ---------------------------------------------------------------------------------------------
// Receive engine path

constexpr std::uint64_t engine_decimation = 2;
constexpr double adc_rate = rate * engine_decimation;

std::vector<std::int16_t> adc_words(double rf_hz, double amplitude, double phase, std::size_t count)
{
    std::vector<std::int16_t> words(count);
    for (std::size_t m = 0; m < count; ++m) {
        double const cycles = std::fmod(rf_hz * static_cast<double>(m) / adc_rate, 1.0);
        words[m] = static_cast<std::int16_t>(std::lround(amplitude * 32767.0 * std::cos(2.0 * pi * cycles + phase)));
    }
    return words;
}

class AudioDspEngine : public testing::TestWithParam<double> {};

TEST_P(AudioDspEngine, GivesTheAudioOfTheProcessorPath)
{
    double const rf_centre = GetParam();
    std::string const spec = "id=e,frequency=" + std::to_string(rf_centre + 5015.625) + ",agc=off,audio-gain=1";
    double const tone = rf_centre + 5015.625 + 1250;
    std::size_t const blocks = 40;

    auto engine = std::make_shared<testbed::CpuReceiveEngine>(4096, engine_decimation, adc_rate);
    AudioDSP on_engine(channel(spec), rate, rf_centre, engine);
    EXPECT_EQ(engine->row_count(), 1u);
    Channelizer::Impl engine_channelizer(rate, rf_centre, 2500, 1.0, {}, nullptr);
    engine_channelizer.attach_engine(engine);
    std::vector<float> engine_audio;
    std::vector<float> block;
    engine_channelizer.set_spectrum_hook([&](SpectrumFrame const& frame) {
        ASSERT_NE(frame.results, nullptr);
        process_channel_block(on_engine, frame, block);
        engine_audio.insert(engine_audio.end(), block.begin(), block.end());
    });
    std::vector<std::int16_t> const words = adc_words(tone, 0.2, 0.7, blocks * engine->block_samples());
    Channelizer::Impl::Rows rows;
    engine_channelizer.push_raw(words.data(), words.size(), rows);

    AudioDSP on_processor(channel(spec), rate, rf_centre, nullptr);
    Iq const iq = make_iq({{tone, 0.2 * 32767.0 / 32768.0}}, (blocks - 1) * 2048, rate, rf_centre);
    Iq shifted(iq.size());
    for (std::size_t i = 0; i < iq.size(); ++i)
        shifted[i] = iq[i] * std::polar(1.0f, 0.7f);
    std::vector<float> const expected = run_chain(on_processor, shifted, rate, rf_centre);

    ASSERT_EQ(engine_audio.size(), expected.size());
    // The onset of a real stream carries an image the complex baseband does not; once it has
    // passed, both paths agree to float precision.
    for (std::size_t i = 4800; i < expected.size(); ++i)
        ASSERT_NEAR(engine_audio[i], expected[i], 2e-4) << "sample " << i;
    EXPECT_NEAR(fit_tone(settled(engine_audio), out_rate, 1250).amplitude, 0.2, 0.004);
}

// An RF centre on an even and on an odd bin of the engine's transform.
INSTANTIATE_TEST_SUITE_P(Centres, AudioDspEngine, testing::Values(32000.0, 32015.625));

// A stand-in engine that only keeps what is registered.
class RecordingRows : public SpectrumRows {
public:
    int add_complex_row(std::vector<std::int64_t> offsets, std::vector<float> weights, double frequency_hz) override
    {
        bins = std::move(offsets);
        weight_count = weights.size();
        centre_hz = frequency_hz;
        return ++rows;
    }
    int add_real_row(std::vector<std::int64_t>, std::vector<std::uint64_t>, double) override { return -1; }
    void remove(int id) override { removed.push_back(id); }
    void set_window(double, double, double) override {}

    std::vector<std::int64_t> bins;
    std::size_t weight_count = 0;
    double centre_hz = 0;
    int rows = 0;
    std::vector<int> removed;
};

TEST(AudioDsp, EngineRowsStayInsideTheTransformAndLeaveWithTheChain)
{
    auto rows = std::make_shared<RecordingRows>();
    {
        // A channel at the top edge of the capture: half its 2048 bins lie beyond N/2 = 2048.
        AudioDSP chain(channel("id=e,frequency=" + std::to_string(centre + 28000) + ",bandwidth=500"), rate, centre,
                       rows);
        EXPECT_EQ(chain.engine_row(), 1);
        ASSERT_EQ(rows->bins.size(), 2048u);
        EXPECT_EQ(rows->weight_count, 4096u);
        EXPECT_EQ(rows->centre_hz, centre);
        std::int64_t const c = chain.centre_bin();
        for (std::size_t k = 0; k < rows->bins.size(); ++k) {
            std::int64_t const d = k < 1024 ? static_cast<std::int64_t>(k) : static_cast<std::int64_t>(k) - 2048;
            std::int64_t expected = c + d;
            if (expected >= 2048)
                expected -= 4096;
            EXPECT_EQ(rows->bins[k], expected) << k;
        }
        EXPECT_TRUE(rows->removed.empty());
    }
    EXPECT_EQ(rows->removed, std::vector<int> {1});
}

// ---------------------------------------------------------------------------------------------
// Failures

class AudioDspBadSample : public testing::TestWithParam<float> {};

TEST_P(AudioDspBadSample, DoesNotSilenceTheChannel)
{
    Iq iq = make_iq({{7091000, 0.01}}, 64000);
    Iq clean = iq;
    iq[20000] = {GetParam(), 0.0f};
    AudioDSP chain(channel("id=t,frequency=7090000,agc=off"), rate, centre, nullptr);
    AudioDSP reference(channel("id=t,frequency=7090000,agc=off"), rate, centre, nullptr);
    std::vector<float> const audio = run_chain(chain, iq);
    std::vector<float> const expected = run_chain(reference, clean);
    ASSERT_EQ(audio.size(), expected.size());
    for (float const sample : audio)
        ASSERT_TRUE(std::isfinite(sample));
    // Two frames hold the bad sample; a few tens of milliseconds later the audio is the clean one.
    for (std::size_t i = audio.size() / 2; i < audio.size(); ++i)
        ASSERT_NEAR(audio[i], expected[i], 1e-4) << i;
}

INSTANTIATE_TEST_SUITE_P(NotFinite, AudioDspBadSample,
                         testing::Values(std::numeric_limits<float>::quiet_NaN(),
                                         std::numeric_limits<float>::infinity()));

TEST(AudioDsp, FrameOfAnotherTransformDisablesTheChannelWithOneLine)
{
    AudioDSP chain(channel("id=voice,frequency=7090000"), rate, centre, nullptr);
    std::vector<std::complex<float>> bins(8192);
    SpectrumFrame frame;
    frame.bins = bins.data();
    frame.fft_size = 8192;
    frame.bin_step = 8;
    frame.rate = 2 * rate;
    frame.centre = centre;
    testing::internal::CaptureStderr();
    chain.process(frame);
    chain.process(frame);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Audio voice: disabled: Audio FFT geometry changed\n");
    EXPECT_TRUE(chain.disabled());
}

// After a reset the chain is as good as new: the same frames give the same audio, to the bit.
TEST(AudioDsp, ResetForgetsEveryState)
{
    std::string const spec = "id=am,frequency=7095000,modulation=AM";
    Iq const first = make_iq({{7095000, 0.3, 0.5, 0, 500}}, 30000);
    Iq const second = make_iq({{7095000, 0.002, 0.8, 0, 900}}, 30000);
    AudioDSP used(channel(spec), rate, centre, nullptr);
    run_chain(used, first);
    used.reset();
    AudioDSP fresh(channel(spec), rate, centre, nullptr);
    EXPECT_EQ(run_chain(used, second), run_chain(fresh, second));
}

TEST(AudioDsp, NewGainAppliesFromTheNextBlock)
{
    AudioDSP chain(channel("id=t,frequency=7090000,agc=off"), rate, centre, nullptr);
    Iq const iq = make_iq({{7091000, 0.01}}, 64000);
    Channelizer::Impl channelizer(rate, centre, 2500, 1.0, {}, nullptr);
    std::vector<float> before;
    std::vector<float> later;
    std::vector<float> block;
    std::vector<float>* into = &before;
    channelizer.set_spectrum_hook([&](SpectrumFrame const& frame) {
        process_channel_block(chain, frame, block);
        into->insert(into->end(), block.begin(), block.end());
    });
    Channelizer::Impl::Rows rows;
    channelizer.push_iq(iq.data(), 32768, rows);
    chain.set_gain(25);
    EXPECT_EQ(chain.channel().audio_gain, 25);
    into = &later;
    channelizer.push_iq(iq.data() + 32768, iq.size() - 32768, rows);
    EXPECT_NEAR(fit_tone(settled(before), out_rate, 1000).amplitude, 0.1, 0.002);
    // The resampler holds a few samples of the old gain; after that, 2.5 times the level.
    EXPECT_NEAR(fit_tone(after(later, 200), out_rate, 1000).amplitude, 0.25, 0.005);
}

}  // namespace
