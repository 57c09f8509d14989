#include "sig/downconvert_audio.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "sig/offset_histogram.hpp"

namespace {

constexpr double kPi = std::numbers::pi;

std::vector<float> tone(std::size_t n, double hz, double amplitude = 1.0) {
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(amplitude * std::cos(2.0 * kPi * hz * i / 12000.0));
    return x;
}

TEST(DownconvertAudio, NeedsOneFilterLengthOfInput) {
    const std::vector<float> x = tone(1000, 1000.0);
    const sig::Baseband short_input = sig::downconvert_audio(x.data(), 383, 24, 1000.0, 45.0);
    EXPECT_TRUE(short_input.samples.empty());
    EXPECT_EQ(short_input.rate, 0.0);
    const sig::Baseband one = sig::downconvert_audio(x.data(), 384, 24, 1000.0, 45.0);
    EXPECT_EQ(one.samples.size(), 1u);
    EXPECT_EQ(one.rate, 500.0);
    EXPECT_EQ(sig::downconvert_audio(x.data(), 1000, 24, 1000.0, 45.0).samples.size(), (1000u - 384u) / 24u + 1u);
}

TEST(DownconvertAudio, KeepsHalfTheToneAndRemovesItsImage) {
    const std::vector<float> x = tone(6000, 1200.0, 0.8);
    const sig::Baseband y = sig::downconvert_audio(x.data(), x.size(), 24, 1200.0, 45.0);
    ASSERT_GT(y.samples.size(), 100u);
    for (const std::complex<float>& v : y.samples) EXPECT_NEAR(std::abs(v), 0.4, 0.4e-3);
}

TEST(DownconvertAudio, AToneAboveTheCentreTurnsForwardAtTheOffset) {
    for (const int decimation : {24, 8}) {
        const std::vector<float> x = tone(12000, 1510.0);
        const sig::Baseband y = sig::downconvert_audio(x.data(), x.size(), decimation, 1500.0, 60.0);
        ASSERT_GT(y.samples.size(), 10u);
        // The mixer runs on continuously across outputs, so successive outputs turn by exactly
        // 10 Hz over one output period.
        for (std::size_t k = 1; k < y.samples.size(); ++k) {
            const double turn = std::arg(std::conj(y.samples[k - 1]) * y.samples[k]);
            EXPECT_NEAR(turn * y.rate / (2.0 * kPi), 10.0, 1e-2) << decimation << " output " << k;
        }
    }
}

TEST(DownconvertAudio1900, CutsTheFacsimileBandAtFifteenHundredHertz) {
    const std::vector<float> x = tone(12000, 2200.0);
    const sig::Baseband y = sig::downconvert_audio_1900(x.data(), x.size(), 8);
    EXPECT_EQ(y.samples.size(), 1477u);  // floor(11808 / 8) + 1
    EXPECT_EQ(y.rate, 1500.0);
    for (std::size_t k = 1; k < y.samples.size(); ++k)
        EXPECT_NEAR(std::arg(std::conj(y.samples[k - 1]) * y.samples[k]) * 1500.0 / (2.0 * kPi), 300.0, 0.05);
    EXPECT_NEAR(std::abs(y.samples[700]), 0.5, 0.01);
    EXPECT_TRUE(sig::downconvert_audio_1900(x.data(), 191, 8).samples.empty());
    EXPECT_EQ(sig::downconvert_audio_1900(x.data(), 192, 8).samples.size(), 1u);
    // Outside the band's 480 Hz either side the filter stops it.
    const std::vector<float> far = tone(12000, 1000.0);
    EXPECT_LT(std::abs(sig::downconvert_audio_1900(far.data(), far.size(), 8).samples[700]), 0.01);
}

sig::FrequencyTrack track_of(std::vector<float> hz) {
    sig::FrequencyTrack t;
    t.valid.assign(hz.size(), 1);
    t.hz = std::move(hz);
    t.rate = 1500.0;
    t.envelope_cv = 0.125;
    return t;
}

TEST(OffsetHistogram, SummarisesTheSmoothedOffsets) {
    const sig::OffsetHistogram few = sig::offset_histogram(track_of({0, 0, 0, 0}));
    EXPECT_EQ(few.envelope_cv, 0.125);
    EXPECT_EQ(few.count, 0u);
    EXPECT_EQ(few.within_fraction, 0.0);

    const sig::OffsetHistogram zero = sig::offset_histogram(track_of(std::vector<float>(100, 0.0f)));
    EXPECT_EQ(zero.count, 96u);  // i = 2 .. n - 3
    EXPECT_EQ(zero.within_fraction, 1.0);
    EXPECT_EQ(zero.spread_hz, 0.0);
    EXPECT_EQ(zero.occupied_bins, 1u);  // 0..200 Hz

    // 420 Hz is within 430 Hz; -440 Hz is not (the four means across the change are within).
    std::vector<float> edges(40, 420.0f);
    for (std::size_t i = 20; i < 40; ++i) edges[i] = -440.0f;
    EXPECT_DOUBLE_EQ(sig::offset_histogram(track_of(edges)).within_fraction, 20.0 / 36.0);

    // 400 Hz is within 430 Hz but above the last bin.
    const sig::OffsetHistogram edge = sig::offset_histogram(track_of(std::vector<float>(20, 400.0f)));
    EXPECT_EQ(edge.within_fraction, 1.0);
    EXPECT_EQ(edge.occupied_bins, 0u);

    // Half the offsets at -300 Hz, half at +100 Hz: two bins, a spread of about 200 Hz.
    std::vector<float> two;
    for (int i = 0; i < 200; ++i) two.push_back(i < 100 ? -300.0f : 100.0f);
    const sig::OffsetHistogram split = sig::offset_histogram(track_of(two));
    EXPECT_EQ(split.occupied_bins, 2u);
    EXPECT_NEAR(split.spread_hz, 200.0, 5.0);

    // Only a sample's own flag counts; 500 Hz lies outside.
    sig::FrequencyTrack gated = track_of(std::vector<float>(20, 500.0f));
    for (std::size_t i = 0; i < 10; ++i) gated.valid[i] = 0;
    const sig::OffsetHistogram outside = sig::offset_histogram(gated);
    EXPECT_EQ(outside.count, 8u);  // i = 10 .. 17
    EXPECT_EQ(outside.within_fraction, 0.0);
}

}  // namespace
