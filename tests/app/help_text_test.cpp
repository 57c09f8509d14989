#include "app/help_text.hpp"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/config_file.hpp"
#include "app/version.hpp"
#include "tests/support/file_text.hpp"

namespace {

bool is_option_entry(const std::string& line) {
  return line.rfind("  -", 0) == 0;
}

// Each option named at the start of an entry ("-f, --frequency HZ" names -f and --frequency),
// with the description that follows, continuation lines included.
std::map<std::string, std::string> documented_options() {
  std::map<std::string, std::string> options;
  std::string* description = nullptr;
  for (const std::string& line : lines_of(help_text())) {
    if (is_option_entry(line)) {
      // The description starts at column 30, or one blank after an option too long for that.
      std::size_t gap = line.find("  ", 2);
      std::size_t start = gap != std::string::npos && gap < 30 ? 30 : line.find(' ', 29) + 1;
      std::vector<std::string> names;
      std::istringstream words(line.substr(2, start - 2));
      for (std::string word; words >> word;) {
        if (word[0] != '-') break;  // the value name
        if (word.back() == ',') word.pop_back();
        names.push_back(word);
      }
      std::string text = line.substr(start);
      for (const std::string& name : names) {
        EXPECT_EQ(options.count(name), 0u) << name << " is documented twice";
        options[name] = text;
      }
      description = &options[names.front()];
      for (std::size_t i = 1; i < names.size(); ++i) options[names[i]] = text;
    } else if (description && line.rfind(std::string(30, ' '), 0) == 0) {
      *description += " " + line.substr(30);
    } else {
      description = nullptr;
    }
  }
  return options;
}

TEST(HelpText, FixedFrameAndSectionOrder) {
  std::vector<std::string> lines = lines_of(help_text());
  ASSERT_GT(lines.size(), 12u);
  EXPECT_EQ(lines[0], "SDRplay receiver and FT8/FT4/JS8/WSPR decoder");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "Usage:");
  for (int i = 3; i < 9; ++i) EXPECT_EQ(lines[i].rfind("  norvane ", 0), 0u) << lines[i];
  EXPECT_EQ(lines[8], "  norvane --list-frequencies | --list-devices | --help | --version");
  EXPECT_EQ(lines[9], "Frequencies and rates accept k/M suffixes: 3k, 14.074M, 10M.");
  EXPECT_EQ(lines.back(), "Documentation: man norvane (FILES lists installed paths).");
  EXPECT_EQ(help_text().back(), '\n');

  std::vector<std::string> headings;
  for (const std::string& line : lines) {
    if (!line.empty() && line[0] != ' ' && line.back() == ':' && &line != &lines[2]) headings.push_back(line);
  }
  EXPECT_EQ(headings, (std::vector<std::string>{
                          "General:", "Device selection:", "RTL-SDR server:",
                          "Live independent audio (wideband decoder/hybrid/receivers modes):",
                          "Real-time signal analysis (decoder/hybrid/receivers modes):",
                          "Wideband signal survey (decoder/hybrid/receivers modes):", "Graph history:",
                          "Legacy audio mode:", "FT8/FT4/JS8/WSPR decoder mode:", "PSK Reporter (decoder mode):",
                          "Capture and levels (both modes):", "SDRplay settings:", "RTL-SDR settings:",
                          "Daemon control:", "IQ file replay:", "Examples:"}));
}

TEST(HelpText, DescriptionsStartAtColumnThirty) {
  bool in_entry = false;
  for (const std::string& line : lines_of(help_text())) {
    EXPECT_LE(line.size(), 100u) << line;
    if (is_option_entry(line)) {
      std::size_t gap = line.find("  ", 2);
      if (gap != std::string::npos && gap < 30) {
        // padded with blanks up to column 30, the description right there
        EXPECT_EQ(line.find_first_not_of(' ', gap), 30u) << line;
      } else {
        // an option that reaches column 29 or beyond is followed by exactly one blank
        EXPECT_EQ(line.find("  ", 2), std::string::npos) << line;
      }
      in_entry = true;
    } else if (in_entry && line.rfind("   ", 0) == 0) {
      EXPECT_EQ(line.find_first_not_of(' '), 30u) << line;  // a continuation line
    } else {
      in_entry = false;
    }
  }
}

