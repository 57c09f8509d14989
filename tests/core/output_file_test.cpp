#include "core/output_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/file_text.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

TEST(OpenOutputFile, CreatesOrOpensARegularFileWithTheGivenFlags)
{
    TempDir dir;
    OutputFile created = open_output_file((dir / "new.txt").string(), O_APPEND, 0600);
    ASSERT_EQ(created.status, OutputFileStatus::open);
    EXPECT_EQ(::write(created.fd.get(), "a", 1), 1);
    EXPECT_EQ(fs::status(dir / "new.txt").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    dir.write_file("old.txt", "kept");
    OutputFile appended = open_output_file((dir / "old.txt").string(), O_APPEND, 0600);
    ASSERT_EQ(appended.status, OutputFileStatus::open);
    EXPECT_EQ(::write(appended.fd.get(), "!", 1), 1);
    EXPECT_EQ(file_text(dir / "old.txt"), "kept!");
}

TEST(OpenOutputFile, RefusesWhatIsNotARegularFileWithoutWaiting)
{
    TempDir dir;
    fs::create_directory(dir / "directory");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    // Without a reader an ordinary open of the FIFO would never return.
    EXPECT_EQ(open_output_file((dir / "fifo").string(), 0, 0600).status, OutputFileStatus::not_regular);
    EXPECT_EQ(open_output_file((dir / "directory").string(), 0, 0600).status, OutputFileStatus::not_regular);
    EXPECT_EQ(open_output_file("/dev/null", 0, 0600).status, OutputFileStatus::not_regular);

    // With a reader it opens, and is still refused.
    int const reader = ::open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    OutputFile const read_fifo = open_output_file((dir / "fifo").string(), 0, 0600);
    EXPECT_EQ(read_fifo.status, OutputFileStatus::not_regular);
    EXPECT_LT(read_fifo.fd.get(), 0);
    ::close(reader);
}

TEST(OpenOutputFile, NeverFollowsALinkAtTheName)
{
    TempDir dir;
    fs::path const target = dir.write_file("target", "someone's data");
    fs::create_symlink(target, dir / "link");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    for (char const* name : {"link", "dangling"}) {
        OutputFile const result = open_output_file((dir / name).string(), O_TRUNC, 0600);
        EXPECT_EQ(result.status, OutputFileStatus::open_failed) << name;
        EXPECT_EQ(result.error, ELOOP) << name;
    }
    EXPECT_EQ(file_text(target), "someone's data");
    EXPECT_FALSE(fs::exists(dir / "nowhere"));

    OutputFile const missing = open_output_file((dir / "missing/file").string(), 0, 0600);
    EXPECT_EQ(missing.status, OutputFileStatus::open_failed);
    EXPECT_EQ(missing.error, ENOENT);
}

}  // namespace
