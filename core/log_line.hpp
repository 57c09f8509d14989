#pragma once

// One line to standard error, whole. Decoder workers, writer threads, the radio's stream thread
// and the run loop all log at once; a line assembled from several stream insertions can be cut
// by another thread's line, and a log reader then sees neither. Every line the program writes
// to standard error goes through here: built first, then handed to the kernel in one write
// (short writes are continued under the same lock, so no other line can land in between).

#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <string_view>

namespace log_detail {
inline std::mutex& stderr_mutex()
{
    static std::mutex mutex;
    return mutex;
}
}  // namespace log_detail

// Writes text followed by a newline (unless it already ends in one). A log that cannot be
// written is no reason to stop reception, so failures are ignored.
inline void log_line(std::string_view text) noexcept
{
    std::string line;
    try {
        line.reserve(text.size() + 1);
        line.append(text);
        if (line.empty() || line.back() != '\n')
            line.push_back('\n');
    } catch (...) {
        return;
    }
    std::lock_guard<std::mutex> lock(log_detail::stderr_mutex());
    char const* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        ssize_t const written = ::write(STDERR_FILENO, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}
