#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_dir.hpp"

// What the tests that talk to outside services need so that nothing leaves the machine: the
// test process, and so every program it starts, moves into a network namespace of its own in
// which only loopback exists, and into a private mount namespace in which files such as
// /etc/hosts can be replaced for the test alone.

// Enters the two namespaces, brings loopback up and makes every mount private. Returns why
// that failed (it needs root), or an empty text.
std::string enter_private_network();

// The sources that /etc/nsswitch.conf names for host names, in order ("files", "dns", ...;
// bracketed actions are kept as they stand).
std::vector<std::string> host_lookup_sources();

// Binds a file holding `content` over `target` for as long as the object lives (the file is
// kept in a directory of its own).
class PrivateFile {
public:
    PrivateFile(std::string const& target, std::string const& content);
    ~PrivateFile();
    PrivateFile(PrivateFile const&) = delete;
    PrivateFile& operator=(PrivateFile const&) = delete;

    // Why the file could not be bound; empty when it is in place.
    std::string const& failure() const { return failure_; }

private:
    TempDir dir_;
    std::string target_;
    bool bound_ = false;
    std::string failure_;
};

// A private /etc/hosts that names localhost and points each given host name at its address.
// failure() also tells when a name does not resolve to its address through the system resolver.
class HostsFile {
public:
    explicit HostsFile(std::vector<std::pair<std::string, std::string>> const& names);
    HostsFile(HostsFile const&) = delete;
    HostsFile& operator=(HostsFile const&) = delete;

    std::string const& failure() const { return failure_; }

private:
    PrivateFile file_;
    std::string failure_;
};

// A PSK Reporter collector: a UDP socket on 127.0.0.1 at the given port. Delivery on loopback
// is done by the time the sender's call returns, so once the sender has exited every datagram
// it sent is waiting here. Throws std::runtime_error when it cannot listen.
class UdpCollector {
public:
    explicit UdpCollector(int port);
    ~UdpCollector();
    UdpCollector(UdpCollector const&) = delete;
    UdpCollector& operator=(UdpCollector const&) = delete;

    // Every datagram received since the last call, in arrival order.
    std::vector<std::vector<unsigned char>> datagrams();

private:
    int fd_ = -1;
};
