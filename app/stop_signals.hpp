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
