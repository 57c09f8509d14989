#include "sig/classifier_spectrum.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "sig/classifier.hpp"
#include "testbed/lib/classifier_run.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

constexpr double kBinHz = 12000.0 / 4096.0;

int bin_of(double hz) { return static_cast<int>(std::lround(hz / kBinHz)); }

// A classifier state whose averaged spectrum is written by hand: a floor of 0 dB, every level in
// dB over it, the present frame equal to the average (so nothing counts as stopped).
struct HandSpectrum {
    explicit HandSpectrum(double low_hz = 200.0, double high_hz = 3000.0) {
        sig::ClassifierConfig c = testbed::channel_classifier_config();
        c.low_hz = low_hz;
        c.high_hz = high_hz;
        state = sig::init_classifier(c);
        level.assign(static_cast<std::size_t>(state->half) + 1, 0.0f);
    }
    // Bins [centre - width/2, centre + width/2] at level_db.
    void bump(double centre_hz, double width_hz, float level_db) {
        for (int k = bin_of(centre_hz - width_hz / 2.0); k <= bin_of(centre_hz + width_hz / 2.0); ++k)
            level[static_cast<std::size_t>(k)] = level_db;
    }
    void run() {
        sig::ClassifierState& s = *state;
        s.frames_since_reset = 1;
        for (std::size_t k = 0; k < level.size(); ++k) {
            s.averaged_db[k] = level[k];
            s.averaged[k] = static_cast<float>(std::pow(10.0, level[k] / 10.0));
            s.power[k] = s.averaged[k];
            s.floor_db[k] = 0.0f;
            const bool in_range = static_cast<int>(k) >= s.lo_bin && static_cast<int>(k) <= s.hi_bin;
            s.occupied[k] = in_range && level[k] >= s.config.threshold_db;
        }
        sig::find_detections(s);
        sig::group_detections(s);
    }
    std::unique_ptr<sig::ClassifierState> state;
    std::vector<float> level;
};

TEST(ClassifierSpectrum, APureToneIsOneNarrowDetectionCentredBetweenBins) {
    const double hz = 1001.3;  // 341.8 bins
    std::vector<float> audio(12000 * 2);
    for (std::size_t i = 0; i < audio.size(); ++i)
        audio[i] = static_cast<float>(0.3 * std::cos(2.0 * std::numbers::pi * hz * i / 12000.0));
    testbed::add_white_noise(audio, 0.01, 3);
    sig::ClassifierConfig c = testbed::channel_classifier_config();
    c.verify = false;
    auto state = sig::init_classifier(c);
    sig::AudioBlock block;
    block.samples = audio;
    sig::classify(*state, block);
    // The tone is one detection; noise may stand out elsewhere, but not beside it.
    const sig::Detection* tone = nullptr;
    std::size_t near = 0;
    for (const sig::Detection& d : state->detections) {
        if (std::fabs(d.centre - hz) < 60.0) ++near;
        if (std::fabs(d.centre - hz) < 3.0) tone = &d;
    }
    ASSERT_NE(tone, nullptr);
    EXPECT_EQ(near, 1u);
    const sig::Detection& d = *tone;
    EXPECT_NEAR(d.centre, hz, 0.3);
    EXPECT_NE(std::fmod(d.centre, kBinHz), 0.0);  // a centroid, not a bin
    EXPECT_LE(d.bandwidth, 5 * kBinHz);
    EXPECT_TRUE(d.present);
    EXPECT_TRUE(d.strong);
    const sig::SignalGroup* group = nullptr;
    for (const sig::SignalGroup& g : state->groups)
        if (g.centre == d.centre) group = &g;
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->kind, sig::GroupKind::SINGLE);
    EXPECT_EQ(group->members, 0u);
    EXPECT_EQ(group->bandwidth, d.bandwidth);
    EXPECT_DOUBLE_EQ(group->low_hz, (d.lo - 0.5) * kBinHz);
    EXPECT_DOUBLE_EQ(group->high_hz, (d.hi + 0.5) * kBinHz);
}

