#pragma once

#include <array>

namespace sig {

// ITA2 (Baudot-Murray) five-bit teleprinter code. A code's index is its five data bits with the
// first bit on the line as the least significant bit. 0 in a table means the code prints nothing
// in that case.
inline constexpr int kIta2LettersShift = 31;
inline constexpr int kIta2FiguresShift = 27;
inline constexpr char kIta2Bell = 7;

// The letters case: upper-case letters, space (4), line feed (2), carriage return (8).
const std::array<char, 32>& ita2_letters();

// The figures case as amateur teleprinters use it (the US variant: $ on D, # on H, & on G, bell
// on J).
const std::array<char, 32>& ita2_figures();

}  // namespace sig
