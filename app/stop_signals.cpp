#include "app/stop_signals.hpp"

#include <csignal>

#include "core/stop_flag.hpp"

void request_stop(int /*signal*/) {
  stop_requested.store(1, std::memory_order_relaxed);
}

void install_stop_signals() {
  std::signal(SIGINT, request_stop);
  std::signal(SIGTERM, request_stop);
}

void ignore_broken_pipes() {
  std::signal(SIGPIPE, SIG_IGN);
}

void restore_child_signals() {
  // Only async-signal-safe calls: this runs in a forked child of a possibly threaded process.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  for (int signal : {SIGPIPE, SIGHUP, SIGINT, SIGTERM}) {
    sigaction(signal, &fallback, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}
