#include "app/parse_options.hpp"
#include "sig/analysis_channel_spec.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/capture_fit_error.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

using Args = std::vector<std::string>;

Options parse(Args const& args)
{
    std::vector<char const*> argv{"norvane"};
    for (std::string const& arg : args)
        argv.push_back(arg.c_str());
    return parse_options(static_cast<int>(argv.size()), argv.data());
}

std::string joined(Args const& args)
{
    std::string text;
    for (std::string const& arg : args)
        text += (text.empty() ? "" : " ") + (arg.empty() ? std::string("''") : arg);
    return text;
}

// Enough FT8 channels, 1 kHz apart, for the channel-count limit.
std::string frequency_list(int count)
{
    std::string list;
    for (int i = 0; i < count; ++i)
        list += (i ? "," : "") + std::to_string(14000000 + 1000 * i);
    return list;
}

// Appends count USB audio channels, 3 kHz apart from 7.1 MHz.
void add_audio_channels(Args& args, int count)
{
    for (int i = 0; i < count; ++i) {
        args.push_back("--audio-channel");
        args.push_back("id=a" + std::to_string(i) + ",frequency=" + std::to_string(7100000 + 3000 * i));
    }
}

struct Refusal {
    Args args;
    std::string message;
};

void PrintTo(Refusal const& refusal, std::ostream* out)
{
    *out << joined(refusal.args);
}

class ParseRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(ParseRefusal, FailsWithTheFirstBrokenRule)
{
    Refusal const& c = GetParam();
    try {
        parse(c.args);
        FAIL() << "accepted: " << joined(c.args);
    } catch (std::runtime_error const& error) {
        EXPECT_EQ(error.what(), c.message);
    }
}

// Checks made while the arguments are read: they win over every rule after the loop, and
// --help does not skip them.
INSTANTIATE_TEST_SUITE_P(
    WhileReading, ParseRefusal,
    testing::Values(
        Refusal{{"--bogus"}, "Unknown option: --bogus"},
        Refusal{{"-f", "7M", "14.074M"}, "Unknown option: 14.074M"},
        Refusal{{"--frequency=7M"}, "Unknown option: --frequency=7M"},
        Refusal{{"-F", "7M"}, "Unknown option: -F"},
        Refusal{{"-fb", "7M"}, "Unknown option: -fb"},
        Refusal{{"-f"}, "Missing value for -f"},
        Refusal{{"--help", "--mode", "x"}, "--mode must be audio, decoder, hybrid or receivers"},
        Refusal{{"--mode", "Decoder"}, "--mode must be audio, decoder, hybrid or receivers"},
        Refusal{{"--audio-channel", "frequency=7M"}, "Audio channel ID must be 1..32 letters, digits, underscores or hyphens"},
        Refusal{{"--analysis-channel", "id=x"}, "Analysis channel frequency is required"},
        Refusal{{"--signal-journal", ""}, "Signal journal path cannot be empty; use off to disable it"},
        Refusal{{"--survey-journal", ""}, "Survey journal path cannot be empty; use off to disable it"},
        Refusal{{"--wefax-images", ""}, "WEFAX image directory cannot be empty"},
        Refusal{{"--survey-bandwidth", "47.999k"}, "--survey-bandwidth must be 48k..64M Hz"},
        Refusal{{"--survey-bandwidth", "64.001M"}, "--survey-bandwidth must be 48k..64M Hz"},
        Refusal{{"--survey-max-decoders", "0"}, "--survey-max-decoders must be 1..255"},
        Refusal{{"--survey-max-decoders", "256"}, "Expected an integer between 0 and 255: 256"},
        Refusal{{"--survey-min-snr", "60.5"}, "--survey-min-snr must be 0..60 dB"},
        Refusal{{"--survey-min-snr", "-1"}, "--survey-min-snr must be 0..60 dB"},
        Refusal{{"--survey-min-snr", "6k"}, "Invalid number: 6k"},
        Refusal{{"--history-days", "0"}, "History retention must be 1..365 days"},
        Refusal{{"--history-days", "366"}, "History retention must be 1..365 days"},
        Refusal{{"--history-days", "1.5"}, "History retention must be 1..365 days"},
        Refusal{{"--history-days", "week"}, "Invalid number: week"},
        Refusal{{"--modes", "FT8,ft8"}, "Duplicate digital mode: ft8"},
        Refusal{{"--modes", "FT8,FT9"},
                "Digital mode must be FT8, FT4, JS8, JS8-FAST, JS8-TURBO, JS8-SLOW or WSPR: FT9"},
        Refusal{{"--modes", ""}, "Digital mode must be FT8, FT4, JS8, JS8-FAST, JS8-TURBO, JS8-SLOW or WSPR: "},
        Refusal{{"--decoders", "0"}, "--decoders must be 1..96"},
        Refusal{{"--workers", "0"}, "--workers must be 1..32"},
        Refusal{{"--decode-depth", "-1"}, "Expected an integer between 0 and 255: -1"},
        Refusal{{"--buffer-seconds", "0.4"}, "--buffer-seconds must be 0.5..30"},
        Refusal{{"--buffer-seconds", "31"}, "--buffer-seconds must be 0.5..30"},
        Refusal{{"--iq-rate", "1.5"}, "Sample rate must be a positive integer in Hz, at most 64M"},
        Refusal{{"--rx888-recovery", "601"}, "--rx888-recovery must be 0..600 seconds"},
        Refusal{{"--rx888-bias-t", "yes"}, "--rx888-bias-t must be on or off"},
        Refusal{{"--rx888-reference", "ON"}, "--rx888-reference must be on or off"},
        Refusal{{"--rtl-device", "0", "--bogus"},
                "Select RTL hardware on the external server: rtl_tcp -d INDEX_OR_SERIAL; use --rtl-host/--rtl-port here"},
        Refusal{{"--rtl-port", "0"}, "RTL TCP port must be an integer between 1 and 65535"},
        Refusal{{"--rtl-port", "65536"}, "RTL TCP port must be an integer between 1 and 65535"},
        Refusal{{"--rtl-port", "80.5"}, "RTL TCP port must be an integer between 1 and 65535"},
        Refusal{{"--direct-sampling", "I"}, "Direct sampling must be off, i, or q"},
        Refusal{{"-m", "FM"}, "Modulation must be USB, LSB, or AM"},
        Refusal{{"--rf-notch", "1"}, "--rf-notch must be on or off"},
        Refusal{{"--mw-notch", "true"}, "--mw-notch must be on or off"},
        Refusal{{"--agc", "On"}, "--agc must be on or off"},
        Refusal{{"-f", "14.074MHz"}, "Invalid number: 14.074MHz"},
        Refusal{{"-b", "3kk"}, "Invalid number: 3k"},
        Refusal{{"--sample-rate", "0"}, "Sample rate must be a positive integer in Hz, at most 64M"},
        Refusal{{"--audio-rate", "64000001"}, "Sample rate must be a positive integer in Hz, at most 64M"}));

