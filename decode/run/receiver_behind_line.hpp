#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The receive buffer as the run loop's once-a-minute backlog line sees it.
struct ReceiveBacklog {
    double backlog_s = 0.0;   // deepest backlog of the last second
    double capacity_s = 0.0;  // what the buffer holds
    // IQ samples refused by the full buffer since the last such line, or since the receiver
    // started when there was none, and how long ago that line was.
    std::uint64_t dropped_samples = 0;
    std::optional<double> since_last_line_s;
    double rate_hz = 0.0;
};

// While the receiver is a second or more behind and nothing was dropped: "Receiver is B s behind
// (buffer C s): decodes are delayed, nothing is lost". Once IQ was dropped the line says how
// much instead, in seconds and samples, and over what time, whatever the backlog is now:
// nothing dropped goes untold. Nothing while the receiver keeps up and drops nothing.
std::optional<std::string> receiver_behind_line(ReceiveBacklog const& backlog);
