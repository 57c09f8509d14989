#include "radio/rtl_tcp_radio.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "core/log_line.hpp"
#include "core/options.hpp"
#include "core/unique_fd.hpp"
#include "core/wall_clock.hpp"
#include "radio/iq_block.hpp"
#include "radio/sample_queue.hpp"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr auto socket_deadline = std::chrono::seconds(5);
constexpr int reader_poll_ms = 100;
constexpr std::size_t receive_bytes = 65536;

// Returns once poll reports any event on fd (errors and hang-ups included: the following call
// reports them); throws when the deadline passes first.
void wait_socket(int fd, short events, SteadyClock::time_point deadline)
{
    for (;;) {
        auto const remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (remaining < std::chrono::milliseconds(1))
            throw std::runtime_error("rtl_tcp socket operation timed out");
        pollfd descriptor{fd, events, 0};
        int const ready = ::poll(&descriptor, 1, static_cast<int>(remaining.count()));
        if (ready > 0)
            return;
        if (ready < 0 && errno != EINTR)
            throw std::runtime_error("rtl_tcp socket poll failed");
    }
}

// One command: its number and a big-endian 32-bit parameter (signed values in two's complement).
void send_rtl_command(int fd, std::uint8_t command, std::uint32_t value)
{
    unsigned char const bytes[5] = {command, static_cast<unsigned char>(value >> 24),
                                    static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value)};
    auto const deadline = SteadyClock::now() + socket_deadline;
    std::size_t sent = 0;
    while (sent < sizeof bytes) {
        ssize_t const n = ::send(fd, bytes + sent, sizeof bytes - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            wait_socket(fd, POLLOUT, deadline);
            continue;
        }
        throw std::runtime_error("Cannot send rtl_tcp tuning command");
    }
}

std::uint32_t as_u32(std::int64_t value) { return static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)); }

std::uint32_t read_u32_be(unsigned char const* bytes)
{
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
           std::uint32_t{bytes[3]};
}

std::string default_float(double value)
{
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}

class RtlTcpRadio final : public Radio {
public:
    // In audio mode the tuner sits 8 kHz beside the dial so the RTL's DC spike stays out of the
    // audio; tuner_frequency picks the side.
    explicit RtlTcpRadio(Options const& options)
        : hardware_rate_(options.sample_rate), offset_(options.frequency - tuner_frequency(options))
    {
    }

    ~RtlTcpRadio() override
    {
        stop();
        socket_fd_.reset();
    }

    void connect_and_configure(Options const& options);

    void start(SampleQueue& queue) override
    {
        if (worker_.joinable() || stopping_.load())
            throw std::runtime_error("rtl_tcp stream cannot be restarted");
        worker_ = std::thread([this, &queue] { receive_worker(queue); });
    }

    void stop() override
    {
        stopping_.exchange(true);
        // Shutting the socket down wakes a reader blocked in poll or receive at once; the
        // descriptor itself stays valid until destruction.
        if (socket_fd_.get() >= 0)
            ::shutdown(socket_fd_.get(), SHUT_RDWR);
        if (worker_.joinable())
            worker_.join();
    }

    double sample_rate() const override { return static_cast<double>(hardware_rate_); }
    double tuning_offset() const override { return offset_; }

private:
    void connect_rtl_tcp(Options const& options);
    void receive_worker(SampleQueue& queue);
    void receive_stream(SampleQueue& queue);

    UniqueFd socket_fd_;
    std::thread worker_;
    std::atomic<bool> stopping_{false};
    std::int32_t hardware_rate_;
    double offset_;  // Hz: requested frequency minus the centre sent to the server
};

void RtlTcpRadio::connect_rtl_tcp(Options const& options)
{
    std::string const port = std::to_string(options.rtl_port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* addresses = nullptr;
    int const resolved = ::getaddrinfo(options.rtl_host.c_str(), port.c_str(), &hints, &addresses);
    if (resolved != 0)
        throw std::runtime_error(std::string("Cannot resolve rtl_tcp host: ") + ::gai_strerror(resolved));
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> const owned(addresses, &::freeaddrinfo);

    auto const deadline = SteadyClock::now() + socket_deadline;
    bool connected = false;
    for (addrinfo const* address = addresses; address != nullptr && !connected; address = address->ai_next) {
        socket_fd_.reset();
        int const fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                address->ai_protocol);
        if (fd < 0)
            continue;
        socket_fd_.reset(fd);
        if (::connect(fd, address->ai_addr, address->ai_addrlen) == 0) {
            connected = true;
        } else if (errno == EINPROGRESS) {
            wait_socket(fd, POLLOUT, deadline);
            int error = 0;
            socklen_t length = sizeof error;
            connected = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        }
    }
    if (!connected)
        throw std::runtime_error("Cannot connect to rtl_tcp at " + options.rtl_host + ":" + port +
                                 "; start the external server with rtl_tcp -a HOST -p PORT -d INDEX_OR_SERIAL");
}