TEST(HelpText, DocumentsEveryOptionOnce) {
  std::map<std::string, std::string> documented = documented_options();
  std::vector<std::string> expected = {"-h", "--help", "--version", "--config", "--kill", "-kill",
                                       "--list-devices", "--list-frequencies", "--clear-audio-channels",
                                       "--clear-analysis-channels", "-f", "-m", "-b"};
  for (const std::string& key : config_value_keys()) expected.push_back("--" + key);
  for (const std::string& key : config_switch_keys()) {
    expected.push_back("--" + key);
    expected.push_back("--no-" + key);
  }
  for (const std::string& option : expected) {
    EXPECT_EQ(documented.count(option), 1u) << option << " is not in the help text";
  }
  EXPECT_EQ(documented.size(), expected.size()) << "the help names an option the program lacks";
}

struct Stated {
  const char* option;
  std::vector<const char*> facts;  // the value words, range and default the entry must state
};

class HelpStates : public testing::TestWithParam<Stated> {};

TEST_P(HelpStates, ValuesRangeAndDefault) {
  std::map<std::string, std::string> documented = documented_options();
  const std::string& text = documented[GetParam().option];
  for (const char* fact : GetParam().facts) {
    EXPECT_NE(text.find(fact), std::string::npos) << GetParam().option << " does not say " << fact;
  }
}

INSTANTIATE_TEST_SUITE_P(
    OptionTable, HelpStates,
    testing::Values(Stated{"--mode", {"audio", "decoder", "hybrid", "receivers", "default audio"}},
                    Stated{"--backend", {"sdrplay", "rtl-sdr", "rx888", "default sdrplay"}},
                    Stated{"--history-days", {"1..365", "default 7"}},
                    Stated{"--survey-bandwidth", {"48k..64M", "default 1.5M"}},
                    Stated{"--survey-max-decoders", {"1..255", "default 16"}},
                    Stated{"--survey-min-snr", {"0..60", "default 6"}},
                    Stated{"--rtl-port", {"1..65535", "default 1234"}},
                    Stated{"--rtl-gain", {"-10..60", "default 25"}},
                    Stated{"--gain-reduction", {"20..59", "default 50"}},
                    Stated{"--duration", {"0..86400", "default 0"}},
                    Stated{"--buffer-seconds", {"0.5..30", "default 8"}},
                    Stated{"--rx888-attenuation", {"0..31.5", "0.5 dB steps", "default 10"}},
                    Stated{"--rx888-gain", {"-8..32", "default 0"}},
                    Stated{"--rx888-recovery", {"0..600", "default 130"}},
                    Stated{"--decode-depth", {"1..3", "default 3"}},
                    Stated{"--decoder-timeout", {"60", "default 12"}},
                    Stated{"--wspr-timeout", {"110", "default 60"}},
                    Stated{"--audio-rate", {"8000..192000", "default 48000"}},
                    Stated{"--audio-gain", {"10000", "default 10"}},
                    Stated{"--iq-rate", {"64000..10M", "default 64000"}},
                    Stated{"--direct-sampling", {"off", "I branch", "Q branch", "default off"}},
                    Stated{"--modes", {"FT8", "FT4", "JS8-FAST", "JS8-TURBO", "JS8-SLOW", "WSPR", "default FT8"}},
                    Stated{"--decoder", {"default jt9"}}, Stated{"--js8-decoder", {"default quillon"}},
                    Stated{"--wspr-decoder", {"default wsprd"}}, Stated{"--all-txt", {"default ALL.TXT"}},
                    Stated{"--pid-file", {"default norvane.pid"}}, Stated{"--log-file", {"default norvane.log"}},
                    Stated{"--sink", {"default norvane_rx"}}));

TEST(VersionBanner, NamesTheProgramAndVersionOnOneLine) {
  std::string banner = version_banner();
  EXPECT_EQ(banner.rfind(std::string("norvane ") + NORVANE_VERSION + " ", 0), 0u) << banner;
  EXPECT_EQ(banner.find('\n'), banner.size() - 1);
}

}  // namespace
