#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/ascii_case.hpp"
#include "core/value_parse.hpp"

// The digital modes the external decoders handle. The codes are stored and exchanged as they
// are, so they never change: new modes go at the end.
enum class DigitalMode : std::uint32_t {
    FT8 = 0,
    FT4 = 1,
    JS8 = 2,        // the four JS8 speeds share one band preset and one decoder program
    JS8_FAST = 3,
    JS8_TURBO = 4,
    JS8_SLOW = 5,
    WSPR = 6,
};

inline constexpr std::size_t digital_mode_count = 7;

inline constexpr std::array<DigitalMode, digital_mode_count> all_digital_modes = {
    DigitalMode::FT8,      DigitalMode::FT4,       DigitalMode::JS8,  DigitalMode::JS8_FAST,
    DigitalMode::JS8_TURBO, DigitalMode::JS8_SLOW, DigitalMode::WSPR,
};

namespace digital_mode_detail {

struct Row {
    std::string_view name;
    double interval_seconds;
    std::int64_t interval_samples;  // at the 12000 Hz channel rate
};

inline constexpr std::array<Row, digital_mode_count> rows = {{
    {"FT8", 15.0, 180000},
    {"FT4", 7.5, 90000},
    {"JS8", 15.0, 180000},
    {"JS8-FAST", 10.0, 120000},
    {"JS8-TURBO", 6.0, 72000},
    {"JS8-SLOW", 30.0, 360000},
    {"WSPR", 120.0, 1440000},
}};

// A code outside the table can only come from a corrupted value; it reads as FT8, the mode
// the capture also falls back to, rather than indexing past the table.
inline constexpr Row const& row(DigitalMode mode)
{
    auto const index = static_cast<std::uint32_t>(mode);
    return index < rows.size() ? rows[index] : rows[0];
}

}  // namespace digital_mode_detail

// "FT8", "FT4", "JS8", "JS8-FAST", "JS8-TURBO", "JS8-SLOW" or "WSPR".
inline constexpr std::string_view digital_mode_name(DigitalMode mode)
{
    return digital_mode_detail::row(mode).name;
}

// The name for texts that must not pass a corrupted code off as a real mode (ALL.TXT's mode
// column, the decoder lines): "unknown" for a code outside the table, where digital_mode_name
// falls back to FT8.
inline constexpr std::string_view digital_mode_name_or_unknown(DigitalMode mode)
{
    return static_cast<std::uint32_t>(mode) < digital_mode_count ? digital_mode_name(mode) : "unknown";
}

// Length of one UTC interval: 15, 7.5, 15, 10, 6, 30 or 120 s.
inline constexpr double digital_mode_interval_seconds(DigitalMode mode)
{
    return digital_mode_detail::row(mode).interval_seconds;
}

// Samples of one interval at the 12000 Hz channel rate.
inline constexpr std::int64_t digital_mode_interval_samples(DigitalMode mode)
{
    return digital_mode_detail::row(mode).interval_samples;
}

// Reads a mode name, ignoring surrounding blanks and letter case ("js8-fast" is JS8-FAST).
inline DigitalMode parse_digital_mode(std::string_view text)
{
    std::string const name = upper_ascii(trim(text));
    for (DigitalMode mode : all_digital_modes) {
        if (digital_mode_name(mode) == name)
            return mode;
    }
    throw std::runtime_error("Digital mode must be FT8, FT4, JS8, JS8-FAST, JS8-TURBO, JS8-SLOW or WSPR: " +
                             name);
}
