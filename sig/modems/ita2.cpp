#include "sig/modems/ita2.hpp"

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

}  // namespace sig
