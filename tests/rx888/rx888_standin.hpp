#pragma once

// Test scaffolding around the stand-in libusb with its emulated RX-888 (testbed/rx888): its
// path, its environment, its call log, FX3 images, and standard error captured while a test
// runs.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/options.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/temp_dir.hpp"

inline std::string usb_standin_path() { return std::string(NORVANE_TESTBED_DIR) + "/librx888_usb_standin.so"; }
inline std::string usb_standin_without_error_name_path()
{
    return std::string(NORVANE_TESTBED_DIR) + "/librx888_usb_standin_no_error_name.so";
}

// Sets NORVANE_RX888_* (read when libusb is first initialised) with a call log and a memory
// dump in a private directory; every variable is removed again on destruction. Nothing else
// may touch the environment while the stand-in runs.
class UsbStandin {
public:
    UsbStandin() : UsbStandin(std::map<std::string, std::string>{}) {}
    UsbStandin(std::initializer_list<std::pair<std::string, std::string>> settings)
        : UsbStandin(std::map<std::string, std::string>(settings.begin(), settings.end()))
    {
    }
    explicit UsbStandin(std::map<std::string, std::string> const& settings)
    {
        set("LOG", log_path());
        set("MEMORY", memory_path());
        for (auto const& [name, value] : settings)
            set(name, value);
    }
    ~UsbStandin()
    {
        for (std::string const& name : names_)
            unsetenv(name.c_str());
    }
    UsbStandin(UsbStandin const&) = delete;
    UsbStandin& operator=(UsbStandin const&) = delete;

    void set(std::string const& name, std::string const& value)
    {
        std::string const full = "NORVANE_RX888_" + name;
        setenv(full.c_str(), value.c_str(), 1);
        names_.push_back(full);
    }

    std::string log_path() const { return (dir_ / "calls.txt").string(); }
    std::string memory_path() const { return (dir_ / "memory.txt").string(); }
    std::filesystem::path file(std::string const& name) const { return dir_ / name; }
    TempDir const& dir() const { return dir_; }

    std::vector<std::string> log() const { return lines(log_path()); }

    // Logged calls that begin with prefix.
    std::vector<std::string> log_of(std::string const& prefix) const
    {
        std::vector<std::string> found;
        for (std::string const& line : log())
            if (line.rfind(prefix, 0) == 0)
                found.push_back(line);
        return found;
    }

    // Waits (up to 20 s) until a logged line begins with prefix.
    bool wait_for_log(std::string const& prefix) const
    {
        auto const end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < end) {
            if (!log_of(prefix).empty())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::vector<std::string> memory() const { return lines(memory_path()); }

    static std::vector<std::string> lines(std::string const& path)
    {
        return file_lines(path);
    }

private:
    TempDir dir_;
    std::vector<std::string> names_;
};

inline std::string slow_clock_path() { return std::string(NORVANE_TESTBED_DIR) + "/libslow_clock.so"; }

// Whole programs in slow motion: the stand-in streams `factor` times slower than real, and the
// programs started while this lives see a system clock slowed alike (testbed/slow_clock, by
// LD_PRELOAD), which reads `utc_start` now. A loaded machine then only has to keep up with a
// fraction of the ADC rate, and the program still finds its samples on time. Monotonic time
// (timeouts, --duration) stays real: a run of S stream seconds takes factor x S seconds.
// Set before the UsbStandin whose settings it completes; nothing else may touch the environment.
class SlowMotion {
public:
    SlowMotion(double factor, double utc_start) : factor_(factor)
    {
        double const monotonic =
            std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        std::ostringstream clock;
        clock.precision(17);
        clock << monotonic << '@' << utc_start << '@' << factor;
        setenv("NORVANE_SLOW_CLOCK", clock.str().c_str(), 1);
        setenv("LD_PRELOAD", slow_clock_path().c_str(), 1);
        setenv("NORVANE_RX888_SLOW", std::to_string(factor).c_str(), 1);
    }
    ~SlowMotion()
    {
        unsetenv("NORVANE_SLOW_CLOCK");
        unsetenv("LD_PRELOAD");
        unsetenv("NORVANE_RX888_SLOW");
    }
    SlowMotion(SlowMotion const&) = delete;
    SlowMotion& operator=(SlowMotion const&) = delete;

    // Real seconds for `stream_seconds` of the stream.
    double real(double stream_seconds) const { return factor_ * stream_seconds; }

private:
    double factor_;
};

// The vendor requests of a default configuration, as the call log shows them: stop, 128 MHz
// clock, GPIO with the bias tee off, 0xB8, attenuator 10 dB (value 20), VGA code 0x83 (0 dB).
inline std::vector<std::string> default_configure_log()
{
    return {"control 40 ab 0000 0000 4 00000000", "control 40 b2 0000 0000 4 0020a107",
            "control 40 ad 0000 0000 4 00000100", "control 40 b8 0000 0000 4 00000000",
            "control 40 b6 0014 000a 1 00",       "control 40 b6 0083 000b 1 00"};
}

// Options of a wideband receiver on the stand-in.
inline Options rx888_options()
{
    Options options;
    options.backend = "rx888";
    options.rx888_library = usb_standin_path();
    options.wideband = true;
    options.agc = false;
    options.sample_rate = 8000000;
    options.frequency = 14080000;
    options.rx888_recovery = 130;
    options.buffer_seconds = 8;
    return options;
}

// An FX3 boot image: "CY", two header bytes, the sections, the entry section and a checksum.
struct Fx3Section {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> data;  // a multiple of 4 bytes
};

inline std::vector<std::uint8_t> fx3_image_bytes(std::vector<Fx3Section> const& sections, std::uint32_t entry,
                                                 bool with_entry = true)
{
    std::vector<std::uint8_t> bytes = {'C', 'Y', 0x1C, 0xB0};
    auto put = [&](std::uint32_t value) {
        for (int i = 0; i < 4; ++i)
            bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    };
    for (Fx3Section const& section : sections) {
        put(static_cast<std::uint32_t>(section.data.size() / 4));
        put(section.address);
        bytes.insert(bytes.end(), section.data.begin(), section.data.end());
    }
    if (with_entry) {
        put(0);
        put(entry);
        put(0xDEADBEEF);  // the checksum, which nobody reads
    }
    return bytes;
}

// n bytes of a recognisable pattern.
inline std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed)
{
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    return bytes;
}

inline std::string write_image(TempDir const& dir, std::string const& name, std::vector<std::uint8_t> const& bytes)
{
    std::filesystem::path const path = dir / name;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<char const*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path.string();
}

// Standard error goes to a file while this lives; text() reads what was written so far.
class StderrCapture {
public:
    StderrCapture()
    {
        saved_ = ::dup(STDERR_FILENO);
        int const fd = ::open((dir_ / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrCapture()
    {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    StderrCapture(StderrCapture const&) = delete;
    StderrCapture& operator=(StderrCapture const&) = delete;

    std::string text() const
    {
        return file_text(dir_ / "stderr.txt");
    }

    // Waits (up to `seconds`) until the text holds `part`.
    bool wait_for(std::string const& part, double seconds = 20) const
    {
        auto const end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (text().find(part) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    TempDir dir_;
    int saved_ = -1;
};
