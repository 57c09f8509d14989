#include "live/audio_channel_spec.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>

#include "core/capture_fit_error.hpp"

namespace {

struct Refusal {
    std::string spec;
    std::string message;
};

std::ostream& operator<<(std::ostream& out, const Refusal& r) { return out << r.spec; }

class AudioChannelRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(AudioChannelRefusal, RefusesWithTheUsersMessage) {
    const Refusal& r = GetParam();
    try {
        parse_audio_channel(r.spec);
        FAIL() << "accepted " << r.spec;
    } catch (const CaptureFitError&) {
        FAIL() << "a spec error must not look like a capture-fit error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), r.message);
    }
}

const std::string fields_msg = "Audio channel fields must be unique key=value pairs";
const std::string number_msg = "Invalid audio channel number";
const std::string flag_msg = "Audio enabled must be true or false";
const std::string limits_msg =
    "Audio channel requires 200..20000 Hz bandwidth (FM up to 250000, broadcast FM), 0..10000 gain and "
    "8000..192000 Hz output";
const std::string socket_msg =
    "Audio socket must be an absolute path of letters, digits, _ - . / (no sink or WAV with it)";
const std::string id_msg = "Audio channel ID must be 1..32 letters, digits, underscores or hyphens";

INSTANTIATE_TEST_SUITE_P(
    Spec, AudioChannelRefusal,
    testing::Values(
        // Shape of the text.
        Refusal{"", "Invalid audio channel specification"},
        Refusal{"id=a,frequency=7M\n", "Invalid audio channel specification"},
        Refusal{"id=a,frequency=7M,wav=/tmp/x\r", "Invalid audio channel specification"},
        Refusal{"id=a,frequency=7M,wav=/" + std::string(4096 - 22, 'x'), "Invalid audio channel specification"},
        Refusal{"id=a,id=b,frequency=7M", fields_msg}, Refusal{"id=a,frequency=", fields_msg},
        Refusal{"id=a,=7M", fields_msg}, Refusal{"id=a,,frequency=7M", fields_msg},
        Refusal{"id=a,frequency", fields_msg}, Refusal{",", fields_msg}, Refusal{"id=a,frequency=7M,,", fields_msg},
        // Field readers.
        Refusal{"id=a,frequency=7M,volume=3", "Unknown audio channel field: volume"},
        Refusal{"id=a,Frequency=7M", "Unknown audio channel field: Frequency"},
        Refusal{"id=a,frequency=7M,modulation=cw", "Audio modulation must be USB, LSB, AM or FM"},
        Refusal{"id=a,frequency=7000000 ", number_msg}, Refusal{"id=a,frequency=7x", number_msg},
        Refusal{"id=a,frequency=k", number_msg}, Refusal{"id=a,frequency=0x10", number_msg},
        Refusal{"id=a,frequency=inf", number_msg}, Refusal{"id=a,frequency=nan", number_msg},
        Refusal{"id=a,frequency=1e400", number_msg}, Refusal{"id=a,frequency=1e308M", number_msg},
        Refusal{"id=a,frequency=7M,audio-rate=44100.5", "Invalid audio output rate"},
        Refusal{"id=a,frequency=7M,audio-rate=200k", "Invalid audio output rate"},
        Refusal{"id=a,frequency=7M,audio-rate=7999", "Invalid audio output rate"},
        Refusal{"id=a,frequency=7M,agc=yes", flag_msg}, Refusal{"id=a,frequency=7M,enabled=TRUE", flag_msg},
        // The first field in key order decides, whatever order the user wrote them in.
        Refusal{"modulation=cw,frequency=x,id=a", number_msg},
        Refusal{"id=a,agc=maybe,bandwidth=x", flag_msg},
        // Required fields, after every field was applied.
        Refusal{"id=a,bandwidth=3000", "Audio channel frequency is required"},
        Refusal{"frequency=7M", id_msg}, Refusal{"frequency=7M,modulation=cw", "Audio modulation must be USB, LSB, AM or FM"},
        // Validation, in its order.
        Refusal{"id=ab cd,frequency=7M", id_msg}, Refusal{"id=" + std::string(33, 'a') + ",frequency=7M", id_msg},
        Refusal{"id=caf\xc3\xa9,frequency=7M", id_msg},
        Refusal{"id=a,frequency=7M,bandwidth=199", limits_msg},
        Refusal{"id=a,frequency=7M,bandwidth=20001,audio-rate=192k", limits_msg},
        Refusal{"id=a,frequency=100M,modulation=fm,bandwidth=250001", limits_msg},
        Refusal{"id=a,frequency=7M,audio-gain=10001", limits_msg},
        Refusal{"id=a,frequency=7M,audio-gain=-1", limits_msg},
        Refusal{"id=a,frequency=7M,low-cut=2801", "Audio low-cut must leave at least 200 Hz of passband"},
        Refusal{"id=a,frequency=7M,low-cut=-1", "Audio low-cut must leave at least 200 Hz of passband"},
        Refusal{"id=a,frequency=7M,modulation=lsb,low-cut=2801",
                "Audio low-cut must leave at least 200 Hz of passband"},
        Refusal{"id=a,frequency=2000,modulation=lsb", "Audio passband must be within 1k..2000M Hz"},
        Refusal{"id=a,frequency=2000M", "Audio passband must be within 1k..2000M Hz"},
        Refusal{"id=a,frequency=3500,modulation=am,bandwidth=6000", "Audio passband must be within 1k..2000M Hz"},
        Refusal{"id=a,frequency=7M,bandwidth=20000,audio-rate=44100",
                "Audio output rate needs Nyquist/filter margin above the requested bandwidth"},
        Refusal{"id=a,frequency=7M,bandwidth=3600,audio-rate=8000",
                "Audio output rate needs Nyquist/filter margin above the requested bandwidth"},
        Refusal{"id=a,frequency=7M,modulation=am,bandwidth=7200,audio-rate=8000",
                "Audio output rate needs Nyquist/filter margin above the requested bandwidth"},
        Refusal{"id=a,frequency=7M,wav=/tmp/a" + std::string(1, '\0') + "b", "Unsafe audio WAV path"},
        Refusal{"id=a,frequency=7M,sink=a/b", "Unsafe audio sink name"},
        Refusal{"id=a,frequency=7M,sink=" + std::string(129, 's'), "Unsafe audio sink name"},
        Refusal{"id=a,frequency=7M,socket=/run/../x", socket_msg},
        Refusal{"id=a,frequency=7M,socket=run/x", socket_msg},
        Refusal{"id=a,frequency=7M,socket=/" + std::string(100, 's'), socket_msg},
        Refusal{"id=a,frequency=7M,socket=/run/a b", socket_msg},
        Refusal{"id=a,frequency=7M,socket=/run/x,wav=/tmp/x.wav", socket_msg},
        Refusal{"id=a,frequency=7M,socket=/run/x,sink=speakers", socket_msg}));

struct Accepted {
    std::string spec;
    AudioChannel expected;
};

std::ostream& operator<<(std::ostream& out, const Accepted& a) { return out << a.spec; }

AudioChannel channel_with(void (*change)(AudioChannel&)) {
    AudioChannel c;
    c.id = "a";
    c.frequency = 7074000;
    change(c);
    return c;
}

class AudioChannelParse : public testing::TestWithParam<Accepted> {};

TEST_P(AudioChannelParse, GivesTheRecord) {
    EXPECT_EQ(parse_audio_channel(GetParam().spec), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Spec, AudioChannelParse,
    testing::Values(
        // Every default.
        Accepted{"id=a,frequency=7074000", channel_with([](AudioChannel&) {})},
        Accepted{"id=a,frequency=7074000,", channel_with([](AudioChannel&) {})},
        Accepted{"frequency=7074000,id=a", channel_with([](AudioChannel&) {})},
        // Default bandwidth follows the modulation unless given.
        Accepted{"id=a,frequency=7074000,modulation=am",
                 channel_with([](AudioChannel& c) { c.modulation = AudioModulation::AM, c.bandwidth = 6000; })},
        Accepted{"id=a,frequency=7074000,modulation=Fm",
                 channel_with([](AudioChannel& c) { c.modulation = AudioModulation::FM, c.bandwidth = 10000; })},
        Accepted{"id=a,frequency=7074000,modulation=AM,bandwidth=3000",
                 channel_with([](AudioChannel& c) { c.modulation = AudioModulation::AM; })},
        Accepted{"id=a,frequency=7074000,modulation=lSb",
                 channel_with([](AudioChannel& c) { c.modulation = AudioModulation::LSB; })},
        // Numbers and suffixes.
        Accepted{"id=a,frequency=7.074M", channel_with([](AudioChannel&) {})},
        Accepted{"id=a,frequency=7074k", channel_with([](AudioChannel&) {})},
        Accepted{"id=a,frequency= +7.074e6", channel_with([](AudioChannel&) {})},
        Accepted{"id=a,frequency=1m", channel_with([](AudioChannel& c) { c.frequency = 1000000; })},
        Accepted{"id=a,frequency=7074000,audio-rate=44.1k",
                 channel_with([](AudioChannel& c) { c.audio_rate = 44100; })},
        Accepted{"id=a,frequency=7074000,audio-rate=8000,bandwidth=200",
                 channel_with([](AudioChannel& c) { c.audio_rate = 8000, c.bandwidth = 200; })},
        Accepted{"id=a,frequency=7074000,audio-rate=192000,bandwidth=20000",
                 channel_with([](AudioChannel& c) { c.audio_rate = 192000, c.bandwidth = 20000; })},
        Accepted{"id=a,frequency=7074000,audio-gain=0,agc=off,enabled=0",
                 channel_with([](AudioChannel& c) { c.audio_gain = 0, c.agc = false, c.enabled = false; })},
        Accepted{"id=a,frequency=7074000,audio-gain=10k,agc=1,enabled=on",
                 channel_with([](AudioChannel& c) { c.audio_gain = 10000; })},
        // Limits that pass.
        Accepted{"id=a,frequency=7074000,low-cut=2800", channel_with([](AudioChannel& c) { c.low_cut = 2800; })},
        Accepted{"id=a,frequency=7074000,audio-rate=8000",
                 channel_with([](AudioChannel& c) { c.audio_rate = 8000; })},
        Accepted{"id=a,frequency=100M,modulation=FM,bandwidth=200k",
                 channel_with([](AudioChannel& c) {
                     c.frequency = 100000000, c.modulation = AudioModulation::FM, c.bandwidth = 200000;
                 })},
        Accepted{"id=a,frequency=4000,modulation=AM,bandwidth=6000",
                 channel_with([](AudioChannel& c) {
                     c.frequency = 4000, c.modulation = AudioModulation::AM, c.bandwidth = 6000;
                 })},
        // Outputs; a value may hold "=".
        Accepted{"id=a,frequency=7074000,sink=@DEFAULT_SINK@",
                 channel_with([](AudioChannel& c) { c.sink = "@DEFAULT_SINK@"; })},
        Accepted{"id=a,frequency=7074000,sink=alsa_output.pci-0000_00_1f.3",
                 channel_with([](AudioChannel& c) { c.sink = "alsa_output.pci-0000_00_1f.3"; })},
        Accepted{"id=a,frequency=7074000,wav=/tmp/a=b c.wav",
                 channel_with([](AudioChannel& c) { c.wav = "/tmp/a=b c.wav"; })},
        Accepted{"id=a,frequency=7074000,wav=x.wav,sink=speakers",
                 channel_with([](AudioChannel& c) { c.wav = "x.wav", c.sink = "speakers"; })},
        Accepted{"id=a,frequency=7074000,socket=/run/user/1000/norvane/a.sock",
                 channel_with([](AudioChannel& c) { c.socket = "/run/user/1000/norvane/a.sock"; })},
        Accepted{"id=" + std::string(32, 'Z') + ",frequency=7074000",
                 channel_with([](AudioChannel& c) { c.id = std::string(32, 'Z'); })},
        Accepted{"id=A_b-9,frequency=7074000", channel_with([](AudioChannel& c) { c.id = "A_b-9"; })}));

TEST(AudioChannel, SpecOf4096BytesIsTheLongestAccepted) {
    const std::string head = "id=a,frequency=7M,wav=/";
    const std::string spec = head + std::string(4096 - head.size(), 'w');
    ASSERT_EQ(spec.size(), 4096u);
    EXPECT_EQ(parse_audio_channel(spec).wav.size(), 4096u - head.size() + 1);
    EXPECT_THROW(parse_audio_channel(spec + "w"), std::runtime_error);
}

TEST(AudioChannel, AmSpecFromTheManual) {
    const AudioChannel c = parse_audio_channel("id=a,frequency=7.1M,modulation=am");
    EXPECT_EQ(c.modulation, AudioModulation::AM);
    EXPECT_EQ(c.frequency, 7100000.0);
    EXPECT_EQ(c.bandwidth, 6000.0);
    EXPECT_EQ(audio_passband(c), std::make_pair(7097000.0, 7103000.0));
}

TEST(AudioChannel, PassbandFollowsModulationAndLowCut) {
    AudioChannel c = channel_with([](AudioChannel& ch) { ch.frequency = 7000000, ch.low_cut = 300; });
    EXPECT_EQ(audio_passband(c), std::make_pair(7000300.0, 7003000.0));
    c.modulation = AudioModulation::LSB;
    EXPECT_EQ(audio_passband(c), std::make_pair(6997000.0, 6999700.0));
    c.modulation = AudioModulation::FM;  // the low cut plays no part around a centre
    EXPECT_EQ(audio_passband(c), std::make_pair(6998500.0, 7001500.0));
}

// Records built in code rather than parsed: values no spec text can carry.
TEST(AudioChannel, ValidationRefusesWhatNoSpecTextCanCarry) {
    const std::pair<AudioChannel, std::string> cases[] = {
        {channel_with([](AudioChannel& c) { c.frequency = std::nan(""); }), limits_msg},
        {channel_with([](AudioChannel& c) { c.bandwidth = std::nan(""); }), limits_msg},
        {channel_with([](AudioChannel& c) { c.audio_gain = HUGE_VAL; }), limits_msg},
        {channel_with([](AudioChannel& c) { c.audio_rate = 192001; }), limits_msg},
        {channel_with([](AudioChannel& c) { c.low_cut = std::nan(""); }),
         "Audio low-cut must leave at least 200 Hz of passband"},
        {channel_with([](AudioChannel& c) { c.wav = "/tmp/a,b.wav"; }), "Unsafe audio WAV path"},
        {channel_with([](AudioChannel& c) { c.wav = "/tmp/a\nb.wav"; }), "Unsafe audio WAV path"},
    };
    for (const auto& [channel, message] : cases) {
        try {
            validate_audio_channel(channel);
            ADD_FAILURE() << "accepted: " << message;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(e.what(), message);
        }
    }
}

TEST(AudioChannel, FormatsTheDefaultsInTheFixedOrder) {
    const AudioChannel c = channel_with([](AudioChannel& ch) { ch.id = "x"; });
    EXPECT_EQ(format_audio_channel(c),
              "id=x,frequency=7074000,modulation=USB,bandwidth=3000,audio-rate=48000,audio-gain=10,enabled=true");
}

TEST(AudioChannel, FormatsOptionalFieldsOnlyWhenTheyApply) {
    const AudioChannel c = channel_with([](AudioChannel& ch) {
        ch.low_cut = 0.1, ch.agc = false, ch.wav = "/tmp/x.wav", ch.sink = "spk", ch.enabled = false;
        ch.modulation = AudioModulation::LSB;
    });
    EXPECT_EQ(format_audio_channel(c),
              "id=a,frequency=7074000,modulation=LSB,bandwidth=3000,audio-rate=48000,audio-gain=10,enabled=false,"
              "low-cut=0.10000000000000001,agc=off,wav=/tmp/x.wav,sink=spk");
}

TEST(AudioChannel, FormatRefusesAnInvalidRecord) {
    AudioChannel c = channel_with([](AudioChannel& ch) { ch.id = ""; });
    EXPECT_THROW(format_audio_channel(c), std::runtime_error);
}

TEST(AudioChannel, FormattedSpecParsesBackToTheSameRecord) {
    const AudioChannel channels[] = {
        channel_with([](AudioChannel&) {}),
        channel_with([](AudioChannel& c) {
            c.frequency = 14074000.123456789, c.bandwidth = 2999.9, c.low_cut = 123.456, c.audio_gain = 0.1;
            c.audio_rate = 44100, c.agc = false, c.enabled = false, c.wav = "/tmp/w=1.wav", c.sink = "s.1";
            c.modulation = AudioModulation::LSB;
        }),
        channel_with([](AudioChannel& c) {
            c.modulation = AudioModulation::AM, c.bandwidth = 3000;  // not the AM default: must survive
            c.socket = "/run/user/1000/a.sock";
        }),
        channel_with([](AudioChannel& c) {
            c.frequency = 98.7e6, c.modulation = AudioModulation::FM, c.bandwidth = 250000, c.audio_gain = 1e-7;
        }),
    };
    for (const AudioChannel& c : channels) {
        const std::string text = format_audio_channel(c);
        EXPECT_EQ(parse_audio_channel(text), c) << text;
    }
}

TEST(AudioChannel, CaptureFitKeepsEdgesInsideAndSkipsDisabledChannels) {
    // Centre 14.1 MHz, width 2 MHz: usable 13.2..15.0 MHz.
    const double centre = 14100000, width = 2000000;
    AudioChannel c = channel_with([](AudioChannel& ch) { ch.frequency = 14997000; });
    EXPECT_NO_THROW(require_passband_in_capture(c, centre, width));  // high edge exactly at the limit
    c.frequency = 14997000.5;
    EXPECT_THROW(require_passband_in_capture(c, centre, width), CaptureFitError);
    try {
        require_passband_in_capture(c, centre, width);
    } catch (const CaptureFitError& e) {
        EXPECT_STREQ(e.what(), "Audio passband is outside the running capture; receiver restart required");
    }
    c.frequency = 13200000;  // low edge exactly at the limit
    EXPECT_NO_THROW(require_passband_in_capture(c, centre, width));
    c.modulation = AudioModulation::LSB;
    EXPECT_THROW(require_passband_in_capture(c, centre, width), CaptureFitError);

    c = channel_with([](AudioChannel& ch) { ch.frequency = 100000000, ch.enabled = false; });
    EXPECT_NO_THROW(require_passband_in_capture(c, centre, width));
}

TEST(AudioChannel, CaptureFitValidatesFirstEvenForDisabledChannels) {
    AudioChannel c = channel_with([](AudioChannel& ch) { ch.enabled = false, ch.bandwidth = 100; });
    try {
        require_passband_in_capture(c, 7000000, 2000000);
        FAIL();
    } catch (const CaptureFitError&) {
        FAIL() << "validation errors are plain errors";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(e.what(), limits_msg);
    }
}

TEST(AudioChannel, CaptureOfNanHoldsNothing) {
    const AudioChannel c = channel_with([](AudioChannel&) {});
    EXPECT_THROW(require_passband_in_capture(c, std::nan(""), 2000000), CaptureFitError);
}

TEST(AudioChannel, ChannelIdRule) {
    EXPECT_TRUE(is_valid_channel_id("a"));
    EXPECT_TRUE(is_valid_channel_id("Az09_-"));
    EXPECT_TRUE(is_valid_channel_id(std::string(32, 'x')));
    EXPECT_FALSE(is_valid_channel_id(""));
    EXPECT_FALSE(is_valid_channel_id(std::string(33, 'x')));
    EXPECT_FALSE(is_valid_channel_id("a.b"));
    EXPECT_FALSE(is_valid_channel_id("\xc3\xa9"));
    EXPECT_FALSE(is_valid_channel_id(std::string("a\0b", 3)));
}

TEST(AudioChannel, NumberAndFlagReaders) {
    EXPECT_EQ(parse_channel_number("14.074M"), 14074000.0);
    EXPECT_EQ(parse_channel_number("1e3k"), 1000000.0);
    EXPECT_EQ(parse_channel_number("-2.5"), -2.5);
    try {
        parse_channel_number("");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Missing audio channel number");
    }
    EXPECT_TRUE(parse_enabled_flag("on"));
    EXPECT_FALSE(parse_enabled_flag("0"));
    EXPECT_THROW(parse_enabled_flag("On"), std::runtime_error);
}

}  // namespace
