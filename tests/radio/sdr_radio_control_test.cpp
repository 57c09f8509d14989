#include "radio/sdr_radio.hpp"

#include "radio/sample_queue.hpp"
#include "tests/radio/sdrplay_standin.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Env = std::map<std::string, std::string>;
using Tweak = void (*)(Options&);

void no_tweak(Options&) {}

// One SdrRadio on the stand-in, streaming unless asked not to. With `gated`, no delivery
// reaches the radio until the test releases it.
class Rig {
public:
    explicit Rig(Env const& env, Tweak tweak = no_tweak, bool start = true, bool gated = false) : setup(env)
    {
        if (gated)
            gate.emplace(setup);
        Options options = standin_options();
        tweak(options);
        testing::internal::CaptureStderr();
        try {
            radio = std::make_unique<SdrRadio>(options);
        } catch (...) {
            testing::internal::GetCapturedStderr();
            throw;
        }
        testing::internal::GetCapturedStderr();
        configure_unmerged(queue);
        if (start)
            radio->start(queue);
    }

    // The reply as the control socket would send it.
    std::string ask(std::string const& request)
    {
        try {
            return radio->control(request);
        } catch (std::runtime_error const& error) {
            return std::string("ERROR ") + error.what();
        }
    }

    Trace updates() const { return setup.trace_of("Update"); }

    StandinSetup setup;
    std::optional<StandinGate> gate;
    SampleQueue queue;
    std::unique_ptr<SdrRadio> radio;
};

// "OK LEVELS state=ready,peak=0.25,..." -> {state: ready, peak: 0.25, ...}
std::map<std::string, std::string> reply_fields(std::string const& reply, std::string const& prefix)
{
    std::map<std::string, std::string> fields;
    if (reply.rfind(prefix, 0) != 0)
        return fields;
    std::istringstream in(reply.substr(prefix.size()));
    for (std::string pair; std::getline(in, pair, ',');) {
        std::size_t const equals = pair.find('=');
        fields[pair.substr(0, equals)] = equals == std::string::npos ? "" : pair.substr(equals + 1);
    }
    return fields;
}

constexpr char const* RSP1 = "1:S1:1";
constexpr char const* RSP1A = "255:S1A:1";
constexpr char const* RSP1B = "6:S1B:1";
constexpr char const* RSP2 = "2:S2:1";
constexpr char const* RSPDUO = "3:SDUO:1";
constexpr char const* RSPDX = "4:SDX:1";
constexpr char const* RSPDXR2 = "7:SDXR2:1";
constexpr char const* UNKNOWN_RSP = "9:SX:1";

// --- STATUS -------------------------------------------------------------------------------

struct StatusCase {
    char const* name;
    char const* devices;
    Tweak tweak;
    char const* reply;
};

void PrintTo(StatusCase const& c, std::ostream* out) { *out << c.name; }

class SdrRadioStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(SdrRadioStatus, ReadsBackTheLiveParameters)
{
    StatusCase const& c = GetParam();
    Rig rig(Env{{"DEVICES", c.devices}}, c.tweak);
    EXPECT_EQ(rig.ask("RADIO STATUS"), c.reply);
    EXPECT_TRUE(rig.updates().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Models, SdrRadioStatus,
    testing::Values(
        StatusCase{"Rsp2Defaults", RSP2, no_tweak,
                   "OK RADIO agc=on,antenna=A,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=off"},
        StatusCase{"Rsp1HasNoAntennaOrNotch", RSP1, no_tweak, "OK RADIO agc=on,gain-reduction=50,lna-state=0,ppm=0.000000"},
        StatusCase{"UnknownModelLikeRsp1", UNKNOWN_RSP, no_tweak,
                   "OK RADIO agc=on,gain-reduction=50,lna-state=0,ppm=0.000000"},
        StatusCase{"Rsp1aFixedAntennaNotListed", RSP1A, no_tweak,
                   "OK RADIO agc=on,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=off"},
        StatusCase{"Rsp1bConfigured", RSP1B,
                   [](Options& o) {
                       o.ppm = -2.25;
                       o.gain_reduction = 35;
                       o.lna_state = 4;
                       o.rf_notch = true;
                   },
                   "OK RADIO agc=on,gain-reduction=35,lna-state=4,ppm=-2.250000,rf-notch=on"},
        StatusCase{"Rsp2OnB", RSP2, [](Options& o) { o.antenna = "B"; },
                   "OK RADIO agc=on,antenna=B,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=off"},
        StatusCase{"RspduoHiZWithMwNotch", RSPDUO,
                   [](Options& o) {
                       o.antenna = "HiZ";
                       o.mw_notch = true;
                       o.agc = false;
                   },
                   "OK RADIO agc=off,antenna=HiZ,gain-reduction=50,lna-state=0,mw-notch=on,ppm=0.000000,"
                   "rf-notch=off"},
        // The receiver line says "A (API default)"; only the antenna word belongs in the reply.
        StatusCase{"RspdxDefaultAntenna", RSPDX, no_tweak,
                   "OK RADIO agc=on,antenna=A,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=off"},
        StatusCase{"Rspdxr2OnC", RSPDXR2, [](Options& o) { o.antenna = "C"; },
                   "OK RADIO agc=on,antenna=C,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=off"}),
    [](auto const& info) { return std::string(info.param.name); });

// --- SET ----------------------------------------------------------------------------------

struct SetCase {
    char const* name;
    char const* devices;
    char const* settings;
    char const* reply;
    Trace updates;
    char const* status_after;
};

void PrintTo(SetCase const& c, std::ostream* out) { *out << c.name; }

class SdrRadioSet : public testing::TestWithParam<SetCase> {};

TEST_P(SdrRadioSet, AppliesChangesInOneUpdateAndStatusReadsThemBack)
{
    SetCase const& c = GetParam();
    Rig rig(Env{{"DEVICES", c.devices}});
    EXPECT_EQ(rig.ask(std::string("RADIO SET ") + c.settings), c.reply);
    EXPECT_EQ(rig.updates(), c.updates);
    EXPECT_EQ(rig.ask("RADIO STATUS"), c.status_after);
    EXPECT_EQ(rig.queue.failure(), "");
}

constexpr char const* RSP1A_DEFAULTS = "OK RADIO agc=on,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=off";

INSTANTIATE_TEST_SUITE_P(
    Changes, SdrRadioSet,
    testing::Values(
        SetCase{"AgcAlone", RSP1A, "agc=off", "OK RADIO agc=off,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=off",
                {"Update tuner=1 reason=0x1000000 ext=0 agc=0 setpoint=-30"},
                "OK RADIO agc=off,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=off"},
        SetCase{"GainReductionAlone", RSP1A, "gain-reduction=40",
                "OK RADIO agc=on,gain-reduction=40,lna-state=0,ppm=0.000000,rf-notch=off",
                {"Update tuner=1 reason=0x8000 ext=0 gr=40 lna=0"},
                "OK RADIO agc=on,gain-reduction=40,lna-state=0,ppm=0.000000,rf-notch=off"},
        SetCase{"AgcWithLnaState", RSP1A, "lna-state=3,agc=off",
                "OK RADIO agc=off,gain-reduction=50,lna-state=3,ppm=0.000000,rf-notch=off",
                {"Update tuner=1 reason=0x1008000 ext=0 gr=50 lna=3 agc=0 setpoint=-30"},
                "OK RADIO agc=off,gain-reduction=50,lna-state=3,ppm=0.000000,rf-notch=off"},
        SetCase{"PpmEchoedAsWritten", RSP1A, "ppm=1.5", "OK RADIO agc=on,gain-reduction=50,lna-state=0,ppm=1.5,rf-notch=off",
                {"Update tuner=1 reason=0x2 ext=0 ppm=1.5"},
                "OK RADIO agc=on,gain-reduction=50,lna-state=0,ppm=1.500000,rf-notch=off"},
        SetCase{"Rsp1aNotch", RSP1A, "rf-notch=on", "OK RADIO agc=on,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=on",
                {"Update tuner=1 reason=0x20 ext=0 rsp1a_notch=1"},
                "OK RADIO agc=on,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=on"},
        SetCase{"Rsp1bNotch", RSP1B, "rf-notch=on", "OK RADIO agc=on,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=on",
                {"Update tuner=1 reason=0x20 ext=0 rsp1a_notch=1"},
                "OK RADIO agc=on,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=on"},
        SetCase{"Rsp2HiZ", RSP2, "antenna=HiZ",
                "OK RADIO agc=on,antenna=HiZ,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=off",
                {"Update tuner=1 reason=0x300 ext=0 rsp2_port=1 rsp2_antenna=5"},
                "OK RADIO agc=on,antenna=HiZ,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=off"},
        SetCase{"Rsp2BWithNotch", RSP2, "antenna=B,rf-notch=on",
                "OK RADIO agc=on,antenna=B,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=on",
                {"Update tuner=1 reason=0x700 ext=0 rsp2_port=0 rsp2_antenna=6 rsp2_notch=1"},
                "OK RADIO agc=on,antenna=B,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=on"},
        SetCase{"RspduoHiZ", RSPDUO, "antenna=HiZ",
                "OK RADIO agc=on,antenna=HiZ,gain-reduction=50,lna-state=0,mw-notch=off,ppm=0.000000,rf-notch=off",
                {"Update tuner=1 reason=0x10000000 ext=0 duo_port=1"},
                "OK RADIO agc=on,antenna=HiZ,gain-reduction=50,lna-state=0,mw-notch=off,ppm=0.000000,rf-notch=off"},
        SetCase{"RspduoBothNotches", RSPDUO, "mw-notch=on,rf-notch=on",
                "OK RADIO agc=on,gain-reduction=50,lna-state=0,mw-notch=on,ppm=0.000000,rf-notch=on",
                {"Update tuner=1 reason=0x60000000 ext=0 duo_am_notch=1 duo_notch=1"},
                "OK RADIO agc=on,antenna=A,gain-reduction=50,lna-state=0,mw-notch=on,ppm=0.000000,rf-notch=on"},
        SetCase{"RspdxAntennaIsAnExtension", RSPDX, "antenna=C",
                "OK RADIO agc=on,antenna=C,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=off",
                {"Update tuner=1 reason=0x0 ext=4 dx_antenna=2"},
                "OK RADIO agc=on,antenna=C,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=off"},
        SetCase{"Rspdxr2AntennaAndNotch", RSPDXR2, "antenna=B,rf-notch=on",
                "OK RADIO agc=on,antenna=B,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=on",
                {"Update tuner=1 reason=0x0 ext=12 dx_antenna=1 dx_notch=1"},
                "OK RADIO agc=on,antenna=B,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=on"},
        SetCase{"CurrentValuesMakeNoCall", RSP1A, "agc=on,gain-reduction=50,lna-state=0,ppm=0,rf-notch=off",
                "OK RADIO agc=on,gain-reduction=50,lna-state=0,ppm=0,rf-notch=off", {}, RSP1A_DEFAULTS},
        SetCase{"CurrentAntennaMakesNoCall", RSPDX, "antenna=A",
                "OK RADIO agc=on,antenna=A,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=off", {},
                "OK RADIO agc=on,antenna=A,gain-reduction=50,lna-state=0,ppm=0.000000,rf-notch=off"}),
    [](auto const& info) { return std::string(info.param.name); });

// --- Refusals -----------------------------------------------------------------------------

struct RefusalCase {
    char const* name;
    char const* devices;
    Tweak tweak;
    char const* request;
    char const* error;
};

void PrintTo(RefusalCase const& c, std::ostream* out) { *out << c.name; }

class SdrRadioRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(SdrRadioRefusal, LeavesEveryParameterUntouched)
{
    RefusalCase const& c = GetParam();
    Rig rig(Env{{"DEVICES", c.devices}}, c.tweak);
    std::string const before = rig.ask("RADIO STATUS");
    EXPECT_EQ(rig.ask(c.request), std::string("ERROR ") + c.error);
    EXPECT_TRUE(rig.updates().empty());
    EXPECT_EQ(rig.ask("RADIO STATUS"), before);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SdrRadioRefusal,
    testing::Values(
        RefusalCase{"NothingToSet", RSP1A, no_tweak, "RADIO SET ", "No live SDR settings supplied"},
        RefusalCase{"TrailingComma", RSP1A, no_tweak, "RADIO SET agc=off,", "Trailing comma in live SDR settings"},
        RefusalCase{"PairWithoutEquals", RSP1A, no_tweak, "RADIO SET agc", "Live SDR settings need nonempty key=value pairs"},
        RefusalCase{"EmptyValue", RSP1A, no_tweak, "RADIO SET agc=", "Live SDR settings need nonempty key=value pairs"},
        RefusalCase{"DuplicateKey", RSP1A, no_tweak, "RADIO SET agc=on,agc=off", "Duplicate live SDR setting: agc"},
        RefusalCase{"BlankAfterComma", RSP1A, no_tweak, "RADIO SET agc=off, ppm=1",
                    "Setting requires restart or is unsupported live:  ppm"},
        RefusalCase{"Rx888Key", RSP1A, no_tweak, "RADIO SET rx888-gain=3",
                    "Setting requires restart or is unsupported live: rx888-gain"},
        RefusalCase{"GainReductionTooLow", RSP1A, no_tweak, "RADIO SET gain-reduction=19", "Invalid live SDR value: 19"},
        RefusalCase{"FractionalLnaState", RSP1A, no_tweak, "RADIO SET lna-state=2.5", "Invalid live SDR value: 2.5"},
        RefusalCase{"AgcWord", RSP1A, no_tweak, "RADIO SET agc=yes", "agc must be on or off"},
        // A valid change ahead of the refused one must not be applied either.
        RefusalCase{"LaterKeyRefused", RSP1A, no_tweak, "RADIO SET agc=off,rf-notch=maybe", "rf-notch must be on or off"},
        RefusalCase{"Rsp1Notch", RSP1, no_tweak, "RADIO SET rf-notch=off", "Hardware notch is unavailable on RSP1"},
        RefusalCase{"Rsp1aMwNotch", RSP1A, no_tweak, "RADIO SET mw-notch=on", "Hardware notch is unavailable on RSP1A"},
        RefusalCase{"UnknownModelNotch", UNKNOWN_RSP, no_tweak, "RADIO SET rf-notch=on",
                    "Hardware notch is unavailable on Unknown RSP"},
        RefusalCase{"Rsp1aAntenna", RSP1A, no_tweak, "RADIO SET antenna=A", "Antenna is not available on this receiver"},
        RefusalCase{"Rsp2AntennaC", RSP2, no_tweak, "RADIO SET antenna=C", "Antenna is not available on this receiver"},
        RefusalCase{"RspduoAntennaB", RSPDUO, no_tweak, "RADIO SET antenna=B",
                    "Antenna is not available on this receiver"},
        RefusalCase{"RspdxHiZ", RSPDX, no_tweak, "RADIO SET antenna=HiZ", "Antenna is not available on this receiver"},
        RefusalCase{"AntennaCaseMatters", RSP2, no_tweak, "RADIO SET antenna=hiz",
                    "Antenna is not available on this receiver"},
        // Below 60 MHz the RSP1A has seven LNA states.
        RefusalCase{"LnaStateBeyondTheBand", RSP1A, no_tweak, "RADIO SET lna-state=7",
                    "RF gain state is unavailable for this frequency and antenna"},
        // HiZ offers five states below 60 MHz: the current state 5 does not survive the switch.
        RefusalCase{"AntennaLeavesLnaStateOutOfRange", RSP2, [](Options& o) { o.lna_state = 5; },
                    "RADIO SET antenna=HiZ", "RF gain state is unavailable for this frequency and antenna"},
        RefusalCase{"LowerCase", RSP1A, no_tweak, "radio status", "Expected RADIO STATUS or RADIO SET key=value,..."},
        RefusalCase{"TrailingBlank", RSP1A, no_tweak, "RADIO STATUS ", "Expected RADIO STATUS or RADIO SET key=value,..."},
        RefusalCase{"LevelsResetTrailingBlank", RSP1A, no_tweak, "RADIO LEVELS RESET ",
                    "Expected RADIO STATUS or RADIO SET key=value,..."},
        RefusalCase{"SetWithoutBlank", RSP1A, no_tweak, "RADIO SET", "Expected RADIO STATUS or RADIO SET key=value,..."},
        RefusalCase{"Retune", RSP1A, no_tweak, "RADIO RETUNE CHECK 7074000",
                    "Expected RADIO STATUS or RADIO SET key=value,..."}),
    [](auto const& info) { return std::string(info.param.name); });

// --- Rollback -----------------------------------------------------------------------------

struct RollbackCase {
    char const* name;
    Env env;
    char const* queue_failure;
};

void PrintTo(RollbackCase const& c, std::ostream* out) { *out << c.name; }

class SdrRadioRollback : public testing::TestWithParam<RollbackCase> {};

TEST_P(SdrRadioRollback, RefusedUpdateIsUndoneOnTheDeviceToo)
{
    RollbackCase const& c = GetParam();
    Env env = c.env;
    env["DEVICES"] = RSP2;
    Rig rig(env);
    std::string const before = rig.ask("RADIO STATUS");

    EXPECT_EQ(rig.ask("RADIO SET agc=off,gain-reduction=30,antenna=HiZ,rf-notch=on"),
              "ERROR Apply live SDRplay settings: Fail");
    // The restore goes to the library with the same flags, carrying the old values.
    std::string const flags = "Update tuner=1 reason=0x1008700 ext=0";
    EXPECT_EQ(rig.updates(),
              (Trace{flags + " gr=30 lna=0 agc=0 setpoint=-30 rsp2_port=1 rsp2_antenna=5 rsp2_notch=1 failed",
                     flags + " gr=50 lna=0 agc=2 setpoint=-30 rsp2_port=0 rsp2_antenna=5 rsp2_notch=0" +
                         (c.queue_failure[0] ? " failed" : "")}));
    EXPECT_EQ(rig.ask("RADIO STATUS"), before);
    EXPECT_EQ(rig.queue.failure(), c.queue_failure);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, SdrRadioRollback,
    testing::Values(RollbackCase{"RestoreAccepted", {{"UPDATE_FAILS", "1"}}, ""},
                    RollbackCase{"RestoreRefusedFailsTheRun", {{"FAIL", "Update"}}, "SDRplay live settings rollback failed"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(SdrRadioControl, SettingsWorkAgainAfterARefusedUpdate)
{
    Rig rig(Env{{"DEVICES", RSP1A}, {"UPDATE_FAILS", "2"}});
    EXPECT_EQ(rig.ask("RADIO SET gain-reduction=40"),
              "ERROR Apply live SDRplay settings: Fail");
    EXPECT_EQ(rig.ask("RADIO SET gain-reduction=40"),
              "OK RADIO agc=on,gain-reduction=40,lna-state=0,ppm=0.000000,rf-notch=off");
    EXPECT_EQ(rig.ask("RADIO STATUS"), "OK RADIO agc=on,gain-reduction=40,lna-state=0,ppm=0.000000,rf-notch=off");
    EXPECT_EQ(rig.updates().size(), 3u);
}

// --- Not streaming ------------------------------------------------------------------------

class SdrRadioNotStreaming : public testing::TestWithParam<char const*> {};

TEST_P(SdrRadioNotStreaming, RefusesBeforeStartAndAfterStop)
{
    Rig rig(Env{{"DEVICES", RSP2}}, no_tweak, false);
    EXPECT_EQ(rig.ask(GetParam()), "ERROR SDRplay receiver is not streaming");
    rig.radio->start(rig.queue);
    rig.radio->stop();
    EXPECT_EQ(rig.ask(GetParam()), "ERROR SDRplay receiver is not streaming");
    EXPECT_TRUE(rig.updates().empty());
}

INSTANTIATE_TEST_SUITE_P(Requests, SdrRadioNotStreaming,
                         testing::Values("RADIO STATUS", "RADIO SET agc=off", "RADIO SET agc=maybe", "RADIO METER",
                                         "RADIO IFGAIN", "RADIO OVERLOAD", "RADIO LEVELS", "RADIO LEVELS RESET",
                                         "radio status"));

// --- Readings -----------------------------------------------------------------------------

TEST(SdrRadioControl, ReadingsBeforeTheFirstDelivery)
{
    Rig rig(Env{{"DEVICES", RSP1A}}, no_tweak, true, true);
    std::string const levels = "OK LEVELS state=waiting,peak=0,rms=0,hold=0,max=na,samples=0,invalid=0,age=0";
    std::string const overload = "OK OVERLOAD state=unknown,events=0";
    std::string const ifgain = "OK IFGAIN state=waiting,reduction=na";
    EXPECT_EQ(rig.ask("RADIO LEVELS"), levels);
    EXPECT_EQ(rig.ask("RADIO LEVELS RESET"), levels);
    EXPECT_EQ(rig.ask("RADIO OVERLOAD"), overload);
    EXPECT_EQ(rig.ask("RADIO IFGAIN"), ifgain);
    EXPECT_EQ(rig.ask("RADIO METER"), levels + "\n" + overload + "\n" + ifgain);
}

struct EventCase {
    char const* name;
    char const* script;
    std::size_t deliveries;
    char const* overload;
    char const* ifgain;
};

void PrintTo(EventCase const& c, std::ostream* out) { *out << c.name; }

class SdrRadioEvents : public testing::TestWithParam<EventCase> {};

TEST_P(SdrRadioEvents, LibraryEventsShowInTheReplies)
{
    EventCase const& c = GetParam();
    Rig rig(Env{{"DEVICES", RSP1A}, {"BLOCK", "256"}, {"SCRIPT", c.script}}, no_tweak, true, true);
    rig.gate->release(c.deliveries);
    ASSERT_EQ(pop_n(rig.queue, c.deliveries).size(), c.deliveries);

    EXPECT_EQ(rig.ask("RADIO OVERLOAD"), c.overload);
    EXPECT_EQ(rig.ask("RADIO IFGAIN"), c.ifgain);
    std::string const meter = rig.ask("RADIO METER");
    std::size_t const first = meter.find('\n');
    ASSERT_NE(first, std::string::npos) << meter;
    EXPECT_EQ(meter.rfind("OK LEVELS state=", 0), 0u) << meter;
    EXPECT_EQ(meter.substr(first + 1), std::string(c.overload) + "\n" + c.ifgain);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, SdrRadioEvents,
    testing::Values(
        EventCase{"IfGain", "0:ifgain:42", 1, "OK OVERLOAD state=unknown,events=0", "OK IFGAIN state=ready,reduction=42"},
        EventCase{"IfGainZero", "0:ifgain:0", 1, "OK OVERLOAD state=unknown,events=0", "OK IFGAIN state=ready,reduction=0"},
        EventCase{"LatestIfGainWins", "0:ifgain:42,1:ifgain:25", 2, "OK OVERLOAD state=unknown,events=0",
                  "OK IFGAIN state=ready,reduction=25"},
        EventCase{"Overload", "0:overload", 1, "OK OVERLOAD state=detected,events=1",
                  "OK IFGAIN state=waiting,reduction=na"},
        EventCase{"OverloadCorrected", "0:overload,1:corrected", 2, "OK OVERLOAD state=clear,events=1",
                  "OK IFGAIN state=waiting,reduction=na"},
        EventCase{"OverloadAgain", "0:overload,1:corrected,2:overload,3:ifgain:33", 4,
                  "OK OVERLOAD state=detected,events=2", "OK IFGAIN state=ready,reduction=33"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(SdrRadioControl, LevelsFollowTheStreamAndResetClearsOnlyTheMaximum)
{
    // The stand-in's tone has an amplitude of a quarter of full scale on each component.
    Rig rig(Env{{"DEVICES", RSP1A}, {"BLOCK", "1024"}}, no_tweak, true, true);
    rig.gate->release(2);
    ASSERT_EQ(pop_n(rig.queue, 2).size(), 2u);

    auto levels = reply_fields(rig.ask("RADIO LEVELS"), "OK LEVELS ");
    EXPECT_EQ(levels["state"], "ready");
    EXPECT_EQ(levels["peak"], "0.25");
    EXPECT_EQ(levels["hold"], "0.25");
    EXPECT_EQ(levels["max"], "0.25");
    EXPECT_EQ(levels["samples"], "2048");
    EXPECT_EQ(levels["invalid"], "0");
    EXPECT_NEAR(std::stod(levels["rms"]), 0.25 / std::sqrt(2.0), 2e-3);

    auto reset = reply_fields(rig.ask("RADIO LEVELS RESET"), "OK LEVELS ");
    EXPECT_EQ(reset["max"], "na");
    EXPECT_EQ(reset["hold"], "0.25");
    auto after = reply_fields(rig.ask("RADIO LEVELS"), "OK LEVELS ");
    EXPECT_EQ(after["max"], "na");
    EXPECT_EQ(after["samples"], "2048");

    rig.gate->release(1);
    ASSERT_EQ(pop_n(rig.queue, 1).size(), 1u);
    auto next = reply_fields(rig.ask("RADIO LEVELS"), "OK LEVELS ");
    EXPECT_EQ(next["max"], "0.25");
    EXPECT_EQ(next["samples"], "3072");
}

// --- Concurrency --------------------------------------------------------------------------

// The control thread changes settings while the library's threads stream and raise events and
// a band change runs beside it (run under TSan as well).
TEST(SdrRadioControl, ControlRunsBesideTheStreamAndARetune)
{
    Rig rig(Env{{"DEVICES", RSP1A},
             {"BLOCK", "64"},
             {"SCRIPT", "1:overload,3:ifgain:30,5:corrected,8:overload,13:ifgain:44,21:corrected"}});
    std::atomic<bool> retunes_ok{true};
    {
        std::jthread band_changes([&] {
            for (int k = 0; k < 20; ++k) {
                try {
                    rig.radio->retune(k % 2 ? 14100000.0 : 14000000.0);
                } catch (std::runtime_error const&) {
                    retunes_ok = false;
                }
            }
        });
        std::jthread consumer([&](std::stop_token stop) {
            IqBlock block;
            while (!stop.stop_requested())
                rig.queue.pop(block);
        });
        for (int k = 0; k < 100; ++k) {
            std::string const gain = std::to_string(20 + k % 40);
            EXPECT_EQ(rig.ask("RADIO SET gain-reduction=" + gain).rfind("OK RADIO ", 0), 0u);
            EXPECT_EQ(reply_fields(rig.ask("RADIO STATUS"), "OK RADIO ")["gain-reduction"], gain);
            EXPECT_EQ(rig.ask("RADIO METER").rfind("OK LEVELS ", 0), 0u);
            EXPECT_EQ(rig.ask("RADIO LEVELS").rfind("OK LEVELS ", 0), 0u);
            EXPECT_EQ(rig.ask("RADIO OVERLOAD").rfind("OK OVERLOAD ", 0), 0u);
        }
        band_changes.join();
        rig.radio->stop();
    }
    EXPECT_TRUE(retunes_ok);
    EXPECT_EQ(rig.queue.failure(), "");
    EXPECT_EQ(rig.ask("RADIO STATUS"), "ERROR SDRplay receiver is not streaming");
}

}  // namespace
