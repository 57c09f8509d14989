#include "sig/bounded_line.hpp"

namespace sig {
namespace {

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string bounded_line(std::string_view whole, std::size_t max_bytes,
                         const std::function<std::string(std::string_view)>& format)
{
    std::size_t const target = max_bytes > 8 ? max_bytes - 8 : 0;
    std::string text(whole);
    std::string line = format(text);
    while (line.size() > max_bytes && !text.empty()) {
        std::size_t const excess = line.size() - target;
        if (text.size() <= excess) {
            text.clear();
        } else {
            std::size_t cut = text.size() - excess;
            while (cut > 0 && is_continuation(text[cut]))
                --cut;
            text.resize(cut);
        }
        line = format(text);
    }
    if (line.size() > max_bytes) {
        std::size_t cut = max_bytes;
        while (cut > 0 && is_continuation(line[cut]))
            --cut;
        line.resize(cut);
    }
    return line;
}

}  // namespace sig
