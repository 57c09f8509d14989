// The manual page as man shows it, and what `cmake --install` puts in place.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "app/help_text.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

const std::string manual_page = std::string(NORVANE_BINARY_DIR) + "/norvane.1";

// man's own rendering at 80 columns, in plain ASCII.
ProcessResult render(const std::string& page) {
  ProcessRun run;
  run.argv = {"man", "--warnings", "-l", page};
  run.env = environment_with({"MANWIDTH=80", "LC_ALL=C", "MANPAGER=cat", "PAGER=cat"}, {"MAN_KEEP_FORMATTING"});
  return run_process(run);
}

// Every option the help text names anywhere: "-f", "--frequency", "--no-survey", "-kill"...
std::set<std::string> options_named_in_help() {
  std::set<std::string> names;
  const std::regex option(R"((?:^|[\s,(])(--?[a-z][a-z0-9-]*))");
  const std::string& help = help_text();
  for (auto it = std::sregex_iterator(help.begin(), help.end(), option); it != std::sregex_iterator(); ++it) {
    names.insert((*it)[1]);
  }
  return names;
}

TEST(ManualPage, RendersWithoutWarnings) {
  ProcessResult result = render(manual_page);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_NE(result.out.find("NORVANE(1)"), std::string::npos) << result.out.substr(0, 200);
  for (const char* section : {"\nNAME\n", "\nSYNOPSIS\n", "\nOPTIONS\n", "\nCONTROL COMMANDS\n", "\nFILES\n",
                              "\nEXIT STATUS\n", "\nSIGNALS\n", "\nEXAMPLES\n"}) {
    EXPECT_NE(result.out.find(section), std::string::npos) << section;
  }
}

TEST(ManualPage, DocumentsEveryOptionOfTheHelp) {
  std::string shown = render(manual_page).out;
  std::set<std::string> options = options_named_in_help();
  ASSERT_GT(options.size(), 90u);  // the extraction itself works
  for (const std::string& name : options) {
    // The whole option, not the start of a longer one (--survey inside --survey-journal).
    const std::regex whole("(^|[^A-Za-z0-9-])" + name + "($|[^A-Za-z0-9-])");
    EXPECT_TRUE(std::regex_search(shown, whole)) << name << " is in the help but not in the manual page";
  }
  for (const char* command : {"ADD", "SET", "REMOVE", "CLEAR", "STATUS", "ANALYZE", "RADIO", "SPECTRUM"}) {
    EXPECT_TRUE(std::regex_search(shown, std::regex(std::string("\n +") + command + "\\b")))
        << command << " is not described as a control command";
  }
}

// `cmake --install` into a fresh prefix: the daemon runs from there, and the manual page there
// names the paths it was installed to.
TEST(Install, PutsTheDaemonAndItsManualPageUnderThePrefix) {
  TempDir prefix;
  ProcessResult install = run_process({NORVANE_CMAKE_COMMAND, "--install", NORVANE_BINARY_DIR, "--prefix",
                                       prefix.path().string()});
  ASSERT_EQ(install.exit_status, 0) << install.out << install.err;

  const fs::path daemon = prefix / "bin/norvane";
  struct stat status {};
  ASSERT_EQ(::stat(daemon.c_str(), &status), 0);
  EXPECT_TRUE(S_ISREG(status.st_mode) && (status.st_mode & S_IXUSR));
  ProcessResult version = run_process({daemon.string(), "--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out, version_banner());

  const fs::path page = prefix / "share/man/man1/norvane.1";
  ASSERT_TRUE(fs::is_regular_file(page));
  std::string text = file_text(page);
  EXPECT_FALSE(std::regex_search(text, std::regex("@[A-Z_]+@"))) << "a placeholder is left";
  ProcessResult shown = render(page.string());
  EXPECT_EQ(shown.err, "");
  EXPECT_NE(shown.out.find(daemon.string()), std::string::npos) << "FILES does not name " << daemon;
  EXPECT_NE(shown.out.find(page.string()), std::string::npos) << "FILES does not name " << page;
}

}  // namespace
