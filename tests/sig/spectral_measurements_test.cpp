#include "sig/spectral_measurements.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {

constexpr double kPi = std::numbers::pi;

std::vector<float> tone(std::size_t n, double hz, double rate, double amplitude = 1.0) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(amplitude * std::cos(2.0 * kPi * hz * i / rate));
    return x;
}

std::size_t argmax(const std::vector<float>& v) {
    return static_cast<std::size_t>(std::max_element(v.begin(), v.end()) - v.begin());
}

TEST(RealHannSpectrum, PadsToTwiceTheLengthAndRejectsShortSeries) {
    sig::FftPlanCache cache;
    const sig::PowerSpectrum empty = sig::real_hann_spectrum(cache, std::vector<float>(15, 1.0f), 500.0);
    EXPECT_TRUE(empty.bins.empty());
    EXPECT_EQ(empty.bin_hz, 1.0);
    EXPECT_EQ(empty.rate, 1.0);
    EXPECT_FALSE(empty.centred);

    const sig::PowerSpectrum sixteen = sig::real_hann_spectrum(cache, tone(16, 100.0, 500.0), 500.0);
    EXPECT_EQ(sixteen.bins.size(), 17u);  // N = 32
    EXPECT_DOUBLE_EQ(sixteen.bin_hz, 500.0 / 32.0);

    const sig::PowerSpectrum hundred = sig::real_hann_spectrum(cache, tone(100, 125.0, 500.0), 500.0);
    EXPECT_EQ(hundred.bins.size(), 129u);  // N = 256
    EXPECT_EQ(argmax(hundred.bins), 64u);  // 125 Hz at 500/256 Hz a bin
}

TEST(RealHannSpectrum, RemovesTheMean) {
    sig::FftPlanCache cache;
    std::vector<float> x = tone(256, 50.0, 1000.0, 0.1);
    for (float& v : x) v += 10.0f;
    const sig::PowerSpectrum s = sig::real_hann_spectrum(cache, x, 1000.0);
    EXPECT_LT(s.bins[0], 1e-3 * s.bins[argmax(s.bins)]);
    EXPECT_NEAR(argmax(s.bins) * s.bin_hz, 50.0, s.bin_hz);
}

TEST(ComplexHannSpectrum, PutsAPositiveToneAboveTheCentreBin) {
    sig::FftPlanCache cache;
    const double rate = 500.0;
    for (const double f : {62.5, -93.75}) {
        std::vector<std::complex<float>> z(128);
        for (std::size_t i = 0; i < z.size(); ++i) z[i] = std::polar(1.0f, static_cast<float>(2.0 * kPi * f * i / rate));
        const sig::PowerSpectrum s = sig::complex_hann_spectrum(cache, z, rate);
        ASSERT_EQ(s.bins.size(), 256u);
        EXPECT_TRUE(s.centred);
        EXPECT_EQ(static_cast<double>(argmax(s.bins)), 128.0 + f / s.bin_hz) << f;
        EXPECT_DOUBLE_EQ(s.frequency(argmax(s.bins)), f);
    }
    EXPECT_TRUE(sig::complex_hann_spectrum(cache, std::vector<std::complex<float>>(15), rate).bins.empty());
}

TEST(StepChangeSpectrum, ShowsTheRateOfFrequencyStepsAndNeedsThirtyTwoValues) {
    sig::FftPlanCache cache;
    sig::FrequencyTrack track;
    track.rate = 500.0;
    for (std::size_t i = 0; i < 1000; ++i) {
        track.hz.push_back(((i / 10) % 2) ? 85.0f : -85.0f);  // a step every 10 samples: 50 per second
        track.valid.push_back(1);
    }
    const sig::PowerSpectrum s = sig::step_change_spectrum(cache, track);
    EXPECT_GT(sig::peak_snr_db(s, 50.0, 200.0), 20.0);
    // Steps across an invalid sample count for nothing.
    for (std::size_t i = 0; i < track.valid.size(); ++i) track.valid[i] = (i % 10) != 0;
    EXPECT_LT(sig::peak_snr_db(sig::step_change_spectrum(cache, track), 50.0, 200.0), 3.0);

    track.hz.resize(31);
    track.valid.resize(31);
    const sig::PowerSpectrum none = sig::step_change_spectrum(cache, track);
    EXPECT_TRUE(none.bins.empty());
    EXPECT_EQ(none.bin_hz, 1.0);
}