// The rules after the argument loop, in their order; where two rules are broken the earlier
// one's message is the one expected.
INSTANTIATE_TEST_SUITE_P(
    EarlyReturnsAndDaemon, ParseRefusal,
    testing::Values(
        Refusal{{"--bands", "40", "--frequencies", "7.074M"}, "Choose --bands or --frequencies, not both"},
        Refusal{{"--list-frequencies", "--bands", "40", "--frequencies", "7M", "--daemon"},
                "Choose --bands or --frequencies, not both"},
        Refusal{{"--list-frequencies", "--daemon"},
                "--list-frequencies cannot be combined with daemon control or --list-devices"},
        Refusal{{"--list-frequencies", "--kill"},
                "--list-frequencies cannot be combined with daemon control or --list-devices"},
        Refusal{{"--list-frequencies", "--list-devices"},
                "--list-frequencies cannot be combined with daemon control or --list-devices"},
        Refusal{{"--list-frequencies", "--pid-file", "x.pid"},
                "--list-frequencies cannot be combined with daemon control or --list-devices"},
        Refusal{{"--list-frequencies", "--log-file", "x.log"},
                "--list-frequencies cannot be combined with daemon control or --list-devices"},
        // A control request is sent before any one-shot command, so it needs its socket even then.
        Refusal{{"--help", "--audio-command", "STATUS"}, "--audio-command requires --audio-control"},
        Refusal{{"--version", "--audio-command", "STATUS"}, "--audio-command requires --audio-control"},
        Refusal{{"--list-frequencies", "--audio-command", "STATUS"}, "--audio-command requires --audio-control"},
        // Channel expansion runs before every mode rule, so a bad band wins in audio mode too.
        Refusal{{"--bands", "4", "-f", "7M"},
                "Unsupported band: 4; choose 160,80,60,40,30,20,17,15,12,10,6,2 (optional m suffix) or 70cm"},
        Refusal{{"--bands", "40,,20"}, "--bands contains an empty band"},
        Refusal{{"--pid-file", ""}, "Daemon PID path cannot be empty"},
        Refusal{{"--kill", "--pid-file", ""}, "Daemon PID path cannot be empty"},
        Refusal{{"--kill", "--daemon"},
                "--kill accepts only --pid-file and --config; do not include receiver options or --daemon"},
        Refusal{{"-kill", "-f", "7M"},
                "--kill accepts only --pid-file and --config; do not include receiver options or --daemon"},
        Refusal{{"--kill", "--no-daemon"},
                "--kill accepts only --pid-file and --config; do not include receiver options or --daemon"},
        Refusal{{"--pid-file", "x.pid", "--log-file", "x.log", "-f", "7M"}, "--pid-file requires --daemon or --kill"},
        Refusal{{"--log-file", "x.log", "-f", "7M"}, "--log-file requires --daemon"},
        Refusal{{"--daemon", "--no-daemon", "--log-file", "x.log"}, "--log-file requires --daemon"},
        Refusal{{"--daemon", "--list-devices"}, "--daemon cannot be combined with --list-devices"},
        Refusal{{"--daemon", "--log-file", ""}, "Daemon log path cannot be empty"},
        Refusal{{"--daemon", "--audio-command", "STATUS"}, "--audio-command requires --audio-control"},
        Refusal{{"--audio-command", "STATUS"}, "--audio-command requires --audio-control"}));

INSTANTIATE_TEST_SUITE_P(
    Backends, ParseRefusal,
    testing::Values(
        Refusal{{"--backend", "airspy", "-f", "7M"}, "Backend must be sdrplay, rtl-sdr or rx888"},
        Refusal{{"--backend", "RX888", "-f", "7M"}, "Backend must be sdrplay, rtl-sdr or rx888"},
        Refusal{{"--rx888-gain", "3", "-f", "7M"}, "RX-888 settings require live --backend rx888"},
        Refusal{{"--backend", "rx888", "--rx888-gain", "3", "--iq-file", "x.iq"},
                "RX-888 settings require live --backend rx888"},
        Refusal{{"--backend", "rx888", "--iq-file", "x.iq"},
                "RX-888 uses native HF direct sampling; SDRplay gain/API/antenna settings and IQ replay do not apply"},
        Refusal{{"--backend", "rx888", "--antenna", "A", "-f", "7M"},
                "RX-888 uses native HF direct sampling; SDRplay gain/API/antenna settings and IQ replay do not apply"},
        Refusal{{"--backend", "rx888", "--lna-state", "2", "-f", "7M"},
                "RX-888 uses native HF direct sampling; SDRplay gain/API/antenna settings and IQ replay do not apply"},
        Refusal{{"--backend", "rx888", "--api-library", "x.so", "-f", "7M"},
                "RX-888 uses native HF direct sampling; SDRplay gain/API/antenna settings and IQ replay do not apply"},
        Refusal{{"--backend", "rx888", "--agc", "off", "--agc", "on", "-f", "7M"},
                "RX-888 uses manual gain; set --rx888-gain and --rx888-attenuation"},
        Refusal{{"--backend", "rx888", "--rx888-attenuation", "10.25", "-f", "7M"},
                "RX-888 attenuation must be 0..31.5 dB in 0.5 dB steps"},
        Refusal{{"--backend", "rx888", "--rx888-attenuation", "32", "-f", "7M"},
                "RX-888 attenuation must be 0..31.5 dB in 0.5 dB steps"},
        Refusal{{"--backend", "rx888", "--rx888-attenuation", "-0.5", "-f", "7M"},
                "RX-888 attenuation must be 0..31.5 dB in 0.5 dB steps"},
        Refusal{{"--backend", "rx888", "--rx888-gain", "32.5", "-f", "7M"},
                "RX-888 VGA gain range is -8..32 dB (applied hardware steps are approximate)"},
        Refusal{{"--backend", "rx888", "--rx888-rate", "Full", "-f", "7M"},
                "--rx888-rate must be full (128 MS/s ADC, 0-64 MHz) or half (64 MS/s ADC, 0-32 MHz)"},
        Refusal{{"--backend", "rx888", "--rx888-gpu", "on", "-f", "7M"},
                "--rx888-gpu must be auto (an NVIDIA GPU when one answers) or off (the CPU)"},
        Refusal{{"--backend", "rx888", "--rx888-coverage", "some", "-f", "7M"},
                "--rx888-coverage must be bands (sized to the selection) or all (0 Hz to 90% of Nyquist)"},
        Refusal{{"--backend", "rtl-sdr", "--rf-notch", "on", "-f", "7M"},
                "Hardware notch filters require local SDRplay receivers"},
        Refusal{{"--backend", "rx888", "--mw-notch", "on", "-f", "7M"},
                "Hardware notch filters require local SDRplay receivers"},
        Refusal{{"--rtl-host", "radio.lan", "-f", "7M"},
                "--rtl-host/--rtl-port require the RTL-SDR TCP backend, without IQ replay"},
        Refusal{{"--backend", "rtl-sdr", "--rtl-port", "1234", "--iq-file", "x.iq"},
                "--rtl-host/--rtl-port require the RTL-SDR TCP backend, without IQ replay"},
        Refusal{{"--backend", "rtl-sdr", "--rtl-host", "", "-f", "7M"}, "RTL TCP host cannot be empty"},
        Refusal{{"--backend", "rtl-sdr", "--serial", "1234", "-f", "7M"},
                "RTL-SDR uses an external rtl_tcp server; select hardware with rtl_tcp -d INDEX_OR_SERIAL, not "
                "--serial/--api-library"},
        Refusal{{"--backend", "rtl-sdr", "--usb-mode", "bulk", "-f", "7M"}, "--usb-mode requires SDRplay hardware"},
        Refusal{{"--usb-mode", "bulk", "--iq-file", "x.iq"}, "--usb-mode requires SDRplay hardware"},
        Refusal{{"--usb-mode", "Bulk", "-f", "7M"}, "USB mode must be bulk or isochronous"}));

