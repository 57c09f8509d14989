#pragma once

// Event times come partly from outside programs (the JTTY decoder's own clock) and from block
// arithmetic, so a finite but absurd value (1e30) must never reach time_t or the calendar. Both
// event writers print only times of years 0 to 9999 and treat any other like a missing one.

#include <cmath>
#include <cstdint>
#include <ctime>

namespace sig {

inline constexpr std::int64_t kFirstCalendarSecond = -62167219200;  // 0000-01-01T00:00:00Z
inline constexpr std::int64_t kLastCalendarSecond = 253402300799;   // 9999-12-31T23:59:59Z

inline bool is_calendar_second(std::int64_t seconds) {
    return seconds >= kFirstCalendarSecond && seconds <= kLastCalendarSecond;
}

// t is finite and lies in years 0..9999.
inline bool is_calendar_time(double t) {
    return std::isfinite(t) && t >= static_cast<double>(kFirstCalendarSecond) &&
           t < static_cast<double>(kLastCalendarSecond) + 1.0;
}

// floor(t) when t lies in years 0..9999, else 0 (the epoch), as for a time that is not finite.
inline std::int64_t calendar_second(double t) {
    return is_calendar_time(t) ? static_cast<std::int64_t>(std::floor(t)) : 0;
}

// The UTC calendar fields of a second within years 0..9999 (others give the epoch's).
inline std::tm utc_fields(std::int64_t seconds) {
    if (!is_calendar_second(seconds)) seconds = 0;
    const auto value = static_cast<std::time_t>(seconds);
    std::tm fields{};
    ::gmtime_r(&value, &fields);
    return fields;
}

}  // namespace sig
