#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// One HTTP/1.1 server thread on 127.0.0.1 standing in for a form endpoint: reads each request
// whole, remembers it, and answers with a fixed reply, or holds the connection open without
// answering until it is destroyed.
class FormServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
        bool hold = false;
    };

    // port 0: any free port. Throws std::runtime_error when it cannot listen.
    explicit FormServer(Reply reply, int port = 0);
    ~FormServer();
    FormServer(FormServer const&) = delete;
    FormServer& operator=(FormServer const&) = delete;

    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/post/"; }

    // The first request, once it has arrived whole (bounded wait).
    std::optional<std::string> request();
    // Every request that has arrived whole so far, in arrival order.
    std::vector<std::string> requests();

    // Called on the server thread once a request has arrived whole.
    std::function<void()> on_request;

private:
    bool wait_readable(int fd);
    void serve();
    bool handle(int connection);

    Reply reply_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// The fields of an application/x-www-form-urlencoded body, values percent-decoded.
std::map<std::string, std::string> form_fields(std::string const& body);
