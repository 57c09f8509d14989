#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/decoded_spot.hpp"

// What WsprReporter::submit throws for a spot (or station identity) that fails its checks. It
// condemns that one spot, not the uploader: the decoder worker counts it and goes on.
class InvalidWsprSpot : public std::runtime_error {
public:
    InvalidWsprSpot() : std::runtime_error("Invalid WSPRnet spot") {}
};

struct WsprReporterStats {
    std::uint64_t queued = 0;
    std::uint64_t accepted = 0;
    std::uint64_t sent = 0;
    std::uint64_t failed = 0;
    std::uint64_t duplicates = 0;
    std::uint64_t dropped = 0;
};

// The WSPRnet uploader, owned by the decoder pool; uploads on its own thread.
class WsprReporter {
public:
    // upload(form, stop) posts one form and says whether WSPRnet took it; empty: through curl.
    using Upload = std::function<bool(std::string const&, std::atomic<bool> const&)>;

    // Throws "Invalid WSPRnet station identity" unless call and grid pass the station checks.
    WsprReporter(std::string receiver_call, std::string receiver_grid, Upload upload);
    ~WsprReporter();
    WsprReporter(WsprReporter const&) = delete;
    WsprReporter& operator=(WsprReporter const&) = delete;

    // Queues the WSPRnet form of one spot; throws InvalidWsprSpot for a spot failing its checks.
    void submit(double start_utc, double dial_hz, DecodedSpot const& spot);
    // Drops what is still queued (counted) and joins the upload thread; a second call does nothing.
    void stop();
    WsprReporterStats stats() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
