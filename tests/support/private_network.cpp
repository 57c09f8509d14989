#include "tests/support/private_network.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

std::string enter_private_network()
{
    if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
        return std::string("cannot enter private network and mount namespaces (needs root): ") + std::strerror(errno);
    int const probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool const loopback_up = probe >= 0 && ::ioctl(probe, SIOCGIFFLAGS, &request) == 0 &&
                             (request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP),
                              ::ioctl(probe, SIOCSIFFLAGS, &request) == 0);
    if (probe >= 0)
        ::close(probe);
    if (!loopback_up)
        return std::string("cannot bring up loopback in the private network namespace: ") + std::strerror(errno);
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("cannot make the private mount namespace private: ") + std::strerror(errno);
    return "";
}

std::vector<std::string> host_lookup_sources()
{
    std::ifstream nsswitch("/etc/nsswitch.conf");
    std::string sources;
    for (std::string line; std::getline(nsswitch, line);) {
        if (line.rfind("hosts:", 0) == 0)
            sources = line.substr(6);
    }
    std::istringstream words(sources);
    std::vector<std::string> result;
    for (std::string word; words >> word;)
        result.push_back(word);
    return result;
}

PrivateFile::PrivateFile(std::string const& target, std::string const& content) : target_(target)
{
    std::string const path = dir_.write_file("content", content).string();
    bound_ = ::mount(path.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
    if (!bound_)
        failure_ = "cannot bind a private " + target + ": " + std::strerror(errno);
}

PrivateFile::~PrivateFile()
{
    if (bound_)
        ::umount2(target_.c_str(), MNT_DETACH);
}

namespace {

std::string resolves_to(std::string const& host, std::string const& address)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0)
        return host + " does not resolve from the private hosts file; ";
    std::string wrong;
    for (addrinfo const* a = found; a != nullptr; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = "";
        void const* raw = &reinterpret_cast<sockaddr_in6 const*>(a->ai_addr)->sin6_addr;
        if (a->ai_family == AF_INET)
            raw = &reinterpret_cast<sockaddr_in const*>(a->ai_addr)->sin_addr;
        ::inet_ntop(a->ai_family, raw, text, sizeof text);
        if (text != address)
            wrong = host + " resolves to " + text + "; ";
    }
    ::freeaddrinfo(found);
    return wrong;
}

std::string hosts_text(std::vector<std::pair<std::string, std::string>> const& names)
{
    std::string text = "127.0.0.1 localhost\n";
    for (auto const& [host, address] : names)
        text += address + " " + host + "\n";
    return text;
}

}  // namespace

HostsFile::HostsFile(std::vector<std::pair<std::string, std::string>> const& names)
    : file_("/etc/hosts", hosts_text(names)), failure_(file_.failure())
{
    if (!failure_.empty())
        return;
    for (auto const& [host, address] : names)
        failure_ += resolves_to(host, address);
}

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

UdpCollector::~UdpCollector()
{
    ::close(fd_);
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
