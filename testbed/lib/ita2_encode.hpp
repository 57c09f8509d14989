#pragma once

#include <optional>

namespace testbed {

// Where a character sits in the receiver's ITA2 tables: its code and whether it needs the
// figures case. Letters are taken in either case; space, line feed and carriage return need no
// particular case (figures false).
struct Ita2Code {
    int code = 0;
    bool figures = false;
    bool either_case = false;
};

std::optional<Ita2Code> ita2_encode(char ch);

}  // namespace testbed
