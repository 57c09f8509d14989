// Whole decoder-mode runs over a recording: a 2 MHz capture with 96 FT8 channels replayed
// through decode_receiver as main would run it, with the real jt9 and with a decoder that
// does nothing (/bin/true), so that the two figures split the capture path from the decoding;
// and the floor under them: the same reads and the same 96-channel channelizer, its rows
// thrown away (no intervals, no decoder pool). The figure is seconds of capture per second of
// run (the `capture_s` counter); `faults` counts the process's own page faults per run, so a
// run of one, two and four intervals shows what each further interval costs.
//
// NORVANE_REPLAY_RECORDING names a file to keep the recording in between runs (made when it is
// missing or too short), so that separate processes can be timed against each other;
// otherwise it is made once per process in the temporary directory and removed at exit.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <complex>
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
#include "decode/channelizer.hpp"
#include "decode/run/decode_pipeline.hpp"
#include "decode/run/decode_receiver.hpp"
#include "radio/sample_queue.hpp"

namespace fs = std::filesystem;

namespace {

constexpr double kRateHz = 2000000;
// From one second before an FT8 boundary: runs of 17, 32 and 62 s cut one, two and four
// complete intervals per channel (an interval is complete a little after its end, when the
// channelizer's output has caught up).
constexpr double kRecordingSeconds = 62;

// The ALL.TXT and the decoder workspaces (and the recording, unless it is kept elsewhere), made
// once per benchmark process and removed when it exits.
struct BenchDirectory {
    fs::path path = fs::temp_directory_path() / ("norvane-replay-bench-" + std::to_string(::getpid()));
    BenchDirectory() { fs::create_directories(path); }
    ~BenchDirectory()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

BenchDirectory const& bench_directory()
{
    static BenchDirectory const directory;
    return directory;
}

// White noise of about a tenth of full scale, PCM16: the channel path costs the same whatever
// the signal, and jt9 works through every interval either way.
fs::path recording()
{
    char const* kept = std::getenv("NORVANE_REPLAY_RECORDING");
    fs::path const path = kept != nullptr && *kept != '\0' ? fs::path(kept) : bench_directory().path / "capture.iq";
    auto const values = static_cast<std::uint64_t>(kRateHz * kRecordingSeconds) * 2;
    std::error_code error;
    if (fs::file_size(path, error) == values * 2)
        return path;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::mt19937 generator(7);
    std::normal_distribution<float> noise(0.0f, 3000.0f);
    std::vector<std::int16_t> chunk(1 << 20);
    for (std::uint64_t done = 0; done < values; done += chunk.size()) {
        std::size_t const count = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), values - done));
        for (std::size_t i = 0; i < count; ++i)
            chunk[i] = static_cast<std::int16_t>(std::clamp(noise(generator), -32767.0f, 32767.0f));
        out.write(reinterpret_cast<char const*>(chunk.data()), static_cast<std::streamsize>(count * 2));
    }
    return path;
}

// As main tunes it: large buffers stay in the heap, which keeps 64 MiB before giving back.
void tune_allocator_as_main_does()
{
    static bool const tuned = [] {
        mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
        mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
        mallopt(M_TOP_PAD, 8 * 1024 * 1024);
        return true;
    }();
    (void)tuned;
}

long page_faults()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt + usage.ru_majflt;
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

Options replay_options(double seconds, bool decode)
{
    fs::path const& dir = bench_directory().path;
    std::vector<std::string> args = {"norvane", "--mode", "decoder", "--iq-file", recording().string(), "--start-utc",
                                     "20240315_120359", "--iq-rate", "2M", "--center-frequency", "14.1M",
                                     "--frequencies", frequencies(), "--all-txt", (dir / "ALL.TXT").string(),
                                     "--work-dir", dir.string(), "--duration", std::to_string(seconds)};
    if (!decode) {
        args.push_back("--decoder");
        args.push_back("/bin/true");
    }
    std::vector<char const*> argv;
    for (auto const& a : args)
        argv.push_back(a.c_str());
    return parse_options(static_cast<int>(argv.size()), argv.data());
}

