// The WSPRnet upload through the real /usr/bin/curl, posting to a small HTTP server on loopback
// that the test runs itself. Nothing leaves this machine.

#include "report/post_form_with_curl.hpp"
#include "report/wspr_reporter.hpp"

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

// One HTTP/1.1 server thread on 127.0.0.1: reads each request whole, remembers it, and answers
// with a fixed reply, or holds the connection open without answering until it is destroyed.
class FormServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
        bool hold = false;
    };

    explicit FormServer(Reply reply) : reply_(std::move(reply))
    {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 || ::pipe(wake_) != 0)
            throw std::runtime_error("cannot start the test HTTP server");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }

    ~FormServer()
    {
        char const byte = 'x';
        (void)!::write(wake_[1], &byte, 1);
        thread_.join();
        ::close(listener_);
        ::close(wake_[0]);
        ::close(wake_[1]);
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/post/"; }

    // The first request, once it has arrived whole (bounded wait).
    std::optional<std::string> request()
    {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, std::chrono::seconds(30), [&] { return !requests_.empty(); }))
            return std::nullopt;
        return requests_.front();
    }

    // Called on the server thread once a request has arrived whole.
    std::function<void()> on_request;

private:
    // Waits for fd to become readable; false when the server is being destroyed.
    bool wait_readable(int fd)
    {
        pollfd watched[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        while (::poll(watched, 2, -1) < 0) {
        }
        return (watched[1].revents & POLLIN) == 0;
    }

    void serve()
    {
        while (wait_readable(listener_)) {
            int const connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                continue;
            bool const going_on = handle(connection);
            ::close(connection);
            if (!going_on)
                return;
        }
    }

    bool handle(int connection)
    {
        std::string text;
        char buffer[4096];
        for (;;) {
            std::size_t const head_end = text.find("\r\n\r\n");
            if (head_end != std::string::npos) {
                std::size_t length = 0;
                std::size_t const field = text.find("Content-Length: ");
                if (field != std::string::npos && field < head_end)
                    length = std::stoul(text.substr(field + 16));
                if (text.size() >= head_end + 4 + length)
                    break;
            }
            if (!wait_readable(connection))
                return false;
            ssize_t const got = ::read(connection, buffer, sizeof buffer);
            if (got <= 0)
                return true;
            text.append(buffer, static_cast<std::size_t>(got));
        }
        {
            std::scoped_lock lock(mutex_);
            requests_.push_back(text);
        }
        arrived_.notify_all();
        if (on_request)
            on_request();
        if (reply_.hold) {
            // Until curl is killed (the connection reads as closed) or the server goes.
            while (wait_readable(connection)) {
                if (::read(connection, buffer, sizeof buffer) <= 0)
                    return true;
            }
            return false;
        }
        std::string const answer = "HTTP/1.1 " + std::to_string(reply_.status) +
                                   " Reply\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: " +
                                   std::to_string(reply_.body.size()) + "\r\n\r\n" + reply_.body;
        (void)!::send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
        return true;
    }

    Reply reply_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

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

std::string percent_decoded(std::string const& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::map<std::string, std::string> form_fields(std::string const& body)
{
    std::map<std::string, std::string> fields;
    std::size_t begin = 0;
    while (begin <= body.size()) {
        std::size_t end = body.find('&', begin);
        if (end == std::string::npos)
            end = body.size();
        std::string const pair = body.substr(begin, end - begin);
        std::size_t const equals = pair.find('=');
        fields[pair.substr(0, equals)] = equals == std::string::npos ? "" : percent_decoded(pair.substr(equals + 1));
        begin = end + 1;
    }
    return fields;
}

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
