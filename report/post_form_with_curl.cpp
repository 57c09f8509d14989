#include "report/post_form_with_curl.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "core/spawn_support.hpp"
#include "core/unique_fd.hpp"

extern char** environ;

namespace {

constexpr std::size_t output_limit = 4096;
constexpr auto upload_deadline = std::chrono::seconds(12);
constexpr int poll_ms = 50;

// Standard input from /dev/null, standard output and error into the pipe; every signal at its
// default action and none blocked, whatever the daemon ignores (SIGPIPE) or the uploading
// thread blocks.
bool prepare_spawn(SpawnFileActions& actions, SpawnAttributes& attributes, int read_fd, int write_fd)
{
    if (actions.init_error() != 0 || attributes.init_error() != 0)
        return false;
    return route_child_output(actions.get(), read_fd, write_fd) == 0 &&
           reset_child_signals(attributes.get()) == 0;
}

enum class Drain { open, closed, too_long };

// Reads what the pipe holds now. Past the limit the answer is no longer one worth trusting.
Drain drain_pipe(int fd, std::string& output)
{
    char piece[1024];
    for (;;) {
        ssize_t const got = ::read(fd, piece, sizeof piece);
        if (got > 0) {
            if (output.size() + static_cast<std::size_t>(got) > output_limit)
                return Drain::too_long;
            output.append(piece, static_cast<std::size_t>(got));
            continue;
        }
        if (got == 0)
            return Drain::closed;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? Drain::open : Drain::closed;
    }
}

// What is left once curl has ended; pieces that would pass the limit are left out.
void drain_rest(int fd, std::string& output)
{
    char piece[1024];
    for (;;) {
        ssize_t const got = ::read(fd, piece, sizeof piece);
        if (got > 0) {
            if (output.size() + static_cast<std::size_t>(got) <= output_limit)
                output.append(piece, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return;
    }
}

}  // namespace

bool post_form_with_curl(std::string const& url, std::string const& body, std::atomic<bool> const& stop)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    UniqueFd read_end(ends[0]);
    UniqueFd write_end(ends[1]);

    SpawnFileActions actions;
    SpawnAttributes attributes;
    if (!prepare_spawn(actions, attributes, read_end.get(), write_end.get()))
        return false;
    std::vector<std::string> arguments = {"/usr/bin/curl", "--silent", "--show-error", "--fail", "--connect-timeout",
                                          "5", "--max-time", "10", "--data", body, url};
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, "/usr/bin/curl", actions.get(), attributes.get(), argv.data(), environ) != 0)
        return false;
    auto const deadline = std::chrono::steady_clock::now() + upload_deadline;

    write_end.reset();
    int const flags = ::fcntl(read_end.get(), F_GETFL);
    if (flags < 0 || ::fcntl(read_end.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        kill_and_reap(pid, KillScope::process);
        return false;
    }
    // Waking on the child's exit too: curl closes its output before it is reaped.
    UniqueFd const exit_fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));

    std::string output;
    bool pipe_open = true;
    int status = 0;
    for (;;) {
        if (pipe_open) {
            Drain const drained = drain_pipe(read_end.get(), output);
            if (drained == Drain::too_long) {
                kill_and_reap(pid, KillScope::process);
                return false;
            }
            pipe_open = drained == Drain::open;
        }
        if (stop.load() || std::chrono::steady_clock::now() >= deadline) {
            kill_and_reap(pid, KillScope::process);
            return false;
        }
        pid_t const waited = ::waitpid(pid, &status, WNOHANG);
        if (waited == pid)
            break;
        if (waited < 0 && errno != EINTR)
            return false;
        pollfd watched[2];
        nfds_t count = 0;
        if (pipe_open)
            watched[count++] = {read_end.get(), POLLIN, 0};
        if (exit_fd.get() >= 0)
            watched[count++] = {exit_fd.get(), POLLIN, 0};
        ::poll(watched, count, poll_ms);
    }
    drain_rest(read_end.get(), output);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && output.find("spot(s) added") != std::string::npos;
}
