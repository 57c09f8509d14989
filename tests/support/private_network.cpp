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

std::optional<std::vector<std::string>> host_lookup_sources()
{
    std::ifstream nsswitch("/etc/nsswitch.conf");
    std::optional<std::string> sources;
    for (std::string line; std::getline(nsswitch, line);) {
        if (line.rfind("hosts:", 0) == 0)
            sources = line.substr(6);
    }
    if (!sources)
        return std::nullopt;
    std::istringstream in(*sources);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

std::string bind_private_file(TempDir const& dir, std::string const& name, std::string const& content,
                              char const* target)
{
    std::string const path = dir.write_file(name, content).string();
    if (::mount(path.c_str(), target, nullptr, MS_BIND, nullptr) != 0)
        return std::string("cannot bind a private ") + target + ": " + std::strerror(errno);
    return "";
}

namespace {

// Why host does not resolve to address alone; empty when it does.
std::string resolution_failure(std::string const& host, std::string const& address)
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

}  // namespace

PrivateHosts::PrivateHosts(std::vector<std::pair<std::string, std::string>> const& addresses)
{
    std::string content = "127.0.0.1 localhost\n";
    for (auto const& [host, address] : addresses)
        content += address + " " + host + "\n";
    failure_ = bind_private_file(dir_, "hosts", content, "/etc/hosts");
    bound_ = failure_.empty();
    if (bound_) {
        for (auto const& [host, address] : addresses)
            failure_ += resolution_failure(host, address);
    }
}

PrivateHosts::~PrivateHosts()
{
    if (bound_)
        ::umount2("/etc/hosts", MNT_DETACH);
}
