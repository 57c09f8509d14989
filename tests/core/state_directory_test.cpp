#include "core/state_directory.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
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

mode_t mode_of(fs::path const& path)
{
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

// Runs the body with the given umask and restores the old one.
template <typename F>
void with_umask(mode_t mask, F&& body)
{
    mode_t const old = ::umask(mask);
    body();
    ::umask(old);
}

TEST(CreatePrivateParent, MakesMissingParentPrivateAndAncestorsOrdinary)
{
    TempDir dir;
    with_umask(022, [&] {
        EXPECT_TRUE(create_private_parent(dir / "a/b/state/file.sqlite3"));
        EXPECT_EQ(mode_of(dir / "a/b/state"), 0700u);
        EXPECT_EQ(mode_of(dir / "a"), 0755u);
        EXPECT_EQ(mode_of(dir / "a/b"), 0755u);
        EXPECT_FALSE(fs::exists(dir / "a/b/state/file.sqlite3"));
    });
}

TEST(CreatePrivateParent, ExactModeEvenUnderAStrictUmask)
{
    TempDir dir;
    with_umask(0777, [&] { EXPECT_TRUE(create_private_parent(dir / "state/file")); });
    EXPECT_EQ(mode_of(dir / "state"), 0700u);
}

TEST(CreatePrivateParent, LeavesAnExistingParentAlone)
{
    TempDir dir;
    fs::create_directory(dir / "shared");
    fs::permissions(dir / "shared", fs::perms(0755));
    EXPECT_FALSE(create_private_parent(dir / "shared/file"));
    EXPECT_EQ(mode_of(dir / "shared"), 0755u);
    EXPECT_FALSE(create_private_parent("file-in-current-directory"));
}

TEST(CreatePrivateParent, ReportsWhatCannotBeCreated)
{
    TempDir dir;
    dir.write_file("plain", "x");
    EXPECT_THROW(create_private_parent(dir / "plain/sub/file"), std::filesystem::filesystem_error);
}

TEST(CreatePrivateDirectories, EveryDirectoryMadeHereIsPrivate)
{
    TempDir dir;
    fs::create_directory(dir / "existing");
    fs::permissions(dir / "existing", fs::perms(0755));
    with_umask(022, [&] {
        EXPECT_TRUE(create_private_directories(dir / "existing/journal/2026/"));
        EXPECT_EQ(mode_of(dir / "existing"), 0755u);
        EXPECT_EQ(mode_of(dir / "existing/journal"), 0700u);
        EXPECT_EQ(mode_of(dir / "existing/journal/2026"), 0700u);
        EXPECT_FALSE(create_private_directories(dir / "existing/journal/2026"));
        EXPECT_FALSE(create_private_directories(dir / "existing"));
    });
    dir.write_file("plain", "x");
    EXPECT_THROW(create_private_directories(dir / "plain/sub"), std::filesystem::filesystem_error);
}

TEST(IsPrivateDirectory, OnlyTheUsersOwnClosedDirectory)
{
    TempDir dir;
    fs::create_directory(dir / "closed");
    fs::permissions(dir / "closed", fs::perms(0700));
    fs::create_directory(dir / "group");
    fs::permissions(dir / "group", fs::perms(0750));
    fs::create_directory(dir / "others");
    fs::permissions(dir / "others", fs::perms(0701));
    dir.write_file("file", "");
    fs::permissions(dir / "file", fs::perms(0600));
    fs::create_directory_symlink(dir / "closed", dir / "link");

    EXPECT_TRUE(is_private_directory(dir / "closed"));
    EXPECT_TRUE(is_private_directory(dir / "link"));  // followed, as the caller's own choice of path
    EXPECT_FALSE(is_private_directory(dir / "group"));
    EXPECT_FALSE(is_private_directory(dir / "others"));
    EXPECT_FALSE(is_private_directory(dir / "file"));
    EXPECT_FALSE(is_private_directory(dir / "missing"));

    if (::geteuid() == 0) {
        fs::create_directory(dir / "foreign");
        fs::permissions(dir / "foreign", fs::perms(0700));
        ASSERT_EQ(::chown((dir / "foreign").c_str(), 54321, 54321), 0);
        EXPECT_FALSE(is_private_directory(dir / "foreign"));
    }
}

std::string read_all(fs::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(PreparePrivateFile, CreatesTheFileAndItsPrivateParent)
{
    TempDir dir;
    fs::path const file = dir / "state/norvane/psk-dedup.sqlite3";
    PrivateFileResult result;
    with_umask(022, [&] { result = prepare_private_file(file); });
    EXPECT_EQ(result.status, PrivateFileStatus::ready);
    EXPECT_TRUE(fs::is_regular_file(file));
    EXPECT_EQ(fs::file_size(file), 0u);
    EXPECT_EQ(mode_of(file), 0600u);
    EXPECT_EQ(mode_of(dir / "state/norvane"), 0700u);
}

TEST(PreparePrivateFile, KeepsContentAndClosesAnOpenMode)
{
    TempDir dir;
    fs::path const file = dir.write_file("history.sqlite3", "existing rows");
    fs::permissions(file, fs::perms(0644));
    EXPECT_EQ(prepare_private_file(file).status, PrivateFileStatus::ready);
    EXPECT_EQ(read_all(file), "existing rows");
    EXPECT_EQ(mode_of(file), 0600u);
}

TEST(PreparePrivateFile, RefusesASymbolicLinkWithoutTouchingItsTarget)
{
    TempDir dir;
    fs::path const target = dir.write_file("target", "someone's data");
    fs::permissions(target, fs::perms(0644));
    fs::create_symlink(target, dir / "link");
    PrivateFileResult const result = prepare_private_file(dir / "link");
    EXPECT_EQ(result.status, PrivateFileStatus::open_failed);
    EXPECT_EQ(result.error, ELOOP);
    EXPECT_EQ(read_all(target), "someone's data");
    EXPECT_EQ(mode_of(target), 0644u);

    // A dangling link must not create the file it points at either.
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    EXPECT_EQ(prepare_private_file(dir / "dangling").status, PrivateFileStatus::open_failed);
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

TEST(PreparePrivateFile, RefusesOtherFileTypesWithoutBlocking)
{
    TempDir dir;
    fs::create_directory(dir / "directory");
    EXPECT_EQ(prepare_private_file(dir / "directory").status, PrivateFileStatus::open_failed);

    // A FIFO nobody reads would block an ordinary open for writing forever.
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(prepare_private_file(dir / "fifo").status, PrivateFileStatus::open_failed);

    // With a reader the open succeeds, and the file type check refuses it.
    int const reader = ::open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(prepare_private_file(dir / "fifo").status, PrivateFileStatus::not_owned);
    ::close(reader);
}

TEST(PreparePrivateFile, RefusesAnotherUsersFile)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a file to another user";
    TempDir dir;
    fs::path const file = dir.write_file("foreign.sqlite3", "theirs");
    fs::permissions(file, fs::perms(0644));
    ASSERT_EQ(::chown(file.c_str(), 54321, 54321), 0);
    EXPECT_EQ(prepare_private_file(file).status, PrivateFileStatus::not_owned);
    EXPECT_EQ(mode_of(file), 0644u);
}

TEST(IsOwnedRegularFile, ChecksTypeAndOwner)
{
    TempDir dir;
    fs::path const file = dir.write_file("pid", "");
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_TRUE(is_owned_regular_file(status));
    ASSERT_EQ(::stat(dir.path().c_str(), &status), 0);
    EXPECT_FALSE(is_owned_regular_file(status));
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    status.st_uid = ::geteuid() + 1;
    EXPECT_FALSE(is_owned_regular_file(status));
}

}  // namespace
