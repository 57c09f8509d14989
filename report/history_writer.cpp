#include "report/history_writer.hpp"

#include <stdexcept>

// The history database and its writer thread are not part of this build yet. Building one
// fails loudly so that --history-db is refused at start-up instead of recording nothing.
struct HistoryWriter::Impl {};

namespace {

[[noreturn]] void not_built()
{
    throw std::runtime_error("History database is not built yet; run without --history-db");
}

}  // namespace

HistoryWriter::HistoryWriter(std::string, int) { not_built(); }

HistoryWriter::~HistoryWriter() = default;

void HistoryWriter::record(HistoryObservation) { not_built(); }
