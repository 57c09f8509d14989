#pragma once

// Directories that hold what the program keeps for the user (the state directory, the history
// and control socket directories, journals and pictures): made with mode 0700 from the start, and
// checked to be the user's own and closed to everyone else before anything private goes in.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

// True when path (symbolic links followed) is a directory of the effective user that neither
// group nor others can use.
inline bool is_private_directory(std::filesystem::path const& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return false;
    return S_ISDIR(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & 077) == 0;
}

namespace private_directory_detail {

// mkdir with mode 0700 from the start, so the directory is never open to others even for a
// moment; then exactly 0700, since mkdir's mode passes through the umask (a failure of that
// chmod leaves it no more open than the umask allowed, so it is not fatal). False when the
// directory appeared meanwhile: whoever made it set it up.
inline bool make_private_directory(std::filesystem::path const& directory)
{
    if (::mkdir(directory.c_str(), 0700) != 0) {
        if (errno == EEXIST)
            return false;
        throw std::filesystem::filesystem_error("cannot create directory", directory,
                                                std::error_code(errno, std::generic_category()));
    }
    (void)::chmod(directory.c_str(), 0700);
    return true;
}

inline bool exists_without_following(std::filesystem::path const& path)
{
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

}  // namespace private_directory_detail

// Creates the parent directory of path with its missing ancestors, for a file the program keeps
// (history, PSK Reporter state). When the parent itself had to be made it gets mode 0700;
// ancestors made on the way get the ordinary mode, and an existing parent is left as it is.
// Returns whether the parent was created. Throws std::filesystem::filesystem_error when a
// directory cannot be created.
inline bool create_private_parent(std::filesystem::path const& path)
{
    std::filesystem::path const parent = path.parent_path();
    if (parent.empty() || private_directory_detail::exists_without_following(parent))
        return false;
    std::filesystem::path const grandparent = parent.parent_path();
    if (!grandparent.empty())
        std::filesystem::create_directories(grandparent);
    return private_directory_detail::make_private_directory(parent);
}

// Creates directory and every missing ancestor, each one made here with mode 0700 (journal and
// survey output directories); existing directories are left as they are. Returns whether
// anything was created. Throws std::filesystem::filesystem_error when a directory cannot be
// created.
inline bool create_private_directories(std::filesystem::path const& directory)
{
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path at = directory;
         !at.empty() && !private_directory_detail::exists_without_following(at); at = at.parent_path()) {
        missing.push_back(at);
        if (at == at.parent_path())
            break;
    }
    bool created = false;
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        // "a/b/" names b twice (as "a/b/" and "a/b"); the second mkdir then finds it there.
        created = private_directory_detail::make_private_directory(*it) || created;
    }
    return created;
}