void count_run(benchmark::State& state, double seconds, long faults)
{
    auto const runs = static_cast<double>(state.iterations());
    state.counters["capture_s"] = benchmark::Counter(seconds * runs, benchmark::Counter::kIsRate);
    state.counters["faults"] = static_cast<double>(faults) / runs;
}

// args: decode with jt9 (1) or /bin/true (0), seconds of capture
void BM_Replay2MHz96Channels(benchmark::State& state)
{
    tune_allocator_as_main_does();
    bool const decode = state.range(0) != 0;
    auto const seconds = static_cast<double>(state.range(1));
    Options const options = replay_options(seconds, decode);

    // The pool's per-interval lines would drown the figures.
    int const saved = ::dup(STDERR_FILENO);
    int const null = ::open("/dev/null", O_WRONLY);
    long faults = 0;
    for (auto _ : state) {
        ::dup2(null, STDERR_FILENO);
        long const before = page_faults();
        SampleQueue queue;
        Daemon daemon;
        decode_receiver(options, nullptr, queue, daemon);
        faults += page_faults() - before;
        ::dup2(saved, STDERR_FILENO);
    }
    ::close(null);
    ::close(saved);
    count_run(state, seconds, faults);
    state.counters["workers"] = options.workers;
}

// args: seconds of capture. The replay's reads and the channelizer of its 96 channels, built as
// the pipeline builds it, and nothing after them.
void BM_ReplayFloor2MHz96Channels(benchmark::State& state)
{
    tune_allocator_as_main_does();
    auto const seconds = static_cast<double>(state.range(0));
    Options const options = replay_options(seconds, false);
    DecoderChannelPlan const plan = plan_decoder_channels(options);
    auto const limit = static_cast<std::uint64_t>(seconds * kRateHz);
    long faults = 0;
    for (auto _ : state) {
        long const before = page_faults();
        Channelizer::Impl channelizer(kRateHz, options.frequency, options.bandwidth, options.audio_gain,
                                      first_members(plan.channels), &plan.bandwidths);
        Channelizer::Impl::Rows rows(plan.channels.size());
        std::ifstream in(options.iq_file, std::ios::binary);
        std::vector<std::int16_t> pcm(2 * 16384);
        std::vector<std::complex<float>> block(16384);
        for (std::uint64_t n = 0; n < limit;) {
            auto const want = static_cast<std::size_t>(std::min<std::uint64_t>(16384, limit - n));
            in.read(reinterpret_cast<char*>(pcm.data()), static_cast<std::streamsize>(want * 4));
            auto const got = static_cast<std::size_t>(in.gcount()) / 4;
            if (got == 0)
                break;
            for (std::size_t i = 0; i < got; ++i)
                block[i] = {static_cast<float>(pcm[2 * i]) * (1.0f / 32768.0f),
                            static_cast<float>(pcm[2 * i + 1]) * (1.0f / 32768.0f)};
            for (auto& row : rows)
                row.clear();
            channelizer.push_iq(block.data(), got, rows);
            benchmark::DoNotOptimize(rows.data());
            n += got;
        }
        faults += page_faults() - before;
    }
    count_run(state, seconds, faults);
}

// One, two and four complete intervals per run.
BENCHMARK(BM_Replay2MHz96Channels)
    ->ArgNames({"jt9", "seconds"})
    ->Args({0, 17})
    ->Args({0, 32})
    ->Args({0, 62})
    ->Args({1, 62})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

BENCHMARK(BM_ReplayFloor2MHz96Channels)
    ->ArgName("seconds")
    ->Arg(17)
    ->Arg(32)
    ->Arg(62)
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime()
    ->MeasureProcessCPUTime();

}  // namespace
