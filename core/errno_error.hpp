#pragma once

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

// "what: <system error text>" for the errno of the call that just failed. Read errno before
// anything else can overwrite it: call these straight after the failing system call.
inline std::string errno_message(char const* what)
{
    int const error = errno;
    std::string text(what);
    text += ": ";
    text += std::strerror(error);
    return text;
}

inline std::string errno_message(std::string const& what) { return errno_message(what.c_str()); }

// Returned rather than thrown so that the caller's throw statement shows at the failure site.
inline std::runtime_error errno_error(char const* what) { return std::runtime_error(errno_message(what)); }

inline std::runtime_error errno_error(std::string const& what) { return errno_error(what.c_str()); }
