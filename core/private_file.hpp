#pragma once

// Files the program keeps for the user beside the user's other files or in the state directory
// (PID file, daemon log, history, PSK Reporter state, control socket lock): the user's own
// regular file, reached without following a symbolic link at its last component.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "core/private_directory.hpp"
#include "core/unique_fd.hpp"

// True for a regular file owned by the effective user.
inline bool is_owned_regular_file(struct stat const& status)
{
    return S_ISREG(status.st_mode) && status.st_uid == geteuid();
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
