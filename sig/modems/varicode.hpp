#pragma once

#include <cstdint>
#include <string_view>

namespace sig {

// The PSK31 varicode: for each ASCII code 0..127 its bits as '0'/'1' characters, first bit
// first. Every code begins and ends with 1 and holds no two zeros in a row, so two zeros always
// end a character and a run of zeros is idle.
std::string_view psk_varicode(int ascii);

// The character whose code bits, behind a leading 1 bit, form index (the letter t, code 101,
// is index 0b1101 = 13); -1 for an index that is no code. Indices run below 2048.
int psk_varicode_lookup(std::uint32_t index);

}  // namespace sig
