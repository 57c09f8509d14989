// The start-up pipe and PID-file record: what a waiting parent reads, and what is left behind.
#include "app/daemon.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <string>

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

}  // namespace
