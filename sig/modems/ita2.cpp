#include "sig/modems/ita2.hpp"

#include <cctype>

namespace sig {

const std::array<char, 32>& ita2_letters() {
    static constexpr std::array<char, 32> kLetters = {
        0,   'E', '\n', 'A', ' ', 'S', 'I', 'U',  //  0.. 7
        '\r', 'D', 'R', 'J', 'N', 'F', 'C', 'K',  //  8..15
        'T', 'Z', 'L', 'W', 'H', 'Y', 'P', 'Q',   // 16..23
        'O', 'B', 'G', 0,   'M', 'X', 'V', 0,     // 24..31 (27 figures, 31 letters)
    };
    return kLetters;
}

const std::array<char, 32>& ita2_figures() {
    static constexpr std::array<char, 32> kFigures = {
        0,   '3', '\n', '-', ' ', '\'', '8', '7',  //  0.. 7
        '\r', '$', '4', 7,   ',', '!', ':', '(',   //  8..15
        '5', '+', ')', '2', '#', '6', '0', '1',    // 16..23
        '9', '?', '&', 0,   '.', '/', '=', 0,      // 24..31
    };
    return kFigures;
}

std::optional<Ita2Code> ita2_encode(char ch) {
    if (ch == 0) return std::nullopt;
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const auto& letters = ita2_letters();
    const auto& figures = ita2_figures();
    for (int code = 0; code < 32; ++code) {
        if (code == kIta2FiguresShift || code == kIta2LettersShift) continue;
        const bool in_letters = letters[static_cast<std::size_t>(code)] == upper;
        const bool in_figures = figures[static_cast<std::size_t>(code)] == ch;
        if (in_letters && in_figures) return Ita2Code{code, false, true};
        if (in_letters) return Ita2Code{code, false, false};
        if (in_figures) return Ita2Code{code, true, false};
    }
    return std::nullopt;
}

}  // namespace sig
