#include "sig/analysis_channel_spec.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>

#include "core/capture_fit_error.hpp"

namespace {

using sig::Mode;

AnalysisChannel channel_with(void (*change)(AnalysisChannel&)) {
    AnalysisChannel c;
    c.id = "a";
    c.dial_hz = 14070000;
    change(c);
    return c;
}

// --- refusals -------------------------------------------------------------------------------

struct Refusal {
    std::string spec;
    std::string message;
};

std::ostream& operator<<(std::ostream& out, const Refusal& r) { return out << r.spec; }

class AnalysisChannelRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(AnalysisChannelRefusal, RefusesWithTheUsersMessage) {
    const Refusal& r = GetParam();
    try {
        parse_analysis_channel(r.spec);
        FAIL() << "accepted " << r.spec;
    } catch (const CaptureFitError&) {
        FAIL() << "a spec error must not look like a capture-fit error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), r.message);
    }
}

const std::string spec_msg = "Invalid analysis channel specification";
const std::string fields_msg = "Analysis channel fields must be unique key=value pairs (separate modes with '+')";
const std::string number_msg = "Invalid analysis channel number";
const std::string id_msg = "Analysis channel ID must be 1..32 letters, digits, underscores or hyphens";
const std::string bandwidth_msg = "Analysis channel requires 200..20000 Hz bandwidth";
const std::string passband_msg = "Analysis passband must be within 1k..2000M Hz";
const std::string modes_msg =
    "Analysis modes must be auto or '+'-separated names from psk31, qpsk31, psk63, rtty, olivia, cw, wefax, sstv, jtty";
const std::string olivia_syntax_msg = "Analysis olivia entries are FORMAT@AUDIO_HZ, for example 8/250@1500";
const std::string olivia_msg = "Analysis olivia entries are FORMAT@AUDIO_HZ inside the channel, for example 8/250@1500";
const std::string rtty_msg = "Analysis rtty must be 45.45/170, 50/170, 75/850 or auto";
const std::string wefax_msg = "Analysis wefax must be 120/576, 60/288, 90/576, 240/576 or auto";

INSTANTIATE_TEST_SUITE_P(
    Shape, AnalysisChannelRefusal,
    testing::Values(Refusal{"", spec_msg}, Refusal{"id=a,frequency=14M\n", spec_msg},
                    Refusal{"id=a,frequency=14M\r", spec_msg},
                    Refusal{"id=a,frequency=14M,rtty=" + std::string(4096 - 23, 'x'), spec_msg},
                    Refusal{"id=a,frequency=", fields_msg}, Refusal{"id=a,=14M", fields_msg},
                    Refusal{"id=a,id=b,frequency=14M", fields_msg}, Refusal{"id=a,,frequency=14M", fields_msg},
                    Refusal{"id=a,frequency=14M,modes=psk31,rtty", fields_msg},
                    Refusal{"id=a,frequency=14M,,", fields_msg}));

INSTANTIATE_TEST_SUITE_P(
    Fields, AnalysisChannelRefusal,
    testing::Values(
        Refusal{"id=a,frequency=14M,colour=red", "Unknown analysis channel field: colour"},
        Refusal{"id=a,Frequency=14M", "Unknown analysis channel field: Frequency"},
        Refusal{"id=a,frequency=14.07MHz", number_msg}, Refusal{"id=a,frequency=14M ", number_msg},
        Refusal{"id=a,frequency=M", number_msg}, Refusal{"id=a,frequency=0x10", number_msg},
        Refusal{"id=a,frequency=inf", number_msg}, Refusal{"id=a,frequency=1e308k", number_msg},
        Refusal{"id=a,frequency=14M,modulation=am", "Analysis modulation must be USB or LSB"},
        Refusal{"id=a,frequency=14M,modes=psk31+psk31", "Analysis modes must not repeat"},
        Refusal{"id=a,frequency=14M,modes=PSK31+cw+Psk31", "Analysis modes must not repeat"},
        Refusal{"id=a,frequency=14M,modes=unknown", modes_msg},
        Refusal{"id=a,frequency=14M,modes=psk31++rtty", modes_msg},
        Refusal{"id=a,frequency=14M,modes=psk31+", modes_msg},
        Refusal{"id=a,frequency=14M,modes=auto+cw", modes_msg},
        Refusal{"id=a,frequency=14M,modes=ft8", modes_msg},
        Refusal{"id=a,frequency=14M,report=yes", "Analysis report must be true or false"},
        Refusal{"id=a,frequency=14M,report=ON", "Analysis report must be true or false"},
        Refusal{"id=a,frequency=14M,enabled=True", "Analysis enabled must be true or false"},
        Refusal{"id=a,frequency=14M,olivia=@1500", olivia_syntax_msg},
        Refusal{"id=a,frequency=14M,olivia=8/250", olivia_syntax_msg},
        Refusal{"id=a,frequency=14M,olivia=8/250@1500+", olivia_syntax_msg},
        Refusal{"id=a,frequency=14M,olivia=8/250@", "Missing analysis channel number"},
        Refusal{"id=a,frequency=14M,olivia=8/250@1500@2", number_msg},
        // Keys apply in byte order: "bandwidth" is read before "modulation".
        Refusal{"modulation=am,bandwidth=x,id=a,frequency=14M", number_msg},
        Refusal{"id=a,bandwidth=3000", "Analysis channel frequency is required"},
        Refusal{"frequency=14M", id_msg}));

INSTANTIATE_TEST_SUITE_P(
    Validation, AnalysisChannelRefusal,
    testing::Values(
        Refusal{"id=ab cd,frequency=14M", id_msg}, Refusal{"id=" + std::string(33, 'i') + ",frequency=14M", id_msg},
        Refusal{"id=a.b,frequency=14M", id_msg},
        Refusal{"id=a,frequency=14M,bandwidth=199", bandwidth_msg},
        Refusal{"id=a,frequency=14M,bandwidth=20001", bandwidth_msg},
        Refusal{"id=a,frequency=999,bandwidth=200", passband_msg},
        Refusal{"id=a,frequency=1199,modulation=lsb,bandwidth=200", passband_msg},
        Refusal{"id=a,frequency=1999998000", passband_msg},
        Refusal{"id=a,frequency=14M,rtty=45/170", rtty_msg}, Refusal{"id=a,frequency=14M,rtty=AUTO", rtty_msg},
        Refusal{"id=a,frequency=14M,wefax=120/577", wefax_msg},
        Refusal{"id=a,frequency=14M,wefax=Auto", wefax_msg},
        Refusal{"id=a,frequency=14M,olivia=8/250@1500+8/250@1500+8/250@1500+8/250@1500+8/250@1500+8/250@1500+"
                "8/250@1500+8/250@1500+8/250@1500",
                "At most 8 fixed Olivia decoders per analysis channel"},
        Refusal{"id=a,frequency=14M,olivia=8/250@3000", olivia_msg},
        Refusal{"id=a,frequency=14M,olivia=8/250@200", olivia_msg},
        Refusal{"id=a,frequency=14M,olivia=6/250@1500", olivia_msg},
        Refusal{"id=a,frequency=14M,olivia=8/300@1500", olivia_msg},
        // Pairs the Olivia decoder cannot run are refused here, not when the decoder is built.
        Refusal{"id=a,frequency=14M,olivia=32/500@1500", olivia_msg},
        Refusal{"id=a,frequency=14M,olivia=16/250@1500", olivia_msg},
        Refusal{"id=a,frequency=14M,olivia=64/125@1500", olivia_msg},
        Refusal{"id=a,frequency=14M,olivia= 8/250@1500", olivia_msg},
        Refusal{"id=a,frequency=14M,olivia=+8/250@1500", olivia_syntax_msg},
        Refusal{"id=a,frequency=14M,olivia=8/-250@1500", olivia_msg},
        Refusal{"id=a,frequency=14M,olivia=8/250 @1500", olivia_msg},
        Refusal{"id=a,frequency=14M,olivia=8/250/1@1500", olivia_msg},
        Refusal{"id=a,frequency=14M,olivia=99999999999999999999/250@1500", olivia_msg},
        Refusal{"id=a,frequency=14M,olivia=8/250@1e9", olivia_msg}));

// --- accepted specs -------------------------------------------------------------------------

struct Accepted {
    std::string spec;
    AnalysisChannel expected;
};

std::ostream& operator<<(std::ostream& out, const Accepted& a) { return out << a.spec; }

class AnalysisChannelParse : public testing::TestWithParam<Accepted> {};

TEST_P(AnalysisChannelParse, GivesTheRecord) {
    EXPECT_EQ(parse_analysis_channel(GetParam().spec), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Spec, AnalysisChannelParse,
    testing::Values(
        Accepted{"id=a,frequency=14.07M", channel_with([](AnalysisChannel&) {})},
        Accepted{"frequency=14070k,id=a,", channel_with([](AnalysisChannel&) {})},
        Accepted{"id=a,frequency=14m", channel_with([](AnalysisChannel& c) { c.dial_hz = 14000000; })},
        Accepted{"id=a,frequency=14070000,modulation=Lsb", channel_with([](AnalysisChannel& c) { c.usb = false; })},
        Accepted{"id=a,frequency=14070000,modes=AUTO", channel_with([](AnalysisChannel&) {})},
        Accepted{"id=a,frequency=14070000,modes=PSK31+wefax",
                 channel_with([](AnalysisChannel& c) {
                     c.modes_auto = false;
                     c.modes = {Mode::PSK31, Mode::WEFAX};
                 })},
        Accepted{"id=a,frequency=14070000,modes=jtty+sstv+cw+olivia+rtty+psk63+qpsk31+psk31+wefax",
                 channel_with([](AnalysisChannel& c) {
                     c.modes_auto = false;
                     c.modes = {Mode::JTTY,  Mode::SSTV,   Mode::CW,    Mode::OLIVIA, Mode::RTTY,
                                Mode::PSK63, Mode::QPSK31, Mode::PSK31, Mode::WEFAX};
                 })},
        Accepted{"id=a,frequency=14070000,rtty=45.45/170,wefax=60/288,report=off,enabled=0",
                 channel_with([](AnalysisChannel& c) {
                     c.rtty = "45.45/170";
                     c.wefax = "60/288";
                     c.report = false;
                     c.enabled = false;
                 })},
        Accepted{"id=a,frequency=14070000,rtty=75/850,wefax=240/576,report=1,enabled=on",
                 channel_with([](AnalysisChannel& c) {
                     c.rtty = "75/850";
                     c.wefax = "240/576";
                 })},
        Accepted{"id=a,frequency=14070000,bandwidth=200", channel_with([](AnalysisChannel& c) { c.bandwidth_hz = 200; })},
        Accepted{"id=a,frequency=14070000,bandwidth=20k",
                 channel_with([](AnalysisChannel& c) { c.bandwidth_hz = 20000; })},
        Accepted{"id=a,frequency=1200,modulation=lsb,bandwidth=200", channel_with([](AnalysisChannel& c) {
                     c.dial_hz = 1200;
                     c.usb = false;
                     c.bandwidth_hz = 200;
                 })},
        Accepted{"id=a,frequency=1999997000", channel_with([](AnalysisChannel& c) { c.dial_hz = 1999997000; })},
        // Olivia entries: band edges inclusive, every accepted pair's widest tone count.
        Accepted{"id=a,frequency=14070000,olivia=8/250@1500+64/2000@1100+4/125@162.5+08/0250@2875",
                 channel_with([](AnalysisChannel& c) {
                     c.olivia = {{"8/250", 1500}, {"64/2000", 1100}, {"4/125", 162.5}, {"08/0250", 2875}};
                 })},
        Accepted{"id=a,frequency=14070000,bandwidth=5k,olivia=64/500@1k+16/1000@2k+32/1000@3k",
                 channel_with([](AnalysisChannel& c) {
                     c.bandwidth_hz = 5000;
                     c.olivia = {{"64/500", 1000}, {"16/1000", 2000}, {"32/1000", 3000}};
                 })},
        Accepted{"id=a,frequency=14070000,olivia=8/250@1500+8/250@1500+8/250@1500+8/250@1500+8/250@1500+"
                 "8/250@1500+8/250@1500+8/250@1500",
                 channel_with([](AnalysisChannel& c) { c.olivia.assign(8, sig::OliviaEntry{"8/250", 1500}); })}));

TEST(AnalysisChannel, SpecOf4096BytesIsTheLongestAccepted) {
    const std::string head = "id=a,frequency=";
    const std::string spec = head + std::string(4096 - head.size() - 8, '0') + "14070000";
    ASSERT_EQ(spec.size(), 4096u);
    EXPECT_EQ(parse_analysis_channel(spec).dial_hz, 14070000.0);
    try {
        parse_analysis_channel("0" + spec);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), spec_msg);
    }
}

