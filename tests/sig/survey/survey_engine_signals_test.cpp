// The survey engine on a synthetic capture: a carrier, a CW call and a PSK31 call in noise,
// made by our own keyer and modulator and placed in IQ as upper-sideband transmissions. The
// engine must find all three, decode the two calls and report them inside the amateur band.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <string>
#include <vector>

#include "core/sig/signal_class.hpp"
#include "sig/survey/survey_engine.hpp"
#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/rtty_modulator.hpp"

namespace {

constexpr double kStart = 1714564800.0;  // 2024-05-01 12:00:00 UTC
constexpr double kCentre = 14100000.0;
constexpr int kRate = 96000;

std::string repeated(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

std::vector<float> tone(double hz, double seconds, double amplitude) {
    std::vector<float> out(static_cast<std::size_t>(seconds * 12000.0));
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<float>(amplitude * std::sin(2.0 * M_PI * hz * static_cast<double>(i) / 12000.0));
    return out;
}

struct SurveyRun {
    std::vector<sig::Event> events;
    std::vector<sig::EmitterReport> last_reports;
    std::vector<sig::EmitterReport> all_reports;  // every report seen, latest per id last
};

// The engine with its default settings over the capture; with `stop` the survey then stops as
// the runner stops it.
SurveyRun survey(const std::vector<std::complex<float>>& iq, std::size_t block, bool stop = false, int rate = kRate,
                 int fft_size = 8192) {
    sig::SurveyEngine::Config config;
    config.rate = rate;
    config.center_hz = kCentre;
    config.fft_size = fft_size;
    sig::SurveyEngine engine(config);
    SurveyRun run;
    for (std::size_t at = 0; at < iq.size(); at += block) {
        const std::size_t n = std::min(block, iq.size() - at);
        engine.process_block(iq.data() + at, n, kStart + static_cast<double>(at) / rate);
        for (sig::Event& e : engine.take_events()) run.events.push_back(std::move(e));
        run.last_reports = engine.emitters();
        run.all_reports.insert(run.all_reports.end(), run.last_reports.begin(), run.last_reports.end());
    }
    if (stop) {
        engine.flush();
        for (sig::Event& e : engine.take_events()) run.events.push_back(std::move(e));
    }
    return run;
}

std::string text_near(const SurveyRun& run, double rf_hz, sig::Mode mode) {
    std::string text;
    for (const sig::Event& e : run.events)
        if (e.kind == sig::EventKind::TEXT && e.mode == mode && std::fabs(e.rf_hz - rf_hz) < 50.0) text += e.text + "\n";
    return text;
}

class SurveyEngineSignals : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SurveyEngineSignals, FindsACarrierAndDecodesCwAndPsk31) {
    testbed::PskSignal psk;
    psk.carrier_hz = 1000.0;
    testbed::CwKeying cw;
    cw.tone_hz = 800.0;
    // The calls end well before the capture, so their last lines are finished while the
    // emitters are still followed.
    const double seconds = 36.0;
    std::vector<testbed::IqSynthSignal> signals = {
        {testbed::modulate_psk_text(repeated("CQ CQ DE Q1ABC Q1ABC PSE K\n", 3), psk), 14080000.0, 1.0},
        {testbed::key_text(repeated("CQ CQ DE Q3DEF Q3DEF K ", 2), cw), 14060000.0, 1.0},
        {tone(1000.0, seconds, 0.5), 14110000.0, 0.0},
    };
    testbed::IqSynthConfig synth;
    synth.center_hz = kCentre;
    synth.rate_hz = kRate;
    synth.duration_s = seconds;
    synth.add_noise = true;
    synth.snr_db = 20.0;
    const SurveyRun run = survey(testbed::synthesize_iq(synth, signals), GetParam());