INSTANTIATE_TEST_SUITE_P(
    DecoderRules, ParseRefusal,
    testing::Values(
        Refusal{{"-f", "7M", "--callsign", "K1ABC"}, "Decoder options require --mode decoder"},
        Refusal{{"-f", "7M", "--survey"}, "Decoder options require --mode decoder"},
        Refusal{{"-f", "7M", "--survey", "--no-survey"}, "Decoder options require --mode decoder"},
        Refusal{{"--mode", "decoder", "-f", "7M", "--frequencies", "7.074M"},
                "Use --frequencies for decoder channels and --center-frequency for the receiver center"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--wav", "x.wav"},
                "Decoder mode uses internal USB audio at 12000 Hz; --wav, --sink, --audio-rate and LSB/AM are "
                "audio-mode options"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "-m", "usb", "--audio-rate", "12000"},
                "Decoder mode uses internal USB audio at 12000 Hz; --wav, --sink, --audio-rate and LSB/AM are "
                "audio-mode options"},
        Refusal{{"--mode", "hybrid", "--frequencies", "7.074M", "-m", "lsb"},
                "Decoder mode uses internal USB audio at 12000 Hz; --wav, --sink, --audio-rate and LSB/AM are "
                "audio-mode options"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "-b", "999"},
                "Decoder channel bandwidth must be 1000..5000 Hz"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "-b", "5.001k"},
                "Decoder channel bandwidth must be 1000..5000 Hz"},
        Refusal{{"--mode", "decoder"},
                "Specify 1..96 decoder channels with --frequencies or --bands (each band/mode pair counts)"},
        Refusal{{"--mode", "decoder", "--frequencies", frequency_list(97)},
                "Specify 1..96 decoder channels with --frequencies or --bands (each band/mode pair counts)"},
        Refusal{{"--mode", "decoder", "--decoders", "3", "--bands", "40,20"},
                "--decoders must match the number of selected band/mode or frequency/mode channels"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--workers", "33"},
                "Workers must be 1..32, decode depth 1..3 and decoder timeout >0..60 seconds"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--decode-depth", "0"},
                "Workers must be 1..32, decode depth 1..3 and decoder timeout >0..60 seconds"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--decode-depth", "4"},
                "Workers must be 1..32, decode depth 1..3 and decoder timeout >0..60 seconds"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--decoder-timeout", "0"},
                "Workers must be 1..32, decode depth 1..3 and decoder timeout >0..60 seconds"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--decoder-timeout", "60.1"},
                "Workers must be 1..32, decode depth 1..3 and decoder timeout >0..60 seconds"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--wspr-timeout", "110.5"},
                "WSPR timeout must be >0..110 seconds"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--wspr-timeout", "0"},
                "WSPR timeout must be >0..110 seconds"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--all-txt", ""},
                "Selected decoder executable and ALL.TXT path cannot be empty"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--decoder", ""},
                "Selected decoder executable and ALL.TXT path cannot be empty"},
        Refusal{{"--mode", "decoder", "--modes", "JS8-SLOW", "--bands", "40", "--js8-decoder", ""},
                "Selected decoder executable and ALL.TXT path cannot be empty"},
        Refusal{{"--mode", "decoder", "--modes", "WSPR", "--bands", "40", "--wspr-decoder", ""},
                "Selected decoder executable and ALL.TXT path cannot be empty"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--callsign", "abc"},
                "Invalid --callsign; use your receiving station's callsign"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--grid", "FN31PY"},
                "Invalid --grid; use a 4, 6 or 8 character Maidenhead locator"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--wsprnet", "--callsign", "K1ABC"},
                "--wsprnet requires --callsign and --grid"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--wsprnet", "--callsign", "K1ABC", "--grid",
                 "FN31", "--iq-file", "x.iq"},
                "--wsprnet requires live reception; IQ replay is not published"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--pskreporter", "--grid", "FN31"},
                "--pskreporter requires --callsign and --grid"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--pskreporter", "--callsign", "K1ABC", "--grid",
                 "FN31", "--iq-file", "x.iq"},
                "--pskreporter requires live reception; IQ replay is not published"},
        Refusal{{"--mode", "decoder", "--frequencies", "999"}, "Decoder frequencies must be between 1k and 2000M Hz"},
        // The FT8 channel is 4000 Hz wide, so its top edge passes 2 GHz.
        Refusal{{"--mode", "decoder", "--frequencies", "1999997k"},
                "Decoder frequencies must be between 1k and 2000M Hz"},
        Refusal{{"--mode", "decoder", "--frequencies", "FT8:14.074M,FT8:14.074M"}, "Duplicate decoder frequency/mode"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--iq-file", "x.iq"},
                "Decoder IQ replay requires --start-utc YYYYMMDD_HHMMSS"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--start-utc", "20250101_000000"},
                "--start-utc and --iq-rate require --iq-file"},
        Refusal{{"--mode", "receivers"}, "Audio receiver mode needs --center-frequency or audio channels"},
        Refusal{{"--mode", "receivers", "--center-frequency", "7.08M", "--frequencies", "7.074M"},
                "Audio receiver mode does not take FTx channels"}));

