#pragma once

// Opening a file the program writes by name (WAV output, spot and journal files): never through a
// symbolic link at its last component, never waiting on it (a FIFO without a reader would block
// the open, and with it the stop signals, forever), and only a regular file.

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <string>

#include "core/unique_fd.hpp"

enum class OutputFileStatus {
    open,         // fd is a regular file open for writing
    open_failed,  // error holds errno: a missing directory, no permission, a symbolic link (ELOOP)...
    not_regular,  // a directory, FIFO, device or socket (whether or not it could be opened)
};

struct OutputFile {
    OutputFileStatus status = OutputFileStatus::open;
    UniqueFd fd;
    int error = 0;
};

// Opens path write-only with O_CREAT, O_NOFOLLOW, O_NONBLOCK and O_CLOEXEC plus `flags` (O_APPEND,
// O_TRUNC...), creating it with `mode`. The descriptor stays non-blocking, which changes nothing
// for a regular file.
inline OutputFile open_output_file(std::string const& path, int flags, mode_t mode)
{
    OutputFile result;
    result.fd.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | flags, mode));
    if (result.fd.get() < 0) {
        result.error = errno;
        // EISDIR: a directory; ENXIO: a FIFO without a reader, a socket or a device without its
        // hardware. None of them is a file to write.
        result.status = result.error == EISDIR || result.error == ENXIO ? OutputFileStatus::not_regular
                                                                         : OutputFileStatus::open_failed;
        return result;
    }
    struct stat status {};
    if (::fstat(result.fd.get(), &status) != 0) {
        result.status = OutputFileStatus::open_failed;
        result.error = errno;
        result.fd.reset();
        return result;
    }
    if (!S_ISREG(status.st_mode)) {
        result.status = OutputFileStatus::not_regular;
        result.fd.reset();
    }
    return result;
}
