#include "tests/support/utc_stamp.hpp"

#include <ctime>

std::int64_t utc_stamp_seconds(std::string const& stamp)
{
    auto const field = [&](std::size_t at) { return std::stoi(stamp.substr(at, 2)); };
    std::tm calendar{};
    calendar.tm_year = 100 + field(0);
    calendar.tm_mon = field(2) - 1;
    calendar.tm_mday = field(4);
    calendar.tm_hour = field(7);
    calendar.tm_min = field(9);
    calendar.tm_sec = stamp.size() >= 13 ? field(11) : 0;
    return static_cast<std::int64_t>(::timegm(&calendar));
}
