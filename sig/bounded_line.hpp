#pragma once

// A one-line report of bounded length whose free text is what gives way: the line is built
// again from a shorter text (never cut inside a UTF-8 character) until it fits, so the fields
// after the text survive. Shared by the analysis channels' SIG lines and the survey's.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace sig {

// format(text) builds the line around a text. Shortening aims 8 bytes under max_bytes so that a
// text whose escapes grow needs few rounds; a line still too long with no text left is cut at
// max_bytes (back to a character boundary).
std::string bounded_line(std::string_view text, std::size_t max_bytes,
                         const std::function<std::string(std::string_view)>& format);

}  // namespace sig
