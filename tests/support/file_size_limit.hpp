#pragma once

#include <sys/resource.h>

#include <csignal>
#include <cstdint>

// A file size limit on this process for as long as the object lives, as a full disk: a write
// past `bytes` is cut short or refused with EFBIG, and SIGXFSZ is ignored so that the process
// lives on. The earlier limit and signal disposition come back on destruction.
class FileSizeLimit {
public:
    // Throws std::runtime_error when the limit cannot be set.
    explicit FileSizeLimit(std::uint64_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(FileSizeLimit const&) = delete;
    FileSizeLimit& operator=(FileSizeLimit const&) = delete;

private:
    struct sigaction previous_ {};
    rlimit saved_{};
};
