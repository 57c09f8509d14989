#pragma once

// The start-up state of one process: the write end of the pipe to a parent that waits for the
// detached daemon to report, and the locked PID file. The run loops call ready() once
// reception has started; they only need this record, not the code that detaches.

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/log_line.hpp"

struct Daemon {
    int startup_pipe = -1;  // write end to the waiting parent; -1 when none or already used
    int pid_fd = -1;        // the open, write-locked PID file; -1 when none

    Daemon() = default;
    Daemon(Daemon const&) = delete;
    Daemon& operator=(Daemon const&) = delete;

    // A parent still waiting when the process ends must not wait forever.
    ~Daemon()
    {
        static constexpr char kExited[] = "EDaemon exited before startup completed";
        fail(kExited, sizeof kExited - 1);
        release_pid_file();
    }

    // The PID file is emptied, not removed, so that its lock is the only claim and nobody races
    // a re-creation; closing it gives up the lock.
    void release_pid_file() noexcept
    {
        if (pid_fd < 0)
            return;
        if (::ftruncate(pid_fd, 0) != 0)
            log_line(std::string("Could not clear daemon PID file: ") + std::strerror(errno));
        ::close(pid_fd);
        pid_fd = -1;
    }

    // The start failed: the PID file is let go before the waiting parent hears of it, because
    // the parent's command ends with that message, and whatever runs next (a retry, a look at
    // the file) must find the file free rather than still held by a process on its way out.
    // Nothing happens once the parent has had its message.
    void fail(char const* bytes, std::size_t length) noexcept
    {
        if (startup_pipe < 0)
            return;
        release_pid_file();
        send_status(bytes, length);
    }

    // Writes the one status message whole, then closes the pipe. A parent that went away is
    // no reason to fail the run, so errors end the attempt silently.
    void send_status(char const* bytes, std::size_t length) noexcept
    {
        if (startup_pipe < 0)
            return;
        while (length > 0) {
            ssize_t const written = ::write(startup_pipe, bytes, length);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                break;
            bytes += written;
            length -= static_cast<std::size_t>(written);
        }
        ::close(startup_pipe);
        startup_pipe = -1;
    }

    // Reception has started: "S" and the PID to the waiting parent, if any.
    void ready() noexcept
    {
        if (startup_pipe < 0)
            return;
        char text[64];
        int const length = std::snprintf(text, sizeof text, "S%ld", static_cast<long>(::getpid()));
        if (length > 0)
            send_status(text, static_cast<std::size_t>(length));
    }
};
