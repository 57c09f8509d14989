#include "app/capture_geometry.hpp"
#include "live/audio_channel_spec.hpp"
#include "sig/analysis_channel_spec.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include "core/capture_fit_error.hpp"

namespace {

using DM = DigitalMode;

// A decoder-mode record as the parser hands it over: channels expanded, channel width and
// hardware rate decided.
Options decoder_run(std::vector<DecoderChannel> channels, std::string backend = "sdrplay",
                    std::int32_t sample_rate = 10000000)
{
    Options options;
    options.wideband = true;
    options.bandwidth = 4000;
    options.backend = std::move(backend);
    options.sample_rate = sample_rate;
    options.decoder_channels = std::move(channels);
    return options;
}

Options rx888_run(std::vector<DecoderChannel> channels)
{
    return decoder_run(std::move(channels), "rx888", 8000000);
}

AudioChannel audio(std::string const& spec)
{
    return parse_audio_channel(spec);
}

struct Geometry {
    std::string name;
    std::function<Options()> make;
    CaptureRequest request;
    double frequency;
    double if_bandwidth;
    std::int32_t sample_rate;
    bool window_searched;
};

void PrintTo(Geometry const& geometry, std::ostream* out)
{
    *out << geometry.name;
}

class CaptureGeometry : public testing::TestWithParam<Geometry> {};

TEST_P(CaptureGeometry, ChoosesCentreWidthAndRate)
{
    Options options = GetParam().make();
    bool const searched = apply_capture_geometry(options, GetParam().request);
    EXPECT_EQ(options.frequency, GetParam().frequency);
    EXPECT_EQ(options.if_bandwidth, GetParam().if_bandwidth);
    EXPECT_EQ(options.sample_rate, GetParam().sample_rate);
    EXPECT_EQ(searched, GetParam().window_searched);
}

INSTANTIATE_TEST_SUITE_P(
    Sdrplay, CaptureGeometry,
    testing::Values(
        Geometry{"automatic centre above the channels", [] { return decoder_run({{14074000, DM::FT8}}); }, {},
                 14084000, 8000000, 10000000, false},
        Geometry{"centre spans the lowest and the highest channel",
                 [] { return decoder_run({{14080000, DM::FT4}, {14074000, DM::FT8}}); }, {},
                 (14074000 + 14084000) / 2 + 8000, 8000000, 10000000, false},
        Geometry{"given centre is kept",
                 [] {
                     Options o = decoder_run({{14074000, DM::FT8}});
                     o.frequency = 14000000;
                     return o;
                 },
                 {true, false}, 14000000, 8000000, 10000000, false},
        Geometry{"2 m channels move to the band's capture centre",
                 [] { return decoder_run({{144174000, DM::FT8}}); }, {}, 146000000, 8000000, 10000000, false},
        Geometry{"a live channel keeps the automatic centre",
                 [] {
                     Options o = decoder_run({{144174000, DM::FT8}});
                     o.audio_channels.push_back(audio("id=a,frequency=144.3M"));
                     return o;
                 },
                 {}, 144184000, 8000000, 10000000, false},
        Geometry{"a given centre is not replaced by the band's",
                 [] {
                     Options o = decoder_run({{144174000, DM::FT8}});
                     o.frequency = 144200000;
                     return o;
                 },
                 {true, false}, 144200000, 8000000, 10000000, false},
        Geometry{"2 MS/s gives the 1536 kHz filter", [] { return decoder_run({{14074000, DM::FT8}}, "sdrplay", 2000000); },
                 {}, 14084000, 1536000, 2000000, false},
        Geometry{"5.5 MS/s gives the 5 MHz filter", [] { return decoder_run({{14074000, DM::FT8}}, "sdrplay", 5500000); },
                 {}, 14084000, 5000000, 5500000, false},
        Geometry{"300 kS/s gives the 300 kHz filter", [] { return decoder_run({{14074000, DM::FT8}}, "sdrplay", 300000); },
                 {}, 14084000, 300000, 300000, false},
        Geometry{"below every filter the narrowest stands",
                 [] { return decoder_run({{14074000, DM::FT8}}, "sdrplay", 150000); }, {}, 14084000, 200000, 150000,
                 false},
        Geometry{"other receivers use their whole rate",
                 [] { return decoder_run({{14074000, DM::FT8}}, "rtl-sdr", 2400000); }, {}, 14084000, 2400000,
                 2400000, false},
        Geometry{"IQ replay uses the file's rate",
                 [] {
                     Options o = decoder_run({{7074000, DM::FT8}});
                     o.iq_file = "x.iq";
                     o.start_utc = "20250101_000000";
                     o.iq_rate = 96000;
                     return o;
                 },
                 {false, true}, 7084000, 96000, 10000000, false}));

INSTANTIATE_TEST_SUITE_P(
    Receivers, CaptureGeometry,
    testing::Values(
        Geometry{"centre over every passband, disabled ones too",
                 [] {
                     Options o = decoder_run({});
                     o.receivers_only = true;
                     o.audio_channels.push_back(audio("id=a,frequency=7.1M,modulation=LSB"));
                     o.audio_channels.push_back(audio("id=b,frequency=7.2M,enabled=false"));
                     return o;
                 },
                 {}, (7097000 + 7203000) / 2 + 8000, 8000000, 10000000, false},
        Geometry{"given centre wins",
                 [] {
                     Options o = decoder_run({});
                     o.receivers_only = true;
                     o.frequency = 7000000;
                     o.analysis_channels.push_back(parse_analysis_channel("id=p,frequency=7.04M"));
                     return o;
                 },
                 {true, false}, 7000000, 8000000, 10000000, false}));

INSTANTIATE_TEST_SUITE_P(
    Rx888Window, CaptureGeometry,
    testing::Values(
        Geometry{"40 and 20 m fit 8 MS/s", [] { return rx888_run({{7074000, DM::FT8}, {14074000, DM::FT8}}); }, {},
                 10576000, 8000000, 8000000, true},
        Geometry{"80 and 10 m need 32 MS/s", [] { return rx888_run({{3573000, DM::FT8}, {28074000, DM::FT8}}); },
                 {}, 15825500, 32000000, 32000000, true},
        Geometry{"a low channel keeps the window above 0 Hz", [] { return rx888_run({{1840000, DM::FT8}}); }, {},
                 3600000, 8000000, 8000000, true},
        Geometry{"a given centre is used as it is",
                 [] {
                     Options o = rx888_run({{7074000, DM::FT8}});
                     o.frequency = 8000000;
                     return o;
                 },
                 {true, false}, 8000000, 8000000, 8000000, true},
        Geometry{"coverage all spans 0 Hz to 90% of Nyquist",
                 [] {
                     Options o = rx888_run({{1840000, DM::FT8}, {50313000, DM::FT8}});
                     o.rx888_coverage = "all";
                     return o;
                 },
                 {}, 28800000, 64000000, 64000000, true},
        Geometry{"coverage all at the half rate",
                 [] {
                     Options o = rx888_run({{7074000, DM::FT8}});
                     o.rx888_coverage = "all";
                     o.rx888_rate = "half";
                     return o;
                 },
                 {}, 14400000, 32000000, 32000000, true},
        Geometry{"an enabled audio channel alone opens a window",
                 [] {
                     Options o = rx888_run({});
                     o.receivers_only = true;
                     o.audio_channels.push_back(audio("id=a,frequency=7.1M"));
                     return o;
                 },
                 {}, 7101500, 8000000, 8000000, true},
        Geometry{"disabled channels leave the receivers centre",
                 [] {
                     Options o = rx888_run({});
                     o.receivers_only = true;
                     o.audio_channels.push_back(audio("id=a,frequency=7.1M,enabled=false"));
                     return o;
                 },
                 {}, 7109500, 8000000, 8000000, false}));

TEST(CaptureGeometry, Rx888SearchUsesTheCorrectedClock)
{
    // At -100 ppm the corrected clock is 127987200 Hz, so the 8 MS/s window holds 3599640 Hz on
    // each side: a selection 7199000 Hz wide fits it, one 7199500 Hz wide (which the nominal
    // clock would still fit) needs 16 MS/s.
    Options narrow = rx888_run({{10000000, DM::FT4}, {17195000, DM::FT4}});
    narrow.ppm = -100;
    apply_capture_geometry(narrow, {});
    EXPECT_EQ(narrow.sample_rate, 8000000);
    EXPECT_EQ(narrow.frequency, 13599500);

    Options wider = rx888_run({{10000000, DM::FT4}, {17195500, DM::FT4}});
    wider.ppm = -100;
    apply_capture_geometry(wider, {});
    EXPECT_EQ(wider.sample_rate, 16000000);
}

struct Failure {
    std::string name;
    std::function<Options()> make;
    CaptureRequest request;
    std::string message;
    bool capture_fit;
};

void PrintTo(Failure const& failure, std::ostream* out)
{
    *out << failure.name;
}

class CaptureGeometryFailure : public testing::TestWithParam<Failure> {};

TEST_P(CaptureGeometryFailure, NamesWhatToChange)
{
    Options options = GetParam().make();
    try {
        apply_capture_geometry(options, GetParam().request);
        FAIL() << "accepted";
    } catch (CaptureFitError const& error) {
        EXPECT_TRUE(GetParam().capture_fit);
        EXPECT_EQ(error.what(), GetParam().message);
    } catch (std::runtime_error const& error) {
        EXPECT_FALSE(GetParam().capture_fit);
        EXPECT_EQ(error.what(), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Messages, CaptureGeometryFailure,
    testing::Values(
        Failure{"receivers mode without anything to centre on",
                [] {
                    Options o = decoder_run({});
                    o.receivers_only = true;
                    return o;
                },
                {}, "Audio receiver mode needs --center-frequency or audio channels", false},
        Failure{"decoder replay without its start time",
                [] {
                    Options o = decoder_run({{7074000, DM::FT8}});
                    o.iq_file = "x.iq";
                    return o;
                },
                {}, "Decoder IQ replay requires --start-utc YYYYMMDD_HHMMSS", false},
        Failure{"decoder replay below 64 kHz",
                [] {
                    Options o = decoder_run({{7074000, DM::FT8}});
                    o.iq_file = "x.iq";
                    o.start_utc = "20250101_000000";
                    o.iq_rate = 63999;
                    return o;
                },
                {}, "Decoder IQ replay rate must be 64000..10M Hz", false},
        Failure{"decoder replay above 10 MHz",
                [] {
                    Options o = decoder_run({{7074000, DM::FT8}});
                    o.iq_file = "x.iq";
                    o.start_utc = "20250101_000000";
                    o.iq_rate = 10000001;
                    return o;
                },
                {}, "Decoder IQ replay rate must be 64000..10M Hz", false},
        Failure{"replay timing without a file",
                [] { return decoder_run({{7074000, DM::FT8}}); }, {false, true},
                "--start-utc and --iq-rate require --iq-file", false},
        Failure{"channels 8 MHz apart",
                [] { return decoder_run({{7074000, DM::FT8}, {15074000, DM::FT8}}); }, {},
                "Decoder channels do not fit the usable capture bandwidth; increase --sample-rate, change "
                "--center-frequency, or use closer frequencies",
                true},
        Failure{"a given centre far from the channel",
                [] {
                    Options o = decoder_run({{7074000, DM::FT8}});
                    o.frequency = 14000000;
                    return o;
                },
                {true, false},
                "Decoder channels do not fit the usable capture bandwidth; increase --sample-rate, change "
                "--center-frequency, or use closer frequencies",
                true},
        Failure{"RX-888 selection wider than 28.8 MHz",
                [] { return rx888_run({{1840000, DM::FT8}, {50313000, DM::FT8}}); }, {},
                "RX-888 cannot fit this selection in one capture: at the full ADC rate it covers 0-64 MHz, and at "
                "most 28.8 MHz of it at once",
                true},
        Failure{"RX-888 half rate",
                [] {
                    Options o = rx888_run({{1840000, DM::FT8}, {31000000, DM::FT8}});
                    o.rx888_rate = "half";
                    return o;
                },
                {},
                "RX-888 cannot fit this selection in one capture: at the half ADC rate it covers 0-32 MHz, and at "
                "most 28.8 MHz of it at once",
                true},
        Failure{"RX-888 coverage all below the channel",
                [] {
                    Options o = rx888_run({{58000000, DM::FT8}});
                    o.rx888_coverage = "all";
                    return o;
                },
                {}, "RX-888 coverage \"all\" reaches 57.6 MHz; this selection goes higher", true},
        Failure{"RX-888 coverage all at the half rate",
                [] {
                    Options o = rx888_run({{29000000, DM::FT8}});
                    o.rx888_coverage = "all";
                    o.rx888_rate = "half";
                    return o;
                },
                {}, "RX-888 coverage \"all\" reaches 28.8 MHz; this selection goes higher", true}));

struct Fit {
    double frequency;
    DM mode;
    double bandwidth;
    bool outside;
};

class ChannelOutsideCapture : public testing::TestWithParam<Fit> {};

// Centre 14000000, half width 100000: the window is 13900000..14100000, edges included.
TEST_P(ChannelOutsideCapture, ComparesBothEdges)
{
    Options options;
    options.bandwidth = GetParam().bandwidth;
    EXPECT_EQ(channel_outside_capture(14000000, 100000, options, {GetParam().frequency, GetParam().mode}),
              GetParam().outside);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, ChannelOutsideCapture,
    testing::Values(Fit{13900000, DM::FT8, 4000, false}, Fit{13899999, DM::FT8, 4000, true},
                    Fit{14096000, DM::FT8, 4000, false}, Fit{14096001, DM::FT8, 4000, true},
                    // FT8 is never narrower than 4000 Hz; the other modes take the bandwidth.
                    Fit{14096001, DM::FT8, 3000, true}, Fit{14097000, DM::FT4, 3000, false},
                    Fit{14097001, DM::WSPR, 3000, true}, Fit{14095000, DM::FT8, 5000, false},
                    Fit{std::numeric_limits<double>::quiet_NaN(), DM::FT8, 4000, true},
                    Fit{14000000, DM::FT4, std::numeric_limits<double>::quiet_NaN(), true}));

}  // namespace
