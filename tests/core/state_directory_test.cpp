#include "core/state_directory.hpp"

#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

// Sets or unsets environment variables for one test and puts the old values back afterwards.
class EnvironmentGuard {
public:
    ~EnvironmentGuard()
    {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }

    void set(std::string const& name, std::optional<std::string> const& value)
    {
        char const* const old = std::getenv(name.c_str());
        saved_.emplace_back(name, old != nullptr ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

std::string password_home()
{
    passwd* const entry = ::getpwuid(::geteuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

struct LocationCase {
    char const* label;
    std::optional<std::string> xdg_state_home;
    std::optional<std::string> home;
    std::string expected;  // "@" stands for the password database's home
};

void PrintTo(LocationCase const& c, std::ostream* out) { *out << c.label; }

class StateDirectoryLocation : public testing::TestWithParam<LocationCase> {};

TEST_P(StateDirectoryLocation, ChoosesTheBase)
{
    auto const& c = GetParam();
    EnvironmentGuard environment;
    environment.set("XDG_STATE_HOME", c.xdg_state_home);
    environment.set("HOME", c.home);
    std::string expected = c.expected;
    if (expected.starts_with("@")) {
        std::string const home = password_home();
        if (home.empty() || home.front() != '/')
            GTEST_SKIP() << "this user has no absolute home in the password database";
        expected = home + expected.substr(1);
    }
    EXPECT_EQ(state_directory("psk-dedup.sqlite3"), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StateDirectoryLocation,
    testing::Values(
        LocationCase{"xdg_wins_over_home", "/x", "/home/u", "/x/norvane/psk-dedup.sqlite3"},
        LocationCase{"xdg_with_trailing_slash", "/x/", "/home/u", "/x/norvane/psk-dedup.sqlite3"},
        LocationCase{"relative_xdg_ignored", "state", "/home/u", "/home/u/.local/state/norvane/psk-dedup.sqlite3"},
        LocationCase{"empty_xdg_ignored", "", "/home/u", "/home/u/.local/state/norvane/psk-dedup.sqlite3"},
        LocationCase{"home_when_xdg_unset", std::nullopt, "/home/u",
                     "/home/u/.local/state/norvane/psk-dedup.sqlite3"},
        LocationCase{"password_home_when_both_unset", std::nullopt, std::nullopt,
                     "@/.local/state/norvane/psk-dedup.sqlite3"},
        LocationCase{"password_home_when_home_relative", "rel", "home/u",
                     "@/.local/state/norvane/psk-dedup.sqlite3"},
        LocationCase{"password_home_when_home_empty", std::nullopt, "", "@/.local/state/norvane/psk-dedup.sqlite3"}));

TEST(StateDirectory, CreatesNothingOnDisk)
{
    TempDir dir;
    EnvironmentGuard environment;
    environment.set("XDG_STATE_HOME", (dir / "missing").string());
    EXPECT_EQ(state_directory("psk-reports.sqlite3"), (dir / "missing/norvane/psk-reports.sqlite3").string());
    EXPECT_FALSE(fs::exists(dir / "missing"));
}

TEST(StateDirectory, FailsWithoutAnyHome)
{
    // A user the password database does not know, with neither variable set: only root can
    // become one, in a child so that this process keeps its identity.
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to an unknown user";
    uid_t unknown = 60000;
    while (::getpwuid(unknown) != nullptr)
        ++unknown;
    pid_t const child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::unsetenv("XDG_STATE_HOME");
        ::unsetenv("HOME");
        if (::setuid(unknown) != 0)
            ::_exit(3);
        try {
            (void)state_directory("psk-dedup.sqlite3");
        } catch (std::runtime_error const& error) {
            ::_exit(std::string(error.what()) == "Cannot determine user's home directory" ? 0 : 1);
        }
        ::_exit(2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: other message, 2: no error, 3: setuid failed";
}

TEST(AbsoluteEnvPath, OnlyAbsoluteValuesCount)
{
    EnvironmentGuard environment;
    environment.set("NORVANE_TEST_PATH", "/a/b");
    EXPECT_EQ(absolute_env_path("NORVANE_TEST_PATH"), fs::path("/a/b"));
    environment.set("NORVANE_TEST_PATH", "a/b");
    EXPECT_TRUE(absolute_env_path("NORVANE_TEST_PATH").empty());
    environment.set("NORVANE_TEST_PATH", "");
    EXPECT_TRUE(absolute_env_path("NORVANE_TEST_PATH").empty());
    environment.set("NORVANE_TEST_PATH", std::nullopt);
    EXPECT_TRUE(absolute_env_path("NORVANE_TEST_PATH").empty());
}

TEST(JoinPath, OneSeparatorBetween)
{
    EXPECT_EQ(join_path("/x", "norvane"), fs::path("/x/norvane"));
    EXPECT_EQ(join_path("/x/", "norvane"), fs::path("/x/norvane"));
    EXPECT_EQ(join_path("/home/u", ".local/state"), fs::path("/home/u/.local/state"));
}

}  // namespace
