#include "app/daemonize.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/options.hpp"
#include "core/errno_error.hpp"
#include "core/log_line.hpp"
#include "core/private_file.hpp"
#include "core/unique_fd.hpp"

namespace {

// Descriptors the daemon keeps must not sit on 0, 1 or 2: those are about to be replaced by
// /dev/null and the log, and a file that landed there (because the caller started us with a
// standard stream closed) would be closed or written over by that redirection.
int above_standard_streams(int fd, char const* what)
{
    if (fd < 0 || fd > STDERR_FILENO)
        return fd;
    int const moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) {
        std::runtime_error error = errno_error(what);
        ::close(fd);
        throw error;
    }
    ::close(fd);
    return moved;
}

// Writes everything or gives up quietly: the waiting parent and its terminal are all that is
// left to tell, and it ends right after.
void write_all(int fd, std::string_view text) noexcept
{
    while (!text.empty()) {
        ssize_t const written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

void check_pid_file(int fd)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        throw errno_error("Inspect daemon PID file");
    if (!is_owned_regular_file(status))
        throw std::runtime_error("Daemon PID file must be a regular file owned by the current user");
}

// The first parent: waits for the daemon's one message and ends the command with it. Runs no
// destructors and no exit handlers: everything this process owns now belongs to the daemon.
[[noreturn]] void wait_for_daemon(pid_t child, int status_fd, std::string const& log_path)
{
    int child_status = 0;
    while (::waitpid(child, &child_status, 0) < 0 && errno == EINTR) {
    }
    std::string status;
    char buffer[2048];
    for (;;) {
        ssize_t const got = ::read(status_fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            write_all(STDERR_FILENO, "Error: Cannot read daemon startup status\n");
            ::_exit(1);
        }
        if (got == 0)
            break;
        status.append(buffer, static_cast<std::size_t>(got));
    }
    if (!status.empty() && status[0] == 'S') {
        write_all(STDOUT_FILENO, "Daemon started: PID " + status.substr(1) + "; log: " + log_path + "\n");
        ::_exit(0);
    }
    if (status.empty())
        write_all(STDERR_FILENO, "Error: Daemon exited before startup completed\n");
    else
        write_all(STDERR_FILENO, "Error: " + status.substr(1) + "\n");
    ::_exit(1);
}

// The detached process takes the PID file: opened without following a link, checked, locked,
// then rewritten with our PID. Nothing is written before the lock is ours, so a start that
// loses the race leaves the running daemon's file as it was.
void take_pid_file(Daemon& daemon, Options const& options)
{
    UniqueFd pid(::open(options.pid_file.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (pid.get() < 0)
        throw errno_error("Open daemon PID file");
    pid.reset(above_standard_streams(pid.release(), "Open daemon PID file"));
    check_pid_file(pid.get());

    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (::fcntl(pid.get(), F_SETLK, &lock) != 0) {
        if (errno == EAGAIN || errno == EACCES)
            throw std::runtime_error("A daemon already holds the PID file: " + options.pid_file);
        throw errno_error("Lock daemon PID file");
    }
    daemon.pid_fd = pid.release();

    if (::ftruncate(daemon.pid_fd, 0) != 0)
        throw errno_error("Clear daemon PID file");
    std::string const content = "norvane " + std::to_string(::getpid()) + "\n";
    std::size_t done = 0;
    while (done < content.size()) {
        ssize_t const written =
            ::pwrite(daemon.pid_fd, content.data() + done, content.size() - done, static_cast<off_t>(done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written == 0)
            errno = EIO;
        if (written <= 0)
            throw errno_error("Write daemon PID file");
        done += static_cast<std::size_t>(written);
    }
}

// 0 when nobody holds a lock that conflicts with a whole-file write lock, else the holder's PID.
int pid_file_lock_owner(int fd)
{
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (::fcntl(fd, F_GETLK, &lock) != 0)
        throw errno_error("Inspect daemon lock");
    return lock.l_type == F_UNLCK ? 0 : static_cast<int>(lock.l_pid);
}

// The file name of the program a process runs; a program replaced on disk since it started
// still counts as the same one.
std::string process_executable(pid_t pid)
{
    std::string const link = "/proc/" + std::to_string(static_cast<long>(pid)) + "/exe";
    char buffer[4096];
    ssize_t const length = ::readlink(link.c_str(), buffer, sizeof buffer);
    if (length < 0)
        throw errno_error("Inspect daemon executable");
    if (static_cast<std::size_t>(length) == sizeof buffer)
        throw std::runtime_error("Daemon executable path is too long");
    std::string path(buffer, static_cast<std::size_t>(length));
    constexpr std::string_view deleted = " (deleted)";
    if (path.size() >= deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return std::filesystem::path(path).filename().string();
}

// Straight system calls: the C library's own declarations of these two are unusable from C++
// on some systems (declared without C linkage).
int open_process_handle(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0u)); }

int signal_process_handle(int handle, int signal)
{
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, handle, signal, nullptr, 0u));
}

std::string no_daemon_running(Options const& options)
{
    return "No daemon is running (PID file: " + options.pid_file + ")\n";
}

// True when the PID file reads "norvane <owner>" and nothing more.
bool pid_file_names(int fd, int owner)
{
    char buffer[128];
    ssize_t length = 0;
    do {
        length = ::pread(fd, buffer, sizeof buffer, 0);
    } while (length < 0 && errno == EINTR);
    if (length < 0)
        throw errno_error("Read daemon PID file");
    std::istringstream words(std::string(buffer, static_cast<std::size_t>(length)));
    std::string name, number, extra;
    if (!(words >> name >> number) || (words >> extra) || name != "norvane")
        return false;
    if (number.empty() || number.size() > 10 || number.find_first_not_of("0123456789") != std::string::npos)
        return false;
    return std::stoll(number) == owner;
}

}  // namespace