TEST(BandNoiseFloor, IsTheMedianOfTheBinsInRange) {
    sig::PowerSpectrum s;
    s.bins = {9, 1, 5, 3, 7, 100};
    s.bin_hz = 10.0;
    s.rate = 120.0;
    EXPECT_EQ(sig::band_noise_floor(s, 10.0, 40.0), 3.0);   // {1, 5, 3, 7}: index 1 of sorted
    EXPECT_EQ(sig::band_noise_floor(s, 0.0, 50.0), 5.0);    // ends included: index 2 of six
    EXPECT_EQ(sig::band_noise_floor(s, 11.0, 19.0), 1e-30); // no bin
    s.centred = true;                                       // bins at -30 .. +20 Hz
    EXPECT_EQ(sig::band_noise_floor(s, -30.0, -20.0), 1.0);  // {9, 1}
    EXPECT_EQ(sig::band_noise_floor(s, 15.0, 30.0), 100.0);
}

TEST(StrongestPeak, FindsTheLineNearZeroAgainstTheMedian) {
    sig::PowerSpectrum s;
    s.bins = {1, 1, 1, 2, 100, 2, 1, 1};  // centred: bin 4 is 0 Hz
    s.bin_hz = 5.0;
    s.rate = 40.0;
    s.centred = true;
    const sig::PeakMeasure p = sig::strongest_peak(s, 10.0);
    EXPECT_EQ(p.hz, 0.0);
    EXPECT_NEAR(p.snr_db, 10.0 * std::log10(100.0), 1e-9);  // median 1
    EXPECT_NEAR(p.concentration, 104.0 / 109.0, 1e-12);

    s.bins = {1, 1, 1, 1, 1, 1, 1, 50};  // the line at +15 Hz, outside +-10 Hz
    const sig::PeakMeasure away = sig::strongest_peak(s, 10.0);
    EXPECT_EQ(away.hz, 0.0 - 10.0);  // first of the equal bins in range
    EXPECT_NEAR(away.snr_db, 0.0, 1e-9);

    sig::PowerSpectrum empty;
    EXPECT_EQ(sig::strongest_peak(empty, 10.0).snr_db, -100.0);
    sig::PowerSpectrum off;  // bins at -100, 0 and +100 Hz; none within a negative half-width
    off.bins = {5, 6, 7};
    off.bin_hz = 100.0;
    off.rate = 300.0;
    off.centred = true;
    const sig::PeakMeasure none = sig::strongest_peak(off, -1.0);
    EXPECT_EQ(none.snr_db, -100.0);
    EXPECT_EQ(none.hz, 0.0);
    EXPECT_EQ(none.concentration, 0.0);
}

TEST(EnvelopeStatistics, FollowsTheFrequencyAndGatesQuietSamples) {
    sig::Baseband b;
    b.rate = 500.0;
    for (std::size_t i = 0; i < 200; ++i) {
        const float magnitude = (i >= 100 && i < 110) ? 0.01f : 1.0f;
        b.samples.push_back(std::polar(magnitude, static_cast<float>(2.0 * kPi * 40.0 * i / 500.0)));
    }
    const sig::FrequencyTrack t = sig::envelope_statistics(b);
    ASSERT_EQ(t.hz.size(), 200u);
    EXPECT_EQ(t.hz[0], 0.0f);
    EXPECT_EQ(t.valid[0], 0);
    EXPECT_NEAR(t.hz[50], 40.0, 1e-3);
    EXPECT_EQ(t.valid[50], 1);
    EXPECT_EQ(t.valid[100], 0);  // this sample under the gate
    EXPECT_EQ(t.valid[110], 0);  // the one before under the gate
    EXPECT_EQ(t.valid[111], 1);
    EXPECT_GT(t.envelope_cv, 0.2);
    EXPECT_EQ(t.rate, 500.0);

    sig::Baseband steady;
    steady.rate = 500.0;
    steady.samples.assign(50, {0.0f, 2.0f});
    EXPECT_NEAR(sig::envelope_statistics(steady).envelope_cv, 0.0, 1e-9);
    steady.samples.assign(50, {});
    EXPECT_EQ(sig::envelope_statistics(steady).envelope_cv, 1.0);  // no mean
    steady.samples.resize(3);
    EXPECT_TRUE(sig::envelope_statistics(steady).hz.empty());
}