struct TwoPeaks {
    const char* name;
    double apart_hz;
    float valley_db;  // level between the peaks (peaks at 40 dB)
    std::size_t detections;
};

class PeakSplitting : public ::testing::TestWithParam<TwoPeaks> {};

TEST_P(PeakSplitting, SplitsOnlyAtDeepValleysBetweenDistantPeaks) {
    const TwoPeaks& c = GetParam();
    HandSpectrum h;
    h.bump(1000.0 + c.apart_hz / 2.0, c.apart_hz + 10.0, c.valley_db);
    h.bump(1000.0, 3.0, 40.0f);
    h.bump(1000.0 + c.apart_hz, 3.0, 40.0f);
    h.run();
    EXPECT_EQ(h.state->detections.size(), c.detections);
}

INSTANTIATE_TEST_SUITE_P(Valleys, PeakSplitting,
                         ::testing::Values(TwoPeaks{"thirty_hz_deep", 30.0, 20.0f, 1},
                                           TwoPeaks{"sixty_hz_deep", 60.0, 20.0f, 2},
                                           TwoPeaks{"sixty_hz_shallow", 60.0, 33.0f, 1},
                                           TwoPeaks{"sixty_hz_eight_db", 60.0, 32.0f, 2}),
                         [](const auto& info) { return info.param.name; });

TEST(ClassifierSpectrum, OneMissingBinJoinsARunAndThirtyHertzDoNot) {
    HandSpectrum h;
    h.bump(1000.0, 30.0, 20.0f);
    h.level[static_cast<std::size_t>(bin_of(1000.0))] = 3.0f;  // one bin under the threshold
    h.bump(1500.0, 20.0, 20.0f);
    h.bump(1540.0, 20.0, 20.0f);  // a gap of 20 Hz minus a bin: merged
    h.bump(2000.0, 20.0, 20.0f);
    h.bump(2050.0, 20.0, 20.0f);  // 30 Hz edge to edge: separate
    h.run();
    std::vector<double> centres;
    for (const sig::Detection& d : h.state->detections) centres.push_back(d.centre);
    ASSERT_EQ(centres.size(), 4u);
    EXPECT_NEAR(centres[0], 1000.0, 2.0);
    EXPECT_NEAR(centres[1], 1520.0, 2.0);
    EXPECT_NEAR(centres[2], 2000.0, 2.0);
    EXPECT_NEAR(centres[3], 2050.0, 2.0);
}

TEST(ClassifierSpectrum, ASpurBesideACarrierIsAbsorbed) {
    // Merged across a short gap, absorbed across a long one; 10 dB under the carrier is enough.
    for (const auto& [away, level_db] : std::vector<std::pair<double, float>>{{20.0, 30.0f}, {40.0, 30.0f}, {40.0, 40.0f}}) {
        HandSpectrum h;
        h.bump(1000.0, 6.0, 45.0f);
        h.level[static_cast<std::size_t>(bin_of(1000.0))] = 50.0f;
        h.bump(1000.0 + away, 3.0, level_db);
        h.run();
        ASSERT_EQ(h.state->detections.size(), 1u) << away;
        const sig::Detection& d = h.state->detections[0];
        EXPECT_EQ(d.peak, bin_of(1000.0)) << away;
        EXPECT_GE(d.extent_hi, bin_of(1000.0 + away)) << away;
        ASSERT_EQ(h.state->groups.size(), 1u);
    }
    // Under 10 dB below the carrier is no spur, nor is one further than 40 Hz from it.
    for (const auto& [away, level_db] : std::vector<std::pair<double, float>>{{40.0, 41.0f}, {50.0, 30.0f}}) {
        HandSpectrum h;
        h.bump(1000.0, 6.0, 45.0f);
        h.level[static_cast<std::size_t>(bin_of(1000.0))] = 50.0f;
        h.bump(1000.0 + away, 3.0, level_db);
        h.run();
        EXPECT_EQ(h.state->detections.size(), 2u) << away;
    }
}

