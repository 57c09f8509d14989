#include "app/control_client.hpp"

#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "core/control_address.hpp"
#include "core/unique_fd.hpp"

namespace {

constexpr std::size_t max_request_bytes = 4096;
constexpr std::size_t max_reply_bytes = 16384;
constexpr int send_wait_ms = 500;
constexpr int reply_wait_ms = 5000;

bool wait_for(int fd, short events, int timeout_ms)
{
    pollfd entry {fd, events, 0};
    return ::poll(&entry, 1, timeout_ms) > 0;
}

}  // namespace

int run_control_client(Options const& options, std::ostream& out)
{
    std::string const& request = options.audio_command;
    if (request.empty() || request.size() > max_request_bytes)
        throw std::runtime_error("Invalid audio request length");
    sockaddr_un const address = make_control_address(options.audio_control);

    UniqueFd socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.get() < 0)
        throw std::runtime_error("Cannot open audio control client");
    if (::connect(socket.get(), reinterpret_cast<sockaddr const*>(&address), sizeof(address)) != 0
        && errno != EINPROGRESS)
        throw std::runtime_error("Audio receiver control is unavailable");
    if (!wait_for(socket.get(), POLLOUT, send_wait_ms))
        throw std::runtime_error("Audio request failed");
    if (::send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL) < 0)
        throw std::runtime_error("Audio request failed");
    if (!wait_for(socket.get(), POLLIN, reply_wait_ms))
        throw std::runtime_error("Audio request timed out");
    // One receive takes one packet; whatever of it does not fit is discarded by the kernel,
    // which says so in the message flags.
    std::vector<char> reply(max_reply_bytes);
    iovec part {reply.data(), reply.size()};
    msghdr message {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    ssize_t const received = ::recvmsg(socket.get(), &message, 0);
    if (received <= 0)
        throw std::runtime_error("Audio control disconnected");
    socket.close();

    reply.resize(static_cast<std::size_t>(received));
    out.write(reply.data(), static_cast<std::streamsize>(reply.size()));
    out << '\n' << std::flush;
    if (!out)
        throw std::runtime_error("Cannot write to standard output");
    // A reply cut short is never passed off as a complete success.
    if ((message.msg_flags & MSG_TRUNC) != 0)
        throw std::runtime_error("Audio control reply was longer than 16384 bytes and was cut");
    bool const ok = reply.size() >= 2 && reply[0] == 'O' && reply[1] == 'K';
    return ok ? 0 : 1;
}