    EXPECT_NE(text_near(run, 14081000.0, sig::Mode::PSK31).find("CQ CQ DE Q1ABC Q1ABC PSE K"), std::string::npos);
    EXPECT_NE(text_near(run, 14060800.0, sig::Mode::CW).find("CQ CQ DE Q3DEF Q3DEF K"), std::string::npos);
    // Nothing else was decoded, and each call was spotted once.
    std::vector<std::string> spotted;
    for (const sig::Event& e : run.events) {
        const bool psk = std::fabs(e.rf_hz - 14081000.0) < 50.0 && e.mode == sig::Mode::PSK31;
        const bool cw = std::fabs(e.rf_hz - 14060800.0) < 50.0 && e.mode == sig::Mode::CW;
        EXPECT_TRUE(psk || cw) << e.rf_hz << " " << sig::mode_name(e.mode) << ": " << e.text;
        if (e.kind == sig::EventKind::SPOT)
            for (const sig::CallEvidence& c : e.calls) spotted.push_back(c.call);
    }
    EXPECT_EQ(spotted, (std::vector<std::string>{"Q1ABC", "Q3DEF"}));

    // While they were decoded both calls were reported with their locked mode, inside 20 m.
    const auto reported_as = [&](double rf_hz, sig::Mode mode) {
        for (const sig::EmitterReport& r : run.all_reports)
            if (std::fabs(r.rf_hz - rf_hz) < 50.0 && r.locked && r.mode == static_cast<std::uint32_t>(mode) &&
                r.category == 0 && r.decoding)
                return true;
        return false;
    };
    EXPECT_TRUE(reported_as(14081000.0, sig::Mode::PSK31));
    EXPECT_TRUE(reported_as(14060800.0, sig::Mode::CW));

