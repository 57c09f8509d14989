#pragma once

// Letter case of protocol text (call signs, locators, mode and option words): only the ASCII
// letters change, every other byte (UTF-8 sequences included) stays as it is, whatever the
// process locale says.

#include <string>
#include <string_view>

inline std::string upper_ascii(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

inline std::string lower_ascii(std::string_view text)
{
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}