TEST(ClassifierSpectrum, FskPairsFormOnlyAtRttyShifts) {
    struct Case {
        double shift;
        sig::GroupKind kind;
        std::size_t groups;
    };
    for (const Case c : {Case{170.0, sig::GroupKind::FSK_PAIR, 1}, Case{450.0, sig::GroupKind::FSK_PAIR, 1},
                         Case{850.0, sig::GroupKind::FSK_PAIR, 1}, Case{200.0, sig::GroupKind::SINGLE, 2},
                         Case{300.0, sig::GroupKind::SINGLE, 2}}) {
        HandSpectrum h;
        h.bump(1500.0 - c.shift / 2.0, 40.0, 25.0f);
        h.bump(1500.0 + c.shift / 2.0, 40.0, 25.0f);
        h.run();
        ASSERT_EQ(h.state->groups.size(), c.groups) << c.shift;
        const sig::SignalGroup& g = h.state->groups[0];
        EXPECT_EQ(g.kind, c.kind) << c.shift;
        if (c.kind == sig::GroupKind::FSK_PAIR) {
            EXPECT_NEAR(g.centre, 1500.0, 1.5);
            EXPECT_NEAR(g.spacing_hz, c.shift, 3.0);
            EXPECT_EQ(g.members, 2u);
            EXPECT_NEAR(g.bandwidth, c.shift + 41.0, 2.0 * kBinHz);
        }
    }
    // Tones 12 dB apart still pair; a tone too wide does not. A tone as narrow as a carrier (a
    // station idling on mark) pairs only with a weaker keyed tone: never as strong, never with
    // another carrier.
    struct Tones {
        double lower_width_hz;
        float lower_db;
        double upper_width_hz;
        float upper_db;
        bool pairs;
    };
    for (const Tones t : {Tones{40.0, 25.0f, 40.0, 13.0f, true}, Tones{40.0, 25.0f, 170.0, 25.0f, false},
                          Tones{40.0, 25.0f, 10.0, 30.0f, true}, Tones{40.0, 25.0f, 10.0, 25.0f, false},
                          Tones{40.0, 25.0f, 10.0, 20.0f, false}, Tones{10.0, 30.0f, 40.0, 25.0f, true},
                          Tones{10.0, 30.0f, 10.0, 25.0f, false}}) {
        HandSpectrum h;
        h.bump(1415.0, t.lower_width_hz, t.lower_db);
        h.bump(1585.0, t.upper_width_hz, t.upper_db);
        h.run();
        EXPECT_EQ(h.state->groups[0].kind == sig::GroupKind::FSK_PAIR, t.pairs)
            << t.lower_width_hz << " Hz at " << t.lower_db << " dB, " << t.upper_width_hz << " Hz at " << t.upper_db
            << " dB";
    }
}

TEST(ClassifierSpectrum, RejectedFrequenciesKeepPairsFromFormingUntilTheyExpire) {
    HandSpectrum h;
    h.bump(1415.0, 40.0, 25.0f);
    h.bump(1585.0, 40.0, 25.0f);
    h.state->frame_time = 100.0;
    h.state->rejected.push_back({1520.0, 130.0});  // within 25 Hz of the middle
    h.run();
    EXPECT_EQ(h.state->groups[0].kind, sig::GroupKind::SINGLE);
    h.state->frame_time = 131.0;
    h.run();
    EXPECT_EQ(h.state->groups[0].kind, sig::GroupKind::FSK_PAIR);
    EXPECT_TRUE(h.state->rejected.empty());
}