INSTANTIATE_TEST_SUITE_P(
    LiveChannels, ParseRefusal,
    testing::Values(
        Refusal{{"-f", "7M", "--audio-channel", "id=a,frequency=7.1M"},
                "Audio channels need decoder, hybrid or receivers mode"},
        Refusal{{"-f", "7M", "--analysis-channel", "id=a,frequency=7.1M"},
                "Analysis channels need decoder, hybrid or receivers mode"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--audio-channel", "id=a,frequency=14.2M"},
                "Audio passband is outside the running capture; receiver restart required"},
        Refusal{{"--mode", "decoder", "--frequencies", "7.074M", "--analysis-channel", "id=p,frequency=14.07M"},
                "Analysis passband is outside the running capture; receiver restart required"}));

INSTANTIATE_TEST_SUITE_P(
    RatesAndLevels, ParseRefusal,
    testing::Values(
        Refusal{{"--sample-rate", "2M", "--iq-file", "x.iq"},
                "--sample-rate controls hardware; decoder IQ replay uses --iq-rate and audio replay uses 64000 Hz"},
        Refusal{{"--sample-rate", "1.9M", "-f", "7M"}, "SDRplay hardware sample rate must be 2M through 10M Hz"},
        Refusal{{"--sample-rate", "10.1M", "-f", "7M"}, "SDRplay hardware sample rate must be 2M through 10M Hz"},
        Refusal{{"--backend", "rx888", "--sample-rate", "10M", "-f", "7M"},
                "RX-888 complex output rate must be the ADC clock divided by a power of two, up to 32M Hz (64M "
                "with --rx888-coverage all)"},
        Refusal{{"--backend", "rx888", "--sample-rate", "64M", "-f", "7M"},
                "RX-888 complex output rate must be the ADC clock divided by a power of two, up to 32M Hz (64M "
                "with --rx888-coverage all)"},
        Refusal{{"--backend", "rx888", "--rx888-rate", "half", "--sample-rate", "125k", "-f", "7M"},
                "RX-888 complex output rate must be the ADC clock divided by a power of two, up to 32M Hz (64M "
                "with --rx888-coverage all)"},
        Refusal{{"--backend", "rtl-sdr", "--sample-rate", "500k", "-f", "7M"},
                "RTL-SDR sample rate must be 225001..300000 or 900001..3200000 Hz"},
        Refusal{{"--backend", "rtl-sdr", "--sample-rate", "3200001", "-f", "7M"},
                "RTL-SDR sample rate must be 225001..300000 or 900001..3200000 Hz"},
        Refusal{{"--audio-rate", "7999", "-f", "7M"}, "Audio rate must be 8000..192000 Hz"},
        Refusal{{"--rtl-gain", "61", "-f", "7M"}, "RTL gain must be between -10 and 60 dB"},
        Refusal{{"--backend", "rtl-sdr", "--ppm", "0.5", "-f", "7M"},
                "RTL-SDR requires integer PPM and does not support --antenna"},
        Refusal{{"--backend", "rtl-sdr", "--antenna", "A", "-f", "7M"},
                "RTL-SDR requires integer PPM and does not support --antenna"},
        Refusal{{}, "--frequency is required and must be between 1k and 2000M Hz"},
        Refusal{{"-f", "999"}, "--frequency is required and must be between 1k and 2000M Hz"},
        Refusal{{"-f", "2000.001M"}, "--frequency is required and must be between 1k and 2000M Hz"},
        Refusal{{"-f", "7M", "-b", "199"}, "Bandwidth must be between 200 and 20000 Hz"},
        Refusal{{"-f", "7M", "-b", "4000", "--audio-rate", "8000"},
                "Receive audio bandwidth must be below half the audio sample rate"},
        Refusal{{"-f", "7M", "-m", "am", "-b", "8000", "--audio-rate", "8000"},
                "Receive audio bandwidth must be below half the audio sample rate"},
        Refusal{{"-f", "7M", "--audio-gain", "0"}, "Audio gain must be greater than 0 and at most 10000"},
        Refusal{{"-f", "7M", "--audio-gain", "10001"}, "Audio gain must be greater than 0 and at most 10000"},
        Refusal{{"-f", "7M", "--duration", "-1"}, "Duration must be between 0 and 86400 seconds (0 means unlimited)"},
        Refusal{{"-f", "7M", "--duration", "86401"},
                "Duration must be between 0 and 86400 seconds (0 means unlimited)"},
        Refusal{{"-f", "7M", "--ppm", "-1001"}, "PPM must be between -1000 and 1000"},
        Refusal{{"-f", "7M", "--gain-reduction", "19"}, "Gain reduction must be 20 through 59 dB"},
        Refusal{{"-f", "7M", "--gain-reduction", "60"}, "Gain reduction must be 20 through 59 dB"},
        Refusal{{"-f", "7M", "--sink", ""}, "Sink name cannot be empty"},
        Refusal{{"-f", "7M", "--antenna", "hiz"}, "Antenna must be A, B, C, or HiZ"},
        Refusal{{"--iq-file", "x.raw", "--wav", "x.raw"}, "IQ input and WAV output must be different files"},
        Refusal{{"--list-devices", "--wav", "x.wav"},
                "--list-devices cannot be combined with IQ replay or WAV output"}));

TEST(ParseOptions, SixteenLiveChannelsAtMostBeforePresets)
{
    Args args{"--mode", "receivers"};
    add_audio_channels(args, 16);
    EXPECT_EQ(parse(args).audio_channels.size(), 16u);
    args.insert(args.end(), {"--analysis-channel", "id=p,frequency=7.04M"});
    try {
        parse(args);
        FAIL() << "seventeen channels accepted";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "At most 16 audio and analysis channels per SDR");
    }
}

TEST(ParseOptions, CaptureFitFailuresCarryTheirOwnKind)
{
    Args const cases[] = {
        {"--mode", "decoder", "--frequencies", "7.074M,15.074M"},
        {"--mode", "decoder", "--frequencies", "7.074M", "--audio-channel", "id=a,frequency=14.2M"},
        {"--mode", "decoder", "--frequencies", "7.074M", "--analysis-channel", "id=p,frequency=14.07M"},
    };
    for (Args const& args : cases)
        EXPECT_THROW(parse(args), CaptureFitError) << joined(args);
}

