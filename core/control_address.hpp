#pragma once

#include <cstring>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

// The Unix-domain address of the control socket, shared by the server that binds it and the
// `--audio-command` client that connects to it. Both hand the whole structure's size to the
// kernel, not the path's length, so the two sides always name the same file.
inline sockaddr_un make_control_address(std::string const& path)
{
    sockaddr_un address {};
    // The path and its terminating zero must fit the 108-byte path field.
    if (path.empty() || path.size() > sizeof(address.sun_path) - 1)
        throw std::runtime_error("Audio control path is too long");
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    address.sun_path[path.size()] = '\0';
    return address;
}
