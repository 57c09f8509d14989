#include "report/wspr_reporter.hpp"

#include "core/station_checks.hpp"

// The uploader itself (forms, queue, curl, upload thread) is not part of this build yet. The
// station identity is checked as the real one does, then building fails loudly so that
// --wsprnet is refused at start-up instead of quietly uploading nothing.
struct WsprReporter::Impl {};

namespace {

[[noreturn]] void not_built()
{
    throw std::runtime_error("WSPRnet uploads are not built yet; run without --wsprnet");
}

}  // namespace

WsprReporter::WsprReporter(std::string receiver_call, std::string receiver_grid, Upload)
{
    if (!is_valid_callsign(receiver_call) || !is_valid_locator(receiver_grid))
        throw std::runtime_error("Invalid WSPRnet station identity");
    not_built();
}

WsprReporter::~WsprReporter() = default;

void WsprReporter::submit(double, double, DecodedSpot const&) { not_built(); }

void WsprReporter::stop() { not_built(); }

WsprReporterStats WsprReporter::stats() const { not_built(); }
