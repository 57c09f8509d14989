#include "tests/support/background_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

BackgroundProcess::BackgroundProcess(std::vector<std::string> const& argv, std::vector<std::string> const& env,
                                     std::string const& stdout_file)
{
    int err_pipe[2];
    if (::pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> args;
    for (std::string const& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string const& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int const result = ::posix_spawnp(&pid_, argv[0].c_str(), &actions, &attributes, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(err_pipe[1]);
    if (result != 0) {
        ::close(err_pipe[0]);
        throw std::runtime_error("Cannot start " + argv[0] + ": " + std::strerror(result));
    }
    reader_ = std::thread([this, fd = err_pipe[0]] { read_errors(fd); });
}

BackgroundProcess::~BackgroundProcess()
{
    stop(SIGTERM);
    reader_.join();
}

int BackgroundProcess::stop(int signal_number)
{
    if (!reaped_) {
        ::kill(pid_, signal_number);
        while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
    }
    return status_;
}

bool BackgroundProcess::wait_exit(std::chrono::milliseconds timeout, int& status)
{
    auto const deadline = std::chrono::steady_clock::now() + timeout;
    while (!reaped_) {
        pid_t const done = ::waitpid(pid_, &status_, WNOHANG);
        if (done == pid_) {
            reaped_ = true;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    status = status_;
    return true;
}

bool BackgroundProcess::wait_for_error_text(std::string const& text, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return errors_.find(text) != std::string::npos || closed_; })
           && errors_.find(text) != std::string::npos;
}

std::string BackgroundProcess::errors() const
{
    std::scoped_lock lock(mutex_);
    return errors_;
}

void BackgroundProcess::read_errors(int fd)
{
    char buffer[4096];
    while (true) {
        ssize_t const n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        std::scoped_lock lock(mutex_);
        if (n <= 0) {
            closed_ = true;
            changed_.notify_all();
            break;
        }
        errors_.append(buffer, static_cast<std::size_t>(n));
        changed_.notify_all();
    }
    ::close(fd);
}
