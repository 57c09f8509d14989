#include "core/private_directory.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/support/file_mode.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

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

}  // namespace
