#pragma once

// Test scaffolding around the SDRplay stand-in library (testbed/sdrplay): its path, its
// environment and its call trace.

#include "core/options.hpp"
#include "radio/sample_queue.hpp"
#include "tests/support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <fstream>
#include <initializer_list>
#include <utility>
#include <map>
#include <sstream>
#include <string>
#include <vector>

// The stand-in's calls, one line each.
using Trace = std::vector<std::string>;

inline std::string standin_path() { return std::string(NORVANE_TESTBED_DIR) + "/libsdrplay_standin.so"; }
inline std::string standin_without_update_path()
{
    return std::string(NORVANE_TESTBED_DIR) + "/libsdrplay_standin_no_update.so";
}

// Sets NORVANE_SDRPLAY_* for the stand-in (read when the API is opened), with a trace file in
// a private directory; every variable is removed again on destruction. Set before the radio
// exists: nothing else may touch the environment while a stand-in thread runs.
class StandinSetup {
public:
    StandinSetup() : StandinSetup(std::map<std::string, std::string>{}) {}
    StandinSetup(std::initializer_list<std::pair<std::string, std::string>> settings)
        : StandinSetup(std::map<std::string, std::string>(settings.begin(), settings.end()))
    {
    }
    explicit StandinSetup(std::map<std::string, std::string> const& settings)
    {
        set("TRACE", trace_path());
        set("PACE", "fast");
        for (auto const& [name, value] : settings)
            set(name, value);
    }
    ~StandinSetup()
    {
        for (std::string const& name : names_)
            unsetenv(name.c_str());
    }
    StandinSetup(StandinSetup const&) = delete;
    StandinSetup& operator=(StandinSetup const&) = delete;

    void set(std::string const& name, std::string const& value)
    {
        std::string const full = "NORVANE_SDRPLAY_" + name;
        setenv(full.c_str(), value.c_str(), 1);
        names_.push_back(full);
    }

    std::string trace_path() const { return (dir_ / "trace.txt").string(); }
    std::filesystem::path file(std::string const& name) const { return dir_ / name; }

    // The library calls so far, one per line.
    std::vector<std::string> trace() const
    {
        std::vector<std::string> lines;
        std::ifstream in(trace_path());
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    // The calls alone, without the values they carried ("Init fs=2000000 rf=..." -> "Init"): for
    // tests of the call order.
    std::vector<std::string> calls() const
    {
        std::vector<std::string> lines;
        for (std::string const& line : trace()) {
            std::istringstream words(line);
            std::string call;
            for (std::string word; words >> word;)
                if (word.find('=') == std::string::npos)
                    call += (call.empty() ? "" : " ") + word;
            lines.push_back(call);
        }
        return lines;
    }

    // The traced calls that begin with prefix.
    std::vector<std::string> trace_of(std::string const& prefix) const
    {
        std::vector<std::string> lines;
        for (std::string const& line : trace())
            if (line.rfind(prefix, 0) == 0)
                lines.push_back(line);
        return lines;
    }

private:
    TempDir dir_;
    std::vector<std::string> names_;
};

// Options of a receiver on the stand-in: audio mode by default.
inline Options standin_options()
{
    Options options;
    options.api_library = standin_path();
    options.sample_rate = 2000000;
    options.frequency = 14074000;
    options.if_bandwidth = 1536000;
    return options;
}

// The "name=value" words of a trace line.
inline std::map<std::string, std::string> trace_values(std::string const& line)
{
    std::map<std::string, std::string> values;
    std::istringstream words(line);
    for (std::string word; words >> word;)
        if (std::size_t const equals = word.find('='); equals != std::string::npos)
            values[word.substr(0, equals)] = word.substr(equals + 1);
    return values;
}

// One pop per block: a queue of fewer than 100 samples per second hands out blocks unmerged.
inline void configure_unmerged(SampleQueue& queue) { queue.configure(50.0, 1e6); }

// Pops n blocks; gives up after about ten seconds without one.
inline std::vector<IqBlock> pop_n(SampleQueue& queue, std::size_t n)
{
    std::vector<IqBlock> blocks;
    for (int idle = 0; blocks.size() < n && idle < 100;) {
        IqBlock block;
        if (queue.pop(block)) {
            blocks.push_back(std::move(block));
            idle = 0;
        } else {
            ++idle;
        }
    }
    return blocks;
}

// The stand-in's delivery gate: each byte written lets one delivery (and the events scripted
// before it) through.
class StandinGate {
public:
    explicit StandinGate(StandinSetup& setup) : path_(setup.file("gate").string())
    {
        if (mkfifo(path_.c_str(), 0600) != 0)
            throw std::runtime_error("mkfifo failed");
        fd_ = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        setup.set("GATE", path_);
    }
    ~StandinGate() { ::close(fd_); }
    StandinGate(StandinGate const&) = delete;
    StandinGate& operator=(StandinGate const&) = delete;

    void release(std::size_t deliveries)
    {
        std::string const bytes(deliveries, 'g');
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

private:
    std::string path_;
    int fd_ = -1;
};
