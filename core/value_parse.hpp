#pragma once

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <locale.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// A copy of text without leading and trailing blanks, tabs, carriage returns and line feeds.
inline std::string trim(std::string_view text)
{
    constexpr std::string_view blanks = " \t\r\n";
    auto const first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    auto const last = text.find_last_not_of(blanks);
    return std::string(text.substr(first, last - first + 1));
}

namespace value_parse_detail {

// Numbers on the command line and in the configuration file always use a full stop, whatever
// locale the process runs in, so the conversion gets a C locale of its own.
inline locale_t c_locale()
{
    static locale_t const locale = newlocale(LC_ALL_MASK, "C", locale_t{});
    return locale;
}

}  // namespace value_parse_detail

// A decimal (or any other spelling strtod reads) with, when allow_suffix is set, a final k or M
// (either case) multiplying it by 1000 or 1000000. The whole text must be used and the result
// must be finite. Failure: "Invalid number: " and the text without its suffix.
inline double parse_number(std::string_view text, bool allow_suffix)
{
    double multiplier = 1.0;
    if (allow_suffix && !text.empty()) {
        char const last = text.back();
        if (last == 'k' || last == 'K') {
            multiplier = 1000.0;
            text.remove_suffix(1);
        } else if (last == 'm' || last == 'M') {
            multiplier = 1000000.0;
            text.remove_suffix(1);
        }
    }
    std::string const digits(text);
    auto fail = [&]() { return std::runtime_error("Invalid number: " + digits); };
    locale_t const locale = value_parse_detail::c_locale();
    if (locale == locale_t{})
        throw fail();

    char const* const begin = digits.c_str();
    char* end = nullptr;
    errno = 0;
    double const value = strtod_l(begin, &end, locale);
    // An embedded NUL ends the conversion early, so comparing with the string's own end also
    // refuses "5\0junk".
    if (end == begin || end != begin + digits.size() || errno == ERANGE)
        throw fail();
    double const result = value * multiplier;
    if (!std::isfinite(result))
        throw fail();
    return result;
}

// A whole number from 0 to 255, without suffixes.
inline std::int32_t parse_byte(std::string_view text)
{
    double const value = parse_number(text, false);
    if (value < 0.0 || value > 255.0 || value != std::floor(value))
        throw std::runtime_error("Expected an integer between 0 and 255: " + std::string(text));
    return static_cast<std::int32_t>(value);
}

// A sample rate in Hz with optional k/M suffix: a whole number from 1 to 64000000.
inline std::int32_t parse_sample_rate(std::string_view text)
{
    double const value = parse_number(text, true);
    if (value < 1.0 || value > 64000000.0 || value != std::floor(value))
        throw std::runtime_error("Sample rate must be a positive integer in Hz, at most 64M");
    return static_cast<std::int32_t>(value);
}

// The text cut at every comma, each piece trimmed. Empty pieces are kept so that the caller
// can refuse them with its own message: "a,,b" gives three items and "" gives one.
inline std::vector<std::string> split_comma_list(std::string_view text)
{
    std::vector<std::string> items;
    for (;;) {
        auto const comma = text.find(',');
        items.push_back(trim(text.substr(0, comma)));
        if (comma == std::string_view::npos)
            return items;
        text.remove_prefix(comma + 1);
    }
}
