#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

// The file actions of one posix_spawn call. Construction does not throw: callers check
// init_error() and turn a failure into their own message or result.
class SpawnFileActions {
public:
    SpawnFileActions() : init_error_(posix_spawn_file_actions_init(&actions_)) {}
    SpawnFileActions(SpawnFileActions const&) = delete;
    SpawnFileActions& operator=(SpawnFileActions const&) = delete;
    ~SpawnFileActions()
    {
        if (init_error_ == 0)
            posix_spawn_file_actions_destroy(&actions_);
    }

    // 0 when usable, else the error number of the failed initialisation.
    int init_error() const { return init_error_; }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
    int init_error_;
};

// The attributes of one posix_spawn call; see SpawnFileActions for the error convention.
class SpawnAttributes {
public:
    SpawnAttributes() : init_error_(posix_spawnattr_init(&attributes_)) {}
    SpawnAttributes(SpawnAttributes const&) = delete;
    SpawnAttributes& operator=(SpawnAttributes const&) = delete;
    ~SpawnAttributes()
    {
        if (init_error_ == 0)
            posix_spawnattr_destroy(&attributes_);
    }

    int init_error() const { return init_error_; }
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_{};
    int init_error_;
};

// Standard input from /dev/null, standard output and error into the pipe's write end, and
// neither pipe end left open in the child beyond that. Returns 0 or the error number.
inline int route_child_output(posix_spawn_file_actions_t* actions, int read_fd, int write_fd)
{
    int result = posix_spawn_file_actions_addopen(actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (result == 0)
        result = posix_spawn_file_actions_adddup2(actions, write_fd, STDOUT_FILENO);
    if (result == 0)
        result = posix_spawn_file_actions_adddup2(actions, write_fd, STDERR_FILENO);
    for (int fd : {read_fd, write_fd}) {
        if (result == 0 && fd > STDERR_FILENO)
            result = posix_spawn_file_actions_addclose(actions, fd);
    }
    return result;
}

// Signals the daemon ignores (SIGPIPE above all) would stay ignored across exec: the child
// gets every signal at its default action and none blocked, whichever thread spawned it.
// more_flags are further POSIX_SPAWN_* flags the caller sets up itself. Returns 0 or the
// error number.
inline int reset_child_signals(posix_spawnattr_t* attributes, short more_flags = 0)
{
    sigset_t every;
    sigfillset(&every);
    sigset_t none;
    sigemptyset(&none);
    int result = posix_spawnattr_setflags(
        attributes, static_cast<short>(POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | more_flags));
    if (result == 0)
        result = posix_spawnattr_setsigdefault(attributes, &every);
    if (result == 0)
        result = posix_spawnattr_setsigmask(attributes, &none);
    return result;
}

// The child in a process group of its own, so that whatever it starts in turn can be ended
// with it (kill_and_reap with KillScope::process_group), and with its signals reset as
// reset_child_signals does. Returns 0 or the error number.
inline int start_own_process_group(posix_spawnattr_t* attributes)
{
    int result = reset_child_signals(attributes, POSIX_SPAWN_SETPGROUP);
    if (result == 0)
        result = posix_spawnattr_setpgroup(attributes, 0);
    return result;
}

// 1 once the child has exited, 0 while it runs, -1 with errno set when it cannot be asked. An
// exited child is left unreaped: its process group can still be killed safely, because the
// identifier cannot go to another process before the child is reaped.
inline int child_has_exited(pid_t pid)
{
    siginfo_t info{};
    for (;;) {
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0)
            return info.si_pid == pid ? 1 : 0;
        if (errno != EINTR)
            return -1;
    }
}

enum class KillScope { process, process_group };

// Kills the child (or the process group it leads) and reaps it; returns its wait status.
// A group is killed while its leader is still unreaped, so the identifier cannot have been
// handed to another process yet.
inline int kill_and_reap(pid_t pid, KillScope scope)
{
    ::kill(scope == KillScope::process_group ? -pid : pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}
