#pragma once

#include <filesystem>
#include <string>

// A fresh private directory under the system temporary directory, removed with everything in
// it when the object goes. Tests keep their files here, never in the source or build tree.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;

    std::filesystem::path const& path() const { return path_; }
    // path() / name
    std::filesystem::path operator/(std::filesystem::path const& name) const { return path_ / name; }

    // Writes content to path() / name (replacing it) and returns the full path.
    std::filesystem::path write_file(std::string const& name, std::string const& content) const;

private:
    std::filesystem::path path_;
};
