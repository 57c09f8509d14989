#pragma once

// Where the files the program keeps for the user between runs live: the per-user state
// directory. Only computes paths; creating and checking what is opened there is the business of
// core/private_directory.hpp and core/private_file.hpp.

#include <unistd.h>
#include <pwd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

// The value of the environment variable when it is set to an absolute path; otherwise an empty
// path (an empty or relative value counts as unset).
inline std::filesystem::path absolute_env_path(char const* variable)
{
    char const* const value = std::getenv(variable);
    if (value == nullptr || value[0] != '/')
        return {};
    return std::filesystem::path(value);
}

inline std::filesystem::path join_path(std::filesystem::path const& base, std::filesystem::path const& component)
{
    return base / component;
}

namespace state_directory_detail {

// getpwuid_r rather than getpwuid: the reporters ask for their paths from their own threads.
inline std::filesystem::path password_home()
{
    long const hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<std::size_t>(hint) : 16384);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        int const error = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (std::size_t{1} << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/')
            return {};
        return std::filesystem::path(found->pw_dir);
    }
}

}  // namespace state_directory_detail

// The path of `name` in the state directory: $XDG_STATE_HOME/norvane, else
// $HOME/.local/state/norvane, else the password database's home/.local/state/norvane. Only
// computes: nothing is created or checked on disk.
inline std::string state_directory(char const* name)
{
    std::filesystem::path base = absolute_env_path("XDG_STATE_HOME");
    if (base.empty()) {
        std::filesystem::path home = absolute_env_path("HOME");
        if (home.empty())
            home = state_directory_detail::password_home();
        if (home.empty())
            throw std::runtime_error("Cannot determine user's home directory");
        base = join_path(home, ".local/state");
    }
    return join_path(join_path(base, "norvane"), name).string();
}
