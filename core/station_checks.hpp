#pragma once

#include <algorithm>
#include <string>
#include <string_view>

namespace station_checks_detail {

inline bool is_upper_letter(char c) { return c >= 'A' && c <= 'Z'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

// One "/"-separated part is a call when it matches ^([A-Z0-9]{1,6})[0-9][A-Z]{1,6}$ as a whole
// and the prefix (the first group) holds a letter, so "11A" (prefix "1") is no call. The match
// is written out rather than left to std::regex: only one split can match (the suffix must be
// the part's whole final run of letters, since the character before it is a digit), so the
// capture is the one a regular-expression engine gives, and there is no compiled state to share
// between the decoder and reporter threads that call this.
inline bool is_callsign_part(std::string_view part)
{
    std::size_t suffix = 0;
    while (suffix < part.size() && is_upper_letter(part[part.size() - 1 - suffix]))
        ++suffix;
    if (suffix < 1 || suffix > 6 || suffix + 2 > part.size())
        return false;
    std::size_t const digit = part.size() - 1 - suffix;
    if (!is_digit(part[digit]))
        return false;
    std::string_view const prefix = part.substr(0, digit);
    if (prefix.size() > 6)
        return false;
    bool const allowed =
        std::all_of(prefix.begin(), prefix.end(), [](char c) { return is_upper_letter(c) || is_digit(c); });
    return allowed && std::any_of(prefix.begin(), prefix.end(), is_upper_letter);
}

}  // namespace station_checks_detail

// An upper-case amateur call sign, possibly with "/"-separated portable prefixes or suffixes
// ("K1ABC/P", "VE3/K1ABC"): some part between the slashes must look like a call sign.
inline bool is_valid_callsign(std::string_view text)
{
    if (text.size() < 3 || text.size() > 32)
        return false;
    if (text.front() == '/' || text.back() == '/' || text.find("//") != std::string_view::npos)
        return false;
    bool const allowed = std::all_of(text.begin(), text.end(), [](char c) {
        return station_checks_detail::is_upper_letter(c) || station_checks_detail::is_digit(c) || c == '/';
    });
    if (!allowed)
        return false;
    for (;;) {
        auto const slash = text.find('/');
        if (station_checks_detail::is_callsign_part(text.substr(0, slash)))
            return true;
        if (slash == std::string_view::npos)
            return false;
        text.remove_prefix(slash + 1);
    }
}

// An upper-case Maidenhead locator of 4, 6 or 8 characters: field (A-R), square (digits),
// subsquare (A-X), extended square (digits).
inline bool is_valid_locator(std::string_view text)
{
    if (text.size() != 4 && text.size() != 6 && text.size() != 8)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char const c = text[i];
        bool ok = false;
        switch (i) {
        case 0:
        case 1: ok = c >= 'A' && c <= 'R'; break;
        case 4:
        case 5: ok = c >= 'A' && c <= 'X'; break;
        default: ok = c >= '0' && c <= '9'; break;
        }
        if (!ok)
            return false;
    }
    return true;
}

// A call in angle brackets, as FT8 and WSPR messages show a call they carry only as a hash
// ("<K1ABC>", or "<...>" when the hash is unknown): something between the two brackets.
inline bool is_bracketed_call(std::string_view token)
{
    return token.size() >= 3 && token.front() == '<' && token.back() == '>';
}
