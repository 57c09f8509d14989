// The WSPRnet upload through the real /usr/bin/curl, posting to a small HTTP server on loopback
// that the test runs itself. Nothing leaves this machine.

#include "report/post_form_with_curl.hpp"
#include "report/wspr_reporter.hpp"
#include "tests/support/form_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using ::testing::HasSubstr;

// A proxy setting in the environment (curl inherits ours) must not carry the posts away from
// the loopback server.
class LoopbackOnly : public ::testing::Environment {
public:
    void SetUp() override
    {
        ::setenv("no_proxy", "127.0.0.1", 1);
        ::setenv("NO_PROXY", "127.0.0.1", 1);
    }
};

::testing::Environment* const loopback_only = ::testing::AddGlobalTestEnvironment(new LoopbackOnly);

TEST(WsprReporterE2e, CurlPostsTheFormAndWsprnetConfirmsIt)
{
    FormServer server({200, "Upload complete: 1 spot(s) added\n", false});
    std::mutex mutex;
    std::condition_variable done;
    std::optional<bool> outcome;
    std::string const url = server.url();
    WsprReporter reporter("K1ABC", "FN42", [&](std::string const& body, std::atomic<bool> const& stop) {
        bool const ok = post_form_with_curl(url, body, stop);
        {
            std::scoped_lock lock(mutex);
            outcome = ok;
        }
        done.notify_all();
        return ok;
    });

    std::time_t const interval = std::time(nullptr) / 120 * 120;
    DecodedSpot spot;
    spot.snr = -7;
    spot.audio_hz = 1421;
    spot.dt = -1.2;
    spot.sender = "VE3/K9XYZ";
    spot.grid = "EN61";
    spot.dbm = 23;
    spot.drift = 1;
    reporter.submit(static_cast<double>(interval), 10138700.0, spot);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(30), [&] { return outcome.has_value(); }));
    }
    reporter.stop();
    EXPECT_TRUE(*outcome);
    EXPECT_EQ(reporter.stats().sent, 1u);

    std::optional<std::string> const request = server.request();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->rfind("POST /post/ HTTP/1.1\r\n", 0), 0u) << *request;
    EXPECT_THAT(*request, HasSubstr("Content-Type: application/x-www-form-urlencoded\r\n"));
    std::string const body = request->substr(request->find("\r\n\r\n") + 4);
    std::tm calendar{};
    ::gmtime_r(&interval, &calendar);
    char date[16];
    char time[16];
    std::strftime(date, sizeof date, "%y%m%d", &calendar);
    std::strftime(time, sizeof time, "%H%M", &calendar);
    std::map<std::string, std::string> const expected = {
        {"date", date},       {"dbm", "23"},       {"drift", "1"},          {"dt", "-1.2"},
        {"function", "wspr"}, {"mode", "2"},        {"rcall", "K1ABC"},      {"rgrid", "FN42"},
        {"rqrg", "10.138700"}, {"sig", "-7"},       {"tcall", "VE3/K9XYZ"}, {"tgrid", "EN61"},
        {"time", time},       {"tqrg", "10.140121"}, {"version", "norvane 0.55.0"},
    };
    EXPECT_EQ(form_fields(body), expected);
    EXPECT_THAT(body, HasSubstr("tcall=VE3%2FK9XYZ&"));
    EXPECT_THAT(body, HasSubstr("version=norvane%200.55.0"));
}

struct AnswerCase {
    char const* name;
    int status;
    std::string body;
    bool confirmed;
};

std::ostream& operator<<(std::ostream& out, AnswerCase const& c) { return out << c.name; }

class CurlAnswers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(CurlAnswers, OnlyAConfirmedUploadCounts)
{
    AnswerCase const& c = GetParam();
    FormServer server({c.status, c.body, false});
    std::atomic<bool> stop{false};
    EXPECT_EQ(post_form_with_curl(server.url(), "function=wspr", stop), c.confirmed);
    std::optional<std::string> const request = server.request();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->substr(request->size() - 13), "function=wspr");
}

INSTANTIATE_TEST_SUITE_P(
    Table, CurlAnswers,
    ::testing::Values(AnswerCase{"confirmed", 200, "1 spot(s) added", true},
                      AnswerCase{"no_confirmation", 200, "Thank you", false},
                      AnswerCase{"server_error", 500, "1 spot(s) added", false},
                      AnswerCase{"answer_too_long", 200, std::string(5000, 'x') + " spot(s) added", false},
                      AnswerCase{"answer_at_the_limit", 200, std::string(4096 - 15, 'x') + "spot(s) added\n\n",
                                 true}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(CurlUpload, NobodyListeningIsAFailure)
{
    int const probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ::close(probe);  // the port is free again and nothing listens on it
    std::atomic<bool> stop{false};
    EXPECT_FALSE(post_form_with_curl("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/post/",
                                     "function=wspr", stop));
}

TEST(CurlUpload, StopCutsOffAnUnansweredUpload)
{
    FormServer server({200, "", true});
    std::atomic<bool> stop{false};
    server.on_request = [&] { stop = true; };
    EXPECT_FALSE(post_form_with_curl(server.url(), "function=wspr", stop));
    EXPECT_TRUE(server.request());
}

}  // namespace
