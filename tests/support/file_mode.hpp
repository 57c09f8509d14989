#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>

// The permission bits (and set-id bits) of path itself, a symbolic link not followed; a failed
// lstat is a test failure.
mode_t mode_of(std::filesystem::path const& path);

// Runs the body with the given umask and restores the old one.
template <typename F>
void with_umask(mode_t mask, F&& body)
{
    mode_t const old = ::umask(mask);
    body();
    ::umask(old);
}
