#include "sig/sig_line.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "sig/stderr_sink.hpp"

namespace {

constexpr double kNoon = 1714564800.75;  // 2024-05-01 12:00:00.75 UTC

sig::ChannelInfo channel(const std::string& id = "psk20") {
    sig::ChannelInfo c;
    c.channel = id;
    c.receiver = "rx";
    c.dial_hz = 14069500.0;
    return c;
}

sig::Event event(sig::EventKind kind, sig::Mode mode = sig::Mode::PSK31) {
    sig::Event e;
    e.kind = kind;
    e.mode = mode;
    e.t = kNoon;
    e.rf_hz = 14071500.0;
    e.audio_hz = 2000.0;
    e.bw_hz = 62.4;
    e.snr = 12.34;
    e.track = 3;
    return e;
}

std::string line(const sig::Event& e, const std::string& id = "psk20") {
    return sig::format_sig_line(channel(id), e, e.text);
}

struct LineCase {
    const char* name;
    sig::Event event;
    const char* expected;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

sig::Event with(sig::Event e, auto&& change) {
    change(e);
    return e;
}

class SigLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(SigLines, PrintEveryFieldOfItsKind) { EXPECT_EQ(line(GetParam().event), GetParam().expected); }

const std::string head = "SIG PSK31 240501_120000 14.071500 MHz: ";

INSTANTIATE_TEST_SUITE_P(
    Table, SigLines,
    ::testing::Values(
        LineCase{"detected", event(sig::EventKind::DETECTED),
                 "SIG PSK31 240501_120000 14.071500 MHz: detected track=3 ch=psk20 bw=62 snr=12.3"},
        LineCase{"lost", event(sig::EventKind::LOST), "SIG PSK31 240501_120000 14.071500 MHz: lost track=3 ch=psk20"},
        LineCase{"text_with_calls", with(event(sig::EventKind::TEXT),
                                         [](sig::Event& e) {
                                             e.text = "Q2XYZ DE Q1ABC";
                                             e.calls = {{"Q2XYZ", "", 0.3f, "ADDRESSEE"},
                                                        {"", "FN42", 0.5f, "BARE"},
                                                        {"Q1ABC", "FN42", 0.95f, "DE"}};
                                         }),
                 "SIG PSK31 240501_120000 14.071500 MHz: text track=3 ch=psk20 snr=12.3 text=\"Q2XYZ DE Q1ABC\" "
                 "calls=Q2XYZ:0.30,Q1ABC:0.95"},
        LineCase{"text_escaped", with(event(sig::EventKind::TEXT),
                                      [](sig::Event& e) { e.text = "a\nb\"c\\d\x7F" "caf\xC3\xA9"; }),
                 "SIG PSK31 240501_120000 14.071500 MHz: text track=3 ch=psk20 snr=12.3 "
                 "text=\"a\\x0Ab\\\"c\\\\d\\x7F" "caf\xC3\xA9\""},
        LineCase{"spot_with_grid", with(event(sig::EventKind::SPOT),
                                        [](sig::Event& e) {
                                            e.call = "Q1ABC";
                                            e.conf = 0.95f;
                                            e.calls = {{"Q1ABC", "FN42", 0.95f, "DE"}};
                                        }),
                 "SIG PSK31 240501_120000 14.071500 MHz: spot track=3 ch=psk20 call=Q1ABC conf=0.95 snr=12.3 grid=FN42"},
        LineCase{"spot_without_grid", with(event(sig::EventKind::SPOT),
                                           [](sig::Event& e) {
                                               e.call = "Q1A,B:C";
                                               e.conf = 0.9f;
                                               e.calls = {{"Q1ABC", "", 0.9f, "CQ"}};
                                           }),
                 "SIG PSK31 240501_120000 14.071500 MHz: spot track=3 ch=psk20 call=Q1ABC conf=0.90 snr=12.3"},
        LineCase{"wefax_start", with(event(sig::EventKind::WEFAX_START, sig::Mode::WEFAX),
                                     [](sig::Event& e) {
                                         e.variant = "120/576";
                                         e.lpm = 120;
                                         e.ioc = 576;
                                     }),
                 "SIG WEFAX-120/576 240501_120000 14.071500 MHz: wefax-start track=3 ch=psk20 lpm=120 ioc=576"},
        LineCase{"wefax_progress", with(event(sig::EventKind::WEFAX_PROGRESS, sig::Mode::WEFAX),
                                        [](sig::Event& e) { e.lines = 50; }),
                 "SIG WEFAX 240501_120000 14.071500 MHz: wefax-progress track=3 ch=psk20 lines=50"},
        LineCase{"picture_saved", with(event(sig::EventKind::WEFAX_IMAGE, sig::Mode::SSTV),
                                       [](sig::Event& e) {
                                           e.variant = "PD120";
                                           e.lines = -1;
                                           e.text = "/pics/a \"b\".png";
                                       }),
                 "SIG SSTV-PD120 240501_120000 14.071500 MHz: wefax-image track=3 ch=psk20 lines=-1 "
                 "path=\"/pics/a \\\"b\\\".png\""},
        LineCase{"wefax_stop", with(event(sig::EventKind::WEFAX_STOP, sig::Mode::WEFAX),
                                    [](sig::Event& e) { e.lines = 0; }),
                 "SIG WEFAX 240501_120000 14.071500 MHz: wefax-stop track=3 ch=psk20 lines=0"},
        LineCase{"updated", event(sig::EventKind::UPDATED),
                 "SIG PSK31 240501_120000 14.071500 MHz: updated track=3 ch=psk20 bw=62 snr=12.3"},
        LineCase{"unknown_kind", with(event(sig::EventKind::DETECTED), [](sig::Event& e) {
                     e.kind = static_cast<sig::EventKind>(42);
                 }),
                 "SIG PSK31 240501_120000 14.071500 MHz: unknown track=3 ch=psk20"},
        LineCase{"not_finite_numbers", with(event(sig::EventKind::DETECTED), [](sig::Event& e) {
                     e.rf_hz = std::numeric_limits<double>::quiet_NaN();
                     e.bw_hz = std::numeric_limits<double>::infinity();
                     e.snr = -std::numeric_limits<double>::infinity();
                     e.track = 4294967295u;
                 }),
                 "SIG PSK31 240501_120000 0.000000 MHz: detected track=4294967295 ch=psk20 bw=0 snr=0.0"},
        LineCase{"rtty_variant", with(event(sig::EventKind::LOST, sig::Mode::RTTY),
                                      [](sig::Event& e) { e.variant = "45.45/170"; }),
                 "SIG RTTY-45.45/170 240501_120000 14.071500 MHz: lost track=3 ch=psk20"},
        LineCase{"variant_blanks_removed", with(event(sig::EventKind::LOST, sig::Mode::OLIVIA),
                                                [](sig::Event& e) { e.variant = " 32 /\n1000"; }),
                 "SIG OLIVIA-32/1000 240501_120000 14.071500 MHz: lost track=3 ch=psk20"},
        LineCase{"variant_of_blanks_only", with(event(sig::EventKind::LOST, sig::Mode::RTTY),
                                                [](sig::Event& e) { e.variant = " \t"; }),
                 "SIG RTTY 240501_120000 14.071500 MHz: lost track=3 ch=psk20"},
        LineCase{"psk_never_shows_a_variant", with(event(sig::EventKind::LOST),
                                                   [](sig::Event& e) { e.variant = "x"; }),
                 "SIG PSK31 240501_120000 14.071500 MHz: lost track=3 ch=psk20"},
        LineCase{"mode_out_of_range", with(event(sig::EventKind::LOST),
                                           [](sig::Event& e) { e.mode = static_cast<sig::Mode>(77); }),
                 "SIG UNKNOWN 240501_120000 14.071500 MHz: lost track=3 ch=psk20"}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST(SigLine, LostWithoutChannelEndsAtTheTrack) {
    EXPECT_EQ(line(event(sig::EventKind::LOST), ""), "SIG PSK31 240501_120000 14.071500 MHz: lost track=3");
    // A channel identifier is stripped to one token.
    EXPECT_EQ(line(event(sig::EventKind::LOST), "ps k,2:0\""), "SIG PSK31 240501_120000 14.071500 MHz: lost track=3 ch=psk20");
}

TEST(SigLine, TimesOutsideTheCalendarPrintAsTheEpoch) {
    struct Case {
        double t;
        const char* stamp;
    };
    const Case cases[] = {
        {kNoon, "240501_120000"},
        {0.999, "700101_000000"},
        {-0.5, "691231_235959"},
        {std::numeric_limits<double>::quiet_NaN(), "700101_000000"},
        {std::numeric_limits<double>::infinity(), "700101_000000"},
        {1e30, "700101_000000"},
        {-1e30, "700101_000000"},
        {9.3e18, "700101_000000"},  // beyond time_t
        {-62167219200.0, "000101_000000"},  // first second of year 0
        {-62167219200.5, "700101_000000"},
        {253402300799.9, "991231_235959"},  // last second of year 9999
        {253402300800.0, "700101_000000"},
    };
    for (const Case& c : cases) {
        sig::Event e = event(sig::EventKind::LOST);
        e.t = c.t;
        EXPECT_EQ(line(e), std::string("SIG PSK31 ") + c.stamp + " 14.071500 MHz: lost track=3 ch=psk20") << c.t;
    }
}

TEST(SigLine, NumberFormatting) {
    EXPECT_EQ(sig::format_number(12.345, "%.1f"), "12.3");
    EXPECT_EQ(sig::format_number(std::nan(""), "%.2f"), "0.00");
    EXPECT_EQ(sig::format_number(1e300, "%.0f").size(), 63u);
    EXPECT_EQ(sig::format_call_list({{"Q1ABC", "", 0.95f, "DE"}, {"Q2X\"YZ", "", std::nanf(""), "BARE"}}),
              "Q1ABC:0.95,Q2XYZ:0.00");
    EXPECT_EQ(sig::sanitize_token("a b\x01\x7F\"c,d:e\xC3\xA9"), "abcde\xC3\xA9");
    EXPECT_EQ(sig::quote_text(std::string("\x00\x1F", 2)), "\"\\x00\\x1F\"");
}

TEST(SigLine, SurveyLine) {
    sig::Event e = event(sig::EventKind::DETECTED, sig::Mode::UNKNOWN);
    e.signal_class = 7;
    EXPECT_EQ(sig::format_survey_line(e, 12, true, e.text, "run 1"),
              "SIG HAM UNKNOWN 240501_120000 14.071500 MHz: detected id=12 bw=62 snr=12.3 run=run1 decoded=0 class=PSK");
    e.signal_class = 99;
    e.kind = sig::EventKind::LOST;
    EXPECT_EQ(sig::format_survey_line(e, 12, false, e.text, ""),
              "SIG OTHER UNKNOWN 240501_120000 14.071500 MHz: lost id=12 bw=62 snr=12.3 decoded=0 class=UNKNOWN");
    e = event(sig::EventKind::SPOT);
    e.call = "Q1ABC";
    e.conf = 0.9f;
    e.calls = {{"Q1ABC", "FN42", 0.9f, "CQ"}};
    EXPECT_EQ(sig::format_survey_line(e, 5, true, e.text, ""),
              "SIG HAM PSK31 240501_120000 14.071500 MHz: spot id=5 bw=62 snr=12.3 decoded=1 call=Q1ABC conf=0.90 "
              "grid=FN42");
    e = event(sig::EventKind::TEXT);
    e.text = "CQ";
    EXPECT_EQ(sig::format_survey_line(e, 5, true, "C", ""),
              "SIG HAM PSK31 240501_120000 14.071500 MHz: text id=5 bw=62 snr=12.3 decoded=1 text=\"C\"");
}

// --- The standard-error sink keeps lines within 500 bytes ---------------------------------------

std::string text_value(const std::string& line) {
    const std::size_t begin = line.find("text=\"");
    const std::size_t end = line.rfind('"');
    return line.substr(begin + 6, end - begin - 6);
}

TEST(StderrSink, ShortensLongTextButKeepsTheLineWellFormed) {
    sig::Event e = event(sig::EventKind::TEXT);
    e.text = std::string(600, 'x');
    e.calls = {{"Q1ABC", "", 0.95f, "DE"}};
    const std::string bounded = sig::bounded_sig_line(channel(), e);
    EXPECT_LE(bounded.size(), 500u);
    EXPECT_GE(bounded.size(), 480u);
    EXPECT_TRUE(bounded.ends_with("\" calls=Q1ABC:0.95")) << bounded;
    EXPECT_EQ(text_value(bounded), std::string(text_value(bounded).size(), 'x'));

    // A text that fits is left whole.
    e.text = std::string(300, 'x');
    EXPECT_EQ(sig::bounded_sig_line(channel(), e), line(e));
}

TEST(StderrSink, NeverCutsInsideACharacterOrAnEscape) {
    for (const std::string& unit : {std::string("\xC3\xA9"), std::string("\xE2\x82\xAC"), std::string("\xF0\x9F\x93\xBB")}) {
        for (std::size_t shift = 0; shift < 4; ++shift) {
            sig::Event e = event(sig::EventKind::TEXT);
            e.text = std::string(shift, 'a');
            while (e.text.size() < 700) e.text += unit;
            const std::string bounded = sig::bounded_sig_line(channel(), e);
            ASSERT_LE(bounded.size(), 500u);
            const std::string value = text_value(bounded);
            ASSERT_EQ((value.size() - std::min(shift, value.size())) % unit.size(), 0u) << unit.size() << " " << shift;
            EXPECT_TRUE(bounded.ends_with("\""));
        }
    }
    // Escapes are made after the cut, so none is split and the quote still closes the value.
    sig::Event e = event(sig::EventKind::TEXT);
    for (int k = 0; k < 60; ++k) e.text += "abababab\n";
    const std::string bounded = sig::bounded_sig_line(channel(), e);
    EXPECT_LE(bounded.size(), 500u);
    std::string value = text_value(bounded);
    EXPECT_GT(value.size(), 250u);
    for (std::size_t at; (at = value.find("\\x0A")) != std::string::npos;) value.erase(at, 4);
    EXPECT_EQ(value.find_first_not_of("ab"), std::string::npos) << bounded;
    EXPECT_TRUE(bounded.ends_with("\""));
}

TEST(StderrSink, ALineLongWithoutTextIsCutAtTheLimit) {
    sig::Event e = event(sig::EventKind::TEXT);
    e.text = "x";
    for (int k = 0; k < 60; ++k) e.calls.push_back({"Q" + std::to_string(k % 10) + "ABCD", "", 0.3f, "BARE"});
    const std::string bounded = sig::bounded_sig_line(channel(), e);
    EXPECT_EQ(bounded.size(), 500u);
    EXPECT_NE(bounded.find("text=\"\" calls=Q0ABCD:0.30,"), std::string::npos);
}

TEST(StderrSink, WritesOneLinePerEvent) {
    sig::StderrSink sink;
    testing::internal::CaptureStderr();
    sink.on_event(channel(), event(sig::EventKind::DETECTED));
    sink.on_event(channel(), event(sig::EventKind::LOST));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              line(event(sig::EventKind::DETECTED)) + "\n" + line(event(sig::EventKind::LOST)) + "\n");
}

}  // namespace
