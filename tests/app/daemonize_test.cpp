// The start-up pipe and PID-file record, the detached start and --kill: what a waiting parent
// reads, what is left behind, and which processes a stop request may reach.
#include "app/daemonize.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/options.hpp"
#include "testbed/lib/paced_iq_stream.hpp"
#include "testbed/lib/rtl_tcp_server.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

// Everything written to the pipe until its last write end closes.
std::string read_all(int fd)
{
    std::string text;
    char buffer[256];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    ::close(fd);
    return text;
}

struct Pipe {
    int read_end = -1;
    int write_end = -1;
    Pipe()
    {
        int ends[2];
        EXPECT_EQ(::pipe(ends), 0);
        read_end = ends[0];
        write_end = ends[1];
    }
};

TEST(Daemon, ReadySendsSAndThePidOnceAndClosesThePipe)
{
    Pipe pipe;
    {
        Daemon daemon;
        daemon.startup_pipe = pipe.write_end;
        daemon.ready();
        EXPECT_EQ(daemon.startup_pipe, -1);
        daemon.ready();  // nothing more to say
    }
    EXPECT_EQ(read_all(pipe.read_end), "S" + std::to_string(::getpid()));
}

TEST(Daemon, EndingBeforeReadyTellsTheWaitingParent)
{
    Pipe pipe;
    {
        Daemon daemon;
        daemon.startup_pipe = pipe.write_end;
    }
    std::string const status = read_all(pipe.read_end);
    EXPECT_EQ(status, "EDaemon exited before startup completed");
    EXPECT_EQ(status.size(), 39u);
}

TEST(Daemon, AnErrorStatusIsTheOnlyMessage)
{
    Pipe pipe;
    {
        Daemon daemon;
        daemon.startup_pipe = pipe.write_end;
        std::string const message = "ECannot open IQ input";
        daemon.send_status(message.data(), message.size());
        daemon.ready();
    }
    EXPECT_EQ(read_all(pipe.read_end), "ECannot open IQ input");
}

TEST(Daemon, AParentThatWentAwayIsNoFailure)
{
    // The program ignores SIGPIPE from its first line on; the write then fails with EPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    Pipe pipe;
    ::close(pipe.read_end);
    Daemon daemon;
    daemon.startup_pipe = pipe.write_end;
    daemon.ready();
    EXPECT_EQ(daemon.startup_pipe, -1);
}

TEST(Daemon, EndingEmptiesThePidFileWithoutRemovingIt)
{
    TempDir tmp;
    auto const path = tmp.write_file("norvane.pid", "norvane 4242\n");
    {
        Daemon daemon;
        daemon.pid_fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(daemon.pid_fd, 0);
    }
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
}

// 0 when the file is unlocked, else the PID of the process holding a write-conflicting lock.
int lock_owner(std::filesystem::path const& path)
{
    int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    int const result = ::fcntl(fd, F_GETLK, &lock);
    ::close(fd);
    if (result != 0)
        return -1;
    return lock.l_type == F_UNLCK ? 0 : lock.l_pid;
}

// The parent's command ends as soon as it reads the failure, so the PID file must already be
// free by then: the failing process here is held back after reporting and checked while it
// still runs.
TEST(Daemon, AFailedStartFreesThePidFileBeforeTheParentHearsOfIt)
{
    TempDir tmp;
    auto const path = tmp.write_file("norvane.pid", "");
    Pipe status;
    Pipe hold;
    pid_t const child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(status.read_end);
        ::close(hold.write_end);
        int const fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (fd < 0 || ::fcntl(fd, F_SETLK, &lock) != 0 || ::write(fd, "norvane 1\n", 10) != 10)
            ::_exit(3);
        Daemon daemon;
        daemon.startup_pipe = status.write_end;
        daemon.pid_fd = fd;
        std::string const message = "ECannot open IQ input";
        daemon.fail(message.data(), message.size());
        char byte = 0;
        while (::read(hold.read_end, &byte, 1) < 0 && errno == EINTR) {
        }
        ::_exit(daemon.startup_pipe == -1 && daemon.pid_fd == -1 ? 0 : 4);
    }
    ::close(status.write_end);
    ::close(hold.read_end);
    EXPECT_EQ(read_all(status.read_end), "ECannot open IQ input");
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_EQ(lock_owner(path), 0);
    ::close(hold.write_end);
    int child_status = 0;
    while (::waitpid(child, &child_status, 0) < 0 && errno == EINTR) {
    }
    EXPECT_TRUE(WIFEXITED(child_status) && WEXITSTATUS(child_status) == 0) << child_status;
}

