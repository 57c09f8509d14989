#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "core/decoded_spot.hpp"

// What WsprReporter::submit throws for a spot that fails its checks. It condemns that one spot,
// not the uploader: the decoder worker counts it and goes on.
class InvalidWsprSpot : public std::runtime_error {
public:
    InvalidWsprSpot() : std::runtime_error("Invalid WSPRnet spot") {}
};

struct WsprReporterStats {
    std::uint64_t queued = 0;      // uploads waiting now
    std::uint64_t accepted = 0;    // queued for upload
    std::uint64_t sent = 0;        // confirmed by WSPRnet
    std::uint64_t failed = 0;      // failed, uncertain, or expired before their turn
    std::uint64_t duplicates = 0;  // refused: the same sender, MHz and interval again
    std::uint64_t dropped = 0;     // refused on a full queue, or still queued at stop
};

// The WSPRnet uploader, owned by the decoder pool. Spots are checked and encoded on the caller's
// thread; one upload thread posts them one at a time, at least 200 ms apart. An upload that fails
// or whose outcome is uncertain is counted and never repeated.
class WsprReporter {
public:
    // upload(form, stop) posts one form and says whether WSPRnet took it; it should give up
    // promptly once stop is set. Empty: post_wspr_spots.
    using Upload = std::function<bool(std::string const&, std::atomic<bool> const&)>;
    // The wall clock in whole UNIX seconds. Empty: the system clock.
    using Clock = std::function<std::int64_t()>;

    // Throws "Invalid WSPRnet station identity" unless call and grid pass the station checks;
    // no thread is started then.
    WsprReporter(std::string receiver_call, std::string receiver_grid, Upload upload, Clock clock = {});
    ~WsprReporter();
    WsprReporter(WsprReporter const&) = delete;
    WsprReporter& operator=(WsprReporter const&) = delete;

    // Queues the WSPRnet form of one spot of the interval starting at start_utc (UNIX seconds)
    // on the dial frequency dial_hz. Spots of the future, older than 600 s, or from the station
    // itself are ignored; duplicates and overflow are only counted. Throws InvalidWsprSpot for
    // a spot failing its checks.
    void submit(double start_utc, double dial_hz, DecodedSpot const& spot);
    // Drops what is still queued (counted), cuts off an upload in progress and joins the upload
    // thread; a second call does nothing more.
    void stop();
    WsprReporterStats stats() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// The default upload: post_form_with_curl to the WSPRnet endpoint's "/post/".
bool post_wspr_spots(std::string const& body, std::atomic<bool> const& stop);
