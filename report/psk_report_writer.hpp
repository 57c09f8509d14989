#pragma once

#include <cstdint>
#include <memory>
#include <string>

// Records every sent PSK Reporter batch in its sqlite file, on its own thread. With an empty
// path it is inert.
class PskReportWriter {
public:
    explicit PskReportWriter(std::string path);
    ~PskReportWriter();
    PskReportWriter(PskReportWriter const&) = delete;
    PskReportWriter& operator=(PskReportWriter const&) = delete;

    // Queues one sent batch; a batch of 0 reports is ignored.
    void record_batch(std::uint64_t reports, std::int64_t sent_at);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
