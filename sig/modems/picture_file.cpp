#include "sig/modems/picture_file.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "core/format_utc.hpp"
#include "core/log_line.hpp"
#include "sig/modems/png_writer.hpp"

namespace sig {
namespace {

bool name_taken(const std::filesystem::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

}  // namespace

std::string save_picture(const std::string& directory, const std::string& kind, std::time_t start,
                         const std::string& tail, std::int32_t width, std::int32_t height, int channels,
                         const std::uint8_t* pixels) {
    const std::string folder = directory.empty() ? "." : directory;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error && !std::filesystem::is_directory(folder)) {
        log_line(kind + ": cannot create " + folder + ": " + error.message());
        return {};
    }
    const std::string stem = kind + "-" + format_utc(start, "%Y%m%d-%H%M%S") + "-" + tail;
    std::filesystem::path path = std::filesystem::path(folder) / (stem + ".png");
    for (int n = 2; name_taken(path) && n <= 99; ++n)
        path = std::filesystem::path(folder) / (stem + "-" + std::to_string(n) + ".png");
    std::string text;
    if (!write_png(path.string(), width, height, channels, pixels, &text)) {
        log_line(kind + ": " + text);
        return {};
    }
    return path.string();
}

}  // namespace sig
