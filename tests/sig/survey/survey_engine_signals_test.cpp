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

SurveyRun survey(const std::vector<std::complex<float>>& iq, std::size_t block) {
    sig::SurveyEngine::Config config;
    config.rate = kRate;
    config.center_hz = kCentre;
    sig::SurveyEngine engine(config);
    SurveyRun run;
    for (std::size_t at = 0; at < iq.size(); at += block) {
        const std::size_t n = std::min(block, iq.size() - at);
        engine.process_block(iq.data() + at, n, kStart + static_cast<double>(at) / kRate);
        for (sig::Event& e : engine.take_events()) run.events.push_back(std::move(e));
        run.last_reports = engine.emitters();
        run.all_reports.insert(run.all_reports.end(), run.last_reports.begin(), run.last_reports.end());
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

INSTANTIATE_TEST_SUITE_P(BlockSizes, SurveyEngineSignals, ::testing::Values(std::size_t{32768}, std::size_t{5000}),
                         [](const auto& info) { return "block_" + std::to_string(info.param); });

}  // namespace
