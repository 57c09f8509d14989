#include "tests/support/file_text.hpp"

#include <fstream>
#include <sstream>

std::string file_text(std::filesystem::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(std::string const& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> file_lines(std::filesystem::path const& path) { return lines_of(file_text(path)); }
