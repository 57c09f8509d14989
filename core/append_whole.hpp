#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

// Appends `text` to the open file fd (opened for appending, its exclusive lock held by the
// caller, so the end cannot move meanwhile) whole or not at all: a write that stops part-way
// (disk full, file size limit) is cut back off, so the file never keeps a torn record for the
// next one to be glued to. Partial writes go on with the rest and interrupted writes are
// repeated. Returns 0, or the error number of the failure (ENOSPC for a write that took
// nothing); errno is left as the failure set it.
inline int append_whole(int fd, std::string_view text)
{
    struct stat before {};
    if (::fstat(fd, &before) != 0)
        return errno;
    while (!text.empty()) {
        ssize_t const count = ::write(fd, text.data(), text.size());
        if (count > 0) {
            text.remove_prefix(static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        int const error = count == 0 ? ENOSPC : errno;
        while (::ftruncate(fd, before.st_size) != 0 && errno == EINTR) {
        }
        errno = error;
        return error;
    }
    return 0;
}
