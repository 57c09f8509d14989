#include "app/config_file.hpp"

#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/error_of.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

using Entries = std::map<std::string, std::string>;
using Words = std::vector<std::string>;

TEST(ConfigKeys, TheTwoSetsAsListed)
{
    init_config_keys();
    EXPECT_EQ(config_value_keys().size(), 72u);
    EXPECT_THAT(config_switch_keys(), testing::ElementsAre("daemon", "known-channels", "known-channels-report",
                                                           "pskreporter", "stats", "survey", "wsprnet"));
    for (char const* key : {"audio-channel", "wav", "agc", "rx888-bias-t", "frequency", "pid-file", "bands"})
        EXPECT_EQ(config_value_keys().count(key), 1u) << key;
    for (char const* key : {"config", "help", "version", "kill", "list-devices", "list-frequencies",
                            "clear-audio-channels", "clear-analysis-channels", "stats"})
        EXPECT_EQ(config_value_keys().count(key), 0u) << key;
}

struct ReadCase {
    char const* label;
    std::string content;
    Entries entries;          // expected when message is empty
    std::string message = {};  // expected error, after the "PATH:" prefix
};

void PrintTo(ReadCase const& c, std::ostream* out) { *out << c.label; }

class ReadConfigFile : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadConfigFile, ParsesOrRefuses)
{
    auto const& c = GetParam();
    TempDir dir;
    std::string const path = dir.write_file("receiver.conf", c.content).string();
    if (c.message.empty()) {
        EXPECT_EQ(read_config_file(path), c.entries);
    } else {
        EXPECT_EQ(error_of([&] { read_config_file(path); }), path + ":" + c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, ReadConfigFile,
    testing::Values(
        ReadCase{"empty_file", "", {}},
        ReadCase{"comments_and_blanks", "# comment\n\n   ; other\n\t\r\n  # indented\n", {}},
        ReadCase{"plain_entries", "frequency = 14.074M\nmode=decoder\n  backend\t=  rtl-sdr  \n",
                 {{"backend", "rtl-sdr"}, {"frequency", "14.074M"}, {"mode", "decoder"}}},
        ReadCase{"last_line_without_newline", "mode = decoder\nbands = 20,40", {{"bands", "20,40"}, {"mode", "decoder"}}},
        ReadCase{"crlf_line_ends", "mode = decoder\r\ngrid = FN31\r\n", {{"grid", "FN31"}, {"mode", "decoder"}}},
        ReadCase{"unquoted_value_cut_at_hash", "callsign = a#b", {{"callsign", "a"}}},
        ReadCase{"unquoted_value_cut_at_semicolon", "callsign = K1ABC;comment", {{"callsign", "K1ABC"}}},
        ReadCase{"single_quotes_keep_hash", "callsign = 'a#b' ; note", {{"callsign", "a#b"}}},
        ReadCase{"quoted_value_untrimmed", "sink = \"  my sink \" # note", {{"sink", "  my sink "}}},
        ReadCase{"double_quotes_hold_single_quote", "wav = \"it's.wav\"", {{"wav", "it's.wav"}}},
        ReadCase{"no_escapes_in_quotes", "wav = 'a\\'", {{"wav", "a\\"}}},
        ReadCase{"empty_quoted_value", "wav = ''", {{"wav", ""}}},
        ReadCase{"nothing_after_equals", "wav =", {{"wav", ""}}},
        ReadCase{"value_holds_equals", "audio.a = id=a,frequency=7.074M", {{"audio.a", "id=a,frequency=7.074M"}}},
        ReadCase{"prefix_only_keys", "audio. = x\nanalysis. = y", {{"analysis.", "y"}, {"audio.", "x"}}},
        ReadCase{"switch_values_normalised",
                 "stats = YES\nsurvey = off\ndaemon = 1\nwsprnet = False\npskreporter = On\nknown-channels = no\n"
                 "known-channels-report = TRUE\n",
                 {{"daemon", "true"},
                  {"known-channels", "false"},
                  {"known-channels-report", "true"},
                  {"pskreporter", "true"},
                  {"stats", "true"},
                  {"survey", "false"},
                  {"wsprnet", "false"}}},
        ReadCase{"on_off_value_keys_pass_through", "agc = OFF\nrf-notch = yes", {{"agc", "OFF"}, {"rf-notch", "yes"}}},
        ReadCase{"quoted_switch_value", "stats = 'on'", {{"stats", "true"}}},
        ReadCase{"section_header", "mode = decoder\n[receiver]\n", {}, "2: Expected option = value"},
        ReadCase{"word_without_equals", "\n\n\ndaemon\n", {}, "4: Expected option = value"},
        ReadCase{"unterminated_quote", "wav = 'abc", {}, "1: Unterminated quoted value"},
        ReadCase{"other_quote_does_not_close", "wav = 'abc\"", {}, "1: Unterminated quoted value"},
        ReadCase{"text_after_quote", "wav = 'a' b", {}, "1: Unexpected text after quoted value"},
        ReadCase{"bad_switch_value", "stats = 2", {}, "1: Expected true/false, on/off, yes/no or 1/0"},
        ReadCase{"empty_switch_value", "survey =", {}, "1: Expected true/false, on/off, yes/no or 1/0"},
        ReadCase{"duplicate_key", "mode = decoder\nmode = decoder\n", {}, "2: Duplicate configuration option: mode"},
        ReadCase{"duplicate_switch", "stats = on\nstats = off\n", {}, "2: Duplicate configuration option: stats"},
        ReadCase{"keys_match_case", "Backend = rtl-sdr", {}, "1: Unknown or CLI-only configuration option: Backend"},
        ReadCase{"key_with_inner_blank", "sample rate = 2M", {},
                 "1: Unknown or CLI-only configuration option: sample rate"},
        ReadCase{"command_line_only_key", "config = other.conf", {},
                 "1: Unknown or CLI-only configuration option: config"},
        ReadCase{"no_prefix_for_switches", "no-stats = true", {},
                 "1: Unknown or CLI-only configuration option: no-stats"},
        ReadCase{"empty_key", "= value", {}, "1: Unknown or CLI-only configuration option: "},
        ReadCase{"first_error_wins", "stats = 2\n[x]\n", {}, "1: Expected true/false, on/off, yes/no or 1/0"}));

std::string repeat_line(std::size_t length, char fill = 'x')
{
    std::string line = "#";
    line.append(length - 1, fill);
    return line;
}

INSTANTIATE_TEST_SUITE_P(
    SizeLimits, ReadConfigFile,
    testing::Values(
        ReadCase{"line_of_4096_accepted", repeat_line(4096) + "\n", {}},
        ReadCase{"comment_line_of_4097_refused", "mode = decoder\n" + repeat_line(4097) + "\n", {},
                 "2: Configuration file exceeds size limit"},
        ReadCase{"long_last_line_without_newline", "mode = decoder\n" + repeat_line(5000), {},
                 "2: Configuration file exceeds size limit"},
        // 256 lines of 4095 characters and their newlines are exactly 1 MiB.
        ReadCase{"exactly_one_mebibyte", [] {
                     std::string text;
                     for (int i = 0; i < 256; ++i)
                         text += repeat_line(4095) + "\n";
                     return text;
                 }(),
                 {}},
        ReadCase{"one_byte_over_one_mebibyte", [] {
                     std::string text;
                     for (int i = 0; i < 256; ++i)
                         text += repeat_line(4095) + "\n";
                     return text + "\n";
                 }(),
                 {}, "257: Configuration file exceeds size limit"},
        // A last line without its newline still counts one byte for it.
        ReadCase{"unterminated_last_line_counts_its_newline", [] {
                     std::string text;
                     for (int i = 0; i < 255; ++i)
                         text += repeat_line(4095) + "\n";
                     return text + repeat_line(4096);
                 }(),
                 {}, "256: Configuration file exceeds size limit"}));

TEST(ReadConfigFileDevices, DevNullIsEmpty) { EXPECT_TRUE(read_config_file("/dev/null").empty()); }

TEST(ReadConfigFileDevices, EndlessInputFailsAtOnce)
{
    // /dev/zero never ends and holds no newline: the reader must give up at the line limit
    // rather than keep reading.
    EXPECT_EQ(error_of([] { read_config_file("/dev/zero"); }), "/dev/zero:1: Configuration file exceeds size limit");
}

TEST(ReadConfigFileDevices, MissingFile)
{
    TempDir dir;
    std::string const path = (dir / "missing.conf").string();
    EXPECT_EQ(error_of([&] { read_config_file(path); }), "Cannot open configuration file: " + path);
}

TEST(ReadConfigFileDevices, ReadErrorHasNoLinePrefix)
{
    TempDir dir;
    std::string const path = dir.path().string();  // a directory opens, but cannot be read
    EXPECT_EQ(error_of([&] { read_config_file(path); }), "Failed reading configuration file: " + path);
}

// expand_configuration with a configuration file of the given content (none when empty), the
// command-line words following the program name "norvane". "@" in a word is the file's path.
Words expand(std::string const& content, Words const& command_line, TempDir const& dir)
{
    std::string const path = content.empty() ? std::string() : dir.write_file("receiver.conf", content).string();
    Words words{"norvane"};
    for (auto const& word : command_line)
        words.push_back(word == "@" ? path : word);
    std::vector<char const*> argv;
    for (auto const& word : words)
        argv.push_back(word.c_str());
    argv.push_back(nullptr);
    return expand_configuration(static_cast<int>(words.size()), argv.data());
}

struct ExpandCase {
    char const* label;
    std::string content;
    Words command_line;
    Words expected;  // without the leading "norvane"
};

void PrintTo(ExpandCase const& c, std::ostream* out) { *out << c.label; }

class ExpandConfiguration : public testing::TestWithParam<ExpandCase> {};

TEST_P(ExpandConfiguration, Words)
{
    auto const& c = GetParam();
    TempDir dir;
    Words expected{"norvane"};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(expand(c.content, c.command_line, dir), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExpandConfiguration,
    testing::Values(
        ExpandCase{"no_config_passes_words_through", "", {"-f", "14.074M", "--stats"}, {"-f", "14.074M", "--stats"}},
        ExpandCase{"file_words_first_in_key_order",
                   "mode = decoder\nbands = 20\nbackend = rtl-sdr\n",
                   {"--config", "@", "--stats"},
                   {"--backend", "rtl-sdr", "--bands", "20", "--mode", "decoder", "--stats"}},
        ExpandCase{"config_may_come_last", "mode = decoder\n", {"--stats", "--config", "@"},
                   {"--mode", "decoder", "--stats"}},
        ExpandCase{"switches_become_one_word", "stats = YES\nsurvey = off\n", {"--config", "@"},
                   {"--stats", "--no-survey"}},
        ExpandCase{"channels_sorted_analysis_first",
                   "audio.b = id=b\naudio.a = id=a\nanalysis.z = id=z\n",
                   {"--config", "@"},
                   {"--analysis-channel", "id=z", "--audio-channel", "id=a", "--audio-channel", "id=b"}},
        ExpandCase{"channels_add_to_command_line_ones", "audio.a = id=a\n",
                   {"--config", "@", "--audio-channel", "id=c"},
                   {"--audio-channel", "id=a", "--audio-channel", "id=c"}},
        ExpandCase{"plain_audio_channel_key_overridden", "audio-channel = id=f\naudio.x = id=x\n",
                   {"--config", "@", "--audio-channel", "id=c"},
                   {"--audio-channel", "id=x", "--audio-channel", "id=c"}},
        ExpandCase{"command_line_wins_same_key", "frequency = 7M\nmode = decoder\n",
                   {"--config", "@", "-f", "14M"},
                   {"--mode", "decoder", "-f", "14M"}},
        ExpandCase{"frequencies_drop_file_bands_and_frequencies",
                   "bands = 20\nfrequencies = 7.074M\nmode = decoder\n",
                   {"--config", "@", "--frequencies", "14.074M"},
                   {"--mode", "decoder", "--frequencies", "14.074M"}},
        ExpandCase{"bands_drop_file_frequencies", "frequencies = 7.074M\n", {"--config", "@", "--bands", "40"},
                   {"--bands", "40"}},
        ExpandCase{"kill_keeps_only_pid_file",
                   "pid-file = /run/n.pid\nbackend = rtl-sdr\naudio.a = id=a\nstats = on\n",
                   {"--config", "@", "--kill"},
                   {"--pid-file", "/run/n.pid", "--kill"}},
        ExpandCase{"short_kill_too", "pid-file = p\nbackend = rtl-sdr\n", {"-kill", "--config", "@"},
                   {"--pid-file", "p", "-kill"}},
        ExpandCase{"list_devices_keeps_device_keys",
                   "backend = rtl-sdr\nserial = 123\nrtl-device = 0\napi-library = lib.so\nmode = decoder\n"
                   "analysis.a = id=a\n",
                   {"--config", "@", "--list-devices"},
                   {"--api-library", "lib.so", "--backend", "rtl-sdr", "--rtl-device", "0", "--serial", "123",
                    "--list-devices"}},
        ExpandCase{"list_frequencies_keeps_only_channels",
                   "backend = rtl-sdr\nmode = decoder\naudio.a = id=a\nanalysis.b = id=b\n",
                   {"--config", "@", "--list-frequencies"},
                   {"--analysis-channel", "id=b", "--audio-channel", "id=a", "--list-frequencies"}},
        ExpandCase{"no_daemon_drops_pid_and_log_files", "pid-file = p\nlog-file = l\nmode = decoder\n",
                   {"--config", "@", "--no-daemon"},
                   {"--mode", "decoder", "--no-daemon"}},
        ExpandCase{"last_daemon_word_wins", "pid-file = p\nlog-file = l\n",
                   {"--config", "@", "--no-daemon", "--daemon"},
                   {"--log-file", "l", "--pid-file", "p", "--no-daemon", "--daemon"}},
        ExpandCase{"daemon_keeps_pid_and_log_files", "pid-file = p\nlog-file = l\ndaemon = yes\n",
                   {"--config", "@", "--daemon"},
                   {"--log-file", "l", "--pid-file", "p", "--daemon"}},
        ExpandCase{"no_switch_word_overrides_same_key", "stats = on\nsurvey = on\n",
                   {"--config", "@", "--no-stats"},
                   {"--survey", "--no-stats"}},
        ExpandCase{"no_prefix_without_switch_keeps_its_key", "stats = on\n", {"--config", "@", "--no-such"},
                   {"--stats", "--no-such"}},
        ExpandCase{"value_taken_unexamined", "", {"-f", "--config", "--mode", "--stats"},
                   {"-f", "--config", "--mode", "--stats"}},
        ExpandCase{"dev_null_adds_nothing", "", {"--config", "/dev/null", "--stats"}, {"--stats"}}));

TEST(ExpandConfiguration, NoArgumentsAtAll)
{
    EXPECT_EQ(expand_configuration(0, nullptr), Words{"norvane"});
    char const* const argv[] = {"/usr/bin/norvane", nullptr};
    EXPECT_EQ(expand_configuration(1, argv), Words{"/usr/bin/norvane"});
}

struct ExpandFailure {
    char const* label;
    std::string content;
    Words command_line;
    std::string message;  // "@" at its start stands for the file's path
};

void PrintTo(ExpandFailure const& c, std::ostream* out) { *out << c.label; }

class ExpandConfigurationRefuses : public testing::TestWithParam<ExpandFailure> {};

TEST_P(ExpandConfigurationRefuses, WithMessage)
{
    auto const& c = GetParam();
    TempDir dir;
    std::string message = c.message;
    if (message.starts_with("@"))
        message = (dir / "receiver.conf").string() + message.substr(1);
    EXPECT_EQ(error_of([&] { expand(c.content, c.command_line, dir); }), message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExpandConfigurationRefuses,
    testing::Values(
        ExpandFailure{"config_twice", "mode = decoder\n", {"--config", "@", "--config", "@"},
                      "Specify --config only once"},
        ExpandFailure{"config_last", "", {"--stats", "--config"}, "Missing value for --config"},
        ExpandFailure{"config_empty_path", "", {"--config", ""}, "Configuration file path cannot be empty"},
        ExpandFailure{"short_option_last", "", {"-f"}, "Missing value for -f"},
        ExpandFailure{"long_option_last", "", {"--stats", "--bands"}, "Missing value for --bands"},
        ExpandFailure{"value_check_before_reading_the_file", "[broken]\n", {"--config", "@", "--mode"},
                      "Missing value for --mode"},
        ExpandFailure{"file_errors_pass_through", "mode = decoder\nmode = audio\n", {"--config", "@"},
                      "@:2: Duplicate configuration option: mode"}));

TEST(ExpandConfigurationRefuses, MissingFile)
{
    char const* const argv[] = {"norvane", "--config", "/nonexistent/receiver.conf", nullptr};
    EXPECT_EQ(error_of([&] { expand_configuration(3, argv); }),
              "Cannot open configuration file: /nonexistent/receiver.conf");
}

// The program itself: a configuration error ends start-up with "Error: " and status 1, and an
// endless file does so at once instead of exhausting memory.
struct ProgramCase {
    char const* label;
    std::string content;  // empty: the path is /dev/zero
    std::string message;  // after "Error: PATH:"
};

void PrintTo(ProgramCase const& c, std::ostream* out) { *out << c.label; }

class ConfigurationErrorInProgram : public testing::TestWithParam<ProgramCase> {};

TEST_P(ConfigurationErrorInProgram, EndsStartUp)
{
    auto const& c = GetParam();
    TempDir dir;
    std::string const path = c.content.empty() ? "/dev/zero" : dir.write_file("receiver.conf", c.content).string();
    ProcessRun run;
    run.argv = {NORVANE_EXE, "--config", path, "--version"};
    run.timeout_ms = 20000;
    ProcessResult const result = run_process(run);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "Error: " + path + ":" + c.message + "\n");
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigurationErrorInProgram,
    testing::Values(ProgramCase{"endless_file", "", "1: Configuration file exceeds size limit"},
                    ProgramCase{"bad_line", "mode = decoder\nstats = maybe\n",
                                "2: Expected true/false, on/off, yes/no or 1/0"},
                    ProgramCase{"command_line_only_key", "version = yes\n",
                                "1: Unknown or CLI-only configuration option: version"}));

}  // namespace