// A forked copy of this test program that holds the write lock on a PID file, as a daemon
// would, until it is signalled. Its content is written by the holder itself: "norvane" and its
// own PID unless the test asks for other text.
class LockHolder {
public:
    LockHolder(std::filesystem::path const& path, bool ignore_term, std::string const& content = {})
    {
        int ready[2];
        EXPECT_EQ(::pipe2(ready, O_CLOEXEC), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            if (ignore_term)
                std::signal(SIGTERM, SIG_IGN);
            int const fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            struct flock lock {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            if (fd < 0 || ::fcntl(fd, F_SETLK, &lock) != 0)
                ::_exit(3);
            char text[64];
            int length = 0;
            if (content.empty())
                length = std::snprintf(text, sizeof text, "norvane %ld\n", static_cast<long>(::getpid()));
            if (::ftruncate(fd, 0) != 0 ||
                (content.empty() ? ::write(fd, text, static_cast<std::size_t>(length))
                                 : ::write(fd, content.data(), content.size())) < 0 ||
                ::write(ready[1], "R", 1) != 1)
                ::_exit(4);
            for (;;)
                ::pause();
        }
        ::close(ready[1]);
        char byte = 0;
        EXPECT_EQ(::read(ready[0], &byte, 1), 1) << "the lock holder did not start";
        ::close(ready[0]);
    }

    ~LockHolder()
    {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            wait();
        }
    }

    pid_t pid() const { return pid_; }

