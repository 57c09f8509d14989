#include "app/stop_signals.hpp"

#include <signal.h>
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

}  // namespace
