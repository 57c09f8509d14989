#pragma once

#include <atomic>

// Set to 1 by the SIGINT/SIGTERM handler, polled (never reset) by the run loops. The handler
// and several threads touch it at once, so it must be a lock-free atomic: only lock-free
// atomics may be stored from a signal handler.
static_assert(std::atomic<int>::is_always_lock_free, "the stop flag must be signal-safe");

inline std::atomic<int> stop_requested{0};
