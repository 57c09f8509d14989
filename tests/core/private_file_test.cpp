#include "core/private_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/file_mode.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

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
    EXPECT_EQ(file_text(file), "existing rows");
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
    EXPECT_EQ(file_text(target), "someone's data");
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
