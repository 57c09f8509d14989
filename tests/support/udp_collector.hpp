#pragma once

#include <chrono>
#include <vector>

// A UDP socket on 127.0.0.1 that keeps whatever is sent to it, standing in for a collector a
// program reports to. Delivery on loopback is done by the time the sender's call returns, so
// once the sender has exited every datagram it sent is waiting here.
class UdpCollector {
public:
    struct Datagram {
        std::vector<unsigned char> bytes;
        int from_port = 0;  // the sender's port
    };

    // port 0: any free port. Throws std::runtime_error when it cannot listen.
    explicit UdpCollector(int port = 0);
    ~UdpCollector();
    UdpCollector(UdpCollector const&) = delete;
    UdpCollector& operator=(UdpCollector const&) = delete;

    int port() const { return port_; }
    // Stops listening: from now on loopback answers senders "port unreachable".
    void close();

    // Every datagram waiting now, in arrival order; never waits for more.
    std::vector<std::vector<unsigned char>> datagrams();
    // The next datagram, waiting up to `wait` for it; empty bytes and port 0 when none came.
    Datagram receive(std::chrono::milliseconds wait = std::chrono::seconds(5));
    // The first datagram to come within `wait`, and every one waiting after it.
    std::vector<std::vector<unsigned char>> receive_all(std::chrono::milliseconds wait = std::chrono::seconds(5));

private:
    int fd_ = -1;
    int port_ = 0;
};