TEST(ClassifierSpectrum, EquallySpacedTonesFormACombOfFourOrMore) {
    for (const int tones : {8, 4, 3}) {
        HandSpectrum h;
        for (int t = 0; t < tones; ++t) h.bump(1000.0 + 62.5 * t, 6.0, t % 2 ? 25.0f : 30.0f);
        h.run();
        if (tones < 4) {
            EXPECT_EQ(h.state->groups.size(), 3u);
            for (const sig::SignalGroup& g : h.state->groups) EXPECT_EQ(g.kind, sig::GroupKind::SINGLE);
            continue;
        }
        ASSERT_EQ(h.state->groups.size(), 1u) << tones;
        const sig::SignalGroup& g = h.state->groups[0];
        EXPECT_EQ(g.kind, sig::GroupKind::TONE_COMB);
        EXPECT_NEAR(g.spacing_hz, 62.5, 0.5);
        EXPECT_NEAR(g.bandwidth, 62.5 * tones, kBinHz);
        EXPECT_EQ(g.members, static_cast<std::uint32_t>(tones));
        EXPECT_NEAR(g.low_hz, 1000.0 - 31.25, kBinHz);
    }
    // Levels more than 12 dB apart are no comb.
    HandSpectrum uneven;
    for (int t = 0; t < 6; ++t) uneven.bump(1000.0 + 62.5 * t, 6.0, t == 3 ? 45.0f : 30.0f);
    uneven.run();
    for (const sig::SignalGroup& g : uneven.state->groups) EXPECT_NE(g.kind, sig::GroupKind::TONE_COMB);
    // Tones 31.25 Hz apart fill one run: one wide single, never split.
    HandSpectrum close;
    close.bump(1125.0, 250.0, 15.0f);
    for (int t = 0; t < 8; ++t) close.bump(1015.625 + 31.25 * t, 3.0, 25.0f);
    close.run();
    ASSERT_EQ(close.state->groups.size(), 1u);
    EXPECT_EQ(close.state->groups[0].kind, sig::GroupKind::SINGLE);
    EXPECT_GT(close.state->groups[0].bandwidth, 200.0);
}

TEST(ClassifierSpectrum, FacsimileTonesAndBandNeedTheChannelToReachThem) {
    for (const bool wide : {true, false}) {
        HandSpectrum h(200.0, wide ? 3000.0 : 2200.0);
        h.bump(1900.0, 6.0, 30.0f);
        h.bump(1600.0, 6.0, 25.0f);
        h.bump(2200.0, 6.0, 25.0f);
        h.run();
        const sig::SignalGroup& g = h.state->groups[0];
        EXPECT_EQ(g.kind == sig::GroupKind::WEFAX_TONES, wide);
        if (wide) {
            EXPECT_EQ(g.spacing_hz, 300.0);
            EXPECT_EQ(g.centre, 1900.0);
            EXPECT_EQ(g.members, 3u);
        }
        HandSpectrum band(200.0, wide ? 3000.0 : 2200.0);
        band.bump(1700.0, 350.0, 12.0f);
        band.bump(2150.0, 250.0, 12.0f);
        band.run();
        EXPECT_EQ(band.state->groups[0].kind == sig::GroupKind::IMAGE_BAND, wide);
    }
    // A 675 Hz pattern (index 288), and one whose side lines are 15 dB too weak.
    HandSpectrum h288;
    h288.bump(1900.0, 6.0, 30.0f);
    h288.bump(1225.0, 6.0, 25.0f);
    h288.bump(2575.0, 6.0, 25.0f);
    h288.run();
    EXPECT_EQ(h288.state->groups[0].spacing_hz, 675.0);
    HandSpectrum weak;
    weak.bump(1900.0, 6.0, 40.0f);
    weak.bump(1600.0, 6.0, 24.0f);
    weak.bump(2200.0, 6.0, 24.0f);
    weak.run();
    for (const sig::SignalGroup& g : weak.state->groups) EXPECT_NE(g.kind, sig::GroupKind::WEFAX_TONES);
}

TEST(ClassifierSpectrum, ANarrowRangeHasAFlatFloor) {
    sig::ClassifierConfig c = testbed::channel_classifier_config();
    c.low_hz = 1000.0;
    c.high_hz = 1100.0;  // 35 bins, under one segment of 68
    auto state = sig::init_classifier(c);
    sig::AudioBlock block;
    block.samples = testbed::white_noise(4096, 0.1, 5);
    for (std::size_t i = 0; i < block.samples.size(); ++i)
        block.samples[i] += static_cast<float>(0.5 * std::cos(2.0 * std::numbers::pi * 1050.0 * i / 12000.0));
    sig::classify(*state, block);
    ASSERT_EQ(state->frame_counter, 1u);
    for (std::size_t k = 0; k < state->floor_db.size(); ++k) EXPECT_EQ(state->floor_db[k], state->floor_db[0]);

    // The full range has a floor that follows the band from segment to segment.
    auto wide = sig::init_classifier(testbed::channel_classifier_config());
    std::vector<float> shaped = testbed::white_noise(4096, 0.1, 6);
    for (std::size_t i = 1; i < shaped.size(); ++i) shaped[i] += 0.9f * shaped[i - 1];  // more at low frequencies
    block.samples = shaped;
    sig::classify(*wide, block);
    EXPECT_GT(wide->floor_db[bin_of(300.0)], wide->floor_db[bin_of(2800.0)] + 6.0);
}