TEST(AnalysisChannel, FirstExampleHasEveryDefault) {
    const AnalysisChannel c = parse_analysis_channel("id=a,frequency=14.07M");
    EXPECT_EQ(c.id, "a");
    EXPECT_EQ(c.dial_hz, 14070000.0);
    EXPECT_TRUE(c.usb);
    EXPECT_EQ(c.bandwidth_hz, 3000.0);
    EXPECT_TRUE(c.modes_auto);
    EXPECT_TRUE(c.modes.empty());
    EXPECT_EQ(c.rtty, "auto");
    EXPECT_EQ(c.wefax, "auto");
    EXPECT_TRUE(c.report);
    EXPECT_TRUE(c.olivia.empty());
    EXPECT_TRUE(c.enabled);
    EXPECT_EQ(format_analysis_channel(c),
              "id=a,frequency=14070000,modulation=USB,bandwidth=3000,modes=auto,rtty=auto,wefax=auto,report=on,"
              "enabled=true");
}

TEST(AnalysisChannel, FormatsFixedModesAndOliviaEntries) {
    const AnalysisChannel c = channel_with([](AnalysisChannel& ch) {
        ch.dial_hz = 7171000.5;
        ch.usb = false;
        ch.bandwidth_hz = 2800.1;
        ch.modes_auto = false;
        ch.modes = {Mode::SSTV, Mode::QPSK31};
        ch.rtty = "50/170";
        ch.report = false;
        ch.enabled = false;
        ch.olivia = {{"8/250", 1500.5}, {"4/125", 0.1 + 1000}};
    });
    EXPECT_EQ(format_analysis_channel(c),
              "id=a,frequency=7171000.5,modulation=LSB,bandwidth=2800.0999999999999,modes=sstv+qpsk31,rtty=50/170,"
              "wefax=auto,report=off,enabled=false,olivia=8/250@1500.5+4/125@1000.1");
}

