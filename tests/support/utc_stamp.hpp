#pragma once

#include <cstdint>
#include <string>

// A "yymmdd_hhmmss" stamp of UTC, as ALL.TXT and the signal lines write it, as UNIX seconds;
// "yymmdd_hhmm" (a WSPR interval) counts from second 0 of that minute.
std::int64_t utc_stamp_seconds(std::string const& stamp);
