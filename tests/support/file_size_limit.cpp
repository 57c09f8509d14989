#include "tests/support/file_size_limit.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

FileSizeLimit::FileSizeLimit(std::uint64_t bytes)
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    if (::sigaction(SIGXFSZ, &ignore, &previous_) != 0)
        throw std::runtime_error(std::string("cannot ignore SIGXFSZ: ") + std::strerror(errno));
    rlimit limited{};
    if (::getrlimit(RLIMIT_FSIZE, &saved_) == 0) {
        limited = saved_;
        limited.rlim_cur = bytes;
        if (::setrlimit(RLIMIT_FSIZE, &limited) == 0)
            return;
    }
    std::string const reason = std::strerror(errno);
    ::sigaction(SIGXFSZ, &previous_, nullptr);
    throw std::runtime_error("cannot limit the file size: " + reason);
}

FileSizeLimit::~FileSizeLimit()
{
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::sigaction(SIGXFSZ, &previous_, nullptr);
}
