#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "report/psk_spot.hpp"

// How a PskReporter keeps time and state.
struct PskReportPolicy {
    // Suppression-state database; empty: "psk-dedup.sqlite3" in the state directory, or a private
    // in-memory one when a send hook replaces UDP delivery.
    std::string path;
    std::function<std::int64_t()> now = [] { return static_cast<std::int64_t>(std::time(nullptr)); };
    std::function<std::chrono::steady_clock::time_point()> monotonic = [] {
        return std::chrono::steady_clock::now();
    };
};

// A consistent snapshot of the reporter's counters.
struct PskReporterStats {
    std::uint64_t queued = 0;
    std::uint64_t sent = 0;
    std::uint64_t duplicates = 0;
    std::uint64_t dropped = 0;
    std::uint64_t failures = 0;
    std::uint64_t invalid = 0;
    std::uint64_t stale = 0;
};

// The PSK Reporter client, shared by the decoder pool, the analysis reporter sink and the
// survey. Producers call submit from any thread; owners call stop.
class PskReporter {
public:
    using SendHook = std::function<void(std::vector<unsigned char> const&)>;
    using SentHook = std::function<void(unsigned long, long)>;

    // send_hook empty: the client sends its datagrams itself over UDP. sent_hook gets the number
    // of spots in each batch sent and its UNIX send time. Throws "Invalid PSK Reporter identity or
    // interval", "Invalid PSK Reporter clock" or the state directory's error; otherwise the sender
    // thread runs until stop.
    PskReporter(std::string receiver_call, std::string receiver_grid, SendHook send_hook,
                std::chrono::milliseconds interval, SentHook sent_hook, PskReportPolicy policy);
    ~PskReporter();
    PskReporter(PskReporter const&) = delete;
    PskReporter& operator=(PskReporter const&) = delete;

    // Validates and queues one spot; bad, stale, repeated or overflowing spots are only counted.
    void submit(PskSpot const& spot);
    // Sends what it holds and joins the sender thread; a second call does nothing more.
    void stop();
    PskReporterStats stats() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Where the reporter keeps its suppression state: the policy's path when set, else a private
// in-memory database when a send hook stands in for the collector, else "psk-dedup.sqlite3" in
// the state directory (whose error propagates).
std::string psk_suppression_path(std::string const& policy_path, bool has_send_hook);
