#include "tests/support/stderr_tap.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

StderrTap::StderrTap()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    std::fflush(stderr);
    saved_ = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    ::dup2(ends[1], STDERR_FILENO);
    ::close(ends[1]);
    read_end_ = ends[0];
    reader_ = std::thread([this] {
        char buffer[4096];
        for (;;) {
            ssize_t const n = ::read(read_end_, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            std::scoped_lock lock(mutex_);
            text_.append(buffer, static_cast<std::size_t>(n));
            grew_.notify_all();
        }
    });
}

StderrTap::~StderrTap()
{
    std::fflush(stderr);
    // Putting the old descriptor back closes the pipe's last write end: the reader sees its end.
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    reader_.join();
    ::close(read_end_);
}

std::size_t StderrTap::count(std::string const& text) const
{
    std::scoped_lock lock(mutex_);
    std::size_t found = 0;
    for (std::size_t at = text_.find(text); at != std::string::npos; at = text_.find(text, at + text.size()))
        ++found;
    return found;
}

bool StderrTap::wait_for(std::string const& text, std::chrono::milliseconds timeout, std::size_t wanted)
{
    std::unique_lock lock(mutex_);
    auto const enough = [&] {
        std::size_t found = 0;
        for (std::size_t at = text_.find(text); at != std::string::npos; at = text_.find(text, at + text.size()))
            ++found;
        return found >= wanted;
    };
    return grew_.wait_for(lock, timeout, enough);
}

std::string StderrTap::text() const
{
    std::scoped_lock lock(mutex_);
    return text_;
}