void RtlTcpRadio::connect_and_configure(Options const& options)
{
    connect_rtl_tcp(options);

    unsigned char header[12];
    std::size_t got = 0;
    auto const deadline = SteadyClock::now() + socket_deadline;
    while (got < sizeof header) {
        ssize_t const n = ::recv(socket_fd_.get(), header + got, sizeof header - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0)
            throw std::runtime_error("rtl_tcp disconnected during the server header");
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            wait_socket(socket_fd_.get(), POLLIN, deadline);
            continue;
        }
        throw std::runtime_error("Cannot read rtl_tcp server header");
    }
    if (std::memcmp(header, "RTL0", 4) != 0)
        throw std::runtime_error("Invalid rtl_tcp header (expected RTL0)");
    std::uint32_t const tuner_type = read_u32_be(header + 4);
    std::uint32_t const gain_steps = read_u32_be(header + 8);

    bool const direct = options.direct_sampling != 0;
    send_rtl_command(socket_fd_.get(), 9, options.direct_sampling);
    send_rtl_command(socket_fd_.get(), 2, as_u32(hardware_rate_));
    send_rtl_command(socket_fd_.get(), 5, as_u32(static_cast<std::int64_t>(std::trunc(options.ppm))));
    send_rtl_command(socket_fd_.get(), 1, as_u32(std::llround(options.frequency - offset_)));
    send_rtl_command(socket_fd_.get(), 7, 0);
    send_rtl_command(socket_fd_.get(), 8, 0);
    send_rtl_command(socket_fd_.get(), 10, 0);
    // The server's own tuner gain control exists only on the tuner path, not in direct sampling.
    if (!direct) {
        send_rtl_command(socket_fd_.get(), 3, options.agc ? 0 : 1);
        if (!options.agc) {
            send_rtl_command(socket_fd_.get(), 4, as_u32(std::lround(options.rtl_gain * 10.0)));
            log_line("RTL tuner gain requested: " + default_float(options.rtl_gain) +
                     " dB (server applies supported gain)");
        }
    }
    log_line("Receiver: RTL-SDR via rtl_tcp " + options.rtl_host + ":" + std::to_string(options.rtl_port) +
             ", tuner=" + std::to_string(tuner_type) + ", gain steps=" + std::to_string(gain_steps) +
             ", requested hardware=" + std::to_string(hardware_rate_) + " samples/s");
}

void RtlTcpRadio::receive_worker(SampleQueue& queue)
{
    try {
        receive_stream(queue);
    } catch (std::exception const& e) {
        if (!stopping_.load())
            queue.fail(e.what());
    } catch (...) {
        if (!stopping_.load())
            queue.fail("rtl_tcp receive worker failed");
    }
}

void RtlTcpRadio::receive_stream(SampleQueue& queue)
{
    // One spare byte in front holds the I byte of a pair that a receive cut in two.
    std::vector<unsigned char> buffer(receive_bytes + 1);
    std::size_t carry = 0;
    // The tuner settles after the configuration commands: the first quarter second is thrown away.
    std::uint64_t skip = static_cast<std::uint64_t>(hardware_rate_ > 0 ? hardware_rate_ / 4 : 0);
    double const rate = static_cast<double>(hardware_rate_);

    while (!stopping_.load()) {
        pollfd descriptor{socket_fd_.get(), POLLIN, 0};
        int const ready = ::poll(&descriptor, 1, reader_poll_ms);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("rtl_tcp receive poll failed");
        }
        if (ready == 0)
            continue;

        ssize_t received = 0;
        for (;;) {
            received = ::recv(socket_fd_.get(), buffer.data() + carry, receive_bytes - carry, 0);
            if (received >= 0 || errno != EINTR)
                break;
        }
        if (stopping_.load())
            return;
        if (received < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            throw std::runtime_error("rtl_tcp receive failed");
        }
        if (received == 0)
            throw std::runtime_error(carry != 0 ? "rtl_tcp disconnected with an incomplete IQ pair"
                                                : "rtl_tcp disconnected");

        std::size_t const bytes = carry + static_cast<std::size_t>(received);
        std::uint64_t const pairs = bytes / 2;
        std::uint64_t const drop = std::min<std::uint64_t>(pairs, skip);
        skip -= drop;
        std::uint64_t const keep = pairs - drop;
        if (keep > 0) {
            IqBlock block;
            block.samples.resize(keep);
            unsigned char const* pair = buffer.data() + 2 * drop;
            for (std::uint64_t k = 0; k < keep; ++k, pair += 2) {
                // Unsigned 8-bit around 127.5; 1/128 keeps full scale just inside +-1.
                block.samples[k] = {(static_cast<float>(pair[0]) - 127.5f) * 0.0078125f,
                                    (static_cast<float>(pair[1]) - 127.5f) * 0.0078125f};
            }
            block.utc = wall_clock_seconds() - static_cast<double>(keep) / rate;
            queue.push(std::move(block));
        }
        carry = bytes % 2;
        if (carry != 0)
            buffer[0] = buffer[bytes - 1];
    }
}

}  // namespace

std::unique_ptr<Radio> make_rtl_tcp_radio(Options const& options)
{
    auto radio = std::make_unique<RtlTcpRadio>(options);
    radio->connect_and_configure(options);
    return radio;
}
