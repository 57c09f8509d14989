#include "decode/all_txt_append.hpp"

#include <sys/file.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "core/append_whole.hpp"
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

}  // namespace

bool append_all_txt(int fd, std::string_view text, std::function<bool()> const& stopping)
{
    if (!lock_unless_stopping(fd, stopping))
        return false;
    if (append_whole(fd, text) != 0) {
        auto error = errno_error("Append ALL.TXT");
        lock_retrying(fd, LOCK_UN);
        throw error;
    }
    if (lock_retrying(fd, LOCK_UN) != 0)
        throw errno_error("Unlock ALL.TXT");
    return true;
}