    // At the end only the carrier is left: the calls left the list once they stopped.
    ASSERT_EQ(run.last_reports.size(), 1u);
    const sig::EmitterReport& carrier = run.last_reports.front();
    EXPECT_NEAR(carrier.rf_hz, 14111000.0, 20.0);
    EXPECT_LT(carrier.bw_hz, 120.0);
    EXPECT_EQ(carrier.signal_class, static_cast<std::uint32_t>(sig::SignalClass::CARRIER));
    EXPECT_EQ(carrier.category, 0u);
    EXPECT_EQ(carrier.mode, 0u);
    EXPECT_TRUE(carrier.steady);
}

// A PSK31 call under way when its decoder is let go: sixteen stronger carriers come on the air
// (the default cap is 16 decoders), or the survey stops. Whatever the decoder had copied comes
// out as text, from the call's first characters on: its modem heard the call from its start.
TEST(SurveyEngineText, EveryDecoderThatLockedDeliversItsTextFromTheFirstCharacters) {
    struct Case {
        const char* name;
        double carriers_from_s;  // 0: none
        double seconds;          // of capture
    };
    for (const Case& c : {Case{"sixteen_stronger_signals_arrive", 8.0, 10.0}, Case{"the_survey_stops", 0.0, 8.5}}) {
        testbed::PskSignal psk;
        psk.carrier_hz = 1000.0;
        psk.amplitude = 0.2;
        const std::string call = "CQ CQ DE Q1ABC Q1ABC PSE K CQ CQ DE Q1ABC Q1ABC PSE K";
        std::vector<testbed::IqSynthSignal> signals = {
            {testbed::modulate_psk_text(call, psk), 14080000.0, 0.5}};
        for (int i = 0; c.carriers_from_s > 0.0 && i < 16; ++i)
            signals.push_back({tone(1000.0, c.seconds, 0.5), 14061250.0 + 2500.0 * i, c.carriers_from_s});
        testbed::IqSynthConfig synth;
        synth.center_hz = kCentre;
        synth.rate_hz = kRate;
        synth.duration_s = c.seconds;
        synth.add_noise = true;
        synth.snr_db = 20.0;
        const SurveyRun run = survey(testbed::synthesize_iq(synth, signals), 32768, true);

        bool locked = false;
        for (const sig::EmitterReport& r : run.all_reports)
            locked = locked || (std::fabs(r.rf_hz - 14081000.0) < 50.0 && r.locked);
        EXPECT_TRUE(locked) << c.name;
        const std::string text = text_near(run, 14081000.0, sig::Mode::PSK31);
        EXPECT_EQ(text.rfind("CQ CQ DE Q1ABC", 0), 0u) << c.name << ": " << text;
        if (c.carriers_from_s > 0.0) {
            // The carriers did take the decoders.
            EXPECT_FALSE(run.last_reports.empty());
            for (const sig::EmitterReport& r : run.last_reports)
                if (std::fabs(r.rf_hz - 14081000.0) < 50.0) {
                    EXPECT_FALSE(r.decoding) << c.name;
                }
        }
    }
}

// A neighbour's audio reaches 3800 Hz either side of it, so a call below it by more than the
// 1500 Hz that put the neighbour at 1500 Hz would sit on the wrong side of the audio's 0 Hz and
// come back as a mirror image, heard at a frequency where nobody sends. The call is decoded at
// its own frequency only, and spotted once.
TEST(SurveyEngineText, ACallBelowANeighbourIsNotDecodedAsItsMirrorImage) {
    for (const double below_hz : {3700.0, 2600.0}) {
        testbed::PskSignal psk;
        psk.carrier_hz = 1000.0;
        const double seconds = 22.0;
        std::vector<testbed::IqSynthSignal> signals = {
            {testbed::modulate_psk_text(repeated("CQ CQ DE Q2DEF Q2DEF PSE K\n", 2), psk), 14080000.0, 1.0},
            {tone(1000.0, seconds, 0.5), 14080000.0 + below_hz, 0.0},
        };
        testbed::IqSynthConfig synth;
        synth.center_hz = kCentre;
        synth.rate_hz = kRate;
        synth.duration_s = seconds;
        synth.add_noise = true;
        synth.snr_db = 20.0;
        const SurveyRun run = survey(testbed::synthesize_iq(synth, signals), 32768, true);

        std::vector<std::string> spotted;
        for (const sig::Event& e : run.events) {
            EXPECT_NEAR(e.rf_hz, 14081000.0, 50.0) << below_hz << " Hz: " << sig::mode_name(e.mode) << ": " << e.text;
            if (e.kind == sig::EventKind::SPOT)
                for (const sig::CallEvidence& c : e.calls) spotted.push_back(c.call);
        }
        EXPECT_EQ(spotted, std::vector<std::string>{"Q2DEF"}) << below_hz << " Hz";
        bool neighbour_decoded = false;
        for (const sig::EmitterReport& r : run.all_reports)
            neighbour_decoded = neighbour_decoded || (std::fabs(r.rf_hz - 14081000.0 - below_hz) < 50.0 && r.decoding);
        EXPECT_TRUE(neighbour_decoded) << below_hz << " Hz: the neighbour never had a decoder";
    }
}

// The spectrum bins of a 2 MS/s survey are 244 Hz wide: an 850 Hz RTTY signal is a few bins,
// its emitter's centre may be a bin off, and its audio holds both tones well away from 1500 Hz.
// Bins of 234 Hz (512 points at 120 kHz) make the same picture at a small cost.
TEST(SurveyEngineText, RttyOf850HzShiftLocksAndCopiesInCoarseBins) {
    testbed::RttySignal rtty;
    rtty.baud = 75.0;
    rtty.shift_hz = 850.0;
    rtty.centre_hz = 1500.0;
    rtty.amplitude = 0.3;
    const std::string call = "CQ CQ DE Q4RTY Q4RTY PSE K\nCQ CQ DE Q4RTY Q4RTY PSE K\n";
    std::vector<testbed::IqSynthSignal> signals = {{testbed::modulate_rtty_text(call, rtty), 14120000.0, 0.5}};
    testbed::IqSynthConfig synth;
    synth.center_hz = kCentre;
    synth.rate_hz = 120000;
    synth.duration_s = 9.0;
    synth.add_noise = true;
    synth.snr_db = 24.0;
    const SurveyRun run = survey(testbed::synthesize_iq(synth, signals), 4096, true, 120000, 512);
    bool locked = false;
    for (const sig::EmitterReport& r : run.all_reports)
        locked = locked || (std::fabs(r.rf_hz - 14121500.0) < 500.0 && r.locked && r.mode == 4u);
    EXPECT_TRUE(locked);
    std::string text;
    for (const sig::Event& e : run.events)
        if (e.kind == sig::EventKind::TEXT && e.mode == sig::Mode::RTTY) text += e.text + "\n";
    EXPECT_NE(text.find("CQ CQ DE Q4RTY Q4RTY PSE K"), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, SurveyEngineSignals, ::testing::Values(std::size_t{32768}, std::size_t{5000}),
                         [](const auto& info) { return "block_" + std::to_string(info.param); });

}  // namespace