struct Accepted {
    Args args;
    std::function<void(Options const&)> check;
};

void PrintTo(Accepted const& accepted, std::ostream* out)
{
    *out << joined(accepted.args);
}

class ParseAccepted : public testing::TestWithParam<Accepted> {};

TEST_P(ParseAccepted, ProducesTheRecord)
{
    Options options;
    ASSERT_NO_THROW(options = parse(GetParam().args));
    GetParam().check(options);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ParseAccepted,
    testing::Values(
        Accepted{{"-f", "14.074M"},
                 [](Options const& o) {
                     EXPECT_EQ(o.frequency, 14074000);
                     EXPECT_EQ(o.sample_rate, 2048000);
                     EXPECT_EQ(o.usb_mode, "isochronous");
                     EXPECT_EQ(o.bandwidth, 3000);
                     EXPECT_EQ(o.audio_rate, 48000);
                     EXPECT_EQ(o.if_bandwidth, 200000);
                     EXPECT_EQ(o.signal_journal, "signal-events.jsonl");
                     EXPECT_EQ(o.survey_journal, "signal-events.jsonl");
                     EXPECT_EQ(o.wefax_images, "wefax");
                     EXPECT_EQ(o.pid_file, "norvane.pid");
                     EXPECT_EQ(o.log_file, "norvane.log");
                     EXPECT_EQ(o.all_txt, "ALL.TXT");
                 }},
        // Later arguments overwrite earlier ones; words are taken as values whatever they look like.
        Accepted{{"-f", "7M", "--frequency", "3.5M", "--serial", "-f", "--antenna", "HiZ"},
                 [](Options const& o) {
                     EXPECT_EQ(o.frequency, 3500000);
                     EXPECT_EQ(o.serial, "-f");
                     EXPECT_EQ(o.antenna, "HiZ");
                 }},
        Accepted{{"-f", "7.1M", "-m", "lsb", "-b", "2.4k", "--audio-rate", "8k", "--audio-gain", "2.5",
                  "--duration", "60", "--ppm", "-1.5", "--gain-reduction", "40", "--lna-state", "3",
                  "--agc", "off", "--rf-notch", "on", "--mw-notch", "on", "--sink", "other", "--wav", "out.wav",
                  "--direct-sampling", "q", "--rtl-gain", "-10", "--buffer-seconds", "4", "--history-days",
                  "30", "--history-db", "h.sqlite", "--stats", "--sample-rate", "6M", "--usb-mode", "bulk"},
                 [](Options const& o) {
                     EXPECT_EQ(o.modulation, 1u);
                     EXPECT_EQ(o.bandwidth, 2400);
                     EXPECT_EQ(o.audio_rate, 8000);
                     EXPECT_EQ(o.audio_gain, 2.5);
                     EXPECT_EQ(o.duration, 60);
                     EXPECT_EQ(o.ppm, -1.5);
                     EXPECT_EQ(o.gain_reduction, 40u);
                     EXPECT_EQ(o.lna_state, 3u);
                     EXPECT_FALSE(o.agc);
                     EXPECT_TRUE(o.rf_notch);
                     EXPECT_TRUE(o.mw_notch);
                     EXPECT_EQ(o.sink, "other");
                     EXPECT_FALSE(o.create_sink);
                     EXPECT_EQ(o.wav, "out.wav");
                     EXPECT_EQ(o.direct_sampling, 2u);
                     EXPECT_EQ(o.rtl_gain, -10);
                     EXPECT_EQ(o.buffer_seconds, 4);
                     EXPECT_EQ(o.history_days, 30u);
                     EXPECT_EQ(o.history_db, "h.sqlite");
                     EXPECT_TRUE(o.stats);
                     EXPECT_EQ(o.sample_rate, 6000000);
                     EXPECT_EQ(o.usb_mode, "bulk");
                 }},
        Accepted{{"-f", "1M", "-m", "AM"}, [](Options const& o) { EXPECT_EQ(o.bandwidth, 6000); }},
        Accepted{{"-f", "1M", "-m", "AM", "-b", "8k", "--audio-rate", "16001"},
                 [](Options const& o) { EXPECT_EQ(o.bandwidth, 8000); }},
        Accepted{{"--iq-file", "x.iq"}, [](Options const& o) { EXPECT_EQ(o.frequency, 0); }},
        Accepted{{"--history-db", "off", "-f", "7M"}, [](Options const& o) { EXPECT_EQ(o.history_db, ""); }},
        Accepted{{"--backend", "rtl-sdr", "-f", "7M"},
                 [](Options const& o) {
                     EXPECT_EQ(o.sample_rate, 1024000);
                     EXPECT_EQ(o.rtl_host, "127.0.0.1");
                     EXPECT_EQ(o.rtl_port, 1234u);
                 }},
        Accepted{{"--backend", "rtl-sdr", "--rtl-host", "radio.lan", "--rtl-port", "1235", "--sample-rate",
                  "300000", "--ppm", "-3", "-f", "7M"},
                 [](Options const& o) {
                     EXPECT_EQ(o.rtl_host, "radio.lan");
                     EXPECT_EQ(o.rtl_port, 1235u);
                     EXPECT_EQ(o.sample_rate, 300000);
                 }},
        Accepted{{"--backend", "rx888", "-f", "7M", "--agc", "off"},
                 [](Options const& o) {
                     EXPECT_EQ(o.sample_rate, 8000000);
                     EXPECT_FALSE(o.agc);
                 }},
        Accepted{{"--backend", "rx888", "-f", "7M", "--rx888-attenuation", "10.5", "--rx888-gain", "-8",
                  "--rx888-bias-t", "on", "--rx888-reference", "on", "--rx888-gpu", "off", "--rx888-recovery",
                  "0", "--rx888-library", "u.so", "--rx888-firmware", "f.img"},
                 [](Options const& o) {
                     EXPECT_FALSE(o.agc);
                     EXPECT_EQ(o.rx888_attenuation, 10.5);
                     EXPECT_EQ(o.rx888_gain, -8);
                     EXPECT_TRUE(o.rx888_bias_t);
                     EXPECT_TRUE(o.rx888_reference);
                     EXPECT_EQ(o.rx888_gpu, "off");
                     EXPECT_EQ(o.rx888_recovery, 0);
                     EXPECT_EQ(o.rx888_library, "u.so");
                     EXPECT_EQ(o.rx888_firmware, "f.img");
                 }},
        Accepted{{"--backend", "rx888", "--sample-rate", "64M", "--rx888-coverage", "all", "-f", "7M"},
                 [](Options const& o) { EXPECT_EQ(o.sample_rate, 64000000); }},
        // RX-888 settings are checked for any backend when only listing devices.
        Accepted{{"--list-devices", "--rx888-gain", "3"}, [](Options const& o) { EXPECT_TRUE(o.list_devices); }},
        Accepted{{"--list-devices", "--mode", "decoder"}, [](Options const& o) { EXPECT_TRUE(o.decoder_channels.empty()); }},
        Accepted{{"-f", "7M", "--history-days", "30", "--buffer-seconds", "4", "--no-survey", "--no-pskreporter",
                  "--known-channels-report"},
                 [](Options const& o) { EXPECT_TRUE(o.known_channels_report); }},
        Accepted{{"--help", "--bands", "40", "--frequencies", "7M"}, [](Options const& o) { EXPECT_TRUE(o.help); }},
        Accepted{{"--version", "--kill", "--daemon"}, [](Options const& o) { EXPECT_TRUE(o.version); }},
        Accepted{{"--list-frequencies", "--modes", "FT4,WSPR"},
                 [](Options const& o) {
                     EXPECT_EQ(o.modes, (std::vector<DigitalMode>{DigitalMode::FT4, DigitalMode::WSPR}));
                 }},
        Accepted{{"--kill", "--pid-file", "x.pid"}, [](Options const& o) { EXPECT_EQ(o.pid_file, "x.pid"); }},
        Accepted{{"-kill", "--help"}, [](Options const& o) { EXPECT_TRUE(o.kill); }},
        Accepted{{"--daemon", "--pid-file", "d.pid", "--log-file", "d.log", "-f", "7M"},
                 [](Options const& o) {
                     EXPECT_TRUE(o.daemon);
                     EXPECT_EQ(o.pid_file, "d.pid");
                     EXPECT_EQ(o.log_file, "d.log");
                 }},
        Accepted{{"--audio-command", "STATUS", "--audio-control", "/tmp/x.sock"},
                 [](Options const& o) { EXPECT_EQ(o.audio_command, "STATUS"); }},
        Accepted{{"--help", "--audio-command", "STATUS", "--audio-control", "/tmp/x.sock"},
                 [](Options const& o) { EXPECT_TRUE(o.help); }},
        Accepted{{"--daemon", "--audio-command", "STATUS", "--audio-control", "/tmp/x.sock", "--log-file", ""},
                 [](Options const& o) { EXPECT_TRUE(o.daemon); }}));

