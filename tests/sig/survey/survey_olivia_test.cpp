// Olivia calls on a survey as wide as a real one sees them: spectrum bins of about 190 Hz and
// passes of 16 ms, so the emitters are found within a few symbols of the calls' start and their
// decoders begin to listen inside the first block. The frequency the survey measures for an
// MFSK emitter swings with the tone it sends, by more than a bin. Every variant the classifier
// names must still be decoded in full, at its own frequency, and its call spotted.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "sig/survey/survey_engine.hpp"
#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/olivia_modulator.hpp"

namespace {

constexpr double kStart = 1714564800.0;  // 2024-05-01 12:00:00 UTC
constexpr double kCentre = 14100000.0;
constexpr int kRate = 96000;
// 96000 / 512: the bin of a 1.5 MS/s survey is 183 Hz, of a 2 MS/s one 244 Hz. Frames come
// every 2.7 ms as in the real survey.
constexpr int kFftSize = 512;
constexpr std::size_t kPass = 1536;  // 16 ms, a survey pass of a 2 MS/s capture

struct Call {
    int tones;
    double bandwidth_hz;
    const char* variant;
    const char* call;
    double dial_hz;
};

TEST(SurveyOlivia, DecodesEveryNamedVariantAtItsOwnFrequency) {
    const Call calls[] = {
        {4, 125.0, "4/125", "Q1AAA", 14070000.0},    {8, 250.0, "8/250", "Q2BBB", 14076000.0},
        {8, 500.0, "8/500", "Q3CCC", 14082000.0},    {16, 500.0, "16/500", "Q4DDD", 14088000.0},
        {32, 1000.0, "32/1000", "Q5EEE", 14094000.0},
    };
    std::vector<testbed::IqSynthSignal> signals;
    double seconds = 0.0;
    for (const Call& c : calls) {
        testbed::OliviaSignal s;
        s.tones = c.tones;
        s.bandwidth_hz = c.bandwidth_hz;
        std::vector<float> audio =
            testbed::modulate_olivia_text(std::string("CQ DE ") + c.call + " K\r", s, 1, 1);
        seconds = std::max(seconds, 1.0 + static_cast<double>(audio.size()) / 12000.0 + 3.0);
        signals.push_back({std::move(audio), c.dial_hz, 1.0});
    }
    testbed::IqSynthConfig synth;
    synth.center_hz = kCentre;
    synth.rate_hz = kRate;
    synth.duration_s = seconds;
    synth.add_noise = true;
    synth.snr_db = 20.0;
    const std::vector<std::complex<float>> iq = testbed::synthesize_iq(synth, signals);

    sig::SurveyEngine::Config config;
    config.rate = kRate;
    config.center_hz = kCentre;
    config.fft_size = kFftSize;
    sig::SurveyEngine engine(config);
    std::vector<sig::Event> events;
    for (std::size_t at = 0; at < iq.size(); at += kPass) {
        const std::size_t n = std::min(kPass, iq.size() - at);
        engine.process_block(iq.data() + at, n, kStart + static_cast<double>(at) / kRate);
        for (sig::Event& e : engine.take_events()) events.push_back(std::move(e));
    }
    engine.flush();
    for (sig::Event& e : engine.take_events()) events.push_back(std::move(e));

    for (const Call& c : calls) {
        const double rf_hz = c.dial_hz + 1500.0;
        std::string text;
        std::vector<std::string> spotted;
        for (const sig::Event& e : events) {
            if (std::fabs(e.rf_hz - rf_hz) > c.bandwidth_hz / 2.0) continue;
            // Whatever is heard of this call is heard as this variant, where it is sent.
            EXPECT_EQ(e.mode, sig::Mode::OLIVIA) << c.variant << ": " << e.text;
            EXPECT_EQ(e.variant, c.variant) << c.variant << ": " << e.text;
            EXPECT_NEAR(e.rf_hz, rf_hz, 30.0) << c.variant << ": " << e.text;
            if (e.kind == sig::EventKind::TEXT) text += e.text + "\n";
            if (e.kind == sig::EventKind::SPOT)
                for (const sig::CallEvidence& call : e.calls) spotted.push_back(call.call);
        }
        EXPECT_NE(text.find(std::string("CQ DE ") + c.call + " K"), std::string::npos) << c.variant << ": " << text;
        EXPECT_EQ(spotted, std::vector<std::string>{c.call}) << c.variant;
    }
}

}  // namespace
