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
