#include "report/psk_reporter.hpp"

#include <stdexcept>

// The client itself (intake, suppression state, datagrams, sender thread) is not part of this
// build yet. Building one fails loudly so that --pskreporter is refused at start-up instead of
// quietly reporting nothing.
struct PskReporter::Impl {};

namespace {

[[noreturn]] void not_built()
{
    throw std::runtime_error("PSK Reporter is not built yet; run without --pskreporter");
}

}  // namespace

PskReporter::PskReporter(std::string, std::string, SendHook, std::chrono::milliseconds, SentHook, PskReportPolicy)
{
    not_built();
}

PskReporter::~PskReporter() = default;

void PskReporter::submit(PskSpot const&) { not_built(); }

void PskReporter::stop() { not_built(); }

PskReporterStats PskReporter::stats() const { not_built(); }
