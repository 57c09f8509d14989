#pragma once

// Seconds since the Unix epoch by the system clock, with the fraction: the UTC stamp of IQ blocks
// as they arrive and the time of level readings. Interval arithmetic uses the steady clock instead.

#include <chrono>

inline double wall_clock_seconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}