TEST(AnalysisChannel, FormattedSpecParsesBackToTheSameRecord) {
    const AnalysisChannel channels[] = {
        channel_with([](AnalysisChannel&) {}),
        channel_with([](AnalysisChannel& c) {
            c.dial_hz = 10141000.123456789;
            c.bandwidth_hz = 4999.999;
            c.usb = false;
            c.modes_auto = false;
            c.modes = {Mode::JTTY, Mode::OLIVIA, Mode::WEFAX};
            c.rtty = "45.45/170";
            c.wefax = "90/576";
            c.report = false;
            c.enabled = false;
            c.olivia = {{"16/1000", 2000.0 / 3.0}, {"8/250", 0.1 + 1000}};
        }),
    };
    for (const AnalysisChannel& c : channels) {
        const std::string text = format_analysis_channel(c);
        EXPECT_EQ(parse_analysis_channel(text), c) << text;
    }
}

TEST(AnalysisChannel, ValidationRefusesWhatNoSpecTextCanCarry) {
    const std::pair<AnalysisChannel, std::string> cases[] = {
        {channel_with([](AnalysisChannel& c) { c.dial_hz = std::nan(""); }), bandwidth_msg},
        {channel_with([](AnalysisChannel& c) { c.bandwidth_hz = std::nan(""); }), bandwidth_msg},
        {channel_with([](AnalysisChannel& c) { c.modes_auto = false; }), "Analysis modes must name at least one mode"},
        {channel_with([](AnalysisChannel& c) {
             c.modes_auto = false;
             c.modes = {Mode::CW, Mode::UNKNOWN};
         }),
         "Analysis modes must not include unknown"},
        {channel_with([](AnalysisChannel& c) {
             c.modes_auto = false;
             c.modes = {static_cast<Mode>(42)};
         }),
         "Analysis modes must not include unknown"},
        {channel_with([](AnalysisChannel& c) { c.olivia = {{"8/250", std::nan("")}}; }), olivia_msg},
        {channel_with([](AnalysisChannel& c) { c.olivia = {{"8/250", HUGE_VAL}}; }), olivia_msg},
        {channel_with([](AnalysisChannel& c) { c.olivia = {{"", 1500}}; }), olivia_msg},
    };
    for (const auto& [channel, message] : cases) {
        try {
            format_analysis_channel(channel);
            ADD_FAILURE() << "formatted: " << message;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), message);
        }
    }
}

