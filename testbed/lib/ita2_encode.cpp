#include "testbed/lib/ita2_encode.hpp"

#include <cctype>
#include <cstddef>

#include "sig/modems/ita2.hpp"

namespace testbed {

std::optional<Ita2Code> ita2_encode(char ch) {
    if (ch == 0) return std::nullopt;
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const auto& letters = sig::ita2_letters();
    const auto& figures = sig::ita2_figures();
    for (int code = 0; code < 32; ++code) {
        if (code == sig::kIta2FiguresShift || code == sig::kIta2LettersShift) continue;
        const bool in_letters = letters[static_cast<std::size_t>(code)] == upper;
        const bool in_figures = figures[static_cast<std::size_t>(code)] == ch;
        if (in_letters && in_figures) return Ita2Code{code, false, true};
        if (in_letters) return Ita2Code{code, false, false};
        if (in_figures) return Ita2Code{code, true, false};
    }
    return std::nullopt;
}

}  // namespace testbed
