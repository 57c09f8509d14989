// The rtl_tcp_serve program as a person trying live reception by hand uses it: started first,
// it names its port, serves norvane, and afterwards lists the commands norvane sent.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/file_text.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

// rtl_tcp_serve running in the background for one test; SIGTERM and a wait end it.
class Server {
public:
    explicit Server(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), NORVANE_TESTBED_DIR "/rtl_tcp_serve");
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        int out[2];
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        std::string line;
        char c = 0;
        while (::read(out[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(out[0]);
        EXPECT_EQ(std::sscanf(line.c_str(), "PORT %d", &port_), 1) << line;
    }

    ~Server()
    {
        if (pid_ > 0)
            stop();
    }

    int port() const { return port_; }

    // The exit status after SIGTERM.
    int stop()
    {
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

ProcessResult norvane(int port, TempDir const& tmp)
{
    return run_process({NORVANE_EXE, "--mode", "decoder", "--backend", "rtl-sdr", "--rtl-port", std::to_string(port),
                        "--sample-rate", "240000", "--frequencies", "14.074M", "--center-frequency", "14.08M",
                        "--duration", "1", "--all-txt", (tmp / "ALL.TXT").string()});
}

TEST(RtlTcpServe, ServesNorvaneAndListsItsCommands)
{
    TempDir tmp;
    auto const commands = tmp / "commands.txt";
    Server server({"--rate", "240000", "--commands", commands.string()});
    ProcessResult const result = norvane(server.port(), tmp);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(file_text(commands), "9 0\n2 240000\n5 0\n1 14080000\n7 0\n8 0\n10 0\n3 0\n");
}

struct Misbehaviour {
    std::vector<std::string> flags;
    std::string message;
};

class RtlTcpServeMisbehaves : public testing::TestWithParam<Misbehaviour> {};

TEST_P(RtlTcpServeMisbehaves, OnDemand)
{
    TempDir tmp;
    Server server(GetParam().flags);
    ProcessResult const result = norvane(server.port(), tmp);
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_THAT(result.err, testing::EndsWith("Error: " + GetParam().message + "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Flags, RtlTcpServeMisbehaves,
    testing::Values(Misbehaviour{{"--bad-header"}, "Invalid rtl_tcp header (expected RTL0)"},
                    Misbehaviour{{"--short-header"}, "rtl_tcp disconnected during the server header"},
                    Misbehaviour{{"--close-mid-pair", "--after-commands", "8"},
                                 "rtl_tcp disconnected with an incomplete IQ pair"}));

}  // namespace
