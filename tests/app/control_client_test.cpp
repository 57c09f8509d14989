#include "app/control_client.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "core/control_address.hpp"
#include "live/live_audio.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

Options client_options(fs::path const& path, std::string request)
{
    Options options;
    options.audio_control = path.string();
    options.audio_command = std::move(request);
    return options;
}

struct ClientRun {
    int status = -1;
    std::string out;
    std::string error;  // the message of a thrown failure
};

ClientRun run_client(fs::path const& path, std::string request)
{
    ClientRun run;
    std::ostringstream out;
    try {
        run.status = run_control_client(client_options(path, std::move(request)), out);
    } catch (std::runtime_error const& error) {
        run.error = error.what();
    }
    run.out = out.str();
    return run;
}

std::unique_ptr<LiveAudio> serve(fs::path const& path, LiveAudio::RadioHook hook)
{
    return std::make_unique<LiveAudio>(48000.0, 7074000.0, 48000.0, path.string(), std::vector<AudioChannel> {},
                                       std::move(hook), false, AnalysisSettings {}, nullptr);
}

// A control-socket stand-in that misbehaves on purpose: it accepts one connection, reads the
// request and then answers with a given packet, hangs up without answering, or keeps silent
// until the client gives up.
class OddServer {
public:
    enum class Act { reply, hang_up, keep_silent };

    OddServer(fs::path const& path, Act act, std::string reply = {}) : act_(act), reply_(std::move(reply))
    {
        listen_fd_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un const address = make_control_address(path.string());
        if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr const*>(&address), sizeof(address)) != 0
            || ::listen(listen_fd_, 4) != 0)
            throw std::runtime_error("test server cannot listen");
        thread_ = std::thread([this] { serve_one(); });
    }
    ~OddServer()
    {
        stop_.store(true);
        thread_.join();
        ::close(listen_fd_);
    }
    OddServer(OddServer const&) = delete;
    OddServer& operator=(OddServer const&) = delete;

private:
    // Waits for fd in short slices so the destructor can always end the thread.
    bool wait_readable(int fd)
    {
        while (!stop_.load()) {
            pollfd entry {fd, POLLIN, 0};
            if (::poll(&entry, 1, 20) > 0)
                return true;
        }
        return false;
    }

    void serve_one()
    {
        if (!wait_readable(listen_fd_))
            return;
        int const connection = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            return;
        std::string buffer(65536, '\0');
        if (wait_readable(connection))
            (void)::recv(connection, buffer.data(), buffer.size(), 0);
        if (act_ == Act::reply)
            (void)::send(connection, reply_.data(), reply_.size(), MSG_NOSIGNAL);
        if (act_ == Act::keep_silent) {
            // Until the client hangs up (a read of 0) or the test ends.
            while (wait_readable(connection) && ::recv(connection, buffer.data(), buffer.size(), 0) > 0) {
            }
        }
        ::close(connection);
    }

    Act act_;
    std::string reply_;
    int listen_fd_ = -1;
    std::atomic<bool> stop_ {false};
    std::thread thread_;
};

TEST(ControlClient, PrintsAnOkReplyAndSucceeds)
{
    TempDir dir;
    auto live = serve(dir / "control", [](std::string const& request) { return "OK got " + request; });
    ClientRun const run = run_client(dir / "control", "RADIO STATUS");
    EXPECT_EQ(run.error, "");
    EXPECT_EQ(run.out, "OK got RADIO STATUS\n");
    EXPECT_EQ(run.status, 0);
}

TEST(ControlClient, PrintsAnErrorReplyAndFails)
{
    TempDir dir;
    auto live = serve(dir / "control", {});
    ClientRun const run = run_client(dir / "control", "RADIO STATUS");
    EXPECT_EQ(run.error, "");
    EXPECT_EQ(run.out, "ERROR Hardware control unavailable for IQ replay\n");
    EXPECT_EQ(run.status, 1);
}

