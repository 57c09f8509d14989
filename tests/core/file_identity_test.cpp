#include "core/file_identity.hpp"

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

// Runs in a directory of its own, so that relative spellings can be tried as well.
class FileIdentityTest : public testing::Test {
protected:
    FileIdentityTest() : old_(fs::current_path())
    {
        fs::create_directories(dir / "data/sub");
        dir.write_file("data/a.txt", "a");
        dir.write_file("data/b.txt", "b");
        fs::create_hard_link(dir / "data/a.txt", dir / "hard.txt");
        fs::create_symlink(dir / "data/a.txt", dir / "soft.txt");
        fs::create_directory_symlink(dir / "data", dir / "via");
        fs::create_symlink(dir / "nowhere", dir / "dangling");
        fs::current_path(dir.path());
    }
    ~FileIdentityTest() override { fs::current_path(old_); }

    TempDir dir;
    fs::path old_;
};

TEST_F(FileIdentityTest, OneFileThroughEverySpelling)
{
    for (std::string const& other : std::vector<std::string>{"data/a.txt", "./data/a.txt", "data/sub/../a.txt", "hard.txt", "soft.txt",
                                    "via/a.txt", (dir / "data/a.txt").string()}) {
        EXPECT_TRUE(same_file("data/a.txt", other)) << other;
    }
    EXPECT_FALSE(same_file("data/a.txt", "data/b.txt"));
    EXPECT_FALSE(same_file("data/a.txt", "data"));
    // Through a directory that does not exist, written out: the file it lands on.
    EXPECT_TRUE(same_file("data/a.txt", "data/later/../a.txt"));
    EXPECT_TRUE(same_file("hard.txt", "data/later/../a.txt"));
}

TEST_F(FileIdentityTest, AFileNotWrittenYetIsItsDirectoryAndName)
{
    for (std::string const& other : std::vector<std::string>{"data/new.txt", "./data/./new.txt", "data/sub/../new.txt", "via/new.txt",
                                    (dir / "data/new.txt").string()}) {
        EXPECT_TRUE(same_file("data/new.txt", other)) << other;
    }
    EXPECT_FALSE(same_file("data/new.txt", "data/other.txt"));
    EXPECT_FALSE(same_file("data/new.txt", "data/sub/new.txt"));
    EXPECT_FALSE(same_file("data/new.txt", "new.txt"));

    // Below a directory that does not exist either: the nearest existing one and the rest.
    EXPECT_TRUE(same_file("data/later/new.txt", "via/./later/new.txt"));
    EXPECT_TRUE(same_file("later/new.txt", "./later/x/../new.txt"));
    EXPECT_FALSE(same_file("later/new.txt", "data/later/new.txt"));

    // A new directory named with and without its trailing separators.
    EXPECT_TRUE(same_file("pictures", "pictures/"));
    EXPECT_TRUE(same_file("pictures", "pictures/."));
}

TEST_F(FileIdentityTest, ADanglingLinkIsNotItsTarget)
{
    EXPECT_TRUE(same_file("dangling", "./dangling"));
    EXPECT_FALSE(same_file("dangling", "nowhere"));
}

TEST_F(FileIdentityTest, AnEmptyPathIsNoFile)
{
    EXPECT_FALSE(file_identity(""));
    EXPECT_FALSE(same_file("", ""));
    EXPECT_FALSE(same_file("", "data/a.txt"));
}

}  // namespace
