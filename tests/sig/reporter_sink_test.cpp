#include "sig/reporter_sink.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "report/psk_collector_link.hpp"
#include "tests/report/psk_test_harness.hpp"
#include "tests/support/ipfix_reader.hpp"
#include "tests/support/udp_collector.hpp"

namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

sig::Event spot_event(const std::string& call = "Q1ABC", sig::Mode mode = sig::Mode::PSK31) {
    sig::Event e;
    e.kind = sig::EventKind::SPOT;
    e.mode = mode;
    e.t = harness_start_s + 0.75;
    e.rf_hz = 14071500.0;
    e.snr = 12.4;
    e.call = call;
    e.conf = 0.95f;
    e.calls = {{call, "FN42", 0.95f, "DE"}};
    return e;
}

// "CALL GRID FREQUENCY TIME SNR MODE", or "refused".
std::string describe(const std::optional<PskSpot>& spot) {
    if (!spot) return "refused";
    return spot->sender_call + " " + (spot->sender_grid.empty() ? "-" : spot->sender_grid) + " " +
           std::to_string(spot->frequency_hz) + " " + std::to_string(spot->time) + " " + std::to_string(spot->snr) +
           " " + spot->mode;
}

struct SpotCase {
    const char* name;
    sig::Event event;
    const char* expected;
};

void PrintTo(const SpotCase& c, std::ostream* os) { *os << c.name; }

sig::Event with(sig::Event e, auto&& change) {
    change(e);
    return e;
}

class AnalysisSpots : public ::testing::TestWithParam<SpotCase> {};

TEST_P(AnalysisSpots, BecomeReporterSpotsOnlyWhenSane) {
    EXPECT_EQ(describe(sig::make_analysis_spot(GetParam().event)), GetParam().expected);
}

const std::string t0 = std::to_string(harness_start_s);

INSTANTIATE_TEST_SUITE_P(
    Table, AnalysisSpots,
    ::testing::Values(
        SpotCase{"psk31", spot_event(), "Q1ABC FN42 14071500 1700000000 12 PSK31"},
        SpotCase{"qpsk31_is_sent_as_psk31", spot_event("Q1ABC", sig::Mode::QPSK31), "Q1ABC FN42 14071500 1700000000 12 PSK31"},
        SpotCase{"psk63", spot_event("Q1ABC", sig::Mode::PSK63), "Q1ABC FN42 14071500 1700000000 12 PSK63"},
        SpotCase{"rtty", spot_event("Q1ABC", sig::Mode::RTTY), "Q1ABC FN42 14071500 1700000000 12 RTTY"},
        SpotCase{"olivia", spot_event("Q1ABC", sig::Mode::OLIVIA), "Q1ABC FN42 14071500 1700000000 12 OLIVIA"},
        SpotCase{"cw", spot_event("Q1ABC", sig::Mode::CW), "Q1ABC FN42 14071500 1700000000 12 CW"},
        SpotCase{"jtty", spot_event("Q1ABC", sig::Mode::JTTY), "Q1ABC FN42 14071500 1700000000 12 JTTY"},
        SpotCase{"wefax", spot_event("Q1ABC", sig::Mode::WEFAX), "refused"},
        SpotCase{"sstv", spot_event("Q1ABC", sig::Mode::SSTV), "refused"},
        SpotCase{"unknown_mode", spot_event("Q1ABC", sig::Mode::UNKNOWN), "refused"},
        SpotCase{"mode_out_of_range", spot_event("Q1ABC", static_cast<sig::Mode>(10)), "refused"},
        SpotCase{"text_event", with(spot_event(), [](sig::Event& e) { e.kind = sig::EventKind::TEXT; }), "refused"},
        SpotCase{"conf_079", with(spot_event(), [](sig::Event& e) { e.conf = 0.79f; }), "refused"},
        SpotCase{"conf_08", with(spot_event(), [](sig::Event& e) { e.conf = 0.8f; }),
                 "Q1ABC FN42 14071500 1700000000 12 PSK31"},
        SpotCase{"conf_nan", with(spot_event(), [](sig::Event& e) { e.conf = std::nanf(""); }), "refused"},
        SpotCase{"no_call", with(spot_event(), [](sig::Event& e) { e.call.clear(); }), "refused"},
        SpotCase{"rf_below_one_hertz", with(spot_event(), [](sig::Event& e) { e.rf_hz = 0.4; }), "refused"},
        SpotCase{"rf_one_hertz", with(spot_event(), [](sig::Event& e) { e.rf_hz = 1.0; }),
                 "Q1ABC FN42 1 1700000000 12 PSK31"},
        SpotCase{"rf_half_rounds_up", with(spot_event(), [](sig::Event& e) { e.rf_hz = 2.5; }),
                 "Q1ABC FN42 3 1700000000 12 PSK31"},
        SpotCase{"rf_top", with(spot_event(), [](sig::Event& e) { e.rf_hz = 4294967295.0; }),
                 "Q1ABC FN42 4294967295 1700000000 12 PSK31"},
        SpotCase{"rf_beyond_32_bits", with(spot_event(), [](sig::Event& e) { e.rf_hz = 4294967296.0; }), "refused"},
        SpotCase{"rf_nan", with(spot_event(), [](sig::Event& e) { e.rf_hz = kNan; }), "refused"},
        SpotCase{"time_negative", with(spot_event(), [](sig::Event& e) { e.t = -0.5; }), "refused"},
        SpotCase{"time_zero", with(spot_event(), [](sig::Event& e) { e.t = 0.0; }), "Q1ABC FN42 14071500 0 12 PSK31"},
        SpotCase{"time_top", with(spot_event(), [](sig::Event& e) { e.t = 4294967295.0; }),
                 "Q1ABC FN42 14071500 4294967295 12 PSK31"},
        SpotCase{"time_absurd", with(spot_event(), [](sig::Event& e) { e.t = 1e30; }), "refused"},
        SpotCase{"time_infinite", with(spot_event(), [](sig::Event& e) { e.t = kInf; }), "refused"},
        SpotCase{"snr_below_range", with(spot_event(), [](sig::Event& e) { e.snr = -140.2; }),
                 "Q1ABC FN42 14071500 1700000000 -128 PSK31"},
        SpotCase{"snr_half_rounds_away", with(spot_event(), [](sig::Event& e) { e.snr = 12.5; }),
                 "Q1ABC FN42 14071500 1700000000 13 PSK31"},
        SpotCase{"snr_negative_half", with(spot_event(), [](sig::Event& e) { e.snr = -12.5; }),
                 "Q1ABC FN42 14071500 1700000000 -13 PSK31"},
        SpotCase{"snr_huge", with(spot_event(), [](sig::Event& e) { e.snr = 1e300; }),
                 "Q1ABC FN42 14071500 1700000000 127 PSK31"},
        SpotCase{"snr_infinite", with(spot_event(), [](sig::Event& e) { e.snr = kInf; }), "refused"},
        SpotCase{"grid_only_from_the_same_call", with(spot_event(), [](sig::Event& e) {
                     e.calls = {{"Q2XYZ", "JO22", 0.3f, "BARE"}, {"Q1ABC", "", 0.95f, "DE"}, {"Q1ABC", "IO91", 0.95f, "DE"}};
                 }),
                 "Q1ABC IO91 14071500 1700000000 12 PSK31"},
        SpotCase{"empty_grid", with(spot_event(), [](sig::Event& e) { e.calls = {{"Q1ABC", "", 0.95f, "DE"}}; }),
                 "Q1ABC - 14071500 1700000000 12 PSK31"}),
    [](const ::testing::TestParamInfo<SpotCase>& info) { return std::string(info.param.name); });

