#include "tests/support/run_process.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <string>

namespace {

TEST(RunProcess, FeedsStandardInputAndCollectsBothStreams) {
  // Larger than any pipe buffer, so the runner must write and read at the same time.
  ProcessRun run;
  run.argv = {"cat"};
  run.stdin_text.assign(1 << 20, 'x');
  ProcessResult result = run_process(run);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.out, run.stdin_text);
  EXPECT_EQ(result.err, "");

  result = run_process({"ls", "/no/such/path/at/all"});
  EXPECT_NE(result.exit_status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("/no/such/path/at/all"), std::string::npos);
}

TEST(RunProcess, ReportsExitStatusAndSignal) {
  EXPECT_EQ(run_process({"false"}).exit_status, 1);

  ProcessRun run;
  run.argv = {"sleep", "30"};
  run.timeout_ms = 50;
  ProcessResult killed = run_process(run);
  EXPECT_TRUE(killed.timed_out);
  EXPECT_EQ(killed.exit_status, -1);
  EXPECT_EQ(killed.term_signal, SIGKILL);
}

TEST(RunProcess, PassesEnvironmentDirectoryAndOutputFile) {
  ProcessRun run;
  run.argv = {"env"};
  run.env = std::vector<std::string>{"ONLY=1"};
  EXPECT_EQ(run_process(run).out, "ONLY=1\n");

  run.env = environment_with({"ADDED=2"}, {"PATH"});
  std::string out = run_process(run).out;
  EXPECT_NE(out.find("ADDED=2\n"), std::string::npos);
  EXPECT_EQ(("\n" + out).find("\nPATH="), std::string::npos);

  run = ProcessRun{};
  run.argv = {"pwd"};
  run.working_directory = "/";
  EXPECT_EQ(run_process(run).out, "/\n");

  // Writing to a full device fails in the child, which reports it.
  run = ProcessRun{};
  run.argv = {"echo", "text"};
  run.stdout_file = "/dev/full";
  ProcessResult result = run_process(run);
  EXPECT_NE(result.exit_status, 0);
  EXPECT_EQ(result.out, "");
}

TEST(RunProcess, ChildDoesNotInheritIgnoredSigpipe) {
  // With SIGPIPE ignored, `yes` would see EPIPE once `head` has gone and complain on standard
  // error; with the default action it ends silently.
  std::signal(SIGPIPE, SIG_IGN);
  ProcessResult result = run_process({"sh", "-c", "yes | head -c 1 >/dev/null"});
  std::signal(SIGPIPE, SIG_DFL);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.err, "");
}

TEST(RunProcess, RefusesAProgramThatCannotStart) {
  EXPECT_THROW(run_process({"/no/such/program"}), std::runtime_error);
}

}  // namespace