TEST(ControlClient, RequestOf4096BytesIsSentWhole)
{
    TempDir dir;
    std::string seen;
    auto live = serve(dir / "control", [&seen](std::string const& request) {
        seen = request;
        return std::string("OK");
    });
    std::string const request = "RADIO " + std::string(4090, 'q');
    ClientRun const run = run_client(dir / "control", request);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(seen, request);
}

TEST(ControlClient, LongRequestFailsBeforeAnySocket)
{
    TempDir dir;
    // No server and a path that cannot even be an address: the length is checked first.
    ClientRun const run = run_client(dir / std::string(200, 'p'), std::string(4097, 'r'));
    EXPECT_EQ(run.error, "Invalid audio request length");
    EXPECT_EQ(run.out, "");
}

TEST(ControlClient, PathOf107BytesConnectsAnd108DoNot)
{
    TempDir dir;
    std::string const base = (dir / "").string();
    std::string const path = base + std::string(107 - base.size(), 'c');
    ASSERT_EQ(path.size(), 107u);
    auto live = serve(path, [](std::string const&) { return std::string("OK"); });
    EXPECT_EQ(run_client(path, "RADIO STATUS").out, "OK\n");
    ClientRun const too_long = run_client(path + "c", "RADIO STATUS");
    EXPECT_EQ(too_long.error, "Audio control path is too long");
    EXPECT_EQ(too_long.out, "");
}

TEST(ControlClient, NobodyServingThePathIsUnavailable)
{
    TempDir dir;
    EXPECT_EQ(run_client(dir / "missing", "RADIO STATUS").error, "Audio receiver control is unavailable");

    // A socket file whose owner no longer listens.
    int const dead = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un const address = make_control_address((dir / "dead").string());
    ASSERT_EQ(::bind(dead, reinterpret_cast<sockaddr const*>(&address), sizeof(address)), 0);
    ::close(dead);
    ClientRun const run = run_client(dir / "dead", "RADIO STATUS");
    EXPECT_EQ(run.error, "Audio receiver control is unavailable");
    EXPECT_EQ(run.out, "");
}

TEST(ControlClient, ServerThatHangsUpIsDisconnected)
{
    TempDir dir;
    OddServer server(dir / "control", OddServer::Act::hang_up);
    ClientRun const run = run_client(dir / "control", "RADIO STATUS");
    EXPECT_EQ(run.error, "Audio control disconnected");
    EXPECT_EQ(run.out, "");
}

TEST(ControlClient, SilentServerTimesOut)
{
    TempDir dir;
    OddServer server(dir / "control", OddServer::Act::keep_silent);
    ClientRun const run = run_client(dir / "control", "RADIO STATUS");
    EXPECT_EQ(run.error, "Audio request timed out");
    EXPECT_EQ(run.out, "");
}

// What fits is shown, but a reply cut short is a failure, never a quiet success.
TEST(ControlClient, OversizedReplyIsCutAt16384BytesAndFails)
{
    TempDir dir;
    std::string const reply = "OK " + std::string(20000, 'z');
    OddServer server(dir / "control", OddServer::Act::reply, reply);
    ClientRun const run = run_client(dir / "control", "SPECTRUM a 1 2 16");
    EXPECT_EQ(run.error, "Audio control reply was longer than 16384 bytes and was cut");
    EXPECT_EQ(run.out, reply.substr(0, 16384) + "\n");
    EXPECT_NE(run.status, 0);
}

TEST(ControlClient, ReplyOfExactly16384BytesIsWhole)
{
    TempDir dir;
    std::string const reply = "OK " + std::string(16381, 'z');
    OddServer server(dir / "control", OddServer::Act::reply, reply);
    ClientRun const run = run_client(dir / "control", "STATUS");
    EXPECT_EQ(run.error, "");
    EXPECT_EQ(run.out, reply + "\n");
    EXPECT_EQ(run.status, 0);
}

TEST(ControlClient, ReplyMustBeginWithOkExactly)
{
    TempDir dir;
    OddServer server(dir / "control", OddServer::Act::reply, "Ok fine");
    ClientRun const run = run_client(dir / "control", "RADIO STATUS");
    EXPECT_EQ(run.out, "Ok fine\n");
    EXPECT_EQ(run.status, 1);
}

}  // namespace