TEST(ReporterSink, CountsOnlySpotEvents) {
    sig::ReporterSink without(nullptr);
    sig::Event text = spot_event();
    text.kind = sig::EventKind::TEXT;
    sig::Event detected = spot_event();
    detected.kind = sig::EventKind::DETECTED;
    without.on_event({}, text);
    without.on_event({}, detected);
    EXPECT_EQ(without.accepted(), 0u);
    EXPECT_EQ(without.rejected(), 0u);
    without.on_event({}, spot_event());  // no reporter: refused
    EXPECT_EQ(without.rejected(), 1u);
    EXPECT_EQ(without.accepted(), 0u);
}

class ReporterSinkDelivery : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "getaddrinfo_a's resolver threads cannot run under ThreadSanitizer";
#endif
    }
};

TEST_F(ReporterSinkDelivery, SpotsReachARealCollectorOnceEach) {
    UdpCollector collector;
    PskCollectorLink link("127.0.0.1", std::to_string(collector.port()));
    PskClocks clocks;
    auto reporter = std::make_shared<PskReporter>(
        "K1RX", "FN31", [&](const std::vector<unsigned char>& bytes) { link.send(bytes, nullptr); }, an_hour,
        PskReporter::SentHook{}, clocks.policy());
    sig::ReporterSink sink(reporter);

    sink.on_event({}, spot_event("Q1ABC"));
    sink.on_event({}, spot_event("Q1ABC"));  // a repeat: the reporter drops it, the sink counts it
    sig::Event rtty = spot_event("Q2XYZ", sig::Mode::RTTY);
    rtty.rf_hz = 14083000.0;
    rtty.snr = -140.0;
    rtty.calls = {{"Q2XYZ", "", 0.9f, "CQ"}};
    sink.on_event({}, rtty);
    sig::Event cw = spot_event("Q3DEF/P", sig::Mode::CW);
    cw.rf_hz = 7030100.4;
    cw.calls = {{"Q3DEF/P", "JO22", 0.9f, "CQ"}};
    sink.on_event({}, cw);
    sink.on_event({}, spot_event("Q4GHI", sig::Mode::SSTV));  // refused here
    EXPECT_EQ(sink.accepted(), 4u);
    EXPECT_EQ(sink.rejected(), 1u);
    reporter->stop();

    std::vector<PskSpot> spots;
    for (const auto& datagram : collector.receive_all()) {
        const IpfixMessage message = read_ipfix_message(datagram);
        EXPECT_EQ(message.receiver_call, "K1RX");
        spots.insert(spots.end(), message.spots.begin(), message.spots.end());
    }
    std::vector<std::string> got;
    for (const PskSpot& spot : spots) got.push_back(describe(spot));
    EXPECT_EQ(got, (std::vector<std::string>{"Q1ABC FN42 14071500 1700000000 12 PSK31",
                                             "Q2XYZ - 14083000 1700000000 -128 RTTY",
                                             "Q3DEF/P JO22 7030100 1700000000 12 CW"}));
}

}  // namespace