INSTANTIATE_TEST_SUITE_P(
    WidebandDerivations, ParseAccepted,
    testing::Values(
        Accepted{{"--mode", "decoder", "--frequencies", "14.074M"},
                 [](Options const& o) {
                     EXPECT_TRUE(o.wideband);
                     EXPECT_FALSE(o.receivers_only);
                     EXPECT_EQ(o.sample_rate, 10000000);
                     EXPECT_EQ(o.if_bandwidth, 8000000);
                     EXPECT_EQ(o.frequency, 14084000);
                     EXPECT_EQ(o.audio_rate, 12000);
                     EXPECT_EQ(o.bandwidth, 4000);
                     EXPECT_EQ(o.usb_mode, "bulk");
                     EXPECT_EQ(o.decoders, 1u);
                     EXPECT_EQ(o.workers, 1u);
                 }},
        Accepted{{"--mode", "decoder", "--frequencies", "14.074M", "-b", "2500", "--decoders", "1",
                  "--workers", "2", "--decode-depth", "1", "--decoder-timeout", "60", "--wspr-timeout", "110",
                  "--callsign", "k1abc/p", "--grid", "fn31pr", "--pskreporter", "--wsprnet", "--survey",
                  "--survey-bandwidth", "48k", "--survey-max-decoders", "255", "--survey-min-snr", "0",
                  "--signal-journal", "off", "--survey-journal", "s.jsonl", "--wefax-images", "pics",
                  "--work-dir", "/tmp", "--decoder", "j", "--js8-decoder", "q", "--wspr-decoder", "w",
                  "--all-txt", "all.txt", "--center-frequency", "14.08M"},
                 [](Options const& o) {
                     EXPECT_EQ(o.bandwidth, 2500);
                     EXPECT_EQ(o.workers, 2u);
                     EXPECT_EQ(o.decode_depth, 1);
                     EXPECT_EQ(o.decoder_timeout, 60);
                     EXPECT_EQ(o.wspr_timeout, 110);
                     EXPECT_EQ(o.callsign, "K1ABC/P");
                     EXPECT_EQ(o.grid, "FN31PR");
                     EXPECT_TRUE(o.pskreporter);
                     EXPECT_TRUE(o.wsprnet);
                     EXPECT_TRUE(o.survey);
                     EXPECT_EQ(o.survey_bandwidth, 48000);
                     EXPECT_EQ(o.survey_max_decoders, 255u);
                     EXPECT_EQ(o.survey_min_snr, 0);
                     EXPECT_EQ(o.signal_journal, "");
                     EXPECT_EQ(o.survey_journal, "s.jsonl");
                     EXPECT_EQ(o.wefax_images, "pics");
                     EXPECT_EQ(o.work_dir, "/tmp");
                     EXPECT_EQ(o.decoder, "j");
                     EXPECT_EQ(o.js8_decoder, "q");
                     EXPECT_EQ(o.wspr_decoder, "w");
                     EXPECT_EQ(o.all_txt, "all.txt");
                     EXPECT_EQ(o.frequency, 14080000);
                 }},
        // Only the programs of the selected modes must be named.
        Accepted{{"--mode", "decoder", "--frequencies", "14.074M", "--wspr-decoder", "", "--js8-decoder", ""},
                 [](Options const& o) { EXPECT_EQ(o.decoders, 1u); }},
        Accepted{{"--mode", "decoder", "--frequencies", "7.074M", "--iq-file", "x.iq", "--start-utc",
                  "20250101_000000", "--iq-rate", "96k"},
                 [](Options const& o) {
                     EXPECT_EQ(o.if_bandwidth, 96000);
                     EXPECT_EQ(o.iq_rate, 96000);
                     EXPECT_EQ(o.start_utc, "20250101_000000");
                 }},
        Accepted{{"--mode", "decoder", "--backend", "rtl-sdr", "--frequencies", "7.074M"},
                 [](Options const& o) {
                     EXPECT_EQ(o.sample_rate, 2400000);
                     EXPECT_EQ(o.if_bandwidth, 2400000);
                 }},
        // The RX-888 window decides the hardware rate, whatever --sample-rate said.
        Accepted{{"--mode", "decoder", "--backend", "rx888", "--sample-rate", "10M", "--bands", "80,10"},
                 [](Options const& o) {
                     EXPECT_EQ(o.frequency, 15825500);
                     EXPECT_EQ(o.sample_rate, 32000000);
                     EXPECT_EQ(o.if_bandwidth, 32000000);
                     EXPECT_FALSE(o.agc);
                 }},
        Accepted{{"--mode", "receivers", "--center-frequency", "7.1M"},
                 [](Options const& o) {
                     EXPECT_TRUE(o.receivers_only);
                     EXPECT_EQ(o.workers, 1u);
                     EXPECT_EQ(o.decoders, 0u);
                     EXPECT_EQ(o.frequency, 7100000);
                 }},
        // The receivers-mode centre spans every passband, disabled channels included.
        Accepted{{"--mode", "receivers", "--audio-channel", "id=a,frequency=7.1M", "--analysis-channel",
                  "id=p,frequency=7.2M,enabled=false"},
                 [](Options const& o) { EXPECT_EQ(o.frequency, (7100000 + 7203000) / 2 + 8000); }},
        // A disabled channel need not fit the capture.
        Accepted{{"--mode", "decoder", "--frequencies", "7.074M", "--audio-channel",
                  "id=a,frequency=14.2M,enabled=false"},
                 [](Options const& o) { EXPECT_EQ(o.audio_channels.size(), 1u); }}));

