#include "app/iq_input_checks.hpp"

#include <sys/stat.h>

#include <stdexcept>

namespace {

// True when `path` exists (following links) and is the same file system entity as `input`.
// A path that cannot be examined has nothing to overwrite yet.
bool same_file(const struct stat& input, const std::string& path) {
  struct stat other {};
  if (path.empty() || ::stat(path.c_str(), &other) != 0) return false;
  return other.st_dev == input.st_dev && other.st_ino == input.st_ino;
}

}  // namespace

void check_iq_input(const Options& options) {
  if (options.iq_file.empty()) return;
  struct stat input {};
  if (::stat(options.iq_file.c_str(), &input) != 0 || !S_ISREG(input.st_mode)) {
    throw std::runtime_error("IQ input must be an existing regular file");
  }
  if (same_file(input, options.wav)) {
    throw std::runtime_error("IQ input and WAV output refer to the same file");
  }
  if (options.wideband && same_file(input, options.all_txt)) {
    throw std::runtime_error("IQ input and ALL.TXT output refer to the same file");
  }
}
