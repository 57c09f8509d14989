// SSTV against weather charts: the line sync at 1200 Hz tells them apart, and the classifier names
// charts WEFAX but never an SSTV picture.

#include "sig/sstv_line_sync.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "sig/classifier.hpp"
#include "sig/classify_narrowband_emitter.hpp"
#include "sig/decide_wefax_variant.hpp"
#include "testbed/lib/classifier_run.hpp"
#include "testbed/lib/keyboard_transmission.hpp"
#include "testbed/lib/sstv_modulator.hpp"
#include "testbed/lib/test_signal.hpp"
#include "testbed/lib/wefax_modulator.hpp"

namespace {

// The first `seconds` of an SSTV transmission of the test picture (VIS header, then lines).
const std::vector<float>& sstv_start(const std::string& mode) {
    static std::map<std::string, std::vector<float>> made;
    std::vector<float>& audio = made[mode];
    if (audio.empty()) {
        const testbed::SstvGeometry g = testbed::sstv_geometry(mode);
        audio = testbed::modulate_sstv(mode, testbed::sstv_test_picture(g.width, g.height), testbed::SstvTransmitter{});
        audio.resize(12000 * 15);
    }
    return audio;
}

// A chart from its start tone (5 s), through phasing (5 s), into `lines` lines.
std::vector<float> wefax_chart(int lpm, int ioc, int lines) {
    testbed::WefaxTransmission t;
    t.lpm = lpm;
    t.ioc = ioc;
    t.start_tone_s = 5.0;
    t.phasing_s = 5.0;
    return testbed::modulate_wefax(testbed::wefax_test_chart(testbed::wefax_width(ioc), lines), t);
}

std::vector<float> window(const std::vector<float>& audio, double from_s, double seconds = 2.0) {
    const auto first = audio.begin() + static_cast<std::ptrdiff_t>(from_s * 12000.0);
    return {first, first + static_cast<std::ptrdiff_t>(seconds * 12000.0)};
}

std::vector<float> at_snr(std::vector<float> audio, double snr_db, std::uint64_t seed) {
    testbed::add_white_noise(audio, testbed::noise_rms_for_snr(testbed::mean_power(audio), snr_db), seed);
    return audio;
}

TEST(SstvLineSync, FoundInEverySstvModeAndInNoChart) {
    // Two seconds of picture, past the VIS header, at 6 dB, wherever the window falls on the lines.
    for (const std::string& mode : testbed::sstv_mode_names()) {
        const std::vector<float> picture = at_snr(sstv_start(mode), 6.0, 1);
        for (double from_s = 3.0; from_s <= 12.0; from_s += 0.5) {
            const std::vector<float> audio = window(picture, from_s);
            EXPECT_TRUE(sig::shows_sstv_sync(audio.data(), audio.size())) << mode << " from " << from_s << " s";
        }
    }
    // A chart at 6 dB: the start tone (its 675 Hz pattern has a steady line at 1225 Hz, the
    // 300 Hz pattern one at 1300 Hz), the start tone running into phasing (a quarter of the
    // window still holds the line), phasing, the chart itself, and silence before a start tone.
    struct Stretch {
        const char* name;
        int ioc;
        double from_s;
    };
    const std::map<int, std::vector<float>> charts{{288, wefax_chart(120, 288, 10)}, {576, wefax_chart(120, 576, 10)}};
    for (const std::uint64_t seed : {1u, 2u, 3u}) {
        for (const Stretch& s : {Stretch{"start_tone_675", 288, 1.0}, Stretch{"start_tone_300", 576, 1.0},
                                 Stretch{"start_tone_675_into_phasing", 288, 4.5},
                                 Stretch{"start_tone_300_into_phasing", 576, 4.5}, Stretch{"phasing", 576, 7.0},
                                 Stretch{"chart", 576, 12.0}, Stretch{"chart_288", 288, 12.0}}) {
            const std::vector<float> audio = at_snr(window(charts.at(s.ioc), s.from_s), 6.0, seed);
            EXPECT_FALSE(sig::shows_sstv_sync(audio.data(), audio.size())) << s.name << " seed " << seed;
        }
        const std::vector<float> tone = window(charts.at(576), 0.0, 0.5);
        const std::vector<float> audio =
            window(testbed::noisy_transmission(tone, testbed::mean_power(tone), 6.0, seed, 1.5), 0.0);
        EXPECT_FALSE(sig::shows_sstv_sync(audio.data(), audio.size())) << "silence then start tone, seed " << seed;
    }
}

TEST(SstvLineSync, MeasuresTheShareOfTimeAtTheSyncFrequency) {
    // A 1900 Hz tone that steps to 1200 Hz at the start of every 0.4 s (phase continuous): the
    // share follows the pulses' share of the time; a 1 ms step is a click, no sync.
    const auto pulsed = [](double pulse_ms) {
        std::vector<float> audio(12000 * 2);
        double phase = 0.0;
        for (std::size_t i = 0; i < audio.size(); ++i) {
            const double in_period_ms = static_cast<double>(i % 4800) / 12.0;
            phase += 2.0 * 3.141592653589793 * (in_period_ms < pulse_ms ? 1200.0 : 1900.0) / 12000.0;
            audio[i] = static_cast<float>(0.5 * std::cos(phase));
        }
        return audio;
    };
    for (const double pulse_ms : {5.0, 10.0, 20.0}) {
        const std::vector<float> audio = pulsed(pulse_ms);
        const double share = sig::sstv_sync_share(audio.data(), audio.size());
        EXPECT_GT(share, 0.7 * pulse_ms / 400.0) << pulse_ms;
        EXPECT_LT(share, 1.1 * pulse_ms / 400.0) << pulse_ms;
    }
    const std::vector<float> clicks = pulsed(1.0);
    EXPECT_EQ(sig::sstv_sync_share(clicks.data(), clicks.size()), 0.0);
    EXPECT_EQ(sig::sstv_sync_share(clicks.data(), 383), 0.0);
}

TEST(SstvLineSync, NoFacsimileTestTakesAPictureForAChart) {
    // PD 90 fills the band with a steady envelope as a chart does; each way to name WEFAX (the
    // filled band, a start pattern, a keyed signal at 1900 Hz) must see its sync.
    auto state = sig::init_classifier(testbed::channel_classifier_config());
    const std::vector<float> audio = at_snr(window(sstv_start("PD90"), 4.0), 20.0, 1);
    for (const sig::GroupKind kind : {sig::GroupKind::IMAGE_BAND, sig::GroupKind::WEFAX_TONES}) {
        sig::ClassifierTrack t;
        t.kind = kind;
        t.audio_hz = 1900.0;
        t.bandwidth_hz = 800.0;
        t.spacing_hz = kind == sig::GroupKind::WEFAX_TONES ? 300.0 : 0.0;
        double floor = 0.0;
        sig::decide_wefax_variant(*state, t, audio.data(), audio.size(), floor);
        EXPECT_NE(t.mode, sig::Mode::WEFAX) << static_cast<int>(kind);
    }
    EXPECT_FALSE(sig::keyed_facsimile(1900.0, audio.data(), audio.size()));
    // The same measures on a chart name it.
    const std::vector<float> chart = at_snr(window(wefax_chart(120, 576, 10), 12.0), 20.0, 1);
    EXPECT_TRUE(sig::keyed_facsimile(1900.0, chart.data(), chart.size()));
}

// --- Through the classifier -----------------------------------------------------------------------

testbed::ClassifierRun classify(const std::vector<float>& burst, double snr_db, std::uint64_t seed) {
    return testbed::run_classifier(testbed::noisy_transmission(burst, testbed::mean_power(burst), snr_db, seed),
                                   testbed::channel_classifier_config());
}

TEST(PicturesInTheClassifier, NoSstvModeStartsAWefaxModem) {
    for (const std::string& mode : testbed::sstv_mode_names()) {
        for (const double snr : {20.0, 10.0}) {
            const testbed::ClassifierRun run = classify(sstv_start(mode), snr, 1);
            for (const testbed::ClassifiedTrack* t : testbed::modem_tracks(run))
                EXPECT_NE(t->last.mode, sig::Mode::WEFAX) << mode << " at " << snr << " dB, track " << t->last.track;
        }
    }
}

TEST(PicturesInTheClassifier, ChartsAtEverySpeedAreNamedWefax) {
    struct Chart {
        int lpm;
        int ioc;
        double from_s;  // where the recording joins the transmission: 0 at the start tone, 12 in the chart
    };
    for (const Chart& c : {Chart{60, 576, 0.0}, Chart{90, 576, 0.0}, Chart{120, 576, 0.0}, Chart{240, 576, 0.0},
                           Chart{120, 288, 0.0}, Chart{60, 576, 12.0}, Chart{120, 288, 12.0}, Chart{240, 576, 12.0}}) {
        const std::vector<float> chart = window(wefax_chart(c.lpm, c.ioc, c.lpm / 4 + 2), c.from_s, 8.0);
        for (const double snr : {20.0, 10.0}) {
            const testbed::ClassifierRun run = classify(chart, snr, 2);
            const testbed::ClassifiedTrack* t = testbed::classified_near(run, 1900.0, 50.0);
            const std::string what = std::to_string(c.lpm) + "/" + std::to_string(c.ioc) + " from " +
                                     std::to_string(c.from_s) + " s at " + std::to_string(snr) + " dB";
            ASSERT_NE(t, nullptr) << what;
            EXPECT_EQ(t->last.mode, sig::Mode::WEFAX) << what;
        }
    }
}

}  // namespace
