#include "app/parse_options.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/band_presets.hpp"
#include "app/capture_geometry.hpp"
#include "app/config_file.hpp"
#include "core/ascii_case.hpp"
#include "core/digital_mode.hpp"
#include "core/station_checks.hpp"
#include "core/value_parse.hpp"
#include "live/audio_channel_spec.hpp"
#include "sig/known_channels.hpp"

namespace {

// What an option marks when it is read; the rules after the argument loop look at the marks,
// not at the options one by one.
enum Mark : unsigned {
    decoder_mark = 1u << 0,       // refused in audio mode
    rx888_mark = 1u << 1,         // needs the live RX-888 backend
    audio_output_mark = 1u << 2,  // audio-mode output, refused in the wideband modes
    rtl_mark = 1u << 3,           // needs the rtl_tcp backend
    sdrplay_gain_mark = 1u << 4,  // refused with the RX-888
};

// Facts about the command line that the record alone cannot tell (a value equal to the
// default may still have been given).
struct Given {
    bool decoder_option = false;
    bool rx888_option = false;
    bool audio_output_option = false;
    bool rtl_option = false;
    bool sdrplay_gain_option = false;
    bool modes = false;
    bool frequencies = false;
    bool bands = false;
    bool center_frequency = false;
    bool frequency = false;
    bool bandwidth = false;
    bool iq_rate = false;
    bool sample_rate = false;
    bool usb_mode = false;
    bool agc = false;
    bool pid_file = false;
    bool log_file = false;
    bool non_kill_argument = false;
};

struct Parse {
    Options options;
    Given given;
    // Every --frequencies and --bands item, expanded into decoder channels after the loop,
    // when the selected modes are known.
    std::vector<std::string> channel_items;
};

using Text = std::string const&;
using Apply = void (*)(Parse& parse, Text option, Text value);

struct OptionRow {
    std::string_view name;
    std::string_view alias;
    bool takes_value;
    unsigned marks;
    Apply apply;
};

constexpr double max_dial_hz = 2000000000;

bool on_off(Text value, std::string const& message)
{
    if (value == "on")
        return true;
    if (value == "off")
        return false;
    throw std::runtime_error(message);
}

std::string path_or_off(Text value)
{
    return value == "off" ? std::string() : value;
}

double whole_number_in(Text value, double lowest, double highest, char const* message)
{
    double const number = parse_number(value, false);
    if (number < lowest || number > highest || number != std::floor(number))
        throw std::runtime_error(message);
    return number;
}

std::uint32_t nonzero_byte(Text value, char const* message)
{
    std::int32_t const number = parse_byte(value);
    if (number == 0)
        throw std::runtime_error(message);
    return static_cast<std::uint32_t>(number);
}

template <typename Channel>
void put_channel(std::vector<Channel>& channels, Channel channel)
{
    auto const same = std::find_if(channels.begin(), channels.end(),
                                   [&](Channel const& existing) { return existing.id == channel.id; });
    if (same != channels.end())
        *same = std::move(channel);
    else
        channels.push_back(std::move(channel));
}

template <typename Channel>
void remove_channel(std::vector<Channel>& channels, Text id)
{
    std::erase_if(channels, [&](Channel const& channel) { return channel.id == id; });
}

void append_items(std::vector<std::string>& items, Text list)
{
    for (std::string& item : split_comma_list(list))
        items.push_back(std::move(item));
}

void set_mode(Parse& p, Text value)
{
    Options& o = p.options;
    if (value == "audio") {
        o.wideband = false;
        o.receivers_only = false;
    } else if (value == "decoder" || value == "hybrid") {
        o.wideband = true;
        o.receivers_only = false;
    } else if (value == "receivers") {
        o.wideband = true;
        o.receivers_only = true;
    } else {
        throw std::runtime_error("--mode must be audio, decoder, hybrid or receivers");
    }
}

void set_modes(Parse& p, Text value)
{
    p.given.modes = true;
    std::vector<DigitalMode>& modes = p.options.modes;
    modes.clear();
    for (std::string const& item : split_comma_list(value)) {
        DigitalMode const mode = parse_digital_mode(item);
        if (std::find(modes.begin(), modes.end(), mode) != modes.end())
            throw std::runtime_error("Duplicate digital mode: " + item);
        modes.push_back(mode);
    }
}

std::uint32_t modulation_code(Text value)
{
    std::string const name = upper_ascii(value);
    if (name == "USB")
        return 0;
    if (name == "LSB")
        return 1;
    if (name == "AM")
        return 2;
    throw std::runtime_error("Modulation must be USB, LSB, or AM");
}

std::uint32_t direct_sampling_code(Text value)
{
    if (value == "off")
        return 0;
    if (value == "i")
        return 1;
    if (value == "q")
        return 2;
    throw std::runtime_error("Direct sampling must be off, i, or q");
}

// One row per option. Checks that need only the option's own value run as it is read;
// everything that relates options to each other runs after the loop.
OptionRow const option_table[] = {
    {"-h", "--help", false, 0, [](Parse& p, Text, Text) { p.options.help = true; }},
    {"--version", {}, false, 0, [](Parse& p, Text, Text) { p.options.version = true; }},
    {"--mode", {}, true, 0, [](Parse& p, Text, Text v) { set_mode(p, v); }},

    {"--audio-channel", {}, true, 0,
     [](Parse& p, Text, Text v) { put_channel(p.options.audio_channels, parse_audio_channel(v)); }},
    {"--remove-audio-channel", {}, true, 0,
     [](Parse& p, Text, Text v) { remove_channel(p.options.audio_channels, v); }},
    {"--clear-audio-channels", {}, false, 0, [](Parse& p, Text, Text) { p.options.audio_channels.clear(); }},
    {"--analysis-channel", {}, true, 0,
     [](Parse& p, Text, Text v) { put_channel(p.options.analysis_channels, parse_analysis_channel(v)); }},
    {"--remove-analysis-channel", {}, true, 0,
     [](Parse& p, Text, Text v) { remove_channel(p.options.analysis_channels, v); }},
    {"--clear-analysis-channels", {}, false, 0,
     [](Parse& p, Text, Text) { p.options.analysis_channels.clear(); }},

    {"--signal-journal", {}, true, decoder_mark,
     [](Parse& p, Text, Text v) {
         if (v.empty())
             throw std::runtime_error("Signal journal path cannot be empty; use off to disable it");
         p.options.signal_journal = path_or_off(v);
     }},
    {"--wefax-images", {}, true, decoder_mark,
     [](Parse& p, Text, Text v) {
         if (v.empty())
             throw std::runtime_error("WEFAX image directory cannot be empty");
         p.options.wefax_images = v;
     }},
    {"--survey", {}, false, decoder_mark, [](Parse& p, Text, Text) { p.options.survey = true; }},
    {"--no-survey", {}, false, 0, [](Parse& p, Text, Text) { p.options.survey = false; }},
    {"--known-channels", {}, false, decoder_mark, [](Parse& p, Text, Text) { p.options.known_channels = true; }},
    {"--no-known-channels", {}, false, 0, [](Parse& p, Text, Text) { p.options.known_channels = false; }},
    {"--known-channels-report", {}, false, 0,
     [](Parse& p, Text, Text) { p.options.known_channels_report = true; }},
    {"--no-known-channels-report", {}, false, 0,
     [](Parse& p, Text, Text) { p.options.known_channels_report = false; }},
    {"--survey-bandwidth", {}, true, decoder_mark,
     [](Parse& p, Text, Text v) {
         double const hz = parse_number(v, true);
         if (hz < 48000 || hz > 64000000)
             throw std::runtime_error("--survey-bandwidth must be 48k..64M Hz");
         p.options.survey_bandwidth = hz;
     }},
    {"--survey-max-decoders", {}, true, decoder_mark,
     [](Parse& p, Text, Text v) {
         p.options.survey_max_decoders = nonzero_byte(v, "--survey-max-decoders must be 1..255");
     }},
    {"--survey-min-snr", {}, true, decoder_mark,
     [](Parse& p, Text, Text v) {
         double const db = parse_number(v, false);
         if (db < 0 || db > 60)
             throw std::runtime_error("--survey-min-snr must be 0..60 dB");
         p.options.survey_min_snr = db;
     }},
    {"--survey-journal", {}, true, decoder_mark,
     [](Parse& p, Text, Text v) {
         if (v.empty())
             throw std::runtime_error("Survey journal path cannot be empty; use off to disable it");
         p.options.survey_journal = path_or_off(v);
     }},

    {"--audio-control", {}, true, 0, [](Parse& p, Text, Text v) { p.options.audio_control = v; }},
    {"--audio-command", {}, true, 0, [](Parse& p, Text, Text v) { p.options.audio_command = v; }},
    {"--history-db", {}, true, 0, [](Parse& p, Text, Text v) { p.options.history_db = path_or_off(v); }},
    {"--history-days", {}, true, 0,
     [](Parse& p, Text, Text v) {
         p.options.history_days =
             static_cast<std::uint32_t>(whole_number_in(v, 1, 365, "History retention must be 1..365 days"));
     }},

    {"--modes", {}, true, decoder_mark, [](Parse& p, Text, Text v) { set_modes(p, v); }},
    {"--frequencies", {}, true, decoder_mark,
     [](Parse& p, Text, Text v) {
         p.given.frequencies = true;
         append_items(p.channel_items, v);
     }},
    {"--bands", {}, true, decoder_mark,
     [](Parse& p, Text, Text v) {
         p.given.bands = true;
         append_items(p.channel_items, v);
     }},
    {"--decoders", {}, true, decoder_mark,
     [](Parse& p, Text, Text v) { p.options.decoders = nonzero_byte(v, "--decoders must be 1..96"); }},
    {"--workers", {}, true, decoder_mark,
     [](Parse& p, Text, Text v) { p.options.workers = nonzero_byte(v, "--workers must be 1..32"); }},
    {"--decode-depth", {}, true, decoder_mark, [](Parse& p, Text, Text v) { p.options.decode_depth = parse_byte(v); }},
    {"--decoder-timeout", {}, true, decoder_mark,
     [](Parse& p, Text, Text v) { p.options.decoder_timeout = parse_number(v, false); }},
    {"--wspr-timeout", {}, true, decoder_mark,
     [](Parse& p, Text, Text v) { p.options.wspr_timeout = parse_number(v, false); }},
    {"--buffer-seconds", {}, true, 0,
     [](Parse& p, Text, Text v) {
         double const seconds = parse_number(v, false);
         if (seconds < 0.5 || seconds > 30)
             throw std::runtime_error("--buffer-seconds must be 0.5..30");
         p.options.buffer_seconds = seconds;
     }},
    {"--decoder", {}, true, decoder_mark, [](Parse& p, Text, Text v) { p.options.decoder = v; }},
    {"--wspr-decoder", {}, true, decoder_mark, [](Parse& p, Text, Text v) { p.options.wspr_decoder = v; }},
    {"--js8-decoder", {}, true, decoder_mark, [](Parse& p, Text, Text v) { p.options.js8_decoder = v; }},
    {"--all-txt", {}, true, decoder_mark, [](Parse& p, Text, Text v) { p.options.all_txt = v; }},
    {"--wsprnet", {}, false, decoder_mark, [](Parse& p, Text, Text) { p.options.wsprnet = true; }},
    {"--no-wsprnet", {}, false, 0, [](Parse& p, Text, Text) { p.options.wsprnet = false; }},
    {"--pskreporter", {}, false, decoder_mark, [](Parse& p, Text, Text) { p.options.pskreporter = true; }},
    {"--no-pskreporter", {}, false, 0, [](Parse& p, Text, Text) { p.options.pskreporter = false; }},
    {"--callsign", {}, true, decoder_mark, [](Parse& p, Text, Text v) { p.options.callsign = v; }},
    {"--grid", {}, true, decoder_mark, [](Parse& p, Text, Text v) { p.options.grid = v; }},
    {"--work-dir", {}, true, decoder_mark, [](Parse& p, Text, Text v) { p.options.work_dir = v; }},
    {"--start-utc", {}, true, decoder_mark, [](Parse& p, Text, Text v) { p.options.start_utc = v; }},
    {"--iq-rate", {}, true, decoder_mark,
     [](Parse& p, Text, Text v) {
         p.options.iq_rate = parse_sample_rate(v);
         p.given.iq_rate = true;
     }},
    {"--center-frequency", {}, true, decoder_mark,
     [](Parse& p, Text, Text v) {
         p.options.frequency = parse_number(v, true);
         p.given.center_frequency = true;
     }},

    {"--stats", {}, false, 0, [](Parse& p, Text, Text) { p.options.stats = true; }},
    {"--no-stats", {}, false, 0, [](Parse& p, Text, Text) { p.options.stats = false; }},
    {"--daemon", {}, false, 0, [](Parse& p, Text, Text) { p.options.daemon = true; }},
    {"--no-daemon", {}, false, 0, [](Parse& p, Text, Text) { p.options.daemon = false; }},
    {"--kill", "-kill", false, 0, [](Parse& p, Text, Text) { p.options.kill = true; }},
    {"--pid-file", {}, true, 0,
     [](Parse& p, Text, Text v) {
         p.options.pid_file = v;
         p.given.pid_file = true;
     }},
    {"--log-file", {}, true, 0,
     [](Parse& p, Text, Text v) {
         p.options.log_file = v;
         p.given.log_file = true;
     }},

    {"--backend", {}, true, 0, [](Parse& p, Text, Text v) { p.options.backend = v; }},
    {"--rx888-library", {}, true, rx888_mark, [](Parse& p, Text, Text v) { p.options.rx888_library = v; }},
    {"--rx888-firmware", {}, true, rx888_mark, [](Parse& p, Text, Text v) { p.options.rx888_firmware = v; }},
    {"--rx888-recovery", {}, true, rx888_mark,
     [](Parse& p, Text, Text v) {
         double const seconds = parse_number(v, false);
         if (seconds < 0 || seconds > 600)
             throw std::runtime_error("--rx888-recovery must be 0..600 seconds");
         p.options.rx888_recovery = seconds;
     }},
    {"--rx888-attenuation", {}, true, rx888_mark,
     [](Parse& p, Text, Text v) { p.options.rx888_attenuation = parse_number(v, false); }},
    {"--rx888-gain", {}, true, rx888_mark, [](Parse& p, Text, Text v) { p.options.rx888_gain = parse_number(v, false); }},
    {"--rx888-rate", {}, true, rx888_mark, [](Parse& p, Text, Text v) { p.options.rx888_rate = v; }},
    {"--rx888-coverage", {}, true, rx888_mark, [](Parse& p, Text, Text v) { p.options.rx888_coverage = v; }},
    {"--rx888-gpu", {}, true, rx888_mark, [](Parse& p, Text, Text v) { p.options.rx888_gpu = v; }},
    {"--rx888-bias-t", {}, true, rx888_mark,
     [](Parse& p, Text, Text v) { p.options.rx888_bias_t = on_off(v, "--rx888-bias-t must be on or off"); }},
    {"--rx888-reference", {}, true, rx888_mark,
     [](Parse& p, Text, Text v) {
         p.options.rx888_reference = on_off(v, "--rx888-reference must be on or off");
     }},

    {"--usb-mode", {}, true, 0,
     [](Parse& p, Text, Text v) {
         p.options.usb_mode = v;
         p.given.usb_mode = true;
     }},
    {"--sample-rate", {}, true, 0,
     [](Parse& p, Text, Text v) {
         p.options.sample_rate = parse_sample_rate(v);
         p.given.sample_rate = true;
     }},
    {"--audio-rate", {}, true, audio_output_mark,
     [](Parse& p, Text, Text v) { p.options.audio_rate = parse_sample_rate(v); }},

    {"--rtl-device", {}, false, 0,
     [](Parse&, Text, Text) {
         throw std::runtime_error(
             "Select RTL hardware on the external server: rtl_tcp -d INDEX_OR_SERIAL; use --rtl-host/--rtl-port here");
     }},
    {"--rtl-host", {}, true, rtl_mark, [](Parse& p, Text, Text v) { p.options.rtl_host = v; }},
    {"--rtl-port", {}, true, rtl_mark,
     [](Parse& p, Text, Text v) {
         p.options.rtl_port = static_cast<std::uint32_t>(
             whole_number_in(v, 1, 65535, "RTL TCP port must be an integer between 1 and 65535"));
     }},
    {"--rtl-gain", {}, true, 0, [](Parse& p, Text, Text v) { p.options.rtl_gain = parse_number(v, false); }},
    {"--direct-sampling", {}, true, 0,
     [](Parse& p, Text, Text v) { p.options.direct_sampling = direct_sampling_code(v); }},

    {"-f", "--frequency", true, 0,
     [](Parse& p, Text, Text v) {
         p.options.frequency = parse_number(v, true);
         p.given.frequency = true;
     }},
    {"-b", "--bandwidth", true, 0,
     [](Parse& p, Text, Text v) {
         p.options.bandwidth = parse_number(v, true);
         p.given.bandwidth = true;
     }},
    {"-m", "--modulation", true, 0, [](Parse& p, Text, Text v) { p.options.modulation = modulation_code(v); }},
    {"--audio-gain", {}, true, 0, [](Parse& p, Text, Text v) { p.options.audio_gain = parse_number(v, false); }},
    {"--duration", {}, true, 0, [](Parse& p, Text, Text v) { p.options.duration = parse_number(v, false); }},
    {"--ppm", {}, true, 0, [](Parse& p, Text, Text v) { p.options.ppm = parse_number(v, false); }},
    {"--gain-reduction", {}, true, sdrplay_gain_mark,
     [](Parse& p, Text, Text v) { p.options.gain_reduction = static_cast<std::uint32_t>(parse_byte(v)); }},
    {"--lna-state", {}, true, sdrplay_gain_mark,
     [](Parse& p, Text, Text v) { p.options.lna_state = static_cast<std::uint32_t>(parse_byte(v)); }},
    {"--rf-notch", {}, true, 0,
     [](Parse& p, Text option, Text v) { p.options.rf_notch = on_off(v, option + " must be on or off"); }},
    {"--mw-notch", {}, true, 0,
     [](Parse& p, Text option, Text v) { p.options.mw_notch = on_off(v, option + " must be on or off"); }},
    {"--agc", {}, true, 0,
     [](Parse& p, Text, Text v) {
         p.options.agc = on_off(v, "--agc must be on or off");
         p.given.agc = true;
     }},
    {"--serial", {}, true, 0, [](Parse& p, Text, Text v) { p.options.serial = v; }},
    {"--antenna", {}, true, 0, [](Parse& p, Text, Text v) { p.options.antenna = v; }},
    {"--api-library", {}, true, 0, [](Parse& p, Text, Text v) { p.options.api_library = v; }},
    {"--list-devices", {}, false, 0, [](Parse& p, Text, Text) { p.options.list_devices = true; }},
    {"--list-frequencies", {}, false, 0, [](Parse& p, Text, Text) { p.options.list_frequencies = true; }},
    {"--sink", {}, true, audio_output_mark,
     [](Parse& p, Text, Text v) {
         p.options.sink = v;
         p.options.create_sink = false;
     }},
    {"--iq-file", {}, true, 0, [](Parse& p, Text, Text v) { p.options.iq_file = v; }},
    {"--wav", {}, true, audio_output_mark, [](Parse& p, Text, Text v) { p.options.wav = v; }},
};

OptionRow const* find_option(std::string_view word)
{
    for (OptionRow const& row : option_table) {
        if (row.name == word || (!row.alias.empty() && row.alias == word))
            return &row;
    }
    return nullptr;
}

// The words that --kill tolerates beside itself; the configuration file contributes only
// --pid-file to a kill run.
bool kill_compatible(std::string_view word)
{
    return word == "--help" || word == "-h" || word == "--version" || word == "--kill" || word == "-kill" ||
           word == "--pid-file";
}

std::string const& next_option_value(std::vector<std::string> const& args, std::size_t& position)
{
    std::string const& option = args[position];
    ++position;
    if (position >= args.size())
        throw std::runtime_error("Missing value for " + option);
    return args[position];
}

void note_marks(Given& given, unsigned marks)
{
    given.decoder_option |= (marks & decoder_mark) != 0;
    given.rx888_option |= (marks & rx888_mark) != 0;
    given.audio_output_option |= (marks & audio_output_mark) != 0;
    given.rtl_option |= (marks & rtl_mark) != 0;
    given.sdrplay_gain_option |= (marks & sdrplay_gain_mark) != 0;
}

// "40M" and "40m" name the 40 row, "2m" the 2 row; "70cm" keeps its unit.
std::string band_name(std::string const& item)
{
    std::string name = lower_ascii(item);
    bool const centimetres = name.size() > 2 && name.ends_with("cm");
    if (!centimetres && name.ends_with('m'))
        name.pop_back();
    return name;
}

void expand_frequency_item(Parse& p, std::string const& item)
{
    Options& o = p.options;
    auto const colon = item.find(':');
    DigitalMode mode = DigitalMode::FT8;
    std::string value_text;
    if (colon == std::string::npos) {
        if (o.modes.size() != 1)
            throw std::runtime_error(
                "With multiple --modes, prefix each --frequencies entry: FT8:14.074M,FT4:14.080M; or use --bands");
        mode = o.modes.front();
        value_text = item;
    } else {
        mode = parse_digital_mode(item.substr(0, colon));
        if (p.given.modes && std::find(o.modes.begin(), o.modes.end(), mode) == o.modes.end())
            throw std::runtime_error("Frequency mode is not enabled by --modes: " + item);
        value_text = item.substr(colon + 1);
    }
    o.decoder_channels.push_back({parse_number(trim(value_text), true), mode});
}

void expand_band_item(Parse& p, std::string const& item)
{
    Options& o = p.options;
    if (item.empty())
        throw std::runtime_error("--bands contains an empty band");
    std::string const name = band_name(item);
    BandPreset const* band = find_band_preset(name);
    if (band == nullptr)
        throw std::runtime_error("Unsupported band: " + name +
                                 "; choose 160,80,60,40,30,20,17,15,12,10,6,2 (optional m suffix) or 70cm");
    bool any = false;
    for (DigitalMode const mode : o.modes) {
        double const hz = band_frequency_hz(*band, mode);
        if (hz != 0) {
            o.decoder_channels.push_back({hz, mode});
            any = true;
        }
    }
    if (!any)
        throw std::runtime_error(
            "No preset for the selected modes on this band; use an explicit --frequencies entry: " + item);
}

void expand_channels(Parse& p)
{
    for (std::string const& item : p.channel_items) {
        if (p.given.bands)
            expand_band_item(p, item);
        else
            expand_frequency_item(p, item);
    }
}

// A control request is sent before any one-shot command runs, so it needs its socket path
// whichever way the rest of the command line returns early.
void require_control_path(Options const& o)
{
    if (!o.audio_command.empty() && o.audio_control.empty())
        throw std::runtime_error("--audio-command requires --audio-control");
}

void hardware_rules(Parse& p)
{
    Options& o = p.options;
    Given const& g = p.given;
    bool const iq_replay = !o.iq_file.empty();

    if (o.backend != "sdrplay" && o.backend != "rtl-sdr" && o.backend != "rx888")
        throw std::runtime_error("Backend must be sdrplay, rtl-sdr or rx888");
    if (g.rx888_option && !o.list_devices && (o.backend != "rx888" || iq_replay))
        throw std::runtime_error("RX-888 settings require live --backend rx888");

    if (o.backend == "rx888") {
        if (iq_replay || !o.api_library.empty() || !o.antenna.empty() || g.sdrplay_gain_option)
            throw std::runtime_error("RX-888 uses native HF direct sampling; SDRplay gain/API/antenna settings "
                                     "and IQ replay do not apply");
        if (g.agc && o.agc)
            throw std::runtime_error("RX-888 uses manual gain; set --rx888-gain and --rx888-attenuation");
        o.agc = false;
        double const attenuation = o.rx888_attenuation;
        if (attenuation < 0 || attenuation > 31.5 || 2 * attenuation != std::floor(2 * attenuation))
            throw std::runtime_error("RX-888 attenuation must be 0..31.5 dB in 0.5 dB steps");
        if (o.rx888_gain < -8 || o.rx888_gain > 32)
            throw std::runtime_error("RX-888 VGA gain range is -8..32 dB (applied hardware steps are approximate)");
        if (o.rx888_rate != "full" && o.rx888_rate != "half")
            throw std::runtime_error(
                "--rx888-rate must be full (128 MS/s ADC, 0-64 MHz) or half (64 MS/s ADC, 0-32 MHz)");
        if (o.rx888_gpu != "auto" && o.rx888_gpu != "off")
            throw std::runtime_error("--rx888-gpu must be auto (an NVIDIA GPU when one answers) or off (the CPU)");
        if (o.rx888_coverage != "bands" && o.rx888_coverage != "all")
            throw std::runtime_error(
                "--rx888-coverage must be bands (sized to the selection) or all (0 Hz to 90% of Nyquist)");
    }

    if ((o.rf_notch || o.mw_notch) && o.backend != "sdrplay")
        throw std::runtime_error("Hardware notch filters require local SDRplay receivers");
    if (g.rtl_option && (o.backend != "rtl-sdr" || iq_replay))
        throw std::runtime_error("--rtl-host/--rtl-port require the RTL-SDR TCP backend, without IQ replay");
    if (o.rtl_host.empty())
        throw std::runtime_error("RTL TCP host cannot be empty");
    if (o.backend == "rtl-sdr" && (!o.serial.empty() || !o.api_library.empty()))
        throw std::runtime_error("RTL-SDR uses an external rtl_tcp server; select hardware with rtl_tcp -d "
                                 "INDEX_OR_SERIAL, not --serial/--api-library");

    if (g.usb_mode) {
        if (o.backend != "sdrplay" || iq_replay)
            throw std::runtime_error("--usb-mode requires SDRplay hardware");
    } else if (o.wideband) {
        o.usb_mode = "bulk";
    }
    if (o.usb_mode != "bulk" && o.usb_mode != "isochronous")
        throw std::runtime_error("USB mode must be bulk or isochronous");

    if (!g.sample_rate) {
        if (o.backend == "rx888")
            o.sample_rate = 8000000;
        else if (o.backend == "rtl-sdr")
            o.sample_rate = o.wideband ? 2400000 : 1024000;
        else
            o.sample_rate = o.wideband ? 10000000 : 2048000;
    }
}

std::string const& decoder_program(Options const& o, DigitalMode mode)
{
    switch (mode) {
    case DigitalMode::FT8:
    case DigitalMode::FT4: return o.decoder;
    case DigitalMode::WSPR: return o.wspr_decoder;
    default: return o.js8_decoder;
    }
}

// Returns true when the RX-888 window search chose the hardware rate.
bool decoder_rules(Parse& p)
{
    Options& o = p.options;
    Given const& g = p.given;

    if (g.frequency)
        throw std::runtime_error("Use --frequencies for decoder channels and --center-frequency for the receiver center");
    if (g.audio_output_option || o.modulation != 0)
        throw std::runtime_error("Decoder mode uses internal USB audio at 12000 Hz; --wav, --sink, --audio-rate "
                                 "and LSB/AM are audio-mode options");
    o.audio_rate = 12000;
    if (g.bandwidth) {
        if (o.bandwidth < 1000 || o.bandwidth > 5000)
            throw std::runtime_error("Decoder channel bandwidth must be 1000..5000 Hz");
    } else {
        o.bandwidth = 4000;
    }

    std::size_t const channels = o.decoder_channels.size();
    if ((channels == 0 && !o.receivers_only) || channels > 96)
        throw std::runtime_error(
            "Specify 1..96 decoder channels with --frequencies or --bands (each band/mode pair counts)");
    if (o.decoders != 0 && o.decoders != channels)
        throw std::runtime_error("--decoders must match the number of selected band/mode or frequency/mode channels");
    o.decoders = static_cast<std::uint32_t>(channels);

    char const* const worker_message =
        "Workers must be 1..32, decode depth 1..3 and decoder timeout >0..60 seconds";
    if (o.receivers_only) {
        o.workers = 1;
    } else {
        if (o.workers == 0)
            o.workers = choose_decoder_workers(channels, std::thread::hardware_concurrency());
        if (o.workers < 1 || o.workers > 32)
            throw std::runtime_error(worker_message);
    }
    if (o.decode_depth < 1 || o.decode_depth > 3 || !(o.decoder_timeout > 0 && o.decoder_timeout <= 60))
        throw std::runtime_error(worker_message);
    if (!(o.wspr_timeout > 0 && o.wspr_timeout <= 110))
        throw std::runtime_error("WSPR timeout must be >0..110 seconds");

    bool const program_missing = std::any_of(o.decoder_channels.begin(), o.decoder_channels.end(),
                                             [&](DecoderChannel const& c) { return decoder_program(o, c.mode).empty(); });
    if (o.all_txt.empty() || program_missing)
        throw std::runtime_error("Selected decoder executable and ALL.TXT path cannot be empty");

    o.callsign = upper_ascii(o.callsign);
    o.grid = upper_ascii(o.grid);
    if (!o.callsign.empty() && !is_valid_callsign(o.callsign))
        throw std::runtime_error("Invalid --callsign; use your receiving station's callsign");
    if (!o.grid.empty() && !is_valid_locator(o.grid))
        throw std::runtime_error("Invalid --grid; use a 4, 6 or 8 character Maidenhead locator");
    if (o.wsprnet) {
        if (o.callsign.empty() || o.grid.empty())
            throw std::runtime_error("--wsprnet requires --callsign and --grid");
        if (!o.iq_file.empty())
            throw std::runtime_error("--wsprnet requires live reception; IQ replay is not published");
    }
    if (o.pskreporter) {
        if (o.callsign.empty() || o.grid.empty())
            throw std::runtime_error("--pskreporter requires --callsign and --grid");
        if (!o.iq_file.empty())
            throw std::runtime_error("--pskreporter requires live reception; IQ replay is not published");
    }

    for (auto channel = o.decoder_channels.begin(); channel != o.decoder_channels.end(); ++channel) {
        if (channel->frequency < 1000 || channel->frequency + decoder_channel_width(o, *channel) > max_dial_hz)
            throw std::runtime_error("Decoder frequencies must be between 1k and 2000M Hz");
        bool const repeated = std::any_of(o.decoder_channels.begin(), channel, [&](DecoderChannel const& earlier) {
            return earlier.frequency == channel->frequency && earlier.mode == channel->mode;
        });
        if (repeated)
            throw std::runtime_error("Duplicate decoder frequency/mode");
    }

    return apply_capture_geometry(o, CaptureRequest{g.center_frequency, g.iq_rate});
}

void live_channel_rules(Parse& p)
{
    Options& o = p.options;

    if (o.audio_channels.size() + o.analysis_channels.size() > 16)
        throw std::runtime_error("At most 16 audio and analysis channels per SDR");

    if (o.wideband && o.known_channels) {
        for (AnalysisChannel preset : known_channel_windows(o.frequency, o.if_bandwidth, o.known_channels_report)) {
            bool const present = std::any_of(o.analysis_channels.begin(), o.analysis_channels.end(),
                                             [&](AnalysisChannel const& c) { return c.id == preset.id; });
            if (!present)
                o.analysis_channels.push_back(std::move(preset));
        }
    }

    if (!o.wideband) {
        if (!o.audio_channels.empty())
            throw std::runtime_error("Audio channels need decoder, hybrid or receivers mode");
        if (!o.analysis_channels.empty())
            throw std::runtime_error("Analysis channels need decoder, hybrid or receivers mode");
    }

    for (AudioChannel const& channel : o.audio_channels)
        require_passband_in_capture(channel, o.frequency, o.if_bandwidth);
    for (AnalysisChannel const& channel : o.analysis_channels)
        check_passband_in_capture(channel, o.frequency, o.if_bandwidth);

    if (o.receivers_only && !o.decoder_channels.empty())
        throw std::runtime_error("Audio receiver mode does not take FTx channels");
}

bool is_power_of_two_ratio(long long ratio)
{
    return ratio >= 2 && ratio <= 256 && (ratio & (ratio - 1)) == 0;
}

void rate_and_level_rules(Parse& p, bool explicit_rate)
{
    Options& o = p.options;
    Given const& g = p.given;

    if (explicit_rate && !o.iq_file.empty())
        throw std::runtime_error(
            "--sample-rate controls hardware; decoder IQ replay uses --iq-rate and audio replay uses 64000 Hz");
    if (o.backend == "sdrplay" && (o.sample_rate < 2000000 || o.sample_rate > 10000000))
        throw std::runtime_error("SDRplay hardware sample rate must be 2M through 10M Hz");
    if (o.backend == "rx888" && !o.list_devices) {
        double const adc_hz = o.rx888_rate == "half" ? 64000000.0 : 128000000.0;
        double const limit_hz = o.rx888_coverage == "all" ? adc_hz / 2 : 32000000.0;
        if (!is_power_of_two_ratio(std::llround(adc_hz / o.sample_rate)) || o.sample_rate > limit_hz)
            throw std::runtime_error("RX-888 complex output rate must be the ADC clock divided by a power of two, "
                                     "up to 32M Hz (64M with --rx888-coverage all)");
    }
    if (o.backend == "rtl-sdr" && !(o.sample_rate >= 225001 && o.sample_rate <= 300000) &&
        !(o.sample_rate >= 900001 && o.sample_rate <= 3200000))
        throw std::runtime_error("RTL-SDR sample rate must be 225001..300000 or 900001..3200000 Hz");
    if (o.audio_rate < 8000 || o.audio_rate > 192000)
        throw std::runtime_error("Audio rate must be 8000..192000 Hz");
    if (o.rtl_gain < -10 || o.rtl_gain > 60)
        throw std::runtime_error("RTL gain must be between -10 and 60 dB");
    if (o.backend == "rtl-sdr" && (o.ppm != std::floor(o.ppm) || !o.antenna.empty()))
        throw std::runtime_error("RTL-SDR requires integer PPM and does not support --antenna");

    if (o.modulation == 2 && !g.bandwidth)
        o.bandwidth = 6000;
    bool const audio_replay = !o.iq_file.empty() && !o.wideband;
    if (!o.list_devices && !audio_replay && (o.frequency < 1000 || o.frequency > max_dial_hz))
        throw std::runtime_error("--frequency is required and must be between 1k and 2000M Hz");
    if (o.bandwidth < 200 || o.bandwidth > 20000)
        throw std::runtime_error("Bandwidth must be between 200 and 20000 Hz");
    double const receive_hz = o.modulation == 2 ? o.bandwidth / 2 : o.bandwidth;
    if (!(receive_hz < o.audio_rate / 2.0))
        throw std::runtime_error("Receive audio bandwidth must be below half the audio sample rate");

    if (!(o.audio_gain > 0 && o.audio_gain <= 10000))
        throw std::runtime_error("Audio gain must be greater than 0 and at most 10000");
    if (o.duration < 0 || o.duration > 86400)
        throw std::runtime_error("Duration must be between 0 and 86400 seconds (0 means unlimited)");
    if (o.ppm < -1000 || o.ppm > 1000)
        throw std::runtime_error("PPM must be between -1000 and 1000");
    if (o.gain_reduction < 20 || o.gain_reduction > 59)
        throw std::runtime_error("Gain reduction must be 20 through 59 dB");
    if (o.sink.empty())
        throw std::runtime_error("Sink name cannot be empty");
    if (!o.antenna.empty() && o.antenna != "A" && o.antenna != "B" && o.antenna != "C" && o.antenna != "HiZ")
        throw std::runtime_error("Antenna must be A, B, C, or HiZ");
    // Only a given IQ path can clash: two absent paths are not the same file.
    if (!o.iq_file.empty() && o.iq_file == o.wav)
        throw std::runtime_error("IQ input and WAV output must be different files");
    if (o.list_devices && (!o.iq_file.empty() || !o.wav.empty()))
        throw std::runtime_error("--list-devices cannot be combined with IQ replay or WAV output");
}

void receiver_rules(Parse& p)
{
    Options const& o = p.options;
    hardware_rules(p);
    bool explicit_rate = p.given.sample_rate || o.backend == "rx888";
    if (!o.wideband) {
        if (p.given.decoder_option)
            throw std::runtime_error("Decoder options require --mode decoder");
    } else if (!o.list_devices) {
        if (decoder_rules(p))
            explicit_rate = true;
    }
    live_channel_rules(p);
    rate_and_level_rules(p, explicit_rate);
}

void check_rules(Parse& p)
{
    Options& o = p.options;
    Given const& g = p.given;

    if (o.help || o.version) {
        require_control_path(o);
        return;
    }
    if (g.bands && g.frequencies)
        throw std::runtime_error("Choose --bands or --frequencies, not both");
    if (o.list_frequencies) {
        if (o.daemon || o.kill || o.list_devices || g.pid_file || g.log_file)
            throw std::runtime_error("--list-frequencies cannot be combined with daemon control or --list-devices");
        require_control_path(o);
        return;
    }
    expand_channels(p);
    if (o.pid_file.empty())
        throw std::runtime_error("Daemon PID path cannot be empty");
    if (o.kill) {
        if (g.non_kill_argument)
            throw std::runtime_error(
                "--kill accepts only --pid-file and --config; do not include receiver options or --daemon");
        return;
    }

    if (g.pid_file && !o.daemon)
        throw std::runtime_error("--pid-file requires --daemon or --kill");
    if (g.log_file && !o.daemon)
        throw std::runtime_error("--log-file requires --daemon");
    if (o.daemon) {
        if (o.list_devices)
            throw std::runtime_error("--daemon cannot be combined with --list-devices");
        if (!o.audio_command.empty()) {
            require_control_path(o);
            return;
        }
        if (o.log_file.empty())
            throw std::runtime_error("Daemon log path cannot be empty");
    } else if (!o.audio_command.empty()) {
        // A control request needs none of the receiver rules.
        require_control_path(o);
        return;
    }

    receiver_rules(p);
}

}  // namespace

std::uint32_t choose_decoder_workers(std::size_t channels, unsigned hardware_threads)
{
    std::size_t const by_threads = std::max<std::size_t>(1, hardware_threads / 2);
    return static_cast<std::uint32_t>(std::min({channels, by_threads, std::size_t{32}}));
}

Options parse_options(int argc, char const* const* argv)
{
    std::vector<std::string> const args = expand_configuration(argc, argv);

    Parse p;
    Options& o = p.options;
    o.signal_journal = "signal-events.jsonl";
    o.survey_journal = "signal-events.jsonl";
    o.wefax_images = "wefax";
    o.pid_file = "norvane.pid";
    o.log_file = "norvane.log";
    o.all_txt = "ALL.TXT";

    std::string const no_value;
    for (std::size_t position = 1; position < args.size(); ++position) {
        std::string const& word = args[position];
        OptionRow const* row = find_option(word);
        if (row == nullptr)
            throw std::runtime_error("Unknown option: " + word);
        if (!kill_compatible(word))
            p.given.non_kill_argument = true;
        note_marks(p.given, row->marks);
        std::string const& value = row->takes_value ? next_option_value(args, position) : no_value;
        row->apply(p, word, value);
    }

    check_rules(p);
    return std::move(p.options);
}
