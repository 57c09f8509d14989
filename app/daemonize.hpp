#pragma once

// Detaching as a daemon and stopping one (--daemon, --kill).

#include <string>

#include "core/daemon.hpp"

struct Options;

// With --daemon: detaches (two forks and a new session), takes the PID file's write lock and
// turns standard output and error into the log file, then returns in the detached process
// only. The command that started it waits until the daemon reports through the start-up pipe
// and ends there: "Daemon started: PID ..." and status 0, or "Error: ..." and status 1. Must
// run before any other thread exists. Without --daemon it does nothing. That the log and the PID
// file differ from each other and from every other file of the run is checked before, with the
// other run files (app/run_file_checks.hpp).
void daemonize(Daemon& daemon, Options const& options);

// --kill: sends SIGTERM to the daemon that holds the PID file's lock, once it is sure that the
// holder is the process the file names and runs this same program, and waits up to ten seconds
// for it to exit. Returns the line for standard output: "Stopped daemon PID ...", or "No daemon
// is running ..." when there is none, which is no error.
std::string kill_daemon(Options const& options);