TEST(AnalysisChannel, PassbandEdgesFollowTheSideband) {
    AnalysisChannel c = channel_with([](AnalysisChannel& ch) { ch.dial_hz = 7171000; });
    EXPECT_EQ(passband_edges(c), std::make_pair(7171000.0, 7174000.0));
    c.usb = false;
    EXPECT_EQ(passband_edges(c), std::make_pair(7168000.0, 7171000.0));
}

TEST(AnalysisChannel, CaptureFitIsInclusiveAndSkipsDisabledChannels) {
    // Centre 14.1 MHz at 2 MHz: usable 13.2..15.0 MHz.
    const double centre = 14100000, width = 2000000;
    AnalysisChannel c = parse_analysis_channel("id=a,frequency=14997000,bandwidth=3000");
    EXPECT_NO_THROW(check_passband_in_capture(c, centre, width));
    c.dial_hz = 14997001;
    try {
        check_passband_in_capture(c, centre, width);
        FAIL() << "does not fit";
    } catch (const CaptureFitError& e) {
        EXPECT_STREQ(e.what(), "Analysis passband is outside the running capture; receiver restart required");
    }
    c.enabled = false;
    EXPECT_NO_THROW(check_passband_in_capture(c, centre, width));

    c = parse_analysis_channel("id=a,frequency=13203000,modulation=lsb");  // low edge on the limit
    EXPECT_NO_THROW(check_passband_in_capture(c, centre, width));
    c.dial_hz -= 1;
    EXPECT_THROW(check_passband_in_capture(c, centre, width), CaptureFitError);
    EXPECT_THROW(check_passband_in_capture(c, std::nan(""), width), CaptureFitError);
}

