#include "tests/support/file_mode.hpp"

#include <gtest/gtest.h>

mode_t mode_of(std::filesystem::path const& path)
{
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}
