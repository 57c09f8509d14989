#include "app/config_file.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string_view>

#include "core/ascii_case.hpp"
#include "core/value_parse.hpp"

namespace {

struct ConfigKeys {
    std::set<std::string> value_keys;
    std::set<std::string> switch_keys;
};

ConfigKeys const& config_keys()
{
    static ConfigKeys const keys = [] {
        static constexpr std::array<char const*, 72> value_names = {
            "audio-channel", "audio-control", "audio-command", "remove-audio-channel", "analysis-channel",
            "remove-analysis-channel", "signal-journal", "wefax-images", "survey-bandwidth",
            "survey-max-decoders", "survey-min-snr", "survey-journal", "history-db", "history-days", "mode",
            "modes", "frequencies", "bands", "decoders", "workers", "decode-depth", "decoder-timeout",
            "wspr-timeout", "buffer-seconds", "decoder", "js8-decoder", "wspr-decoder", "all-txt", "callsign",
            "grid", "work-dir", "start-utc", "iq-rate", "center-frequency", "pid-file", "log-file", "backend",
            "usb-mode", "sample-rate", "audio-rate", "rtl-device", "rtl-gain", "rtl-host", "rtl-port",
            "rx888-library", "rx888-firmware", "rx888-recovery", "rx888-attenuation", "rx888-gain",
            "rx888-rate", "rx888-coverage", "rx888-gpu", "rx888-bias-t", "rx888-reference", "direct-sampling",
            "frequency", "bandwidth", "modulation", "audio-gain", "duration", "rf-notch", "mw-notch", "ppm",
            "gain-reduction", "lna-state", "agc", "serial", "antenna", "api-library", "sink", "iq-file", "wav",
        };
        static constexpr std::array<char const*, 7> switch_names = {
            "stats", "daemon", "pskreporter", "wsprnet", "survey", "known-channels", "known-channels-report",
        };
        ConfigKeys built;
        built.value_keys.insert(value_names.begin(), value_names.end());
        built.switch_keys.insert(switch_names.begin(), switch_names.end());
        return built;
    }();
    return keys;
}

constexpr std::size_t max_line_length = 4096;
constexpr std::size_t max_file_bytes = 1048576;

bool starts_with_comment(std::string_view text)
{
    return !text.empty() && (text.front() == '#' || text.front() == ';');
}

bool is_accepted_key(std::string const& key)
{
    return config_value_keys().count(key) != 0 || key.starts_with("audio.") || key.starts_with("analysis.") ||
           config_switch_keys().count(key) != 0;
}

std::string normalise_switch(std::string const& given)
{
    std::string const value = lower_ascii(given);
    if (value == "true" || value == "on" || value == "yes" || value == "1")
        return "true";
    if (value == "false" || value == "off" || value == "no" || value == "0")
        return "false";
    throw std::runtime_error("Expected true/false, on/off, yes/no or 1/0");
}

std::string parse_value(std::string_view raw)
{
    if (!raw.empty() && (raw.front() == '\'' || raw.front() == '"')) {
        auto const close = raw.find(raw.front(), 1);
        if (close == std::string_view::npos)
            throw std::runtime_error("Unterminated quoted value");
        std::string const rest = trim(raw.substr(close + 1));
        if (!rest.empty() && !starts_with_comment(rest))
            throw std::runtime_error("Unexpected text after quoted value");
        return std::string(raw.substr(1, close - 1));
    }
    return trim(raw.substr(0, raw.find_first_of("#;")));
}

void parse_line(std::string_view line, std::map<std::string, std::string>& entries)
{
    std::string const text = trim(line);
    if (text.empty() || starts_with_comment(text))
        return;
    auto const equals = text.find('=');
    if (equals == std::string::npos)
        throw std::runtime_error("Expected option = value");
    std::string const key = trim(std::string_view(text).substr(0, equals));
    if (!is_accepted_key(key))
        throw std::runtime_error("Unknown or CLI-only configuration option: " + key);
    std::string value = parse_value(trim(std::string_view(text).substr(equals + 1)));
    if (config_switch_keys().count(key) != 0)
        value = normalise_switch(value);
    if (!entries.emplace(key, std::move(value)).second)
        throw std::runtime_error("Duplicate configuration option: " + key);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The read error names the file and carries no line number; everything else raised while a
// line is handled does.
struct ReadFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Hands out the file's lines while holding at most one line of the size limit in memory: a
// file without newlines (or /dev/zero) is refused as soon as the limit is passed, not after
// reading it all.
class BoundedLineReader {
public:
    BoundedLineReader(std::FILE* file, std::string const& path) : file_(file), path_(path) {}

    // Reads the next line into line (without its newline). False at the end of the file.
    // Throws the size-limit error (numbered with this line) as soon as it is certain.
    bool next(std::string& line)
    {
        line.clear();
        bool any = false;
        for (;;) {
            if (position_ == filled_ && !refill())
                break;
            any = true;
            char const c = buffer_[position_++];
            if (c == '\n')
                break;
            line.push_back(c);
            // Every line counts its length plus one, with or without a final newline.
            if (line.size() > max_line_length || total_bytes_ + line.size() + 1 > max_file_bytes)
                throw std::runtime_error("Configuration file exceeds size limit");
        }
        if (!any)
            return false;
        total_bytes_ += line.size() + 1;
        if (total_bytes_ > max_file_bytes)
            throw std::runtime_error("Configuration file exceeds size limit");
        return true;
    }

private:
    bool refill()
    {
        position_ = 0;
        filled_ = std::fread(buffer_.data(), 1, buffer_.size(), file_);
        if (filled_ == 0 && std::ferror(file_))
            throw ReadFailure("Failed reading configuration file: " + path_);
        return filled_ != 0;
    }

    std::FILE* file_;
    std::string const& path_;
    std::array<char, 8192> buffer_{};
    std::size_t position_ = 0;
    std::size_t filled_ = 0;
    std::size_t total_bytes_ = 0;
};

}  // namespace

std::set<std::string> const& config_value_keys() { return config_keys().value_keys; }

std::set<std::string> const& config_switch_keys() { return config_keys().switch_keys; }

void init_config_keys() { (void)config_keys(); }

std::map<std::string, std::string> read_config_file(std::string const& path)
{
    std::unique_ptr<std::FILE, FileCloser> const file(std::fopen(path.c_str(), "re"));
    if (!file)
        throw std::runtime_error("Cannot open configuration file: " + path);

    std::map<std::string, std::string> entries;
    BoundedLineReader reader(file.get(), path);
    std::string line;
    long line_number = 0;
    for (;;) {
        ++line_number;
        try {
            if (!reader.next(line))
                break;
            parse_line(line, entries);
        } catch (ReadFailure const&) {
            throw;
        } catch (std::runtime_error const& error) {
            throw std::runtime_error(path + ":" + std::to_string(line_number) + ": " + error.what());
        }
    }
    return entries;
}

std::vector<std::string> expand_configuration(int argc, char const* const* argv)
{
    std::set<std::string> const& value_keys = config_value_keys();
    std::set<std::string> const& switch_keys = config_switch_keys();

    std::string config_path;
    bool config_seen = false;
    std::set<std::string> command_keys;
    std::vector<std::string> command_words;
    bool daemon_word = false;
    bool daemon_on = false;

    for (int i = 1; i < argc; ++i) {
        std::string const word = argv[i] != nullptr ? argv[i] : "";
        std::string key;
        if (word == "-f")
            key = "frequency";
        else if (word == "-m")
            key = "modulation";
        else if (word == "-b")
            key = "bandwidth";
        else if (word == "-h")
            key = "help";
        else if (word == "-kill")
            key = "kill";
        else {
            key = word.starts_with("--") ? word.substr(2) : word;
            if (key.starts_with("no-") && switch_keys.count(key.substr(3)) != 0)
                key = key.substr(3);
        }

        if (word == "--config") {
            if (config_seen)
                throw std::runtime_error("Specify --config only once");
            if (i + 1 >= argc)
                throw std::runtime_error("Missing value for --config");
            config_path = argv[i + 1] != nullptr ? argv[i + 1] : "";
            if (config_path.empty())
                throw std::runtime_error("Configuration file path cannot be empty");
            config_seen = true;
            ++i;
            continue;
        }

        command_words.push_back(word);
        command_keys.insert(key);
        if (word == "--daemon") {
            daemon_word = true;
            daemon_on = true;
        } else if (word == "--no-daemon") {
            daemon_word = true;
            daemon_on = false;
        }
        if (value_keys.count(key) != 0) {
            if (i + 1 >= argc)
                throw std::runtime_error("Missing value for " + word);
            command_words.push_back(argv[i + 1] != nullptr ? argv[i + 1] : "");
            ++i;
        }
    }

    std::map<std::string, std::string> entries;
    if (config_seen)
        entries = read_config_file(config_path);

    auto const given = [&](char const* key) { return command_keys.count(key) != 0; };
    if (given("bands") || given("frequencies")) {
        entries.erase("bands");
        entries.erase("frequencies");
    }

    std::vector<std::string> result;
    result.reserve(1 + 2 * entries.size() + command_words.size());
    result.emplace_back(argc > 0 && argv[0] != nullptr ? argv[0] : "norvane");

    bool const no_daemon = daemon_word && !daemon_on;
    for (auto const& [key, value] : entries) {
        bool const audio = key.starts_with("audio.");
        if (audio || key.starts_with("analysis.")) {
            if (given("kill") || given("list-devices"))
                continue;
            result.emplace_back(audio ? "--audio-channel" : "--analysis-channel");
            result.push_back(value);
            continue;
        }
        if (command_keys.count(key) != 0)
            continue;
        if (no_daemon && (key == "pid-file" || key == "log-file"))
            continue;
        if (given("kill") && key != "pid-file")
            continue;
        if (given("list-frequencies"))
            continue;
        if (given("list-devices") && key != "backend" && key != "serial" && key != "rtl-device" &&
            key != "api-library")
            continue;
        if (switch_keys.count(key) != 0) {
            result.push_back((value == "true" ? "--" : "--no-") + key);
            continue;
        }
        result.push_back("--" + key);
        result.push_back(value);
    }

    result.insert(result.end(), command_words.begin(), command_words.end());
    return result;
}
