#pragma once

#include <vector>

// A UDP socket on 127.0.0.1 at a fixed port that keeps whatever is sent to it, standing in for a
// collector a program reports to. Delivery on loopback is done by the time the sender's call
// returns, so once the sender has exited every datagram it sent is waiting here.
class UdpCollector {
public:
    // Throws std::runtime_error when it cannot listen on port.
    explicit UdpCollector(int port);
    ~UdpCollector();
    UdpCollector(UdpCollector const&) = delete;
    UdpCollector& operator=(UdpCollector const&) = delete;

    // Every datagram waiting now, in arrival order; never waits for more.
    std::vector<std::vector<unsigned char>> datagrams();

private:
    int fd_ = -1;
};