    // The signal that ended the holder, after waiting for it to end.
    int wait()
    {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

Options kill_options(std::filesystem::path const& pid_file)
{
    Options options;
    options.kill = true;
    options.pid_file = pid_file.string();
    return options;
}

TEST(KillDaemon, StopsTheHolderOfThePidFileLock)
{
    TempDir tmp;
    auto const path = tmp / "norvane.pid";
    LockHolder holder(path, false);
    EXPECT_EQ(kill_daemon(kill_options(path)), "Stopped daemon PID " + std::to_string(holder.pid()) + "\n");
    EXPECT_EQ(holder.wait(), SIGTERM);
}

TEST(KillDaemon, NothingToStopIsNoError)
{
    TempDir tmp;
    auto const path = tmp / "norvane.pid";
    std::string const none = "No daemon is running (PID file: " + path.string() + ")\n";
    EXPECT_EQ(kill_daemon(kill_options(path)), none);  // no file
    tmp.write_file("norvane.pid", "norvane 4242\n");
    EXPECT_EQ(kill_daemon(kill_options(path)), none);  // nobody holds its lock
    EXPECT_EQ(file_text(path), "norvane 4242\n");
}

class KillDaemonContent : public testing::TestWithParam<std::string> {};

TEST_P(KillDaemonContent, AFileThatDoesNotNameItsLockOwnerIsNotSignalled)
{
    TempDir tmp;
    auto const path = tmp / "norvane.pid";
    LockHolder holder(path, false, GetParam());
    try {
        kill_daemon(kill_options(path));
        ADD_FAILURE() << "signalled despite " << GetParam();
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "Daemon PID file does not match its lock owner; refusing to signal");
    }
    EXPECT_EQ(lock_owner(path), holder.pid());  // still running
}

INSTANTIATE_TEST_SUITE_P(Contents, KillDaemonContent,
                         testing::Values("norvane 1\n", " \n", "norvane\n", "other 1\n", "norvane 12abc\n",
                                         "norvane 99999999999999999999\n"));

TEST(KillDaemon, ExtraWordsAfterTheOwnersPidAreRefused)
{
    TempDir tmp;
    auto const path = tmp / "norvane.pid";
    // The holder writes "norvane" and its own PID; the extra word comes after.
    LockHolder holder(path, false);
    std::ofstream(path, std::ios::app) << "extra\n";
    EXPECT_THROW(
        {
            try {
                kill_daemon(kill_options(path));
            } catch (std::runtime_error const& error) {
                EXPECT_STREQ(error.what(), "Daemon PID file does not match its lock owner; refusing to signal");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_EQ(lock_owner(path), holder.pid());
}

TEST(KillDaemon, ADaemonThatIgnoresTheStopRequestIsReportedAfterTenSeconds)
{
    TempDir tmp;
    auto const path = tmp / "norvane.pid";
    LockHolder holder(path, true);
    try {
        kill_daemon(kill_options(path));
        ADD_FAILURE() << "reported as stopped";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "SIGTERM sent, but daemon did not exit within ten seconds");
    }
    EXPECT_EQ(lock_owner(path), holder.pid());
}

// The whole program: norvane started detached against a live rtl_tcp stand-in, in a directory
// of its own (the PID and log files are relative to it).
class DaemonProgram : public testing::Test {
protected:
    ProcessResult norvane(std::vector<std::string> const& arguments) const
    {
        ProcessRun run;
        run.argv = {NORVANE_EXE};
        run.argv.insert(run.argv.end(), arguments.begin(), arguments.end());
        run.working_directory = tmp.path().string();
        run.timeout_ms = 60000;
        return run_process(run);
    }

    std::vector<std::string> daemon_arguments(int port, std::vector<std::string> extra = {}) const
    {
        std::vector<std::string> arguments = {"--daemon",        "--mode",       "decoder",    "--backend",
                                              "rtl-sdr",         "--rtl-port",   std::to_string(port),
                                              "--sample-rate",   "240000",       "--frequencies", "14.074M",
                                              "--all-txt",       (tmp / "ALL.TXT").string()};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    }

    TempDir tmp;
};

// A port on loopback where nothing accepts: bound, never listening, so connects are refused.
class RefusingPort {
public:
    RefusingPort()
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port_ = ntohs(address.sin_port);
    }
    ~RefusingPort() { ::close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

TEST_F(DaemonProgram, StartsDetachedRefusesASecondStartAndStopsOnKill)
{
    testbed::RtlTcpServerScript script;
    script.generator = testbed::paced_iq_generator({{}, 240000, 0.0});
    testbed::RtlTcpServer server(std::move(script));

    ProcessResult const started = norvane(daemon_arguments(server.port()));
    ASSERT_EQ(started.exit_status, 0) << started.err;
    EXPECT_EQ(started.err, "");
    std::string const prefix = "Daemon started: PID ";
    ASSERT_EQ(started.out.rfind(prefix, 0), 0u) << started.out;
    std::string const pid = started.out.substr(prefix.size(), started.out.find(';') - prefix.size());
    EXPECT_EQ(started.out, prefix + pid + "; log: norvane.log\n");
    auto const pid_file = tmp / "norvane.pid";
    EXPECT_EQ(file_text(pid_file), "norvane " + pid + "\n");
    EXPECT_EQ(std::to_string(lock_owner(pid_file)), pid);
    EXPECT_EQ(std::filesystem::status(pid_file).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    // The same PID file again: refused by the detached process, reported by its parent.
    RefusingPort unused;
    ProcessResult const second = norvane(daemon_arguments(unused.port()));
    EXPECT_EQ(second.exit_status, 1);
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(second.err, "Error: A daemon already holds the PID file: norvane.pid\n");
    EXPECT_EQ(file_text(pid_file), "norvane " + pid + "\n");

    ProcessResult const stopped = norvane({"--kill"});
    EXPECT_EQ(stopped.exit_status, 0) << stopped.err;
    EXPECT_EQ(stopped.out, "Stopped daemon PID " + pid + "\n");
    EXPECT_TRUE(std::filesystem::exists(pid_file));
    EXPECT_EQ(std::filesystem::file_size(pid_file), 0u);
    EXPECT_EQ(lock_owner(pid_file), 0);

    std::string const log = file_text(tmp / "norvane.log");
    EXPECT_NE(log.find("Daemon PID " + pid + " starting\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Error: A daemon already holds the PID file: norvane.pid\n"), std::string::npos) << log;

    ProcessResult const again = norvane({"--kill"});
    EXPECT_EQ(again.exit_status, 0);
    EXPECT_EQ(again.out, "No daemon is running (PID file: norvane.pid)\n");
}

TEST_F(DaemonProgram, AFailureAfterDetachingReachesTheWaitingCommand)
{
    RefusingPort unused;
    std::string const port = std::to_string(unused.port());
    std::string const message = "Cannot connect to rtl_tcp at 127.0.0.1:" + port +
                                "; start the external server with rtl_tcp -a HOST -p PORT -d INDEX_OR_SERIAL";
    ProcessResult const result = norvane(daemon_arguments(unused.port()));
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error: " + message + "\n");
    std::string const log = file_text(tmp / "norvane.log");
    EXPECT_NE(log.find("Error: " + message + "\n"), std::string::npos) << log;
    // It held the lock, so it leaves the file empty and unlocked.
    EXPECT_EQ(std::filesystem::file_size(tmp / "norvane.pid"), 0u);
    EXPECT_EQ(lock_owner(tmp / "norvane.pid"), 0);
}

TEST_F(DaemonProgram, ALongErrorIsCutForTheParentAndWholeInTheLog)
{
    // A PID file path long enough that the refusal naming it is 3000 bytes.
    std::string const lead = "A daemon already holds the PID file: ";
    std::string relative;
    while (relative.size() + 200 < 3000 - lead.size())
        relative += std::string(199, 'd') + "/";
    std::filesystem::create_directories(tmp / relative);
    relative += std::string(3000 - lead.size() - relative.size(), 'p');
    std::string const message = lead + relative;
    ASSERT_EQ(message.size(), 3000u);
    LockHolder holder(tmp / relative, false);

    RefusingPort unused;
    ProcessResult const result = norvane(daemon_arguments(unused.port(), {"--pid-file", relative}));
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "Error: " + message.substr(0, 2047) + "\n");
    EXPECT_EQ(file_text(tmp / "norvane.log"), "Error: " + message + "\n");
    EXPECT_EQ(lock_owner(tmp / relative), holder.pid());
}

TEST_F(DaemonProgram, APidFileOfSomeoneElseIsNeitherFollowedNorTaken)
{
    auto const victim = tmp.write_file("victim", "precious\n");
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(victim.c_str(), 65534, 65534), 0);
    }
    std::filesystem::create_symlink(victim, tmp / "link.pid");
    RefusingPort unused;
    ProcessResult const linked = norvane(daemon_arguments(unused.port(), {"--pid-file", "link.pid"}));
    EXPECT_EQ(linked.exit_status, 1);
    EXPECT_EQ(linked.err, "Error: Open daemon PID file: Too many levels of symbolic links\n");
    EXPECT_EQ(file_text(victim), "precious\n");

    if (::geteuid() != 0)
        GTEST_SKIP() << "a file of another user can only be made as root";
    ProcessResult const foreign = norvane(daemon_arguments(unused.port(), {"--pid-file", "victim"}));
    EXPECT_EQ(foreign.exit_status, 1);
    EXPECT_EQ(foreign.err, "Error: Daemon PID file must be a regular file owned by the current user\n");
    EXPECT_EQ(file_text(victim), "precious\n");
}

TEST_F(DaemonProgram, TheLogMustBeAFileOfItsOwn)
{
    tmp.write_file("norvane.pid", "");
    std::filesystem::create_hard_link(tmp / "norvane.pid", tmp / "same.log");
    RefusingPort unused;
    ProcessResult const result = norvane(daemon_arguments(unused.port(), {"--log-file", "same.log"}));
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "Error: Daemon log must differ from PID file, IQ input, WAV output and ALL.TXT\n");
}

TEST_F(DaemonProgram, KillRefusesALockHeldByAnotherProgram)
{
    // The holder is this test program; the --kill comes from norvane.
    LockHolder holder(tmp / "norvane.pid", false);
    ProcessResult const result = norvane({"--kill"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err, "Error: PID file is held by another executable; refusing to signal\n");
    EXPECT_EQ(lock_owner(tmp / "norvane.pid"), holder.pid());
}

}  // namespace
