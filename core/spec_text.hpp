#pragma once

// Readers and writers shared by the channel spec texts (audio channels, analysis channels):
// one comma list of unique key=value fields, numbers with k/M suffixes, doubles printed so
// that reading them back gives the same value. Each spec keeps its own messages; these
// helpers only say whether a piece of text is well formed.

#include <charconv>
#include <cmath>
#include <cstddef>
#include <istream>
#include <locale>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>

// 1 to 32 of A-Z, a-z, 0-9, "_" and "-": the identifier of audio channels, analysis channels
// and spectrum views. Checked byte by byte without the C library's character classes, so no
// locale can let bytes above 127 through.
inline bool is_valid_channel_id(std::string_view text) {
    if (text.empty() || text.size() > 32) return false;
    for (char c : text) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

// Splits "k1=v1,k2=v2[,]" into fields ordered by the byte order of their keys (std::string
// compares as unsigned char). One comma at the very end adds no field. Empty pieces, pieces
// without "=", empty keys or values and repeated keys make the whole text malformed: nullopt.
// The value is everything after the first "=", further "=" included; nothing is trimmed.
inline std::optional<std::map<std::string, std::string>> split_spec_fields(std::string_view text) {
    if (!text.empty() && text.back() == ',') text.remove_suffix(1);
    std::map<std::string, std::string> fields;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = text.find(',', start);
        const std::string_view piece =
            text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        const std::size_t eq = piece.find('=');
        if (eq == std::string_view::npos || eq == 0 || eq + 1 == piece.size()) return std::nullopt;
        const bool inserted =
            fields.emplace(std::string(piece.substr(0, eq)), std::string(piece.substr(eq + 1))).second;
        if (!inserted) return std::nullopt;
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return fields;
}

// A decimal number with an optional final k/K (x1000) or m/M (x1000000, both cases mega), read
// in the classic locale whatever the process locale is: leading white space skipped, sign and
// exponent taken, nothing may follow (trailing blanks included). Hexadecimal, infinity and NaN
// spellings are not numbers here; the product must be finite. nullopt for anything else,
// the empty text included.
inline std::optional<double> read_spec_number(std::string_view text) {
    if (text.empty()) return std::nullopt;
    double multiplier = 1.0;
    const char last = text.back();
    if (last == 'k' || last == 'K') {
        multiplier = 1000.0;
        text.remove_suffix(1);
    } else if (last == 'm' || last == 'M') {
        multiplier = 1000000.0;
        text.remove_suffix(1);
    }
    std::istringstream in{std::string(text)};
    in.imbue(std::locale::classic());
    double value = 0.0;
    in >> value;
    if (in.fail()) return std::nullopt;
    if (in.peek() != std::istream::traits_type::eof()) return std::nullopt;
    const double product = value * multiplier;
    if (!std::isfinite(product)) return std::nullopt;
    return product;
}

// A double in general notation with 17 significant digits and no trailing zeros (the
// classic "%.17g"), independent of the process locale: 14070000 -> "14070000",
// 0.1 -> "0.10000000000000001". Enough digits that read_spec_number gives the same double.
inline std::string format_spec_number(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 17);
    if (result.ec != std::errc{}) return std::string{};  // cannot happen: 64 bytes hold any double
    return std::string(buffer, result.ptr);
}
