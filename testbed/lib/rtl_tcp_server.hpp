#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A scripted rtl_tcp server on loopback for the rtl_tcp backend's tests: it accepts one client,
// sends a header (a good or a bad one), records every 5-byte command the client sends and
// streams unsigned 8-bit I,Q bytes from a script, pausing, stalling or closing where told.
namespace testbed {

struct RtlTcpCommand {
    std::uint8_t command = 0;
    std::uint32_t value = 0;  // as sent, big-endian on the wire

    friend bool operator==(RtlTcpCommand const&, RtlTcpCommand const&) = default;
};

// The 12 bytes an rtl_tcp server sends first: the magic and two big-endian numbers.
std::string rtl_tcp_header(std::uint32_t tuner_type, std::uint32_t gain_steps, std::string const& magic = "RTL0");

struct RtlTcpChunk {
    std::vector<std::uint8_t> bytes;
    bool wait_for_release = false;  // held back until RtlTcpServer::release is called once more
};

struct RtlTcpServerScript {
    std::string header = rtl_tcp_header(5, 29);  // sent as is, whatever its length
    // The stream starts once this many commands have arrived (a real server starts at once;
    // a test that closes the connection waits so the client's commands are never refused).
    std::size_t stream_after_commands = 0;
    std::vector<RtlTcpChunk> chunks;  // sent in order after the header
    // After the chunks: when set, refills its argument with further bytes for as long as the
    // client reads (an endless stream).
    std::function<void(std::vector<std::uint8_t>&)> generator;
    // After the chunks (no generator): close the connection; otherwise stall, holding it open.
    bool close_at_end = false;
};

class RtlTcpServer {
public:
    explicit RtlTcpServer(RtlTcpServerScript script);
    // Stops and joins the server thread and closes every socket.
    ~RtlTcpServer();
    RtlTcpServer(RtlTcpServer const&) = delete;
    RtlTcpServer& operator=(RtlTcpServer const&) = delete;

    std::uint16_t port() const;
    std::vector<RtlTcpCommand> commands() const;
    // Waits until count commands have arrived or the timeout passed; returns what arrived.
    std::vector<RtlTcpCommand> wait_for_commands(std::size_t count, std::chrono::milliseconds timeout) const;
    // Lets the next chunk marked wait_for_release go.
    void release();
    // Waits until the client has closed its end or the timeout passed; true when it closed.
    bool wait_for_client_close(std::chrono::milliseconds timeout) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace testbed
