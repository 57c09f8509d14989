#include "report/psk_report_writer.hpp"

#include <stdexcept>

// The sqlite writer is not part of this build yet. Only the inert writer (empty path) can be
// built; asking for a real record fails loudly instead of losing the batches unseen.
struct PskReportWriter::Impl {};

PskReportWriter::PskReportWriter(std::string path)
{
    if (!path.empty())
        throw std::runtime_error("PSK Reporter is not built yet; run without --pskreporter");
}

PskReportWriter::~PskReportWriter() = default;

void PskReportWriter::record_batch(std::uint64_t, std::int64_t)
{
    // Inert: there is no file to record into.
}
