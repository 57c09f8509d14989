#include "app/stop_signals.hpp"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "core/stop_flag.hpp"

namespace {

TEST(StopSignals, InterruptAndTerminateOnlySetTheFlag) {
  install_stop_signals();
  for (int signal : {SIGINT, SIGTERM}) {
    stop_requested.store(0);
    ASSERT_EQ(::raise(signal), 0);  // the process survives to look
    EXPECT_EQ(stop_requested.load(), 1) << signal;
  }
  stop_requested.store(0);
}

TEST(StopSignals, BrokenPipeIsAnErrorNotDeath) {
  ignore_broken_pipes();
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  ::close(pipe_fds[0]);
  errno = 0;
  EXPECT_EQ(::write(pipe_fds[1], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  ::close(pipe_fds[1]);
}

TEST(StopSignals, ChildrenGetDefaultDispositionsBack) {
  ignore_broken_pipes();
  install_stop_signals();
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  ASSERT_EQ(::sigprocmask(SIG_BLOCK, &blocked, nullptr), 0);

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    restore_child_signals();
    int wrong = 0;
    for (int signal : {SIGPIPE, SIGHUP, SIGINT, SIGTERM}) {
      struct sigaction now {};
      ::sigaction(signal, nullptr, &now);
      if (now.sa_handler != SIG_DFL) ++wrong;
    }
    sigset_t mask;
    ::sigprocmask(SIG_SETMASK, nullptr, &mask);
    if (sigismember(&mask, SIGUSR1)) ++wrong;
    ::_exit(wrong);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::sigprocmask(SIG_UNBLOCK, &blocked, nullptr);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
