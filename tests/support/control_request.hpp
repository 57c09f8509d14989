#pragma once

#include <filesystem>
#include <string>

// One request to a receiver's control socket, the way a control client sends it: one packet in,
// the one reply packet back (blocking until it comes). Throws when the socket cannot be reached.
std::string ask_control(std::filesystem::path const& socket_path, std::string const& request);
