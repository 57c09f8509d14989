#include "tests/support/udp_collector.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
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
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::string const reason = std::strerror(errno);
        if (fd_ >= 0)
            ::close(fd_);
        throw std::runtime_error("cannot listen on the collector port: " + reason);
    }
}

UdpCollector::~UdpCollector() { ::close(fd_); }

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
