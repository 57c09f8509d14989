#pragma once

// The SIGINT/SIGTERM handler: stores 1 in stop_requested and returns; the owner of the run
// does the orderly shutdown.
void request_stop(int signal);

// Points SIGINT and SIGTERM at request_stop.
void install_stop_signals();

// Ignores SIGPIPE for the whole process, so that a write to a closed pipe or socket fails
// with EPIPE where the caller can report it, instead of killing the daemon. Called first
// thing in main.
void ignore_broken_pipes();

// For a child process between fork and exec: puts SIGPIPE, SIGHUP, SIGINT and SIGTERM back to
// their default action and unblocks every signal, so that a spawned program does not inherit
// the daemon's ignored SIGPIPE and SIGHUP (dispositions set to SIG_IGN survive exec).
// Async-signal-safe.
// Spawners using posix_spawn get the same with posix_spawnattr_setsigdefault and
// POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK.
void restore_child_signals();
