#pragma once

// Which file a path names, so that two options naming one file through different spellings, a
// hard link or a symbolic link are caught before either is written.

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    // Empty for a file that exists: device and inode are its own. For one that does not exist
    // yet, device and inode are those of its nearest existing ancestor directory and this is the
    // rest of the path below it, so that "a/new.txt" and "./a/../a/new.txt" still compare equal.
    std::string below;

    friend bool operator==(FileIdentity const&, FileIdentity const&) = default;
};

// The identity of the file path names, symbolic links followed. A dangling symbolic link counts
// as a file that does not exist yet under its own name. Empty for an empty path, or when not even
// the directory the path starts from can be examined.
inline std::optional<FileIdentity> file_identity(std::filesystem::path const& path)
{
    if (path.empty())
        return std::nullopt;
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0)
        return FileIdentity{status.st_dev, status.st_ino, {}};
    // Climb to the nearest ancestor that exists; what is below it cannot hold symbolic links
    // yet, so its components compare as written, "." and ".." resolved.
    std::filesystem::path below;
    for (std::filesystem::path at = path;;) {
        std::filesystem::path const name = at.filename();
        std::filesystem::path parent = at.parent_path();
        if (!name.empty())
            below = below.empty() ? name : name / below;
        if (parent.empty())
            parent = ".";
        if (::stat(parent.c_str(), &status) == 0) {
            std::string rest = below.lexically_normal().string();
            if (rest.size() > 1 && rest.back() == '/')
                rest.pop_back();  // "new/." normalises to "new/"
            // "missing/../a.txt" resolved lands on a file that may exist: then it is that file,
            // as "a.txt" itself would be.
            struct stat resolved {};
            if (::stat((parent / rest).c_str(), &resolved) == 0)
                return FileIdentity{resolved.st_dev, resolved.st_ino, {}};
            return FileIdentity{status.st_dev, status.st_ino, std::move(rest)};
        }
        if (parent == at)
            return std::nullopt;
        at = parent;
    }
}

// True when both paths name the same file (see file_identity); never for an empty path.
inline bool same_file(std::filesystem::path const& first, std::filesystem::path const& second)
{
    std::optional<FileIdentity> const a = file_identity(first);
    return a && a == file_identity(second);
}

// The identity of the regular file an open descriptor writes to; empty for anything else (a
// terminal, a pipe, /dev/null) or a closed descriptor.
inline std::optional<FileIdentity> open_file_identity(int fd)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    return FileIdentity{status.st_dev, status.st_ino, {}};
}
