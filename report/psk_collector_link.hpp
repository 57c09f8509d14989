#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "core/unique_fd.hpp"

// The one-way UDP path to the PSK Reporter collector: a connected, non-blocking socket, looked
// up and connected when none is open and reused for every later datagram. A failed send closes
// it, so the next datagram looks the name up again.
class PskCollectorLink {
public:
    PskCollectorLink(std::string host, std::string service);
    ~PskCollectorLink();
    PskCollectorLink(PskCollectorLink const&) = delete;
    PskCollectorLink& operator=(PskCollectorLink const&) = delete;

    // Sends one datagram, looking the name up first when no socket is open (at most 2 s). A stop
    // request ends that wait early, unless *stop was already set when the wait began (the final
    // flush). Throws the user's text on a failed lookup, connection or send.
    void send(std::vector<unsigned char> const& datagram, std::atomic<bool> const* stop);

    bool is_open() const { return fd_.get() >= 0; }
    void close();

private:
    void connect(std::atomic<bool> const* stop);

    std::string host_;
    std::string service_;
    UniqueFd fd_;
};
