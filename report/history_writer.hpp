#pragma once

#include <cstdint>
#include <memory>
#include <string>

// One decoded interval for the history database.
struct HistoryObservation {
    std::string receiver;
    std::string mode;           // "FT8", "FT4", "JS8", "JS8-FAST", "JS8-TURBO", "JS8-SLOW" or "WSPR"
    double frequency_hz = 0.0;  // dial frequency
    double time_s = 0.0;        // start of the interval, UNIX seconds
    std::uint64_t count = 0;    // spots of the interval, 0 included
};

// Keeps the per-minute decode counts in the --history-db sqlite file (table minutes), on its own
// thread, deleting minutes older than the retention. The database never holds up reception: a
// failing file costs history (reported on standard error), never decoding.
class HistoryWriter {
public:
    // Starts the writer thread; the file is opened there, once per pass.
    HistoryWriter(std::string path, int retention_days);
    // Writes what is still queued (or reports it dropped) and joins the writer thread.
    ~HistoryWriter();
    HistoryWriter(HistoryWriter const&) = delete;
    HistoryWriter& operator=(HistoryWriter const&) = delete;

    // Queues one observation without waiting for the database; a full queue (4096) loses its
    // oldest entry, with one line on standard error.
    void record(HistoryObservation observation);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
