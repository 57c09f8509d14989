// The PSK Reporter collector's name lookup against a name server that never answers: the lookup
// gives up after its 2 s, and a stop while it is pending ends the wait at once.
//
// The test moves itself into a network namespace of its own, in which only loopback exists,
// and into a mount namespace in which /etc/resolv.conf names a server on 127.0.0.1 and
// /etc/hosts knows nothing but localhost. That server reads the queries and never replies.
#include "report/psk_collector_link.hpp"
#include "report/psk_reporter.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "report/ipfix_datagram.hpp"
#include "tests/report/psk_test_harness.hpp"
#include "tests/support/private_network.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

std::string error_of(auto&& action)
{
    try {
        action();
    } catch (std::exception const& error) {
        return error.what();
    }
    return "";
}

// Why the tests cannot run; empty once the namespaces and the silent server are in place.
std::string isolation_failure = "not isolated";
int silent_server = -1;

std::string isolate(std::vector<std::unique_ptr<PrivateFile>>& files)
{
    std::string failure = enter_private_network();
    if (!failure.empty())
        return failure;
    // Host names must come from the files below and then from the name server they name.
    std::vector<std::string> const sources = host_lookup_sources();
    auto word = sources.begin();
    while (word != sources.end() && (*word == "files" || word->front() == '['))
        ++word;
    if (word == sources.end() || *word != "dns")
        return "/etc/nsswitch.conf does not look host names up in files, then DNS";
    // The resolver's own limits lie well beyond the reporter's 2 s.
    files.push_back(std::make_unique<PrivateFile>("/etc/resolv.conf",
                                                  "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n"));
    files.push_back(std::make_unique<PrivateFile>("/etc/hosts", "127.0.0.1 localhost\n"));
    for (auto const& file : files) {
        if (!file->failure().empty())
            return file->failure();
    }

    silent_server = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (silent_server < 0 || ::bind(silent_server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return std::string("cannot bind the silent name server to 127.0.0.1:53: ") + std::strerror(errno);
    return "";
}

class PrivateResolver : public testing::Environment {
public:
    void SetUp() override { isolation_failure = isolate(files_); }

private:
    std::vector<std::unique_ptr<PrivateFile>> files_;
};

testing::Environment* const private_resolver = testing::AddGlobalTestEnvironment(new PrivateResolver);

// Waits (bounded, for a broken build only) until a query reaches the silent server.
bool query_arrives(std::chrono::milliseconds limit)
{
    pollfd entry{silent_server, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(limit.count())) != 1)
        return false;
    char query[512];
    while (::recv(silent_server, query, sizeof query, MSG_DONTWAIT) > 0) {
    }
    return true;
}

class SilentNameServer : public testing::Test {
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "getaddrinfo_a's resolver threads cannot run under ThreadSanitizer";
#endif
        if (!isolation_failure.empty())
            GTEST_SKIP() << isolation_failure;
    }
};

TEST_F(SilentNameServer, LookupGivesUpAfterTwoSecondsAndLeavesNoSocket)
{
    PskCollectorLink link("collector.norvane.test", "4739");
    std::atomic<bool> stop{false};
    auto const start = SteadyClock::now();
    std::string const error = error_of([&] { link.send({1, 2, 3}, &stop); });
    auto const waited = SteadyClock::now() - start;
    EXPECT_EQ(error, "PSK Reporter DNS lookup timed out or shutdown was requested");
    EXPECT_TRUE(query_arrives(0ms)) << "the lookup never asked the name server";
    EXPECT_GE(waited, 2s);
    EXPECT_LT(waited, 2500ms);
    EXPECT_FALSE(link.is_open());
}

// The reporter's own lookup of the collector: a stop while it is pending does not wait out the
// 2 s; the batch and the queue count as dropped.
TEST_F(SilentNameServer, StopDuringAPendingLookupEndsItAtOnce)
{
    TempDir dir;
    PskClocks clocks;
    ::testing::internal::CaptureStderr();
    PskReporter reporter("K1ABC", "FN42", PskReporter::SendHook{}, 20ms, {},
                         clocks.policy((dir / "dedup.sqlite3").string()));
    reporter.submit(make_spot("W1AW"));
    ASSERT_TRUE(query_arrives(20000ms)) << "the reporter never looked the collector up";
    auto const start = SteadyClock::now();
    reporter.stop();
    auto const waited = SteadyClock::now() - start;
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "PSK Reporter DNS lookup timed out or shutdown was requested; ALL.TXT capture continues\n");
    EXPECT_LT(waited, 1s) << "the stop waited for the lookup";
    PskReporterStats const stats = reporter.stats();
    EXPECT_EQ(stats.failures, 1u);
    EXPECT_EQ(stats.dropped, 1u);
    EXPECT_EQ(stats.sent + stats.queued, 0u);
}

}  // namespace
