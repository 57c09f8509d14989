#pragma once

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "core/unique_fd.hpp"

// The per-user state directory and the checks every file kept there (or beside the user's
// other files: PID file, daemon log, history, control socket directory) goes through. A file
// the program keeps must be the user's own regular file, reached without following a symbolic
// link at its last component, and a directory it keeps private must be the user's, mode 0700.

// The value of the environment variable when it is set to an absolute path; otherwise an empty
// path (an empty or relative value counts as unset).
inline std::filesystem::path absolute_env_path(char const* variable)
{
    char const* const value = std::getenv(variable);
    if (value == nullptr || value[0] != '/')
        return {};
    return std::filesystem::path(value);
}

inline std::filesystem::path join_path(std::filesystem::path const& base, std::filesystem::path const& component)
{
    return base / component;
}

namespace state_directory_detail {

// getpwuid_r rather than getpwuid: the reporters ask for their paths from their own threads.
inline std::filesystem::path password_home()
{
    long const hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        int const error = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (std::size_t{1} << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/')
            return {};
        return std::filesystem::path(found->pw_dir);
    }
}

}  // namespace state_directory_detail

// The path of `name` in the state directory: $XDG_STATE_HOME/norvane, else
// $HOME/.local/state/norvane, else the password database's home/.local/state/norvane. Only
// computes: nothing is created or checked on disk.
inline std::string state_directory(char const* name)
{
    std::filesystem::path base = absolute_env_path("XDG_STATE_HOME");
    if (base.empty()) {
        std::filesystem::path home = absolute_env_path("HOME");
        if (home.empty())
            home = state_directory_detail::password_home();
        if (home.empty())
            throw std::runtime_error("Cannot determine user's home directory");
        base = join_path(home, ".local/state");
    }
    return join_path(join_path(base, "norvane"), name).string();
}

// True for a regular file owned by the effective user.
inline bool is_owned_regular_file(struct stat const& status)
{
    return S_ISREG(status.st_mode) && status.st_uid == geteuid();
}

// True when path (symbolic links followed) is a directory of the effective user that neither
// group nor others can use.
inline bool is_private_directory(std::filesystem::path const& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return false;
    return S_ISDIR(status.st_mode) && status.st_uid == geteuid() && (status.st_mode & 077) == 0;
}

namespace state_directory_detail {

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

}  // namespace state_directory_detail

// Creates the parent directory of path with its missing ancestors, for a file the program keeps
// (history, PSK Reporter state). When the parent itself had to be made it gets mode 0700;
// ancestors made on the way get the ordinary mode, and an existing parent is left as it is.
// Returns whether the parent was created. Throws std::filesystem::filesystem_error when a
// directory cannot be created.
inline bool create_private_parent(std::filesystem::path const& path)
{
    std::filesystem::path const parent = path.parent_path();
    if (parent.empty() || state_directory_detail::exists_without_following(parent))
        return false;
    std::filesystem::path const grandparent = parent.parent_path();
    if (!grandparent.empty())
        std::filesystem::create_directories(grandparent);
    return state_directory_detail::make_private_directory(parent);
}

// Creates directory and every missing ancestor, each one made here with mode 0700 (journal and
// survey output directories); existing directories are left as they are. Returns whether
// anything was created. Throws std::filesystem::filesystem_error when a directory cannot be
// created.
inline bool create_private_directories(std::filesystem::path const& directory)
{
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path at = directory; !at.empty() && !state_directory_detail::exists_without_following(at);
         at = at.parent_path()) {
        missing.push_back(at);
        if (at == at.parent_path())
            break;
    }
    bool created = false;
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        // "a/b/" names b twice (as "a/b/" and "a/b"); the second mkdir then finds it there.
        created = state_directory_detail::make_private_directory(*it) || created;
    }
    return created;
}

enum class PrivateFileStatus {
    ready,        // a regular file of the user, now mode 0600
    open_failed,  // could not be opened or created; error holds errno
    not_owned,    // something else, or someone else's file, or its mode could not be set
};

struct PrivateFileResult {
    PrivateFileStatus status = PrivateFileStatus::ready;
    int error = 0;
};

// Makes sure path is the user's own regular file of mode 0600 before a library (sqlite) opens it
// by name: creates the parent (create_private_parent) and the file when missing, never follows a
// symbolic link at the path, and leaves an existing file's content untouched. The open does not
// block, so a FIFO or device at the path is refused instead of hanging start-up. Callers turn the
// result into their own messages; failures to create the parent throw as create_private_parent.
inline PrivateFileResult prepare_private_file(std::filesystem::path const& path)
{
    create_private_parent(path);
    UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600));
    if (file.get() < 0)
        return {PrivateFileStatus::open_failed, errno};
    struct stat status {};
    bool const ok = ::fstat(file.get(), &status) == 0 && is_owned_regular_file(status) &&
                    ::fchmod(file.get(), 0600) == 0;
    file.reset();
    return {ok ? PrivateFileStatus::ready : PrivateFileStatus::not_owned, 0};
}