void daemonize(Daemon& daemon, Options const& options)
{
    if (!options.daemon)
        return;

    UniqueFd log(::open(options.log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC,
                       0600));
    if (log.get() < 0)
        throw errno_error("Open daemon log");
    log.reset(above_standard_streams(log.release(), "Open daemon log"));
    struct stat status {};
    if (::fstat(log.get(), &status) != 0)
        throw errno_error("Inspect daemon log");
    if (!S_ISREG(status.st_mode))
        throw std::runtime_error("Daemon log must be a regular file");

    UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (null.get() < 0)
        throw errno_error("Open /dev/null");
    null.reset(above_standard_streams(null.release(), "Open /dev/null"));

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw errno_error("Create daemon startup pipe");
    UniqueFd status_read(ends[0]);
    UniqueFd status_write(ends[1]);
    status_read.reset(above_standard_streams(status_read.release(), "Prepare daemon startup pipe"));
    status_write.reset(above_standard_streams(status_write.release(), "Prepare daemon startup pipe"));

    std::cout << std::flush;
    std::cerr << std::flush;
    std::fflush(nullptr);
    pid_t const child = ::fork();
    if (child < 0)
        throw errno_error("Fork daemon");
    if (child > 0) {
        status_write.reset();
        log.reset();
        null.reset();
        wait_for_daemon(child, status_read.get(), options.log_file);
    }

    // First child: from here on every error reaches the waiting parent through the pipe.
    status_read.reset();
    daemon.startup_pipe = status_write.release();
    if (::setsid() < 0)
        throw errno_error("Create daemon session");
    // The session leader is about to go; a hang-up of the old terminal must not end the daemon.
    std::signal(SIGHUP, SIG_IGN);
    pid_t const detached = ::fork();
    if (detached < 0)
        throw errno_error("Fork detached daemon");
    if (detached > 0)
        ::_exit(0);

    if (::dup2(null.get(), STDIN_FILENO) < 0 || ::dup2(log.get(), STDOUT_FILENO) < 0 ||
        ::dup2(log.get(), STDERR_FILENO) < 0)
        throw errno_error("Redirect daemon standard streams");
    take_pid_file(daemon, options);
    log_line("Daemon PID " + std::to_string(::getpid()) + " starting");
}

std::string kill_daemon(Options const& options)
{
    UniqueFd file(::open(options.pid_file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (file.get() < 0) {
        if (errno == ENOENT)
            return no_daemon_running(options);
        throw errno_error("Open daemon PID file");
    }
    file.reset(above_standard_streams(file.release(), "Open daemon PID file"));
    check_pid_file(file.get());

    int const owner = pid_file_lock_owner(file.get());
    if (owner == 0)
        return no_daemon_running(options);
    if (owner < 2)
        throw std::runtime_error("Invalid daemon lock owner");

    // From here on the daemon may end by itself at any moment and its PID be reused: every
    // doubt is settled by asking the lock again, and the signal goes through a handle that
    // stays bound to the process we checked.
    UniqueFd process(open_process_handle(owner));
    if (process.get() < 0) {
        if (errno == ESRCH)
            return no_daemon_running(options);
        throw errno_error("Open daemon process handle");
    }
    process.reset(above_standard_streams(process.release(), "Open daemon process handle"));
    auto const still_owner = [&] { return pid_file_lock_owner(file.get()) == owner; };
    if (!still_owner())
        return no_daemon_running(options);

    if (!pid_file_names(file.get(), owner)) {
        if (!still_owner())
            return no_daemon_running(options);
        throw std::runtime_error("Daemon PID file does not match its lock owner; refusing to signal");
    }

    std::string ours, theirs;
    try {
        ours = process_executable(::getpid());
        theirs = process_executable(owner);
    } catch (std::exception const&) {
        if (!still_owner())
            return no_daemon_running(options);
        throw;
    }
    if (ours != theirs)
        throw std::runtime_error("PID file is held by another executable; refusing to signal");
    if (!still_owner())
        return no_daemon_running(options);

    if (signal_process_handle(process.get(), SIGTERM) != 0) {
        if (errno == ESRCH)
            return no_daemon_running(options);
        throw errno_error("Request daemon shutdown");
    }

    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        auto const remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (remaining.count() < 1)
            throw std::runtime_error("SIGTERM sent, but daemon did not exit within ten seconds");
        pollfd exited{process.get(), POLLIN, 0};
        int const ready = ::poll(&exited, 1, static_cast<int>(remaining.count()));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            throw errno_error("Wait for daemon shutdown");
        }
        if (ready > 0)
            return "Stopped daemon PID " + std::to_string(owner) + "\n";
    }
}
