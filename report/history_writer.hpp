#pragma once

#include <cstdint>
#include <memory>
#include <string>

// One decoded interval for the history database.
struct HistoryObservation {
    std::string receiver;
    std::string mode;           // "FT8", ..., "WSPR"
    double frequency_hz = 0.0;  // dial frequency
    double time_s = 0.0;        // start of the slot, UNIX seconds
    std::uint64_t count = 0;    // spots of the interval, 0 included
};

// Keeps the per-minute decode counts in the --history-db sqlite file, on its own thread.
class HistoryWriter {
public:
    HistoryWriter(std::string path, int retention_days);
    ~HistoryWriter();
    HistoryWriter(HistoryWriter const&) = delete;
    HistoryWriter& operator=(HistoryWriter const&) = delete;

    // Queues one observation; a full queue loses its oldest entry (with one line on standard error).
    void record(HistoryObservation observation);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
