#include "tests/support/run_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace {

std::runtime_error system_error(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// Closes on every way out, so a failed start leaks no descriptor into later tests.
struct Fd {
  int fd = -1;
  ~Fd() { reset(); }
  void reset() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

std::vector<char*> c_strings(const std::vector<std::string>& texts) {
  std::vector<char*> result;
  result.reserve(texts.size() + 1);
  for (const std::string& text : texts) result.push_back(const_cast<char*>(text.c_str()));
  result.push_back(nullptr);
  return result;
}

std::string name_of(const std::string& entry) {
  return entry.substr(0, entry.find('='));
}

}  // namespace

std::vector<std::string> environment_with(const std::vector<std::string>& overrides,
                                          const std::vector<std::string>& remove) {
  std::vector<std::string> result;
  auto dropped = [&](const std::string& name) {
    for (const std::string& r : remove)
      if (r == name) return true;
    for (const std::string& o : overrides)
      if (name_of(o) == name) return true;
    return false;
  };
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    if (!dropped(name_of(text))) result.push_back(text);
  }
  result.insert(result.end(), overrides.begin(), overrides.end());
  return result;
}

ProcessResult run_process(const ProcessRun& run) {
  if (run.argv.empty()) throw std::runtime_error("run_process needs a program");

  // Standard input is a socket pair rather than a pipe so that feeding a child that already
  // exited gives EPIPE through MSG_NOSIGNAL instead of a SIGPIPE in the test process.
  Fd in_parent, in_child, out_read, out_write, err_read, err_write, out_file;
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throw system_error("socketpair");
  in_parent.fd = pair[0];
  in_child.fd = pair[1];
  // Our end never blocks: a child that is busy writing must not stall us while we feed it.
  ::fcntl(in_parent.fd, F_SETFL, ::fcntl(in_parent.fd, F_GETFL) | O_NONBLOCK);
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw system_error("pipe");
  out_read.fd = pipe_fds[0];
  out_write.fd = pipe_fds[1];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw system_error("pipe");
  err_read.fd = pipe_fds[0];
  err_write.fd = pipe_fds[1];

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_child.fd, STDIN_FILENO);
  if (!run.stdout_file.empty()) {
    out_file.fd = ::open(run.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out_file.fd < 0) {
      posix_spawn_file_actions_destroy(&actions);
      throw system_error("Cannot open " + run.stdout_file);
    }
    out_read.reset();
    out_write.reset();
  }
  posix_spawn_file_actions_adddup2(&actions, run.stdout_file.empty() ? out_write.fd : out_file.fd,
                                   STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_write.fd, STDERR_FILENO);
  if (!run.working_directory.empty())
    posix_spawn_file_actions_addchdir_np(&actions, run.working_directory.c_str());

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGHUP, SIGINT, SIGTERM, SIGQUIT}) sigaddset(&defaults, signal);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  std::vector<char*> argv = c_strings(run.argv);
  std::vector<char*> envp = run.env ? c_strings(*run.env) : std::vector<char*>{};
  pid_t pid = -1;
  int spawned = ::posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(),
                               run.env ? envp.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    errno = spawned;
    throw system_error("Cannot start " + run.argv[0]);
  }
  in_child.reset();
  out_write.reset();
  err_write.reset();
  out_file.reset();

  ProcessResult result;
  std::size_t written = 0;
  if (run.stdin_text.empty()) in_parent.reset();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(run.timeout_ms);
  while (out_read.fd >= 0 || err_read.fd >= 0) {
    pollfd fds[3] = {{out_read.fd, POLLIN, 0}, {err_read.fd, POLLIN, 0}, {in_parent.fd, POLLOUT, 0}};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                      std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      result.timed_out = true;
      break;
    }
    int ready = ::poll(fds, 3, static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      throw system_error("poll");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      Fd& source = i == 0 ? out_read : err_read;
      char buffer[65536];
      ssize_t n = ::read(source.fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        source.reset();
      }
    }
    if (fds[2].revents != 0) {
      ssize_t n = ::send(in_parent.fd, run.stdin_text.data() + written, run.stdin_text.size() - written,
                         MSG_NOSIGNAL);
      if (n > 0) written += static_cast<std::size_t>(n);
      if ((n < 0 && errno != EINTR && errno != EAGAIN) || written == run.stdin_text.size()) {
        in_parent.reset();  // done, or the child stopped reading: it sees end of file either way
      }
    }
  }

  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw system_error("waitpid");
  }
  if (WIFEXITED(status)) {
    result.exit_status = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.term_signal = WTERMSIG(status);
  }
  return result;
}

ProcessResult run_process(std::vector<std::string> argv) {
  ProcessRun run;
  run.argv = std::move(argv);
  return run_process(run);
}
