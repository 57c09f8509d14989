#include "decode/run/receiver_behind_line.hpp"

#include <cmath>
#include <sstream>

std::optional<std::string> receiver_behind_line(ReceiveBacklog const& backlog)
{
    bool const behind = backlog.backlog_s >= 1.0;
    if (!behind && backlog.dropped_samples == 0)
        return std::nullopt;
    std::ostringstream line;
    if (behind)
        line << "Receiver is " << backlog.backlog_s << " s behind (buffer " << backlog.capacity_s
             << " s): decodes are delayed, ";
    else
        line << "Receive buffer (" << backlog.capacity_s << " s) overflowed: ";
    if (backlog.dropped_samples == 0) {
        line << "nothing is lost";
        return line.str();
    }
    double const dropped_s =
        backlog.rate_hz > 0.0 ? static_cast<double>(backlog.dropped_samples) / backlog.rate_hz : 0.0;
    line << (behind ? "and " : "") << dropped_s << " s of IQ (" << backlog.dropped_samples << " samples) were dropped ";
    if (backlog.since_last_line_s)
        line << "in the last " << std::llround(*backlog.since_last_line_s) << " s";
    else
        line << "since the receiver started";
    return line.str();
}
