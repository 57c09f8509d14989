#pragma once

// Test scaffolding around the stand-in GPU plug-in (testbed/gpu): its paths, its settings in
// the environment, its event log.

#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "rx888/gpu_library.hpp"
#include "tests/support/temp_dir.hpp"

inline std::string gpu_standin_path() { return std::string(NORVANE_TESTBED_DIR) + "/libgpu_standin.so"; }
inline std::string gpu_standin_old_abi_path() { return std::string(NORVANE_TESTBED_DIR) + "/libgpu_standin_old_abi.so"; }
inline std::string gpu_standin_no_rx_unpin_path()
{
    return std::string(NORVANE_TESTBED_DIR) + "/libgpu_standin_no_rx_unpin.so";
}

// The stand-in's name as it reports it by default.
inline std::string const gpu_standin_name = "Stand-in GPU (FFTW)";

// The stand-in, loaded once for the test process.
inline GpuLibrary const& gpu_standin()
{
    static GpuLibrary const library = GpuLibrary::load(gpu_standin_path());
    return library;
}

// Sets NORVANE_GPU_* (read by the stand-in at every create call) with an event log in a
// private directory; every variable is removed again on destruction. Nothing else may touch
// the environment meanwhile.
class GpuStandinSettings {
public:
    GpuStandinSettings(std::initializer_list<std::pair<std::string, std::string>> settings = {})
    {
        set("LOG", log_path());
        for (auto const& [name, value] : settings)
            set(name, value);
    }
    ~GpuStandinSettings()
    {
        for (std::string const& name : names_)
            unsetenv(name.c_str());
    }
    GpuStandinSettings(GpuStandinSettings const&) = delete;
    GpuStandinSettings& operator=(GpuStandinSettings const&) = delete;

    void set(std::string const& name, std::string const& value)
    {
        std::string const full = "NORVANE_GPU_" + name;
        setenv(full.c_str(), value.c_str(), 1);
        names_.push_back(full);
    }

    std::string log_path() const { return (dir_ / "gpu-events.txt").string(); }

    // The logged events, one per line.
    std::vector<std::string> log() const
    {
        std::vector<std::string> lines;
        std::ifstream in(log_path());
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    std::size_t count(std::string const& event) const
    {
        std::size_t n = 0;
        for (std::string const& line : log())
            n += line == event ? 1 : 0;
        return n;
    }

private:
    TempDir dir_;
    std::vector<std::string> names_;
};
