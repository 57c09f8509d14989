#include "decode/all_txt_append.hpp"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "core/errno_error.hpp"

namespace {

// How often a waiting worker tries the lock again and looks at the stop request.
constexpr auto lock_step = std::chrono::milliseconds(20);

int lock_retrying(int fd, int operation)
{
    int result = 0;
    while ((result = ::flock(fd, operation)) != 0 && errno == EINTR) {
    }
    return result;
}

// True once the exclusive lock is held; false when stopping() turned true while another open
// file held it.
bool lock_unless_stopping(int fd, std::function<bool()> const& stopping)
{
    for (;;) {
        if (lock_retrying(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno != EWOULDBLOCK)
            throw errno_error("Lock ALL.TXT");
        if (stopping && stopping())
            return false;
        std::this_thread::sleep_for(lock_step);
        if (stopping && stopping())
            return false;
    }
}

// Writes everything or returns false with errno set. A write that takes nothing on a regular
// file means no space is left.
bool write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        ssize_t const count = ::write(fd, text.data(), text.size());
        if (count > 0) {
            text.remove_prefix(static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count == 0)
            errno = ENOSPC;
        return false;
    }
    return true;
}

}  // namespace

bool append_all_txt(int fd, std::string_view text, std::function<bool()> const& stopping)
{
    if (!lock_unless_stopping(fd, stopping))
        return false;
    // Appends land at the end, so the size under the lock is where this block begins.
    struct stat before {};
    if (::fstat(fd, &before) != 0) {
        auto error = errno_error("Append ALL.TXT");
        lock_retrying(fd, LOCK_UN);
        throw error;
    }
    if (!write_all(fd, text)) {
        auto error = errno_error("Append ALL.TXT");
        while (::ftruncate(fd, before.st_size) != 0 && errno == EINTR) {
        }
        lock_retrying(fd, LOCK_UN);
        throw error;
    }
    if (lock_retrying(fd, LOCK_UN) != 0)
        throw errno_error("Unlock ALL.TXT");
    return true;
}
