#pragma once

#include <string_view>

namespace sig {

// International Morse code: letters, digits and the usual punctuation, as "." and "-" strings.

// What a received symbol means: a prosign ("<AR>" for .-.-., "<SK>" for ...-.-, "<BT>" for
// -...-), else the character of the exact code, else empty (unknown code).
std::string_view morse_decode(std::string_view symbol);

}  // namespace sig
