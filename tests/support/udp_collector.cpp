#include "tests/support/udp_collector.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

UdpCollector::UdpCollector(int port)
{
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    socklen_t length = sizeof address;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::string const reason = std::strerror(errno);
        close();
        throw std::runtime_error("cannot listen on the collector port: " + reason);
    }
    port_ = ntohs(address.sin_port);
}

UdpCollector::~UdpCollector() { close(); }

void UdpCollector::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

std::vector<std::vector<unsigned char>> UdpCollector::datagrams()
{
    std::vector<std::vector<unsigned char>> all;
    std::vector<unsigned char> buffer(65536);
    for (;;) {
        ssize_t const got = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (got < 0)
            return all;
        all.emplace_back(buffer.begin(), buffer.begin() + got);
    }
}

UdpCollector::Datagram UdpCollector::receive(std::chrono::milliseconds wait)
{
    Datagram datagram;
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(wait.count())) != 1)
        return datagram;
    std::vector<unsigned char> buffer(65536);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t const got = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0)
        return datagram;
    datagram.bytes.assign(buffer.begin(), buffer.begin() + got);
    datagram.from_port = ntohs(from.sin_port);
    return datagram;
}

std::vector<std::vector<unsigned char>> UdpCollector::receive_all(std::chrono::milliseconds wait)
{
    Datagram first = receive(wait);
    if (first.bytes.empty())
        return {};
    std::vector<std::vector<unsigned char>> all = {std::move(first.bytes)};
    for (auto& more : datagrams())
        all.push_back(std::move(more));
    return all;
}
