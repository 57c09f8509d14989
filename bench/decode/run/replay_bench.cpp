// Whole decoder-mode runs over a recording: a 2 MHz capture with 96 FT8 channels replayed
// through decode_receiver as main would run it, with the real jt9 and with a decoder that
// does nothing (/bin/true), so that the two figures split the capture path from the decoding.
// The figure is seconds of capture per second of run (the `capture_s` counter).

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "core/daemon.hpp"
#include "app/parse_options.hpp"
#include "decode/run/decode_receiver.hpp"
#include "radio/sample_queue.hpp"

namespace fs = std::filesystem;

namespace {

constexpr double kRateHz = 2000000;
// From one second before an FT8 boundary: one complete interval and a partial one, as a
// replay of a longer file would see them per interval.
constexpr double kCaptureSeconds = 20;

// The recording, its ALL.TXT and the decoder workspaces, made once per benchmark process and
// removed when it exits.
struct BenchDirectory {
    fs::path path = fs::temp_directory_path() / ("norvane-replay-bench-" + std::to_string(::getpid()));
    BenchDirectory() { fs::create_directories(path); }
    ~BenchDirectory()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

// White noise of about a tenth of full scale, PCM16: the channel path costs the same whatever
// the signal, and jt9 works through every interval either way.
fs::path recording(fs::path const& dir)
{
    fs::path const path = dir / "capture.iq";
    if (fs::exists(path))
        return path;
    std::ofstream out(path, std::ios::binary);
    std::mt19937 generator(7);
    std::normal_distribution<float> noise(0.0f, 3000.0f);
    std::vector<std::int16_t> chunk(1 << 20);
    auto const values = static_cast<std::uint64_t>(kRateHz * kCaptureSeconds) * 2;
    for (std::uint64_t done = 0; done < values; done += chunk.size()) {
        std::size_t const count = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), values - done));
        for (std::size_t i = 0; i < count; ++i)
            chunk[i] = static_cast<std::int16_t>(std::clamp(noise(generator), -32767.0f, 32767.0f));
        out.write(reinterpret_cast<char const*>(chunk.data()), static_cast<std::streamsize>(count * 2));
    }
    return path;
}

// 96 FT8 dials 16 kHz apart across the middle of the capture.
std::string frequencies()
{
    std::string list;
    for (int i = 0; i < 96; ++i) {
        char item[32];
        std::snprintf(item, sizeof item, "%s%.0fk", i == 0 ? "" : ",", 13330.0 + 16.0 * i);
        list += item;
    }
    return list;
}

void BM_Replay2MHz96Channels(benchmark::State& state)
{
    bool const decode = state.range(0) != 0;
    static BenchDirectory const directory;
    fs::path const& dir = directory.path;
    fs::path const iq = recording(dir);
    std::string const list = frequencies();
    std::vector<std::string> args = {"norvane", "--mode", "decoder", "--iq-file", iq.string(), "--start-utc",
                                     "20240315_120359", "--iq-rate", "2M", "--center-frequency", "14.1M",
                                     "--frequencies", list, "--all-txt", (dir / "ALL.TXT").string(),
                                     "--work-dir", dir.string()};
    if (!decode) {
        args.push_back("--decoder");
        args.push_back("/bin/true");
    }
    std::vector<char const*> argv;
    for (auto const& a : args)
        argv.push_back(a.c_str());
    Options const options = parse_options(static_cast<int>(argv.size()), argv.data());

    // The pool's per-interval lines would drown the figures.
    int const saved = ::dup(STDERR_FILENO);
    int const null = ::open("/dev/null", O_WRONLY);
    for (auto _ : state) {
        ::dup2(null, STDERR_FILENO);
        SampleQueue queue;
        Daemon daemon;
        decode_receiver(options, nullptr, queue, daemon);
        ::dup2(saved, STDERR_FILENO);
    }
    ::close(null);
    ::close(saved);
    state.counters["capture_s"] =
        benchmark::Counter(kCaptureSeconds * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["workers"] = options.workers;
}

BENCHMARK(BM_Replay2MHz96Channels)
    ->ArgName("jt9")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(2)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
