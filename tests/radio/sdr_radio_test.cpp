#include "radio/sdr_radio.hpp"

#include "radio/sample_queue.hpp"
#include "tests/radio/sdrplay_standin.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <complex>
#include <filesystem>
#include <fstream>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <numbers>
#include <stdexcept>
#include <ostream>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct Built {
    std::unique_ptr<SdrRadio> radio;
    std::string stderr_text;
};

Built build(Options const& options, SdrRadio::SteadyClock clock = {})
{
    testing::internal::CaptureStderr();
    try {
        auto radio = clock ? std::make_unique<SdrRadio>(options, std::move(clock)) : std::make_unique<SdrRadio>(options);
        return {std::move(radio), testing::internal::GetCapturedStderr()};
    } catch (...) {
        testing::internal::GetCapturedStderr();
        throw;
    }
}

std::string construction_error(Options const& options)
{
    try {
        build(options);
    } catch (std::runtime_error const& error) {
        return error.what();
    }
    return "(constructed)";
}

bool library_loaded(std::string const& path)
{
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle)
        return false;
    dlclose(handle);
    return true;
}

// A block the stand-in can never produce (its samples stay within +-0.25).
IqBlock marker_block()
{
    IqBlock block;
    block.samples.assign(16, {7.0f, 7.0f});
    return block;
}

bool is_marker(IqBlock const& block) { return !block.samples.empty() && block.samples[0].real() == 7.0f; }

Trace const opened = {"Open", "ApiVersion"};

