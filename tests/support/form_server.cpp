#include "tests/support/form_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

FormServer::FormServer(Reply reply, int port) : reply_(std::move(reply))
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int const yes = 1;
    if (listener_ >= 0)
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t length = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe(wake_) != 0) {
        if (listener_ >= 0)
            ::close(listener_);
        throw std::runtime_error("cannot start the test HTTP server");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

FormServer::~FormServer()
{
    char const byte = 'x';
    (void)!::write(wake_[1], &byte, 1);
    thread_.join();
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

std::optional<std::string> FormServer::request()
{
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, std::chrono::seconds(30), [&] { return !requests_.empty(); }))
        return std::nullopt;
    return requests_.front();
}

std::vector<std::string> FormServer::requests()
{
    std::scoped_lock lock(mutex_);
    return requests_;
}

// Waits for fd to become readable; false when the server is being destroyed.
bool FormServer::wait_readable(int fd)
{
    pollfd watched[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    while (::poll(watched, 2, -1) < 0) {
    }
    return (watched[1].revents & POLLIN) == 0;
}

void FormServer::serve()
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

bool FormServer::handle(int connection)
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
        // Until the client is killed (the connection reads as closed) or the server goes.
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

namespace {

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

}  // namespace

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