// A dB spectrum at bin_hz a bin with tones of 20 dB over a flat floor.
std::vector<float> comb_spectrum(double first_hz, double spacing, int tones, double bin_hz = 2.9296875) {
    std::vector<float> db(2049, 0.0f);
    for (int t = 0; t < tones; ++t) {
        const double f = first_hz + t * spacing;
        const auto k = static_cast<std::size_t>(std::lround(f / bin_hz));
        db[k] = 20.0f;
        db[k - 1] = db[k + 1] = 12.0f;
    }
    return db;
}

struct CombCase {
    const char* name;
    double first_hz, spacing;
    int tones;
    double low_hz, high_hz;
    std::uint32_t want_tones, want_width;
    double want_spacing;
};

class MfskSymbolRate : public ::testing::TestWithParam<CombCase> {};

TEST_P(MfskSymbolRate, FindsTheCombThatFitsAnOliviaWidth) {
    const CombCase& c = GetParam();
    const double bin_hz = 12000.0 / 4096.0;
    const sig::ToneComb comb =
        sig::estimate_mfsk_symbol_rate(comb_spectrum(c.first_hz, c.spacing, c.tones), bin_hz, c.low_hz, c.high_hz);
    EXPECT_EQ(comb.tones, c.want_tones);
    EXPECT_EQ(comb.width_hz, c.want_width);
    EXPECT_EQ(comb.spacing, c.want_spacing);
    if (c.want_tones != 0) {
        EXPECT_GT(comb.contrast, 5.0);
        EXPECT_NEAR(comb.first_hz, c.first_hz, 2.0 * bin_hz);
        EXPECT_GE(comb.peaks, static_cast<std::uint32_t>(c.tones) - 1);
    } else {
        EXPECT_EQ(comb.contrast, 0.0);
        EXPECT_EQ(comb.peaks, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Combs, MfskSymbolRate,
    ::testing::Values(CombCase{"eight_at_31", 1390.625, 31.25, 8, 1375.0, 1625.0, 8, 250, 31.25},
                      CombCase{"sixteen_at_15", 1400.0, 15.625, 16, 1392.2, 1642.2, 16, 250, 15.625},
                      CombCase{"four_at_31", 1453.0, 31.25, 4, 1437.4, 1562.4, 4, 125, 31.25},
                      // 64 tones 62.5 Hz apart would be 4000 Hz wide: no Olivia width.
                      CombCase{"sixty_four_at_62", 100.0, 62.5, 64, 69.0, 4069.0, 0, 0, 0.0},
                      CombCase{"range_of_59_hz", 1400.0, 15.625, 4, 1390.0, 1449.0, 0, 0, 0.0},
                      // Eleven tones' worth of range holds no Olivia tone count (8 is 3 away).
                      CombCase{"eleven_at_31", 1390.625, 31.25, 11, 1375.0, 1734.4, 0, 0, 0.0}),
    [](const auto& info) { return info.param.name; });

TEST(PeakSnrDb, MeasuresTheLineWithinThreePercentAgainstTheMedianFromEightHz) {
    sig::PowerSpectrum s;
    s.bin_hz = 1.0;
    s.rate = 500.0;
    s.bins.assign(251, 1.0f);
    s.bins[3] = 1e6f;   // below 8 Hz: not part of the noise
    s.bins[31] = 100.0f;
    EXPECT_NEAR(sig::peak_snr_db(s, 31.25, 200.0), 20.0, 1e-9);
    EXPECT_NEAR(sig::peak_snr_db(s, 30.0, 200.0), 20.0, 1e-9);  // 31 lies within 3 % and a bin
    EXPECT_NEAR(sig::peak_snr_db(s, 40.0, 200.0), 0.0, 1e-9);
    // The window is 3 % and a bin either side: around 50 Hz, 47.5 .. 52.5 Hz.
    for (const auto& [line, level] : std::vector<std::pair<std::size_t, double>>{{48, 20.0}, {47, 0.0}, {52, 20.0}, {53, 0.0}}) {
        sig::PowerSpectrum t = s;
        t.bins[31] = 1.0f;
        t.bins[line] = 100.0f;
        EXPECT_NEAR(sig::peak_snr_db(t, 50.0, 200.0), level, 1e-9) << line;
    }
    EXPECT_EQ(sig::peak_snr_db(s, 250.0, 200.0), -100.0);  // at half the rate
    // No noise bin: the floor is 1e-30.
    EXPECT_NEAR(sig::peak_snr_db(s, 31.25, 5.0), 20.0 - 10.0 * std::log10(2e-30), 1e-6);
    EXPECT_EQ(sig::peak_snr_db(sig::PowerSpectrum{}, 31.25, 200.0), -100.0);
}

}  // namespace
