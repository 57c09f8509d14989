#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace sig {

// Saves a picture a modem received (pixels as write_png takes them) in directory ("." when
// empty; created when missing) as "<kind>-<YYYYMMDD-HHMMSS, UTC of start>-<tail>.png". A name
// already taken gets "-2", "-3" ... up to "-99" before ".png", so a second picture in the same
// second keeps the first. Returns the path written; empty after a line "<kind>: <reason>" to
// standard error.
std::string save_picture(const std::string& directory, const std::string& kind, std::time_t start,
                         const std::string& tail, std::int32_t width, std::int32_t height, int channels,
                         const std::uint8_t* pixels);

}  // namespace sig