Trace concat(std::initializer_list<Trace> parts)
{
    Trace all;
    for (Trace const& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

}  // namespace

// ---- Device selection -------------------------------------------------------------------------

struct SelectionCase {
    char const* name;
    char const* devices;
    char const* serial;
    char const* chosen;  // serial of the selected device, or nullptr when none matches
};

void PrintTo(SelectionCase const& c, std::ostream* os) { *os << c.name; }

class SdrRadioSelection : public testing::TestWithParam<SelectionCase> {};

TEST_P(SdrRadioSelection, TakesFirstValidRecordMatchingSerial)
{
    SelectionCase const c = GetParam();
    StandinSetup setup({{"DEVICES", c.devices}});
    Options options = standin_options();
    options.serial = c.serial;
    if (c.chosen) {
        Built const built = build(options);
        EXPECT_NE(built.stderr_text.find(std::string(" serial=") + c.chosen + ","), std::string::npos)
            << built.stderr_text;
        EXPECT_EQ(setup.trace_of("SelectDevice"), Trace{std::string("SelectDevice ") + c.chosen});
    } else {
        EXPECT_EQ(construction_error(options), "No available SDRplay receiver matches selection");
        EXPECT_EQ(setup.trace(), concat({opened, {"LockDeviceApi", "GetDevices", "UnlockDeviceApi", "Close"}}));
    }
    EXPECT_FALSE(library_loaded(standin_path()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SdrRadioSelection,
    testing::Values(SelectionCase{"FirstValid", "255:AAA:1,2:BBB:1", "", "AAA"},
                    SelectionCase{"InvalidSkipped", "255:AAA:0,2:BBB:1", "", "BBB"},
                    SelectionCase{"BySerial", "255:AAA:1,2:BBB:1", "BBB", "BBB"},
                    SelectionCase{"InvalidRecordWithSerialSkipped", "255:BBB:0,2:BBB:1", "BBB", "BBB"},
                    SelectionCase{"SerialPrefixIsNoMatch", "255:AAA:1", "AA", nullptr},
                    SelectionCase{"LongerSerialIsNoMatch", "255:AAA:1", "AAAA", nullptr},
                    SelectionCase{"OnlyInvalidWithSerial", "255:AAA:0", "AAA", nullptr},
                    SelectionCase{"NoDevices", "", "", nullptr}),
    [](auto const& info) { return info.param.name; });

// ---- Configuration and the "Receiver: " line --------------------------------------------------

struct ReceiverLineCase {
    char const* name;
    char const* devices;
    bool wideband;
    std::int32_t sample_rate;
    char const* usb_mode;
    char const* antenna;
    char const* line;
    double iq_rate;
};

void PrintTo(ReceiverLineCase const& c, std::ostream* os) { *os << c.name; }

class SdrRadioReceiverLine : public testing::TestWithParam<ReceiverLineCase> {};

TEST_P(SdrRadioReceiverLine, DescribesModelRateAndAntenna)
{
    ReceiverLineCase const c = GetParam();
    StandinSetup setup({{"DEVICES", c.devices}});
    Options options = standin_options();
    options.wideband = c.wideband;
    options.sample_rate = c.sample_rate;
    options.usb_mode = c.usb_mode;
    options.antenna = c.antenna;
    Built const built = build(options);
    EXPECT_EQ(built.stderr_text, c.line);
    EXPECT_EQ(built.radio->sample_rate(), c.iq_rate);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SdrRadioReceiverLine,
    testing::Values(
        ReceiverLineCase{"AudioDecimates32", "255:S1:1", false, 2048000, "isochronous", "",
                         "Receiver: RSP1A serial=S1, hardware=2048000 samples/s, callback IQ=64000 samples/s, "
                         "USB=isochronous, antenna=fixed (single input)\n",
                         64000},
        ReceiverLineCase{"WidebandUndecimated", "6:S2:1", true, 10000000, "bulk", "",
                         "Receiver: RSP1B serial=S2, hardware=10000000 samples/s, callback IQ=1e+07 samples/s, "
                         "USB=bulk, antenna=fixed (single input)\n",
                         10000000},
        ReceiverLineCase{"Rsp2HiZ", "2:S3:1", false, 2000000, "isochronous", "HiZ",
                         "Receiver: RSP2 serial=S3, hardware=2000000 samples/s, callback IQ=125000 samples/s, "
                         "USB=isochronous, antenna=HiZ, port=AM1 (configured)\n",
                         125000},
        ReceiverLineCase{"Rsp2B", "2:S3:1", false, 2000000, "isochronous", "B",
                         "Receiver: RSP2 serial=S3, hardware=2000000 samples/s, callback IQ=125000 samples/s, "
                         "USB=isochronous, antenna=B, port=AM2 (configured)\n",
                         125000},
        ReceiverLineCase{"Rsp2LibraryDefault", "2:S3:1", false, 2000000, "isochronous", "",
                         "Receiver: RSP2 serial=S3, hardware=2000000 samples/s, callback IQ=125000 samples/s, "
                         "USB=isochronous, antenna=A, port=AM2 (API default)\n",
                         125000},
        ReceiverLineCase{"DuoHiZ", "3:S4:1", false, 6000000, "isochronous", "HiZ",
                         "Receiver: RSPduo serial=S4, hardware=6000000 samples/s, callback IQ=93750 samples/s, "
                         "USB=isochronous, antenna=HiZ, port=AM1, tuner=A (configured)\n",
                         93750},
        ReceiverLineCase{"DxC", "4:S5:1", true, 8000000, "isochronous", "C",
                         "Receiver: RSPdx serial=S5, hardware=8000000 samples/s, callback IQ=8e+06 samples/s, "
                         "USB=isochronous, antenna=C (configured)\n",
                         8000000},
        ReceiverLineCase{"DxR2Default", "7:S6:1", true, 2000000, "isochronous", "",
                         "Receiver: RSPdxR2 serial=S6, hardware=2000000 samples/s, callback IQ=2e+06 samples/s, "
                         "USB=isochronous, antenna=A (API default)\n",
                         2000000},
        ReceiverLineCase{"UnknownModel", "5:S7:1", false, 100000, "isochronous", "",
                         "Receiver: Unknown RSP serial=S7, hardware=100000 samples/s, callback IQ=100000 samples/s, "
                         "USB=isochronous, antenna=unknown (unsupported model)\n",
                         100000}),
    [](auto const& info) { return info.param.name; });

struct DecimationCase {
    double rate_hz;
    bool wideband;
    unsigned factor;
};

void PrintTo(DecimationCase const& c, std::ostream* os) { *os << c.rate_hz << (c.wideband ? " wideband" : " audio"); }

class SdrplayDecimation : public testing::TestWithParam<DecimationCase> {};

TEST_P(SdrplayDecimation, KeepsAtLeast64000SamplesPerSecond)
{
    DecimationCase const c = GetParam();
    EXPECT_EQ(sdrplay_decimation(c.rate_hz, c.wideband), c.factor) << c.rate_hz;
}

INSTANTIATE_TEST_SUITE_P(Table, SdrplayDecimation,
                         testing::Values(DecimationCase{2048000, false, 32}, DecimationCase{2000000, false, 16},
                                         DecimationCase{10000000, false, 64}, DecimationCase{128000, false, 2},
                                         DecimationCase{127999, false, 1}, DecimationCase{64000, false, 1},
                                         DecimationCase{10000000, true, 1}));

// ---- What the library receives at start-up -------------------------------------------------------

using Values = std::map<std::string, std::string>;

// What every start-up of standin_options() hands the library, the model's own fields aside: the
// tuner 8 kHz above the 14.074 MHz dial, decimated by 16 to 125000 samples/s.
Values const common_start = {{"fs", "2000000"},  {"ppm", "0"},     {"transfer", "0"},   {"rf", "14082000"},
                             {"bw", "1536"},     {"if", "0"},      {"lo", "1"},         {"gr", "50"},
                             {"lna", "0"},       {"dc", "1"},      {"iq", "1"},         {"dec", "1"},
                             {"dec_factor", "16"}, {"wideband", "0"}, {"agc", "2"},     {"setpoint", "-30"}};

using Tweak = void (*)(Options&);

struct StartCase {
    char const* name;
    char const* devices;
    Tweak tweak;
    Values values;       // put over common_start: the model's fields and what the tweak changes
    char const* select;  // the SelectDevice line
};

void PrintTo(StartCase const& c, std::ostream* os) { *os << c.name; }

class SdrRadioStartValues : public testing::TestWithParam<StartCase> {};

TEST_P(SdrRadioStartValues, LibraryReceivesWhatTheOptionsAskFor)
{
    StartCase const& c = GetParam();
    StandinSetup setup({{"DEVICES", c.devices}, {"BLOCKS", "1"}});
    Options options = standin_options();
    c.tweak(options);
    SampleQueue queue;
    Built built = build(options);
    configure_unmerged(queue);
    built.radio->start(queue);
    Trace const init = setup.trace_of("Init");
    ASSERT_EQ(init.size(), 1u);
    Values expected = common_start;
    for (auto const& [name, value] : c.values)
        expected[name] = value;
    EXPECT_EQ(trace_values(init[0]), expected) << init[0];
    EXPECT_EQ(setup.trace_of("SelectDevice"), Trace{c.select});
}

INSTANTIATE_TEST_SUITE_P(
    Models, SdrRadioStartValues,
    testing::Values(
        StartCase{"Rsp1aDefaults", "255:S:1", [](Options&) {}, {{"rsp1a_notch", "0"}}, "SelectDevice S"},
        StartCase{"Rsp1bWidebandBulkManualGain", "6:S:1",
                  [](Options& o) {
                      o.wideband = true;
                      o.sample_rate = 10000000;
                      o.if_bandwidth = 5000000;
                      o.usb_mode = "bulk";
                      o.agc = false;
                      o.gain_reduction = 35;
                      o.lna_state = 4;
                      o.ppm = -2.25;
                      o.rf_notch = true;
                  },
                  {{"fs", "10000000"},
                   {"ppm", "-2.25"},
                   {"transfer", "1"},
                   {"rf", "14074000"},
                   {"bw", "5000"},
                   {"gr", "35"},
                   {"lna", "4"},
                   {"dec", "0"},
                   {"dec_factor", "1"},
                   {"wideband", "1"},
                   {"agc", "0"},
                   {"rsp1a_notch", "1"}},
                  "SelectDevice S"},
        StartCase{"Rsp1LowerSidebandAt2048k", "1:S:1",
                  [](Options& o) {
                      o.frequency = 7100000;
                      o.modulation = 1;
                      o.sample_rate = 2048000;
                      o.if_bandwidth = 600000;
                  },
                  {{"fs", "2048000"}, {"rf", "7092000"}, {"bw", "600"}, {"dec_factor", "32"}},
                  "SelectDevice S"},
        StartCase{"Rsp2LibraryDefaultAntenna", "2:S:1", [](Options&) {},
                  {{"rsp2_port", "0"}, {"rsp2_antenna", "5"}, {"rsp2_notch", "0"}}, "SelectDevice S"},
        StartCase{"Rsp2B", "2:S:1", [](Options& o) { o.antenna = "B"; },
                  {{"rsp2_port", "0"}, {"rsp2_antenna", "6"}, {"rsp2_notch", "0"}}, "SelectDevice S"},
        StartCase{"Rsp2HiZWithNotch", "2:S:1",
                  [](Options& o) {
                      o.antenna = "HiZ";
                      o.rf_notch = true;
                  },
                  {{"rsp2_port", "1"}, {"rsp2_antenna", "5"}, {"rsp2_notch", "1"}}, "SelectDevice S"},
        StartCase{"RspduoHiZWithBothNotches", "3:S:1",
                  [](Options& o) {
                      o.antenna = "HiZ";
                      o.rf_notch = true;
                      o.mw_notch = true;
                      o.sample_rate = 6000000;
                  },
                  {{"fs", "6000000"}, {"dec_factor", "64"}, {"duo_port", "1"}, {"duo_am_notch", "1"}, {"duo_notch", "1"}},
                  "SelectDevice S mode=1 tuner=1"},
        StartCase{"RspduoDefaults", "3:S:1:1", [](Options&) {},
                  {{"duo_port", "0"}, {"duo_am_notch", "0"}, {"duo_notch", "0"}}, "SelectDevice S mode=1 tuner=1"},
        StartCase{"RspdxCWithNotch", "4:S:1",
                  [](Options& o) {
                      o.antenna = "C";
                      o.rf_notch = true;
                  },
                  {{"dx_antenna", "2"}, {"dx_notch", "1"}}, "SelectDevice S"},
        StartCase{"Rspdxr2Defaults", "7:S:1", [](Options&) {}, {{"dx_antenna", "0"}, {"dx_notch", "0"}},
                  "SelectDevice S"}),
    [](auto const& info) { return info.param.name; });

struct StartRefusalCase {
    char const* name;
    Tweak tweak;
    char const* trace;
};

void PrintTo(StartRefusalCase const& c, std::ostream* os) { *os << c.name; }

class SdrRadioStartRefusal : public testing::TestWithParam<StartRefusalCase> {};

// Values the option parser never lets through reach the library only from a caller that
// bypasses it; the library then refuses to start, and says so through its error text.
TEST_P(SdrRadioStartRefusal, LibraryRefusesValuesOutsideTheDevice)
{
    StartRefusalCase const& c = GetParam();
    StandinSetup setup;
    Options options = standin_options();
    c.tweak(options);
    SampleQueue queue;
    Built built = build(options);
    configure_unmerged(queue);
    std::string error;
    try {
        built.radio->start(queue);
    } catch (std::runtime_error const& e) {
        error = e.what();
    }
    EXPECT_EQ(error, "Start SDRplay stream: Fail");
    EXPECT_EQ(setup.trace_of("Init"), Trace{c.trace});
    EXPECT_THROW(
        {
            try {
                built.radio->control("RADIO STATUS");
            } catch (std::runtime_error const& e) {
                EXPECT_STREQ(e.what(), "SDRplay receiver is not streaming");
                throw;
            }
        },
        std::runtime_error);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SdrRadioStartRefusal,
    testing::Values(StartRefusalCase{"BandwidthTheTunerLacks", [](Options& o) { o.if_bandwidth = 1000000; },
                                     "Init refused bw=1000"},
                    StartRefusalCase{"SampleRateBelowTheDevice", [](Options& o) { o.sample_rate = 1000000; },
                                     "Init refused fs=1000000"},
                    StartRefusalCase{"RfAboveTheDevice",
                                     [](Options& o) {
                                         o.wideband = true;
                                         o.frequency = 2100000000;
                                     },
                                     "Init refused rf=2100000000"}),
    [](auto const& info) { return info.param.name; });

struct RateCase {
    char const* name;
    bool wideband;
    double iq_rate;
};

void PrintTo(RateCase const& c, std::ostream* os) { *os << c.name; }

class SdrRadioStreamRate : public testing::TestWithParam<RateCase> {};

// The library runs at the rate the records ask for, after their decimation: its tone advances
// by 1000 Hz worth of phase per sample at the radio's own rate, and the samples of 0.1 s take
// at least 0.1 s to arrive.
TEST_P(SdrRadioStreamRate, LibraryStreamsAtTheRadiosRate)
{
    RateCase const& c = GetParam();
    unsigned const block = static_cast<unsigned>(c.iq_rate / 100);
    StandinSetup setup({{"PACE", "realtime"}, {"BLOCK", std::to_string(block)}, {"BLOCKS", "10"}});
    Options options = standin_options();
    options.wideband = c.wideband;
    SampleQueue queue;
    Built built = build(options);
    ASSERT_EQ(built.radio->sample_rate(), c.iq_rate);
    configure_unmerged(queue);
    auto const before = std::chrono::steady_clock::now();
    built.radio->start(queue);
    std::vector<IqBlock> const blocks = pop_n(queue, 10);
    double const elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
    ASSERT_EQ(blocks.size(), 10u);
    EXPECT_GE(elapsed, 0.1);
    double const expected = 2 * std::numbers::pi * 1000 / c.iq_rate;
    for (std::size_t k = 1; k < 64; ++k) {
        std::complex<float> const step = blocks[0].samples[k] * std::conj(blocks[0].samples[k - 1]);
        EXPECT_NEAR(std::arg(step), expected, 1e-3) << "sample " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SdrRadioStreamRate,
                         testing::Values(RateCase{"AudioDecimatedBy16", false, 125000},
                                         RateCase{"WidebandUndecimated", true, 2000000}),
                         [](auto const& info) { return info.param.name; });

TEST(SdrRadio, TuningOffsetPlacesTunerBesideTheAudioDial)
{
    StandinSetup setup;
    Options options = standin_options();
    options.frequency = 7100000;
    options.modulation = 1;  // LSB: the tuner sits 8 kHz below
    Built const built = build(options);
    EXPECT_EQ(built.radio->tuning_offset(), 8000);
    EXPECT_EQ(built.radio->center_for(7100000), 7092000);
}

// ---- Refusals during construction, each releasing what it had acquired -------------------------

struct RefusalCase {
    char const* name;
    char const* devices;
    char const* antenna;
    bool rf_notch;
    bool mw_notch;
    char const* fail;
    char const* message;
    bool selected;  // the device was selected before the refusal
};

void PrintTo(RefusalCase const& c, std::ostream* os) { *os << c.name; }

class SdrRadioRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(SdrRadioRefusal, ThrowsAndReleasesInOrder)
{
    RefusalCase const c = GetParam();
    StandinSetup setup({{"DEVICES", c.devices}, {"FAIL", c.fail}});
    Options options = standin_options();
    options.antenna = c.antenna;
    options.rf_notch = c.rf_notch;
    options.mw_notch = c.mw_notch;
    EXPECT_EQ(construction_error(options), c.message);
    Trace const tail = c.selected ? Trace{"UnlockDeviceApi", "GetDeviceParams", "ReleaseDevice X", "Close"}
                                  : Trace{"UnlockDeviceApi", "Close"};
    Trace const trace = setup.trace();
    ASSERT_GE(trace.size(), tail.size());
    EXPECT_EQ(Trace(trace.end() - static_cast<std::ptrdiff_t>(tail.size()), trace.end()), tail);
    EXPECT_FALSE(library_loaded(standin_path()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SdrRadioRefusal,
    testing::Values(
        RefusalCase{"DxHasNoHiZ", "4:X:1", "HiZ", false, false, "", "RSPdx antennas are A, B, C", true},
        RefusalCase{"DxR2HasNoHiZ", "7:X:1", "HiZ", false, false, "", "RSPdx antennas are A, B, C", true},
        RefusalCase{"Rsp2HasNoC", "2:X:1", "C", false, false, "", "RSP2 antennas are A, B, HiZ", true},
        RefusalCase{"DuoTunerAHasNoB", "3:X:1", "B", false, false, "", "RSPduo tuner A supports A or HiZ here",
                    true},
        RefusalCase{"Rsp1aHasNoSelector", "255:X:1", "A", false, false, "",
                    "This SDRplay model has no selectable antenna", true},
        RefusalCase{"Rsp1HasNoRfNotch", "1:X:1", "", true, false, "", "Selected hardware notch is unavailable on RSP1",
                    true},
        RefusalCase{"Rsp2HasNoMwNotch", "2:X:1", "", false, true, "", "Selected hardware notch is unavailable on RSP2",
                    true},
        RefusalCase{"UnknownHasNoNotch", "9:X:1", "", true, false, "",
                    "Selected hardware notch is unavailable on Unknown RSP", true},
        RefusalCase{"MissingTunerPart", "255:X:1", "", false, false, "Params", "Missing SDRplay device parameters",
                    true},
        RefusalCase{"DuoWithoutSingleTuner", "3:X:1:6", "", false, false, "",
                    "RSPduo single tuner mode unavailable; close other receivers", false}),
    [](auto const& info) { return info.param.name; });

TEST(SdrRadio, DuoNotchesAndDxNotchAreAccepted)
{
    for (char const* devices : {"3:X:1", "4:X:1", "255:X:1"}) {
        StandinSetup setup({{"DEVICES", devices}});
        Options options = standin_options();
        options.rf_notch = true;
        options.mw_notch = std::string(devices) == "3:X:1";
        EXPECT_NO_THROW(build(options)) << devices;
    }
}

// ---- Loading the library and the API call order -------------------------------------------------

struct LoaderCase {
    char const* name;
    char const* library;  // "standin", "no_update" or a path
    char const* fail;
    char const* version;
    char const* message;  // the message begins with this
    std::vector<std::string> trace;
};

void PrintTo(LoaderCase const& c, std::ostream* os) { *os << c.name; }

class SdrRadioLoader : public testing::TestWithParam<LoaderCase> {};

TEST_P(SdrRadioLoader, FailsWithStepTextAndReleasesEverything)
{
    LoaderCase const& c = GetParam();
    StandinSetup setup({{"FAIL", c.fail}, {"VERSION", c.version}, {"DEVICES", "255:X:1"}});
    Options options = standin_options();
    std::string const library = std::string(c.library) == "standin"     ? standin_path()
                                : std::string(c.library) == "no_update" ? standin_without_update_path()
                                                                        : std::string(c.library);
    options.api_library = library;
    std::string const message = construction_error(options);
    EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
    EXPECT_EQ(setup.trace(), c.trace);
    EXPECT_FALSE(library_loaded(library));
}

std::string const injected = "Fail";

INSTANTIATE_TEST_SUITE_P(
    Table, SdrRadioLoader,
    testing::Values(
        LoaderCase{"NoLibrary", "/nonexistent/libsdrplay_api.so", "", "3.15",
                   "Cannot load receiver library: /nonexistent/libsdrplay_api.so", {}},
        LoaderCase{"MissingSymbol", "no_update", "", "3.15", "", {}},
        LoaderCase{"OpenFails", "standin", "Open", "3.15", "Open API (check sdrplay service): Fail", {"Open failed"}},
        LoaderCase{"VersionUnreadable", "standin", "ApiVersion", "3.15", "Read API version: Fail",
                   {"Open", "ApiVersion failed", "Close"}},
        LoaderCase{"OtherVersion", "standin", "", "3.14",
                   "SDRplay API version differs from build headers; rebuild with installed headers",
                   {"Open", "ApiVersion", "Close"}},
        LoaderCase{"LockFails", "standin", "LockDeviceApi", "3.15", "Lock API: Fail",
                   {"Open", "ApiVersion", "LockDeviceApi failed", "Close"}},
        LoaderCase{"EnumerationFails", "standin", "GetDevices", "3.15", "Enumerate devices: Fail",
                   {"Open", "ApiVersion", "LockDeviceApi", "GetDevices failed", "UnlockDeviceApi", "Close"}},
        LoaderCase{"SelectFails", "standin", "SelectDevice", "3.15", "Select receiver: Fail",
                   {"Open", "ApiVersion", "LockDeviceApi", "GetDevices", "SelectDevice X failed", "UnlockDeviceApi",
                    "Close"}},
        LoaderCase{"ParametersFail", "standin", "GetDeviceParams", "3.15", "Get receiver parameters: Fail",
                   {"Open", "ApiVersion", "LockDeviceApi", "GetDevices", "SelectDevice X", "UnlockDeviceApi",
                    "GetDeviceParams failed", "ReleaseDevice X", "Close"}}),
    [](auto const& info) { return info.param.name; });

TEST(SdrRadioLoader, MissingSymbolNamesItInTheMessage)
{
    StandinSetup setup;
    Options options = standin_options();
    options.api_library = standin_without_update_path();
    std::string const message = construction_error(options);
    EXPECT_NE(message.find("sdrplay_api_Update"), std::string::npos) << message;
    EXPECT_FALSE(library_loaded(standin_without_update_path()));
}

TEST(SdrRadio, WholeLifeCallsTheLibraryInOrder)
{
    StandinSetup setup({{"DEVICES", "255:X:1"}, {"BLOCKS", "2"}});
    {
        SampleQueue queue;  // outlives the radio that pushes into it
        Built built = build(standin_options());
        EXPECT_TRUE(library_loaded(standin_path()));
        configure_unmerged(queue);
        built.radio->start(queue);
        EXPECT_EQ(pop_n(queue, 2).size(), 2u);
        built.radio->stop();
        built.radio->stop();
    }
    EXPECT_EQ(setup.calls(), concat({opened,
                                     {"LockDeviceApi", "GetDevices", "SelectDevice X", "UnlockDeviceApi",
                                      "GetDeviceParams", "Init", "Uninit", "ReleaseDevice X", "Close"}}));
    EXPECT_FALSE(library_loaded(standin_path()));
}

TEST(SdrRadio, DestroyingWhileStreamingStopsTheStreamFirst)
{
    StandinSetup setup({{"DEVICES", "255:X:1"}, {"PACE", "realtime"}});
    {
        SampleQueue queue;
        Built built = build(standin_options());
        configure_unmerged(queue);
        built.radio->start(queue);
        EXPECT_EQ(pop_n(queue, 1).size(), 1u);
    }
    Trace const trace = setup.calls();
    ASSERT_GE(trace.size(), 4u);
    EXPECT_EQ(Trace(trace.end() - 4, trace.end()), (Trace{"Init", "Uninit", "ReleaseDevice X", "Close"}));
}

TEST(SdrRadio, StartAndStopFailuresCarryTheLibraryText)
{
    {
        StandinSetup setup({{"FAIL", "Init"}});
        SampleQueue queue;
        Built built = build(standin_options());
        configure_unmerged(queue);
        try {
            built.radio->start(queue);
            ADD_FAILURE() << "start succeeded";
        } catch (std::runtime_error const& error) {
            EXPECT_EQ(std::string(error.what()), "Start SDRplay stream: " + injected);
        }
    }
    {
        StandinSetup setup({{"FAIL", "Uninit"}, {"BLOCKS", "1"}});
        SampleQueue queue;
        Built built = build(standin_options());
        configure_unmerged(queue);
        built.radio->start(queue);
        testing::internal::CaptureStderr();
        EXPECT_NO_THROW(built.radio->stop());
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Stop SDRplay stream: " + injected + "\n");
    }
}

// ---- The stream: samples, sequence gaps and resets -----------------------------------------------

struct Mark {
    std::uint32_t flags;
    std::uint64_t gap;
    std::uint32_t expected;
    std::uint32_t received;

    friend bool operator==(Mark const&, Mark const&) = default;
};

void PrintTo(Mark const& m, std::ostream* os)
{
    *os << "{flags " << m.flags << " gap " << m.gap << " expected " << m.expected << " received " << m.received << "}";
}

struct StreamCase {
    char const* name;
    bool wideband;
    char const* script;
    char const* first_sample;
    std::vector<Mark> marks;  // one per delivery; flags 0 means not discontinuous
};

void PrintTo(StreamCase const& c, std::ostream* os) { *os << c.name; }

class SdrRadioStream : public testing::TestWithParam<StreamCase> {};

TEST_P(SdrRadioStream, MarksGapsAndResets)
{
    StreamCase const& c = GetParam();
    StandinSetup setup({{"BLOCK", "256"},
                        {"BLOCKS", std::to_string(c.marks.size())},
                        {"SCRIPT", c.script},
                        {"FIRST_SAMPLE", c.first_sample}});
    Options options = standin_options();
    options.wideband = c.wideband;
    SampleQueue queue;
    Built built = build(options);
    configure_unmerged(queue);
    built.radio->start(queue);
    std::vector<IqBlock> const blocks = pop_n(queue, c.marks.size());
    ASSERT_EQ(blocks.size(), c.marks.size());
    double const now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    for (std::size_t k = 0; k < blocks.size(); ++k) {
        IqBlock const& block = blocks[k];
        EXPECT_EQ(block.discontinuity, c.marks[k].flags != 0) << "block " << k;
        EXPECT_EQ((Mark{block.gap_flags, block.gap_samples, block.expected_sample, block.received_sample}),
                  c.marks[k])
            << "block " << k;
        ASSERT_EQ(block.samples.size(), 256u);
        EXPECT_NEAR(block.utc, now, 5.0);
    }
    // The stand-in's tone starts at phase 0 with amplitude 8192 of 32768.
    EXPECT_FLOAT_EQ(blocks[0].samples[0].real(), 0.25f);
    EXPECT_FLOAT_EQ(blocks[0].samples[0].imag(), 0.0f);
    IqBlock extra;
    EXPECT_FALSE(queue.pop(extra));
}

Mark const none{0, 0, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Table, SdrRadioStream,
    testing::Values(
        StreamCase{"WidebandGapsAndReset",
                   true,
                   "2:gap:1000,4:gap:-5,6:reset",
                   "0",
                   {none, none, Mark{GAP_SEQUENCE, 1000, 512, 1512}, none,
                    Mark{GAP_SEQUENCE | GAP_UNKNOWN_SIZE, 0, 2024, 2019}, none, Mark{GAP_SOURCE_RESET, 0, 0, 0}, none}},
        StreamCase{"AudioIgnoresNumbering",
                   false,
                   "2:gap:1000,4:gap:-5,6:reset",
                   "0",
                   {none, none, none, none, none, none, Mark{GAP_SOURCE_RESET, 0, 0, 0}, none}},
        StreamCase{"NumberingWrapsWithoutGap", true, "", "4294967040", {none, none, none}},
        StreamCase{"GapAcrossWrap",
                   true,
                   "1:gap:16",
                   "4294967040",
                   {none, Mark{GAP_SEQUENCE, 16, 0, 16}, none}},
        StreamCase{"ResetWithGapIsOnlyAReset", true, "1:gap:99,1:reset", "0", {none, Mark{GAP_SOURCE_RESET, 0, 0, 0}}}),
    [](auto const& info) { return info.param.name; });

TEST(SdrRadio, RestartMarksTheLibrarysResetAfterSamplesFlowed)
{
    StandinSetup setup({{"BLOCK", "64"}, {"BLOCKS", "2"}});
    SampleQueue queue;
    Built built = build(standin_options());
    configure_unmerged(queue);
    built.radio->start(queue);
    std::vector<IqBlock> const first = pop_n(queue, 2);
    built.radio->stop();
    built.radio->start(queue);
    std::vector<IqBlock> const second = pop_n(queue, 2);
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_FALSE(first[0].discontinuity);
    EXPECT_TRUE(second[0].discontinuity);
    EXPECT_EQ(second[0].gap_flags, GAP_SOURCE_RESET);
    EXPECT_FALSE(second[1].discontinuity);
}

TEST(SdrRadio, StreamsTheIqFileScaledToFullScale)
{
    StandinSetup setup({{"BLOCK", "3"}, {"BLOCKS", "2"}});
    // Four little-endian PCM16 pairs, streamed in a loop.
    std::vector<std::int16_t> const pairs = {100, -100, 32767, -32768, 0, 1, -1, 0};
    std::string bytes;
    for (std::int16_t value : pairs) {
        bytes += static_cast<char>(static_cast<std::uint16_t>(value) & 0xff);
        bytes += static_cast<char>(static_cast<std::uint16_t>(value) >> 8);
    }
    std::filesystem::path const file = setup.file("tone.iq");
    std::ofstream(file, std::ios::binary) << bytes;
    setup.set("IQ_FILE", file.string());
    SampleQueue queue;
    Built built = build(standin_options());
    configure_unmerged(queue);
    built.radio->start(queue);
    std::vector<IqBlock> const blocks = pop_n(queue, 2);
    ASSERT_EQ(blocks.size(), 2u);
    using C = std::complex<float>;
    float const s = 1.0f / 32768.0f;
    EXPECT_EQ(std::vector<C>(blocks[0].samples.begin(), blocks[0].samples.end()), (std::vector<C>{{100 * s, -100 * s}, {32767 * s, -1.0f}, {0.0f, s}}));
    EXPECT_EQ(std::vector<C>(blocks[1].samples.begin(), blocks[1].samples.end()), (std::vector<C>{{-s, 0.0f}, {100 * s, -100 * s}, {32767 * s, -1.0f}}));
}

// ---- Events: device loss and overload ------------------------------------------------------------

struct FatalEventCase {
    char const* name;
    char const* script;
    char const* fail;
    std::size_t blocks_before;
    char const* message;
};

void PrintTo(FatalEventCase const& c, std::ostream* os) { *os << c.name; }

class SdrRadioFatalEvent : public testing::TestWithParam<FatalEventCase> {};

TEST_P(SdrRadioFatalEvent, EndsTheRunThroughTheQueue)
{
    FatalEventCase const c = GetParam();
    StandinSetup setup({{"BLOCK", "64"}, {"SCRIPT", c.script}, {"FAIL", c.fail}});
    SampleQueue queue;
    Built built = build(standin_options());
    configure_unmerged(queue);
    built.radio->start(queue);
    // The queue closes with the failure: the blocks delivered before it remain, then pops end.
    std::vector<IqBlock> const blocks = pop_n(queue, 1000);
    EXPECT_EQ(blocks.size(), c.blocks_before);
    EXPECT_EQ(queue.failure(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SdrRadioFatalEvent,
    testing::Values(FatalEventCase{"Removed", "3:remove", "", 3, "SDRplay device removed or failed"},
                    FatalEventCase{"Failed", "2:failure", "", 2, "SDRplay device removed or failed"},
                    FatalEventCase{"AcknowledgementRefused", "3:overload,5:remove", "Update", 3,
                                   "SDRplay overload acknowledgement failed"}),
    [](auto const& info) { return info.param.name; });

TEST(SdrRadio, OverloadReportsAreRateLimitedToFiveSeconds)
{
    StandinSetup setup({{"BLOCK", "64"}, {"SCRIPT", "1:overload,2:corrected,3:overload,4:overload,5:corrected"}});
    StandinGate gate(setup);
    auto const t0 = std::chrono::steady_clock::time_point{} + 1h;
    auto now = t0;
    SampleQueue queue;
    Built built = build(standin_options(), [&now] { return now; });
    configure_unmerged(queue);
    built.radio->start(queue);

    // Runs the stream up to delivery k (and the events before it), then reports at `at`.
    auto report_after = [&](std::size_t deliveries, std::chrono::steady_clock::duration at) {
        gate.release(deliveries);
        EXPECT_EQ(pop_n(queue, deliveries).size(), deliveries);
        now = t0 + at;
        testing::internal::CaptureStderr();
        built.radio->report_overload();
        return testing::internal::GetCapturedStderr();
    };

    EXPECT_EQ(report_after(1, 0s), "");  // no event yet
    EXPECT_EQ(report_after(1, 1s), "RF overload detected (events=1); reduce RF Gain\n");
    // Cleared and detected again within five seconds: the count grows, the line waits.
    EXPECT_EQ(report_after(2, 2s), "");
    // A second "detected" while already detected is not a new event.
    EXPECT_EQ(report_after(1, 5900ms), "");
    EXPECT_EQ(report_after(0, 6s), "RF overload detected (events=2); reduce RF Gain\n");
    EXPECT_EQ(report_after(1, 7s), "RF overload cleared (events=2)\n");
    EXPECT_EQ(report_after(0, 30s), "");
    // Each overload message was acknowledged on the tuner that raised it.
    EXPECT_EQ(setup.trace_of("Update").size(), 5u);
    EXPECT_EQ(setup.trace_of("Update")[0], "Update tuner=1 reason=0x4000000 ext=0");
}

TEST(SdrRadio, ClearedLineFollowsOnlyAPrintedDetection)
{
    StandinSetup setup({{"BLOCK", "64"}, {"SCRIPT", "0:corrected"}});
    StandinGate gate(setup);
    SampleQueue queue;
    Built built = build(standin_options());
    configure_unmerged(queue);
    built.radio->start(queue);
    gate.release(1);
    ASSERT_EQ(pop_n(queue, 1).size(), 1u);
    testing::internal::CaptureStderr();
    built.radio->report_overload();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// ---- Live retune ---------------------------------------------------------------------------------

struct RetuneCheckCase {
    char const* name;
    char const* devices;
    char const* antenna;
    std::uint32_t lna_state;
    bool streaming;
    double hz;
    char const* error;  // empty: the retune is possible
};

void PrintTo(RetuneCheckCase const& c, std::ostream* os) { *os << c.name; }

class SdrRadioRetuneCheck : public testing::TestWithParam<RetuneCheckCase> {};

TEST_P(SdrRadioRetuneCheck, RefusesOutOfRangeOrUnavailableLnaState)
{
    RetuneCheckCase const c = GetParam();
    StandinSetup setup({{"DEVICES", c.devices}});
    StandinGate gate(setup);  // closed: no delivery, so nothing changes under the check
    Options options = standin_options();
    options.wideband = true;
    options.antenna = c.antenna;
    options.lna_state = c.lna_state;
    SampleQueue queue;
    Built built = build(options);
    configure_unmerged(queue);
    if (c.streaming)
        built.radio->start(queue);
    std::string error;
    try {
        built.radio->check_retune(c.hz);
    } catch (std::runtime_error const& e) {
        error = e.what();
    }
    EXPECT_EQ(error, c.error);
    EXPECT_TRUE(setup.trace_of("Update").empty());
}

char const* const invalid_retune = "Invalid RF retune or receiver is not streaming";
char const* const lna_unavailable = "Choose an RF Gain state available at the new frequency before retuning";

INSTANTIATE_TEST_SUITE_P(
    Table, SdrRadioRetuneCheck,
    testing::Values(RetuneCheckCase{"NotStreaming", "255:X:1", "", 0, false, 7074000, invalid_retune},
                    RetuneCheckCase{"Below1k", "255:X:1", "", 0, true, 999, invalid_retune},
                    RetuneCheckCase{"Above2G", "255:X:1", "", 0, true, 2000000001, invalid_retune},
                    RetuneCheckCase{"NaN", "255:X:1", "", 0, true, std::numeric_limits<double>::quiet_NaN(),
                                    invalid_retune},
                    RetuneCheckCase{"Exactly1k", "255:X:1", "", 0, true, 1000, ""},
                    RetuneCheckCase{"Exactly2G", "255:X:1", "", 0, true, 2e9, ""},
                    RetuneCheckCase{"Rsp2HiZStateBeyondHfList", "2:X:1", "HiZ", 5, true, 14074000, lna_unavailable},
                    RetuneCheckCase{"Rsp2HiZLastHfState", "2:X:1", "HiZ", 4, true, 14074000, ""},
                    RetuneCheckCase{"Rsp2HiZNoListAtVhf", "2:X:1", "HiZ", 5, true, 100000000, ""},
                    RetuneCheckCase{"Rsp2PortAHasMoreStates", "2:X:1", "A", 5, true, 14074000, ""},
                    RetuneCheckCase{"DxNoListBelow2M", "4:X:1", "", 25, true, 1800000, ""},
                    RetuneCheckCase{"DxStateBeyondHfList", "4:X:1", "", 19, true, 7074000, lna_unavailable},
                    RetuneCheckCase{"Rsp1aAt60MUsesVhfList", "255:X:1", "", 9, true, 60000000, ""},
                    RetuneCheckCase{"Rsp1aBelow60MHasSeven", "255:X:1", "", 9, true, 59999999, lna_unavailable},
                    // The RSP1B's seven-state band reaches 60 MHz, as the RSP1A's does.
                    RetuneCheckCase{"Rsp1bAt55MHasSeven", "6:X:1", "", 9, true, 55000000, lna_unavailable},
                    RetuneCheckCase{"Rsp1bAt60MUsesVhfList", "6:X:1", "", 9, true, 60000000, ""}),
    [](auto const& info) { return info.param.name; });

class SdrRadioRetune : public testing::Test {
protected:
    // A wideband capture at 14.074 MHz streaming in real time, with the test's marker block
    // queued in front of the library's samples.
    void start(std::map<std::string, std::string> const& settings)
    {
        setup_ = std::make_unique<StandinSetup>(settings);
        setup_->set("PACE", "realtime");
        setup_->set("BLOCK", "2000");
        Options options = standin_options();
        options.wideband = true;
        built_ = build(options);
        queue_.configure(built_.radio->sample_rate(), 2.0);
        queue_.push(marker_block());
        built_.radio->start(queue_);
    }

    Trace rf_updates() const { return setup_->trace_of("Update"); }

    std::string retune_error(double hz)
    {
        try {
            built_.radio->retune(hz);
        } catch (std::runtime_error const& error) {
            return error.what();
        }
        return "";
    }

    IqBlock next_block()
    {
        std::vector<IqBlock> blocks = pop_n(queue_, 1);
        return blocks.empty() ? IqBlock{} : std::move(blocks[0]);
    }

    std::unique_ptr<StandinSetup> setup_;
    SampleQueue queue_;  // before the radio, which pushes into it until destroyed
    Built built_;
};

TEST_F(SdrRadioRetune, SameFrequencyMakesNoCallAndKeepsTheQueue)
{
    start({});
    EXPECT_EQ(retune_error(14074000), "");
    EXPECT_TRUE(rf_updates().empty());
    EXPECT_TRUE(is_marker(next_block()));
}

TEST_F(SdrRadioRetune, ConfirmedRetuneDropsTheOldFrequencysSamples)
{
    start({});
    EXPECT_EQ(retune_error(7074000), "");
    EXPECT_EQ(rf_updates(), Trace{"Update tuner=1 reason=0x20000 ext=0 rf=7074000"});
    IqBlock const block = next_block();
    EXPECT_FALSE(block.samples.empty());
    EXPECT_FALSE(is_marker(block));
    EXPECT_EQ(queue_.failure(), "");
}

struct RetuneFailureCase {
    char const* name;
    std::map<std::string, std::string> settings;
    char const* queue_failure;
};

void PrintTo(RetuneFailureCase const& c, std::ostream* os) { *os << c.name; }

class SdrRadioRetuneFailure : public SdrRadioRetune, public testing::WithParamInterface<RetuneFailureCase> {};

TEST_P(SdrRadioRetuneFailure, RestoresThePreviousFrequency)
{
    RetuneFailureCase const& c = GetParam();
    start(c.settings);
    EXPECT_EQ(retune_error(7074000), "SDRplay retune failed; previous frequency requested");
    Trace const updates = rf_updates();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_NE(updates[0].find("rf=7074000"), std::string::npos);
    EXPECT_NE(updates[1].find("rf=14074000"), std::string::npos);
    EXPECT_EQ(queue_.failure(), c.queue_failure);
    // Whatever the outcome, nothing of the attempt stays queued.
    EXPECT_FALSE(is_marker(next_block()));
}

char const* const restore_failed = "SDRplay retune could not confirm RF tuning or restore the previous frequency";

INSTANTIATE_TEST_SUITE_P(
    Table, SdrRadioRetuneFailure,
    testing::Values(RetuneFailureCase{"NewFrequencyNeverConfirmed", {{"DEAF_HZ", "7074000"}}, ""},
                    RetuneFailureCase{"UpdateRefused", {{"FAIL", "Update"}}, restore_failed},
                    RetuneFailureCase{"NothingEverConfirmed", {{"RF_CONFIRM", "never"}}, restore_failed}),
    [](auto const& info) { return info.param.name; });
