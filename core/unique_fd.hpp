#pragma once

#include <unistd.h>

#include <utility>

// Owns one file descriptor and closes it on every way out, thrown errors included; -1 when
// empty. A descriptor whose close error matters is closed by hand at its call site
// (release, then ::close) so that the error can be seen.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }

    UniqueFd(UniqueFd const&) = delete;
    UniqueFd& operator=(UniqueFd const&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    int get() const { return fd_; }

    // Hands the descriptor to its long-term owner; this holder is empty afterwards.
    int release() { return std::exchange(fd_, -1); }

    void reset(int fd = -1)
    {
        int const old = std::exchange(fd_, fd);
        if (old >= 0)
            ::close(old);
    }
    void close() { reset(); }

private:
    int fd_ = -1;
};