TEST(AnalysisChannel, CaptureFitValidatesFirstEvenForDisabledChannels) {
    const AnalysisChannel c = channel_with([](AnalysisChannel& ch) {
        ch.enabled = false;
        ch.rtty = "110/170";
    });
    try {
        check_passband_in_capture(c, 14100000, 2000000);
        FAIL();
    } catch (const CaptureFitError&) {
        FAIL() << "validation errors are plain errors";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), rtty_msg);
    }
}

TEST(AnalysisChannel, OnlyJttyModes) {
    const struct {
        const char* spec;
        bool fallback;
        bool expected;
    } cases[] = {
        {"modes=jtty", false, true},    {"modes=jtty", true, true},        {"modes=auto", false, false},
        {"modes=auto", true, true},     {"modes=jtty+cw", false, false},   {"modes=jtty+cw", true, true},
        {"modes=wefax", false, false},  {"modes=wefax", true, true},
    };
    for (const auto& c : cases) {
        const AnalysisChannel channel = parse_analysis_channel(std::string("id=a,frequency=14090000,") + c.spec);
        EXPECT_EQ(only_jtty_modes(channel, c.fallback), c.expected) << c.spec << " fallback " << c.fallback;
    }
}

TEST(AnalysisChannel, FieldReaders) {
    EXPECT_EQ(parse_analysis_number("  1.5e3k"), 1500000.0);
    EXPECT_EQ(parse_analysis_number("-7"), -7.0);
    EXPECT_EQ(parse_analysis_number("2M"), 2000000.0);
    try {
        parse_analysis_number("");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Missing analysis channel number");
    }
    EXPECT_TRUE(parse_analysis_bool("on", "report"));
    EXPECT_FALSE(parse_analysis_bool("0", "report"));
    try {
        parse_analysis_bool("no", "enabled");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Analysis enabled must be true or false");
    }
}

TEST(ModeNames, UpperCaseNamesAndUnknownForOtherValues) {
    const std::pair<std::uint32_t, const char*> names[] = {
        {0, "UNKNOWN"}, {1, "PSK31"}, {2, "QPSK31"}, {3, "PSK63"}, {4, "RTTY"},     {5, "OLIVIA"},
        {6, "CW"},      {7, "WEFAX"}, {8, "SSTV"},   {9, "JTTY"},  {10, "UNKNOWN"}, {0xFFFFFFFF, "UNKNOWN"},
    };
    for (const auto& [value, name] : names) {
        EXPECT_STREQ(sig::mode_name(static_cast<Mode>(value)), name) << value;
        EXPECT_STREQ(sig::mode_name(value), name) << value;
    }
}

}  // namespace
