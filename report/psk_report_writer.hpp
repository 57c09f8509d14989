#pragma once

#include <cstdint>
#include <memory>
#include <string>

// Records every sent PSK Reporter batch (its send time and number of spots) in its sqlite file,
// on its own thread, so that a storage failure never holds up reporting. With an empty path it
// is inert.
class PskReportWriter {
public:
    explicit PskReportWriter(std::string path);
    // Writes what is still queued in one last attempt, then joins the writer thread.
    ~PskReportWriter();
    PskReportWriter(PskReportWriter const&) = delete;
    PskReportWriter& operator=(PskReportWriter const&) = delete;

    // Queues one sent batch; a batch of 0 reports is ignored. Throws "Invalid sent PSK report
    // batch" (a negative count or time, or a time past 9000000000000) and "PSK report history
    // queue full" (4096 batches waiting).
    void record_batch(std::uint64_t reports, std::int64_t sent_at);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
