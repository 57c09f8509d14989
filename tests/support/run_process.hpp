#pragma once

#include <optional>
#include <string>
#include <vector>

// Runs a program as a real child process (posix_spawn, no shell) and collects what it wrote.
// The child gets the signal dispositions a program expects (SIGPIPE at its default, nothing
// blocked) whatever the test process has set up.

struct ProcessRun {
  std::vector<std::string> argv;                 // argv[0] is the program; searched in PATH without a "/"
  std::optional<std::vector<std::string>> env;   // "NAME=value" entries; nullopt inherits ours
  std::string stdin_text;                        // written to the child's standard input, then closed
  std::string working_directory;                 // empty: ours
  std::string stdout_file;                       // when set, standard output goes to this file
                                                 // (opened for writing) and `out` stays empty
  int timeout_ms = 60000;                        // the child is killed (SIGKILL) after this long
};

struct ProcessResult {
  int exit_status = -1;  // the status passed to exit, or -1 when a signal ended the child
  int term_signal = 0;   // the signal that ended the child, 0 when it exited
  bool timed_out = false;
  std::string out;       // everything written to standard output
  std::string err;       // everything written to standard error
};

// Throws std::runtime_error when the child cannot be started at all.
ProcessResult run_process(const ProcessRun& run);

// The common case: our environment and directory, nothing on standard input.
ProcessResult run_process(std::vector<std::string> argv);

// Our environment with the given "NAME=value" entries added or replacing the same name, and the
// names listed in `remove` left out.
std::vector<std::string> environment_with(const std::vector<std::string>& overrides,
                                          const std::vector<std::string>& remove = {});