// List options edit their lists in argument order.
INSTANTIATE_TEST_SUITE_P(
    ChannelLists, ParseAccepted,
    testing::Values(
        Accepted{{"--mode", "receivers", "--audio-channel", "id=a,frequency=7.1M", "--audio-channel",
                  "id=b,frequency=7.11M", "--audio-channel", "id=a,frequency=7.12M"},
                 [](Options const& o) {
                     ASSERT_EQ(o.audio_channels.size(), 2u);
                     EXPECT_EQ(o.audio_channels[0].id, "a");
                     EXPECT_EQ(o.audio_channels[0].frequency, 7120000);
                     EXPECT_EQ(o.audio_channels[1].id, "b");
                 }},
        Accepted{{"--mode", "receivers", "--audio-channel", "id=a,frequency=7.1M", "--audio-channel",
                  "id=b,frequency=7.11M", "--remove-audio-channel", "a", "--remove-audio-channel", "zz"},
                 [](Options const& o) {
                     ASSERT_EQ(o.audio_channels.size(), 1u);
                     EXPECT_EQ(o.audio_channels[0].id, "b");
                 }},
        Accepted{{"--mode", "receivers", "--audio-channel", "id=a,frequency=7.1M", "--clear-audio-channels",
                  "--audio-channel", "id=c,frequency=7.13M"},
                 [](Options const& o) {
                     ASSERT_EQ(o.audio_channels.size(), 1u);
                     EXPECT_EQ(o.audio_channels[0].id, "c");
                 }},
        Accepted{{"--mode", "receivers", "--analysis-channel", "id=p,frequency=7.04M", "--analysis-channel",
                  "id=q,frequency=7.05M", "--analysis-channel", "id=p,frequency=7.06M",
                  "--remove-analysis-channel", "q"},
                 [](Options const& o) {
                     ASSERT_EQ(o.analysis_channels.size(), 1u);
                     EXPECT_EQ(o.analysis_channels[0].dial_hz, 7060000);
                 }},
        Accepted{{"--mode", "receivers", "--analysis-channel", "id=p,frequency=7.04M", "--clear-analysis-channels",
                  "--center-frequency", "7M"},
                 [](Options const& o) { EXPECT_TRUE(o.analysis_channels.empty()); }}));

TEST(ParseOptions, HybridAndDecoderAreOneConfiguration)
{
    EXPECT_EQ(parse({"--mode", "hybrid", "--bands", "40"}), parse({"--mode", "decoder", "--bands", "40"}));
}

struct Expansion {
    Args args;
    std::vector<DecoderChannel> channels;
};

void PrintTo(Expansion const& expansion, std::ostream* out)
{
    *out << joined(expansion.args);
}

class ChannelExpansion : public testing::TestWithParam<Expansion> {};

TEST_P(ChannelExpansion, GivesChannelsInBandThenModeOrder)
{
    Args args{"--mode", "decoder"};
    args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
    Options const options = parse(args);
    EXPECT_EQ(options.decoder_channels, GetParam().channels);
    EXPECT_EQ(options.decoders, GetParam().channels.size());
}

using DM = DigitalMode;

INSTANTIATE_TEST_SUITE_P(
    Examples, ChannelExpansion,
    testing::Values(
        Expansion{{"--bands", "40", "--modes", "FT8,FT4"}, {{7074000, DM::FT8}, {7047500, DM::FT4}}},
        Expansion{{"--bands", "40M"}, {{7074000, DM::FT8}}},
        Expansion{{"--bands", " 40m "}, {{7074000, DM::FT8}}},
        Expansion{{"--bands", "70cm"}, {{432174000, DM::FT8}}},
        Expansion{{"--bands", "70CM"}, {{432174000, DM::FT8}}},
        Expansion{{"--bands", "2m", "--modes", "WSPR"}, {{144489000, DM::WSPR}}},
        Expansion{{"--backend", "rx888", "--bands", "40", "--bands", "20"}, {{7074000, DM::FT8}, {14074000, DM::FT8}}},
        Expansion{{"--backend", "rx888", "--bands", "40,20", "--modes", "WSPR,FT8"},
                  {{7038600, DM::WSPR}, {7074000, DM::FT8}, {14095600, DM::WSPR}, {14074000, DM::FT8}}},
        // A band without a preset for one of the modes gives the others.
        Expansion{{"--bands", "160", "--modes", "FT4,FT8"}, {{1840000, DM::FT8}}},
        Expansion{{"--bands", "20", "--modes", "JS8-TURBO"}, {{14078000, DM::JS8_TURBO}}},
        Expansion{{"--frequencies", "14.074M"}, {{14074000, DM::FT8}}},
        Expansion{{"--frequencies", "FT4:14.080M"}, {{14080000, DM::FT4}}},
        Expansion{{"--frequencies", "ft8:14.074M, FT4: 14.074M"}, {{14074000, DM::FT8}, {14074000, DM::FT4}}},
        Expansion{{"--modes", "WSPR", "--frequencies", "14095.6k"}, {{14095600, DM::WSPR}}},
        Expansion{{"--modes", "FT8,FT4", "--frequencies", "FT4:14.08M,FT8:14.074M"},
                  {{14080000, DM::FT4}, {14074000, DM::FT8}}},
        Expansion{{"--frequencies", "14.074M", "--frequencies", "FT4:14.08M"},
                  {{14074000, DM::FT8}, {14080000, DM::FT4}}}));

