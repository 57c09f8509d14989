#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads a PNG file with an independent decoder: the imaging library of Debian's python3-pil, run
// by the system Python in a child process (not a Python from PATH, which may lack the package).
struct PngImage {
    std::string mode;  // "L" for grey, "RGB" for colour; empty when the file could not be read
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // rows top first, channels adjacent
    std::string error;                 // the reader's standard error when it failed
};

PngImage read_png(const std::string& path);
