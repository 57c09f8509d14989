#include "app/standard_output.hpp"

#include <unistd.h>

#include <cerrno>

#include "core/errno_error.hpp"

void write_standard_output(std::string_view text)
{
    while (!text.empty()) {
        ssize_t const written = ::write(STDOUT_FILENO, text.data(), text.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            throw errno_error("Cannot write to standard output");
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}