TEST(ParseOptions, UnprefixedFrequencyLeavesTheModeList)
{
    Options const options = parse({"--mode", "decoder", "--frequencies", "FT4:14.080M"});
    EXPECT_EQ(options.modes, std::vector<DigitalMode>{DigitalMode::FT8});
}

INSTANTIATE_TEST_SUITE_P(
    ChannelExpansionErrors, ParseRefusal,
    testing::Values(
        Refusal{{"--mode", "decoder", "--bands", "60", "--modes", "JS8"},
                "No preset for the selected modes on this band; use an explicit --frequencies entry: 60"},
        Refusal{{"--mode", "decoder", "--bands", "60M", "--modes", "WSPR,JS8"},
                "No preset for the selected modes on this band; use an explicit --frequencies entry: 60M"},
        Refusal{{"--mode", "decoder", "--bands", "4"},
                "Unsupported band: 4; choose 160,80,60,40,30,20,17,15,12,10,6,2 (optional m suffix) or 70cm"},
        Refusal{{"--mode", "decoder", "--bands", "40cm"},
                "Unsupported band: 40cm; choose 160,80,60,40,30,20,17,15,12,10,6,2 (optional m suffix) or 70cm"},
        Refusal{{"--mode", "decoder", "--bands", "40mm"},
                "Unsupported band: 40m; choose 160,80,60,40,30,20,17,15,12,10,6,2 (optional m suffix) or 70cm"},
        Refusal{{"--mode", "decoder", "--modes", "FT8,FT4", "--frequencies", "14.074M"},
                "With multiple --modes, prefix each --frequencies entry: FT8:14.074M,FT4:14.080M; or use --bands"},
        Refusal{{"--mode", "decoder", "--modes", "FT8", "--frequencies", "FT4:14.08M"},
                "Frequency mode is not enabled by --modes: FT4:14.08M"},
        Refusal{{"--mode", "decoder", "--frequencies", "FT9:14.08M"},
                "Digital mode must be FT8, FT4, JS8, JS8-FAST, JS8-TURBO, JS8-SLOW or WSPR: FT9"},
        Refusal{{"--mode", "decoder", "--frequencies", "14.074M,"}, "Invalid number: "},
        Refusal{{"--mode", "decoder", "--frequencies", "FT8:"}, "Invalid number: "}));

struct WorkerCase {
    std::size_t channels;
    unsigned hardware_threads;
    std::uint32_t workers;
};

class DecoderWorkers : public testing::TestWithParam<WorkerCase> {};

TEST_P(DecoderWorkers, FollowChannelsAndHalfTheThreads)
{
    EXPECT_EQ(choose_decoder_workers(GetParam().channels, GetParam().hardware_threads), GetParam().workers);
}

INSTANTIATE_TEST_SUITE_P(Formula, DecoderWorkers,
                         testing::Values(WorkerCase{10, 8, 4}, WorkerCase{10, 2, 1}, WorkerCase{10, 3, 1},
                                         WorkerCase{10, 1, 1}, WorkerCase{10, 0, 1}, WorkerCase{3, 64, 3},
                                         WorkerCase{96, 128, 32}, WorkerCase{96, 65, 32}, WorkerCase{1, 8, 1}));

TEST(ParseOptions, ChosenWorkersFollowThisMachine)
{
    Options const options = parse({"--mode", "decoder", "--frequencies", frequency_list(10)});
    EXPECT_EQ(options.workers, choose_decoder_workers(10, std::thread::hardware_concurrency()));
}

TEST(ParseOptions, KnownChannelPresetsJoinWithoutReplacingTheUsersChannels)
{
    Options const without = parse({"--mode", "decoder", "--bands", "20"});
    EXPECT_TRUE(without.analysis_channels.empty());

    Options const with = parse({"--mode", "decoder", "--bands", "20", "--known-channels"});
    ASSERT_FALSE(with.analysis_channels.empty());
    for (AnalysisChannel const& preset : with.analysis_channels) {
        auto const [low, high] = passband_edges(preset);
        EXPECT_GE(low, with.frequency - 0.45 * with.if_bandwidth) << preset.id;
        EXPECT_LE(high, with.frequency + 0.45 * with.if_bandwidth) << preset.id;
        EXPECT_EQ(preset.report, only_jtty_modes(preset, false)) << preset.id;
    }

    Options const reporting =
        parse({"--mode", "decoder", "--bands", "20", "--known-channels", "--known-channels-report"});
    for (AnalysisChannel const& preset : reporting.analysis_channels)
        EXPECT_TRUE(preset.report) << preset.id;

    // A user channel with a preset's identifier keeps its own settings and its place.
    std::string const id = with.analysis_channels.front().id;
    Options const own = parse({"--mode", "decoder", "--bands", "20", "--known-channels", "--analysis-channel",
                               "id=" + id + ",frequency=14.1M,report=false"});
    EXPECT_EQ(own.analysis_channels.size(), with.analysis_channels.size());
    EXPECT_EQ(own.analysis_channels.front().id, id);
    EXPECT_EQ(own.analysis_channels.front().dial_hz, 14100000);
}

TEST(ParseOptions, PresetsDoNotCountTowardsTheChannelLimit)
{
    Args args{"--mode", "hybrid", "--bands", "40", "--known-channels"};
    add_audio_channels(args, 16);
    Options const options = parse(args);
    EXPECT_GT(options.analysis_channels.size(), 0u);
    EXPECT_EQ(options.audio_channels.size(), 16u);
}

TEST(ParseOptions, CommandLineOverridesTheConfigurationFile)
{
    TempDir dir;
    std::string const config =
        dir.write_file("receiver.conf", "frequency = 7.1M\nbackend = rtl-sdr\nstats = yes\n").string();
    Options const options = parse({"--config", config, "-f", "3.5M"});
    EXPECT_EQ(options.frequency, 3500000);
    EXPECT_EQ(options.backend, "rtl-sdr");
    EXPECT_TRUE(options.stats);

    // --kill takes only the PID file from the configuration.
    std::string const kill_config =
        dir.write_file("kill.conf", "pid-file = k.pid\nbackend = rx888\naudio.a = id=a,frequency=7.1M\n").string();
    Options const kill = parse({"--config", kill_config, "--kill"});
    EXPECT_TRUE(kill.kill);
    EXPECT_EQ(kill.pid_file, "k.pid");
    EXPECT_EQ(kill.backend, "sdrplay");
    EXPECT_TRUE(kill.audio_channels.empty());
}

}  // namespace
