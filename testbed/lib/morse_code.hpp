#pragma once

#include <string_view>

namespace testbed {

// The International Morse code of a character (letters in either case) as "." and "-", as a
// sender keys it; empty when Morse has none. The keyer's own table, apart from the receiver's,
// so that round trips also check the receiver's.
std::string_view morse_code(char ch);

}  // namespace testbed
