#include "tests/support/file_text.hpp"

#include <fstream>
#include <sstream>
#include <utility>

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

std::vector<std::string> lines_with(std::string const& text, std::string const& part)
{
    std::vector<std::string> found;
    for (std::string& line : lines_of(text)) {
        if (line.find(part) != std::string::npos)
            found.push_back(std::move(line));
    }
    return found;
}
