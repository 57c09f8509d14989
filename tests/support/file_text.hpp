#pragma once

#include <filesystem>
#include <string>
#include <vector>

// Everything in the file, byte for byte; empty when it cannot be read (a test then fails on what
// it expected to find, not on the read).
std::string file_text(std::filesystem::path const& path);

// The text split at newlines, without them; a last line without its newline still counts.
std::vector<std::string> lines_of(std::string const& text);

// The lines of the text that contain part.
std::vector<std::string> lines_with(std::string const& text, std::string const& part);

// lines_of(file_text(path))
std::vector<std::string> file_lines(std::filesystem::path const& path);
