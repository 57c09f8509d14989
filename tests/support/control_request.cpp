#include "tests/support/control_request.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/control_address.hpp"

std::string ask_control(std::filesystem::path const& socket_path, std::string const& request)
{
    int const fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } const closer{fd};
    sockaddr_un const address = make_control_address(socket_path.string());
    if (::connect(fd, reinterpret_cast<sockaddr const*>(&address), sizeof(address)) != 0)
        throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        throw std::runtime_error(std::string("send: ") + std::strerror(errno));
    std::vector<char> reply(65536);
    ssize_t const received = ::recv(fd, reply.data(), reply.size(), 0);
    if (received < 0)
        throw std::runtime_error(std::string("recv: ") + std::strerror(errno));
    return std::string(reply.data(), static_cast<std::size_t>(received));
}