TEST(ClassifierSpectrum, TheFloorIsTheLowFifthOfEachSegmentHeldNearTheWholeBand) {
    sig::ClassifierConfig c = testbed::channel_classifier_config();
    c.low_hz = 500.0;
    c.high_hz = 600.0;  // one segment
    auto one = sig::init_classifier(c);
    one->frames_since_reset = 1;
    const std::vector<float> noise = testbed::white_noise(4096, 0.1, 12);
    std::copy(noise.begin(), noise.end(), one->frame_ring.begin());
    sig::update_classifier_spectrum(*one);
    std::vector<float> levels(one->averaged_db.begin() + one->lo_bin, one->averaged_db.begin() + one->hi_bin + 1);
    std::sort(levels.begin(), levels.end());
    const double fifth = levels[static_cast<std::size_t>(0.2 * static_cast<double>(levels.size() - 1))];
    EXPECT_NEAR(one->floor_db[700], fifth + 2.0, 1e-4);

    // A segment far above the rest of the band is held 6 dB above the whole band's low fifth.
    auto wide = sig::init_classifier(testbed::channel_classifier_config());
    wide->frames_since_reset = 1;
    std::vector<float> loud = testbed::white_noise(4096, 0.01, 13);
    for (std::size_t i = 0; i < loud.size(); ++i)
        for (double hz = 1410.0; hz < 1590.0; hz += 3.0)
            loud[i] += static_cast<float>(0.05 * std::cos(2.0 * std::numbers::pi * hz * i / 12000.0 + hz));
    std::copy(loud.begin(), loud.end(), wide->frame_ring.begin());
    sig::update_classifier_spectrum(*wide);
    std::vector<float> band(wide->averaged_db.begin() + wide->lo_bin, wide->averaged_db.begin() + wide->hi_bin + 1);
    std::sort(band.begin(), band.end());
    const double global = band[static_cast<std::size_t>(0.2 * static_cast<double>(band.size() - 1))];
    // The segment from lo_bin + 6 x 68 holds only the loud stretch.
    const int centre = (wide->lo_bin + 6 * 68 + wide->lo_bin + 7 * 68 - 1) / 2;
    EXPECT_NEAR(wide->floor_db[static_cast<std::size_t>(centre)], global + 8.0, 1e-4);
    EXPECT_GT(wide->averaged_db[static_cast<std::size_t>(centre)], global + 20.0);
}

TEST(ClassifierSpectrum, AStoppedSignalDecaysFast) {
    HandSpectrum h;
    h.bump(1000.0, 6.0, 40.0f);
    h.state->frames_since_reset = 8;  // alpha 0.25: r = 0.4 / 0.75
    sig::ClassifierState& s = *h.state;
    for (std::size_t k = 0; k < h.level.size(); ++k) {
        s.averaged_db[k] = h.level[k];
        s.averaged[k] = static_cast<float>(std::pow(10.0, h.level[k] / 10.0));
        s.power[k] = 1.0f;  // the present frame holds only the floor
        s.floor_db[k] = 0.0f;
        s.occupied[k] = h.level[k] >= 6.0f;
    }
    sig::find_detections(s);
    const std::size_t k = static_cast<std::size_t>(bin_of(1000.0));
    EXPECT_NEAR(s.averaged[k], 1.0 + (1e4 - 1.0) * 0.4 / 0.75, 1.0);
    EXPECT_NEAR(s.averaged_db[k], 10.0 * std::log10(s.averaged[k]), 1e-4);
}

}  // namespace
