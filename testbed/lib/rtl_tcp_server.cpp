#include "testbed/lib/rtl_tcp_server.hpp"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/errno_error.hpp"

namespace testbed {

std::string rtl_tcp_header(std::uint32_t tuner_type, std::uint32_t gain_steps, std::string const& magic)
{
    std::string header = magic;
    for (std::uint32_t value : {tuner_type, gain_steps}) {
        for (int shift = 24; shift >= 0; shift -= 8)
            header += static_cast<char>((value >> shift) & 0xFF);
    }
    return header;
}

struct RtlTcpServer::Impl {
    explicit Impl(RtlTcpServerScript s) : script(std::move(s))
    {
        listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listen_fd < 0)
            throw errno_error("rtl_tcp test server socket");
        wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_fd < 0) {
            ::close(listen_fd);
            throw errno_error("rtl_tcp test server eventfd");
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t length = sizeof address;
        if (::bind(listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listen_fd, 1) != 0 ||
            ::getsockname(listen_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            auto error = errno_error("rtl_tcp test server listen");
            ::close(listen_fd);
            ::close(wake_fd);
            throw error;
        }
        port = ntohs(address.sin_port);
        worker = std::thread([this] { run(); });
    }

    ~Impl()
    {
        stopping.store(true);
        wake();
        worker.join();
        if (client_fd >= 0)
            ::close(client_fd);
        ::close(listen_fd);
        ::close(wake_fd);
    }

    void wake() const
    {
        std::uint64_t const one = 1;
        [[maybe_unused]] ssize_t const n = ::write(wake_fd, &one, sizeof one);
    }

    void drain_wake() const
    {
        std::uint64_t value = 0;
        [[maybe_unused]] ssize_t const n = ::read(wake_fd, &value, sizeof value);
    }

    void mark_client_closed()
    {
        {
            std::scoped_lock lock(mutex);
            client_closed = true;
        }
        changed.notify_all();
    }

    // Blocks until stopped: the server keeps its state readable for the test until destruction.
    void idle() const
    {
        while (!stopping.load()) {
            pollfd descriptor{wake_fd, POLLIN, 0};
            ::poll(&descriptor, 1, -1);
            drain_wake();
        }
    }

    bool accept_client()
    {
        while (!stopping.load()) {
            pollfd descriptors[2] = {{listen_fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
            if (::poll(descriptors, 2, -1) < 0 && errno != EINTR)
                return false;
            if (descriptors[1].revents != 0)
                drain_wake();
            if (descriptors[0].revents != 0) {
                client_fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (client_fd >= 0)
                    return true;
            }
        }
        return false;
    }

    // Reads what the client sent; false once it has closed its end.
    bool read_commands()
    {
        unsigned char buffer[512];
        ssize_t const n = ::recv(client_fd, buffer, sizeof buffer, 0);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        if (n == 0)
            return false;
        partial.append(reinterpret_cast<char const*>(buffer), static_cast<std::size_t>(n));
        {
            std::scoped_lock lock(mutex);
            while (partial.size() >= 5) {
                auto const* b = reinterpret_cast<unsigned char const*>(partial.data());
                commands.push_back({b[0], (std::uint32_t{b[1]} << 24) | (std::uint32_t{b[2]} << 16) |
                                              (std::uint32_t{b[3]} << 8) | std::uint32_t{b[4]}});
                partial.erase(0, 5);
            }
        }
        changed.notify_all();
        return true;
    }

    std::size_t command_count() const
    {
        std::scoped_lock lock(mutex);
        return commands.size();
    }

    // Fills `out` with the next bytes of the script when they may go now. Returns false when
    // the script has ended (close or stall decided by the caller).
    bool next_bytes(std::string& out)
    {
        if (next_chunk < script.chunks.size()) {
            RtlTcpChunk const& chunk = script.chunks[next_chunk];
            if (chunk.wait_for_release) {
                std::scoped_lock lock(mutex);
                if (releases == 0)
                    return true;  // not yet
                --releases;
            }
            out.assign(chunk.bytes.begin(), chunk.bytes.end());
            ++next_chunk;
            return true;
        }
        if (script.generator) {
            generated.clear();
            script.generator(generated);
            out.assign(generated.begin(), generated.end());
            return true;
        }
        return false;
    }

    void run()
    {
        if (!accept_client())
            return;
        std::string out = script.header;
        bool header_sent = false;
        bool script_ended = false;
        while (!stopping.load()) {
            if (out.empty() && !header_sent)
                header_sent = true;
            if (out.empty() && header_sent && !script_ended && command_count() >= script.stream_after_commands)
                script_ended = !next_bytes(out);
            if (out.empty() && script_ended && script.close_at_end) {
                ::close(client_fd);
                client_fd = -1;
                break;
            }

            pollfd descriptors[2] = {{client_fd, static_cast<short>(POLLIN | (out.empty() ? 0 : POLLOUT)), 0},
                                     {wake_fd, POLLIN, 0}};
            if (::poll(descriptors, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (descriptors[1].revents != 0)
                drain_wake();
            if ((descriptors[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !read_commands()) {
                mark_client_closed();
                break;
            }
            if ((descriptors[0].revents & POLLOUT) != 0 && !out.empty()) {
                ssize_t const n = ::send(client_fd, out.data(), out.size(), MSG_NOSIGNAL);
                if (n > 0) {
                    out.erase(0, static_cast<std::size_t>(n));
                } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    mark_client_closed();
                    break;
                }
            }
        }
        idle();
    }

    RtlTcpServerScript script;
    int listen_fd = -1;
    int wake_fd = -1;
    int client_fd = -1;
    std::uint16_t port = 0;
    std::string partial;  // command bytes short of a whole command
    std::size_t next_chunk = 0;
    std::vector<std::uint8_t> generated;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<RtlTcpCommand> commands;
    std::size_t releases = 0;
    bool client_closed = false;

    std::atomic<bool> stopping{false};
    std::thread worker;  // last: starts after everything it uses exists
};

RtlTcpServer::RtlTcpServer(RtlTcpServerScript script) : impl_(std::make_unique<Impl>(std::move(script))) {}

RtlTcpServer::~RtlTcpServer() = default;

std::uint16_t RtlTcpServer::port() const { return impl_->port; }

std::vector<RtlTcpCommand> RtlTcpServer::commands() const
{
    std::scoped_lock lock(impl_->mutex);
    return impl_->commands;
}

std::vector<RtlTcpCommand> RtlTcpServer::wait_for_commands(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait_for(lock, timeout, [&] { return impl_->commands.size() >= count || impl_->client_closed; });
    return impl_->commands;
}

void RtlTcpServer::release()
{
    {
        std::scoped_lock lock(impl_->mutex);
        ++impl_->releases;
    }
    impl_->wake();
}

bool RtlTcpServer::wait_for_client_close(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [&] { return impl_->client_closed; });
}

}  // namespace testbed
