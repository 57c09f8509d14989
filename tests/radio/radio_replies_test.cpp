#include "radio/radio_replies.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>

#include "radio/live_sdr_settings.hpp"
#include "radio/radio.hpp"
#include "radio/sample_queue.hpp"
#include "tests/support/error_of.hpp"

namespace {

// A backend with nothing of its own beyond streaming: every RADIO request reaches the base.
class BareRadio : public Radio {
public:
    void start(SampleQueue&) override {}
    void stop() override {}
    double sample_rate() const override { return 2400000.0; }
    double tuning_offset() const override { return 0.0; }
};

}  // namespace

struct OverloadCase {
    std::uint64_t word;
    std::string reply;
};

void PrintTo(OverloadCase const& c, std::ostream* os) { *os << "word " << c.word; }

class OverloadWord : public testing::TestWithParam<OverloadCase> {};

TEST_P(OverloadWord, StateInLowBitsEventsAbove)
{
    EXPECT_EQ(format_overload_reply(decode_overload_state(GetParam().word)), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OverloadWord,
    testing::Values(OverloadCase{0, "OK OVERLOAD state=unknown,events=0"},
                    OverloadCase{1, "OK OVERLOAD state=clear,events=0"},
                    OverloadCase{2, "OK OVERLOAD state=detected,events=0"},
                    OverloadCase{3, "OK OVERLOAD state=unknown,events=0"},
                    OverloadCase{(7u << 2) | 2u, "OK OVERLOAD state=detected,events=7"},
                    OverloadCase{(7u << 2) | 1u, "OK OVERLOAD state=clear,events=7"},
                    OverloadCase{UINT64_MAX, "OK OVERLOAD state=unknown,events=4611686018427387903"}));

TEST(RadioReplies, IfGainShowsReductionOnlyWhenReady)
{
    EXPECT_EQ(format_ifgain_reply({"ready", 37}), "OK IFGAIN state=ready,reduction=37");
    EXPECT_EQ(format_ifgain_reply({"ready", 0}), "OK IFGAIN state=ready,reduction=0");
    EXPECT_EQ(format_ifgain_reply({"waiting", 37}), "OK IFGAIN state=waiting,reduction=na");
    EXPECT_EQ(format_ifgain_reply({"unavailable", 5}), "OK IFGAIN state=unavailable,reduction=na");
}

TEST(RadioReplies, StrongestPrintsSeventeenSignificantDigits)
{
    EXPECT_EQ(format_strongest_reply({true, 14074000.0, -42.5}), "OK STRONGEST 14074000 -42.5");
    EXPECT_EQ(format_strongest_reply({true, 7074123.25, 0.1}), "OK STRONGEST 7074123.25 0.10000000000000001");
    EXPECT_EQ(format_strongest_reply({true, 1e21, -3.0}), "OK STRONGEST 1e+21 -3");
}

TEST(RadioReplies, MeterJoinsItsLinesAndAddsStrongestOnlyWhenPresent)
{
    RadioMeter meter;
    meter.levels.state = "ready";
    meter.levels.peak = 0.5;
    meter.levels.rms = 0.125;
    meter.levels.hold = 0.75;
    meter.levels.max = 0.875;
    meter.levels.max_valid = true;
    meter.levels.samples = 96000;
    meter.levels.age = 0.02;
    meter.overload = decode_overload_state((3u << 2) | 1u);
    meter.if_gain = {"ready", 44};
    std::string const base = "OK LEVELS state=ready,peak=0.5,rms=0.125,hold=0.75,max=0.875,samples=96000,"
                             "invalid=0,age=0.02\n"
                             "OK OVERLOAD state=clear,events=3\n"
                             "OK IFGAIN state=ready,reduction=44";
    EXPECT_EQ(format_meter_reply(meter), base);

    meter.strongest = {true, 14075500.0, -61.25};
    EXPECT_EQ(format_meter_reply(meter), base + "\nOK STRONGEST 14075500 -61.25");
}

struct RequestCase {
    std::string request;
    std::string reply;  // empty when refused
};

void PrintTo(RequestCase const& c, std::ostream* os) { *os << '"' << c.request << '"'; }

class BaseControl : public testing::TestWithParam<RequestCase> {};

TEST_P(BaseControl, AnswersReadingsAsUnavailableAndRefusesTheRest)
{
    BareRadio radio;
    Radio& base = radio;
    RequestCase const c = GetParam();
    if (c.reply.empty())
        EXPECT_EQ(error_of([&] { base.control(c.request); }),
                  "This receiver backend does not support live hardware control");
    else
        EXPECT_EQ(base.control(c.request), c.reply);
}

std::string const unavailable_levels =
    "OK LEVELS state=unavailable,peak=0,rms=0,hold=0,max=na,samples=0,invalid=0,age=0";

INSTANTIATE_TEST_SUITE_P(
    Table, BaseControl,
    testing::Values(RequestCase{"RADIO METER", unavailable_levels +
                                                   "\nOK OVERLOAD state=unavailable,events=0"
                                                   "\nOK IFGAIN state=unavailable,reduction=na"},
                    RequestCase{"RADIO LEVELS", unavailable_levels},
                    RequestCase{"RADIO LEVELS RESET", unavailable_levels},
                    RequestCase{"RADIO OVERLOAD", "OK OVERLOAD state=unavailable,events=0"},
                    RequestCase{"RADIO IFGAIN", "OK IFGAIN state=unavailable,reduction=na"},
                    RequestCase{"RADIO STATUS", ""}, RequestCase{"RADIO SET agc=on", ""},
                    RequestCase{"radio levels", ""}, RequestCase{"RADIO LEVELS ", ""},
                    RequestCase{"RADIO METER\n", ""}, RequestCase{"", ""}));

struct ValueCase {
    std::string text;
    bool integer;
    double lo;
    double hi;
    double expected;  // NaN when refused
};

void PrintTo(ValueCase const& c, std::ostream* os)
{
    *os << '"' << c.text << "\" " << (c.integer ? "integer " : "real ") << c.lo << ".." << c.hi;
}

class LiveSdrValue : public testing::TestWithParam<ValueCase> {};

TEST_P(LiveSdrValue, ReadsOneNumberInRange)
{
    ValueCase const c = GetParam();
    if (std::isnan(c.expected))
        EXPECT_EQ(error_of([&] { parse_live_sdr_value(c.text, c.integer, c.lo, c.hi); }),
                  "Invalid live SDR value: " + c.text);
    else
        EXPECT_EQ(parse_live_sdr_value(c.text, c.integer, c.lo, c.hi), c.expected);
}

double const refused = std::nan("");

INSTANTIATE_TEST_SUITE_P(
    Accepted, LiveSdrValue,
    testing::Values(ValueCase{"20", true, 20, 59, 20}, ValueCase{"59", true, 20, 59, 59},
                    ValueCase{"  35", true, 20, 59, 35}, ValueCase{"35 \t", true, 20, 59, 35},
                    ValueCase{"0.5", false, -1000, 1000, 0.5}, ValueCase{"-1000", false, -1000, 1000, -1000},
                    ValueCase{"+7", true, 0, 27, 7}, ValueCase{"2.0", true, 0, 27, 2},
                    ValueCase{"1e1", true, 0, 27, 10}));

INSTANTIATE_TEST_SUITE_P(
    Refused, LiveSdrValue,
    testing::Values(ValueCase{"19", true, 20, 59, refused}, ValueCase{"60", true, 20, 59, refused},
                    ValueCase{"2.5", true, 0, 27, refused}, ValueCase{"", false, 0, 1, refused},
                    ValueCase{"   ", false, 0, 1, refused}, ValueCase{"abc", false, 0, 1, refused},
                    ValueCase{"5x", true, 0, 27, refused}, ValueCase{"5 6", true, 0, 27, refused},
                    ValueCase{"1k", false, 0, 10000, refused}, ValueCase{"0x10", true, 0, 27, refused},
                    ValueCase{"nan", false, -1000, 1000, refused}, ValueCase{"inf", false, -1e300, 1e300, refused},
                    ValueCase{"1e999", false, -1e300, 1e300, refused},
                    ValueCase{"-1000.5", false, -1000, 1000, refused}));

struct SettingsCase {
    std::string text;
    bool rx888;
    std::string outcome;  // the formatted settings, or the error message
};

void PrintTo(SettingsCase const& c, std::ostream* os) { *os << '"' << c.text << '"' << (c.rx888 ? " rx888" : ""); }

class LiveSdrSettingsParse : public testing::TestWithParam<SettingsCase> {};

TEST_P(LiveSdrSettingsParse, AcceptsOneKeySetOrRefusesWithTheFirstFault)
{
    SettingsCase const c = GetParam();
    std::string outcome;
    try {
        outcome = format_live_sdr_settings(parse_live_sdr_settings(c.text, c.rx888));
    } catch (std::runtime_error const& e) {
        outcome = e.what();
    }
    EXPECT_EQ(outcome, c.outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, LiveSdrSettingsParse,
    testing::Values(
        // Keys come back in byte order; values exactly as written.
        SettingsCase{"ppm=1.5,agc=off,lna-state=3", false, "agc=off,lna-state=3,ppm=1.5"},
        SettingsCase{"gain-reduction=20", false, "gain-reduction=20"},
        SettingsCase{"ppm=0.5", false, "ppm=0.5"},
        SettingsCase{"antenna=HiZ,rf-notch=on,mw-notch=off", false, "antenna=HiZ,mw-notch=off,rf-notch=on"},
        SettingsCase{"antenna=Port 2 (A/B)", false, "antenna=Port 2 (A/B)"},
        SettingsCase{"antenna=" + std::string(128, 'x'), false, "antenna=" + std::string(128, 'x')},
        SettingsCase{"lna-state= 4", false, "lna-state= 4"},
        SettingsCase{"rx888-gain=-8,rx888-attenuation=31.5", true, "rx888-attenuation=31.5,rx888-gain=-8"},
        SettingsCase{"rx888-attenuation=0", true, "rx888-attenuation=0"},
        SettingsCase{"rx888-attenuation=12.5", true, "rx888-attenuation=12.5"}));

INSTANTIATE_TEST_SUITE_P(
    Refused, LiveSdrSettingsParse,
    testing::Values(
        SettingsCase{"", false, "No live SDR settings supplied"},
        SettingsCase{"agc=on,", false, "Trailing comma in live SDR settings"},
        SettingsCase{"agc", false, "Live SDR settings need nonempty key=value pairs"},
        SettingsCase{"=on", false, "Live SDR settings need nonempty key=value pairs"},
        SettingsCase{"agc=", false, "Live SDR settings need nonempty key=value pairs"},
        SettingsCase{"agc=on,,ppm=1", false, "Live SDR settings need nonempty key=value pairs"},
        SettingsCase{",", false, "Live SDR settings need nonempty key=value pairs"},
        SettingsCase{"agc=on,agc=off", false, "Duplicate live SDR setting: agc"},
        SettingsCase{"agc=on, ppm=1", false, "Setting requires restart or is unsupported live:  ppm"},
        SettingsCase{"AGC=on", false, "Setting requires restart or is unsupported live: AGC"},
        SettingsCase{"frequency=7M", false, "Setting requires restart or is unsupported live: frequency"},
        SettingsCase{"rx888-gain=3", false, "Setting requires restart or is unsupported live: rx888-gain"},
        SettingsCase{"agc=on", true, "Setting requires restart or is unsupported live: agc"},
        SettingsCase{"agc=ON", false, "agc must be on or off"},
        SettingsCase{"agc=on ", false, "agc must be on or off"},
        SettingsCase{"rf-notch=yes", false, "rf-notch must be on or off"},
        SettingsCase{"mw-notch=1", false, "mw-notch must be on or off"},
        SettingsCase{"gain-reduction=19", false, "Invalid live SDR value: 19"},
        SettingsCase{"lna-state=2.5", false, "Invalid live SDR value: 2.5"},
        SettingsCase{"lna-state=28", false, "Invalid live SDR value: 28"},
        SettingsCase{"ppm=1000.5", false, "Invalid live SDR value: 1000.5"},
        SettingsCase{"ppm=5k", false, "Invalid live SDR value: 5k"},
        SettingsCase{"antenna=A=B", false, "Invalid antenna name"},
        SettingsCase{"antenna=A\r", false, "Invalid antenna name"},
        SettingsCase{"antenna=A\nOK", false, "Invalid antenna name"},
        SettingsCase{"antenna=" + std::string(129, 'x'), false, "Invalid antenna name"},
        SettingsCase{"rx888-attenuation=12.3", true, "rx888-attenuation is 0..31.5 dB in 0.5 dB steps"},
        SettingsCase{"rx888-attenuation=32", true, "Invalid live SDR value: 32"},
        SettingsCase{"rx888-gain=-8.5", true, "Invalid live SDR value: -8.5"},
        // The first fault in text order wins, the trailing comma being looked at last.
        SettingsCase{"agc=maybe,bogus=1", false, "agc must be on or off"},
        SettingsCase{"bogus=1,agc=maybe", false, "Setting requires restart or is unsupported live: bogus"},
        SettingsCase{"ppm=1,ppm=x,", false, "Duplicate live SDR setting: ppm"},
        SettingsCase{"ppm=x,", false, "Invalid live SDR value: x"}));

TEST(LiveSdrSettings, FormatsEmptyAndSingleMaps)
{
    EXPECT_EQ(format_live_sdr_settings({}), "");
    EXPECT_EQ(format_live_sdr_settings({{"ppm", "0.000000"}}), "ppm=0.000000");
}
