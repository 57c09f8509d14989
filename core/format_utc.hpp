#pragma once

#include <ctime>
#include <stdexcept>
#include <string>

// strftime of the UTC calendar time; throws "Invalid UTC timestamp" when there is none.
// gmtime_r rather than gmtime: decoder workers and the WSPRnet uploader format from their own
// threads.
inline std::string format_utc(std::time_t seconds, char const* format)
{
    std::tm calendar{};
    char buffer[64];
    if (::gmtime_r(&seconds, &calendar) == nullptr)
        throw std::runtime_error("Invalid UTC timestamp");
    std::size_t const length = std::strftime(buffer, sizeof buffer, format, &calendar);
    if (length == 0)
        throw std::runtime_error("Invalid UTC timestamp");
    return std::string(buffer, length);
}
