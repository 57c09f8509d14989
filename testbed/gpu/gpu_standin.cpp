// A stand-in for the GPU plug-in, for tests and demonstrations without a GPU. It exports the
// eighteen functions of rx888/gpu_plugin.hpp with C linkage and computes on the processor, with
// FFTW, exactly what that header defines: the RX-888 converter, the channelizer's transform in
// its storage order, and the receive engine's complex rows, real segments and window peaks.
// Like a GPU it copies each launch's new half block and keeps the previous one itself, computes
// a launched frame only when it is waited for, and holds on to ("pins") the host buffers it was
// given until they are released; a buffer that moves while pinned is an error, as is a table
// change or a launch into a slot whose frame was not yet waited for.
//
// Read at every create call:
//   NORVANE_GPU_NAME           the device name the *_name functions report (default
//                              "Stand-in GPU (FFTW)"); set but empty, they report none (null)
//   NORVANE_GPU_FAIL           calls that fail, ',' separated: create, fft_create, rx_create (the
//                              create call itself), or NAME@N for the Nth call on one handle
//                              (from 1) of run, fft_run, reset, tables, launch, wait
//   NORVANE_GPU_UNTERMINATED   when set, an error text fills the whole error buffer, without
//                              the terminating NUL
// Read once:
//   NORVANE_GPU_LOG            a file that gets one line per ABI query, unpin and destroy

#pragma GCC visibility push(default)
#include "rx888/gpu_plugin.hpp"
#pragma GCC visibility pop

#include <fftw3.h>

#include <algorithm>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef STANDIN_ABI
#define STANDIN_ABI 5
#endif

namespace {

using Complex = std::complex<float>;

// The program plans its own transforms under its own lock, which the stand-in cannot see:
// FFTW's threads library puts its planner under one lock for both.
__attribute__((constructor)) void make_planning_safe() { fftwf_make_planner_thread_safe(); }

void log_event(std::string const& line)
{
    static std::mutex mutex;
    char const* path = std::getenv("NORVANE_GPU_LOG");
    if (path == nullptr || *path == '\0')
        return;
    std::scoped_lock lock(mutex);
    if (std::FILE* file = std::fopen(path, "a")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

struct Settings {
    std::string name = "Stand-in GPU (FFTW)";
    bool no_name = false;
    bool unterminated = false;
    std::map<std::string, std::set<long long>> failures;

    static Settings read()
    {
        Settings settings;
        if (char const* name = std::getenv("NORVANE_GPU_NAME")) {
            settings.name = name;
            settings.no_name = settings.name.empty();
        }
        settings.unterminated = std::getenv("NORVANE_GPU_UNTERMINATED") != nullptr;
        if (char const* fail = std::getenv("NORVANE_GPU_FAIL")) {
            std::istringstream list(fail);
            for (std::string item; std::getline(list, item, ',');) {
                std::size_t const at = item.find('@');
                long long const n = at == std::string::npos ? 1 : std::atoll(item.c_str() + at + 1);
                settings.failures[item.substr(0, at)].insert(n);
            }
        }
        return settings;
    }

    bool fails(std::string const& call, long long number) const
    {
        auto const found = failures.find(call);
        return found != failures.end() && found->second.count(number) != 0;
    }

    char const* device_name() const { return no_name ? nullptr : name.c_str(); }

    // Writes `text` as the plug-in's error; returns the failure result.
    int report(char* error, std::uint32_t size, std::string const& text) const
    {
        if (error == nullptr || size == 0)
            return 1;
        if (unterminated) {
            std::string const long_text = text + " ";
            for (std::uint32_t i = 0; i < size; ++i)
                error[i] = long_text[i % long_text.size()];
        } else {
            std::size_t const n = std::min<std::size_t>(text.size(), size - 1);
            std::memcpy(error, text.data(), n);
            error[n] = '\0';
        }
        return 1;
    }
};

std::string failed_on_request(std::string const& call, long long number)
{
    return "stand-in GPU: " + call + " " + std::to_string(number) + " failed on request";
}

// fftwf_malloc'd storage, zeroed.
template <typename T>
class Aligned {
public:
    explicit Aligned(std::size_t size) : size_(std::max<std::size_t>(size, 1))
    {
        data_ = static_cast<T*>(fftwf_malloc(size_ * sizeof(T)));
        if (data_ == nullptr)
            throw std::bad_alloc();
        std::memset(static_cast<void*>(data_), 0, size_ * sizeof(T));
    }
    ~Aligned() { fftwf_free(data_); }
    Aligned(Aligned const&) = delete;
    Aligned& operator=(Aligned const&) = delete;
    T* data() { return data_; }
    T const* data() const { return data_; }
    T& operator[](std::size_t i) { return data_[i]; }

private:
    T* data_ = nullptr;
    std::size_t size_;
};

class Plan {
public:
    Plan() = default;
    explicit Plan(fftwf_plan plan) : plan_(plan)
    {
        if (plan_ == nullptr)
            throw std::runtime_error("stand-in GPU: FFTW could not plan");
    }
    ~Plan()
    {
        if (plan_ != nullptr)
            fftwf_destroy_plan(plan_);
    }
    Plan(Plan const&) = delete;
    Plan& operator=(Plan const&) = delete;
    void run() const { fftwf_execute(plan_); }

private:
    fftwf_plan plan_ = nullptr;
};

Complex* as_complex(fftwf_complex* p) { return reinterpret_cast<Complex*>(p); }

// One pinned host buffer: the pointer the plug-in holds on to, until it is released.
template <typename T>
struct Pin {
    T const* held = nullptr;
    // False when `pointer` is not the buffer still pinned.
    bool take(T const* pointer)
    {
        if (held != nullptr && held != pointer)
            return false;
        held = pointer;
        return true;
    }
};

struct Converter {
    Settings settings;
    std::uint32_t decimation = 0;
    std::uint32_t points = 0;  // M
    std::vector<Complex> weights;  // the M selected filter entries, times 1/8192
    Aligned<float> words{16384};
    Aligned<fftwf_complex> spectrum{8193};
    Aligned<fftwf_complex> selected;
    Plan forward;
    Plan inverse;
    Pin<std::int16_t> raw_pin;
    Pin<float> out_pin;
    long long runs = 0;

    Converter(Settings given, std::uint32_t d, float const* filter)
        : settings(std::move(given)), decimation(d), points(16384 / d), weights(points), selected(points),
          forward(fftwf_plan_dft_r2c_1d(16384, words.data(), spectrum.data(), FFTW_ESTIMATE)),
          inverse(fftwf_plan_dft_1d(static_cast<int>(points), selected.data(), selected.data(), FFTW_BACKWARD,
                                    FFTW_ESTIMATE))
    {
        for (std::uint32_t j = 0; j < points; ++j) {
            std::uint32_t const index = j < points / 2 ? j : 16384 + j - points;
            weights[j] = Complex(filter[2 * index], filter[2 * index + 1]) * (1.0f / 8192.0f);
        }
    }

    void convert(std::int16_t const* raw, std::uint32_t centre_bin, std::uint64_t block_index, float phase, float step,
                 float* output)
    {
        for (std::size_t n = 0; n < 16384; ++n)
            words[n] = static_cast<float>(raw[n]) / 32768.0f;
        forward.run();
        Complex const* bins = as_complex(spectrum.data());
        float const sign = (centre_bin & 1u) != 0 && (block_index & 1u) == 0 ? -1.0f : 1.0f;
        Complex* x = as_complex(selected.data());
        auto const m = static_cast<std::int64_t>(points);
        for (std::int64_t j = 0; j < m; ++j) {
            std::int64_t const b = static_cast<std::int64_t>(centre_bin) + (j < m / 2 ? j : j - m);
            Complex value;
            if (b == 0)
                value = Complex(bins[0].real(), 0.0f);
            else if (b > 0 && b < 8192)
                value = bins[b];
            x[j] = value * weights[static_cast<std::size_t>(j)] * sign;
        }
        inverse.run();
        for (std::uint32_t k = 0; k < points / 2; ++k) {
            std::complex<double> const p = std::polar(1.0, static_cast<double>(phase) + static_cast<double>(k) * step);
            Complex const y = x[points / 2 + k] * Complex(static_cast<float>(p.real()), static_cast<float>(p.imag()));
            output[2 * k] = y.real();
            output[2 * k + 1] = y.imag();
        }
    }
};

struct Transform {
    Settings settings;
    std::uint64_t columns = 0;
    std::uint64_t rows = 0;
    std::uint64_t size = 0;
    Aligned<fftwf_complex> work;
    Plan plan;
    long long runs = 0;

    Transform(Settings given, std::uint64_t c, std::uint64_t r)
        : settings(std::move(given)), columns(c), rows(r), size(c * r), work(size),
          plan(fftwf_plan_dft_1d(static_cast<int>(size), work.data(), work.data(), FFTW_FORWARD, FFTW_ESTIMATE))
    {
    }
};

struct Engine {
    struct Launch {
        bool pending = false;
        std::vector<std::int16_t> words;  // the frame's L words: previous half, then this one
        std::uint64_t frame = 0;
        std::int64_t bounds[4] = {};
        float* results = nullptr;
        std::uint64_t frame_floats = 0;
    };

    Settings settings;
    std::uint64_t length;  // L
    float scale;
    std::vector<std::int16_t> previous;  // the last launch's half block, kept "on the device"
    Aligned<float> real_in;
    Aligned<fftwf_complex> spectrum;
    Plan forward;

    std::vector<std::uint32_t> bins_per_row;
    std::vector<std::uint32_t> parity;
    std::vector<std::int64_t> complex_bins;
    std::vector<Complex> weights;
    std::vector<std::uint32_t> starts;
    std::vector<std::int64_t> real_bins;
    std::uint64_t frame_floats = 1024;
    std::map<std::uint32_t, std::unique_ptr<Aligned<fftwf_complex>>> buffers;
    std::map<std::uint32_t, std::unique_ptr<Plan>> inverses;

    Launch launches[2];
    Pin<float> results_pin;
    std::map<std::string, long long> calls;

    Engine(Settings given, std::uint64_t l, float s)
        : settings(std::move(given)), length(l), scale(s), previous(l / 2, 0), real_in(l), spectrum(l / 2 + 1),
          forward(fftwf_plan_dft_r2c_1d(static_cast<int>(l), real_in.data(), spectrum.data(), FFTW_ESTIMATE))
    {
        launches[0].words.resize(l);
        launches[1].words.resize(l);
    }

    // Counts a call; true when it must fail.
    bool fails(std::string const& call) { return settings.fails(call, ++calls[call]); }
    std::string failed(std::string const& call) { return failed_on_request(call, calls[call]); }

    Complex bin(std::int64_t k) const
    {
        if (k < 0 || k > static_cast<std::int64_t>(length / 2))
            return {};
        return reinterpret_cast<Complex const*>(spectrum.data())[k] * scale;
    }

    void compute(Launch const& launch)
    {
        for (std::size_t n = 0; n < length; ++n)
            real_in[n] = static_cast<float>(launch.words[n]) / 32768.0f;
        forward.run();
        float* out = launch.results;
        std::size_t at = 0;  // complex values so far
        std::size_t first = 0;
        for (std::size_t r = 0; r < bins_per_row.size(); ++r) {
            std::uint32_t const b = bins_per_row[r];
            if (b > 0) {
                float const sign = parity[r] != 0 && launch.frame % 2 == 0 ? -1.0f : 1.0f;
                Complex* x = as_complex(buffers.at(b)->data());
                for (std::uint32_t j = 0; j < b; ++j)
                    x[j] = bin(complex_bins[first + j]) * weights[first + j] * sign;
                inverses.at(b)->run();
                for (std::uint32_t j = 0; j < b / 2; ++j) {
                    out[2 * (at + j)] = x[b / 2 + j].real();
                    out[2 * (at + j) + 1] = x[b / 2 + j].imag();
                }
            }
            first += b;
            at += b / 2;
        }
        float* level = out + 2 * at;
        for (std::size_t s = 0; s + 1 < starts.size(); ++s) {
            float largest = 0.0f;
            for (std::uint32_t i = starts[s]; i < starts[s + 1] && i < real_bins.size(); ++i)
                largest = std::max(largest, std::norm(bin(real_bins[i])));
            level[s] = largest;
        }
        // The window's bins in order, cut into 512 runs with one strongest bin each.
        float* pairs = out + launch.frame_floats - 1024;
        std::int64_t const low = std::max<std::int64_t>(launch.bounds[0], 0);
        std::int64_t const high = std::min<std::int64_t>(launch.bounds[1], static_cast<std::int64_t>(length / 2));
        std::vector<std::int64_t> window;
        for (std::int64_t k = low; k <= high; ++k)
            if (!(k > launch.bounds[2] && k < launch.bounds[3]))
                window.push_back(k);
        std::size_t const n = window.size();
        for (std::size_t p = 0; p < 512; ++p) {
            float best = 0.0f;
            std::int64_t best_bin = -1;
            for (std::size_t i = p * n / 512; i < (p + 1) * n / 512; ++i) {
                float const power = std::norm(bin(window[i]));
                if (best_bin < 0 || power > best) {
                    best = power;
                    best_bin = window[i];
                }
            }
            pairs[2 * p] = best;
            pairs[2 * p + 1] = static_cast<float>(best_bin);
        }
    }
};

}  // namespace

extern "C" {

int rx888_gpu_abi(void)
{
    log_event("abi");
    return STANDIN_ABI;
}

void* rx888_gpu_create(uint32_t transform_length, uint32_t block_length, uint32_t decimation, float const* filter,
                       char* error, uint32_t error_size)
{
    Settings settings = Settings::read();
    if (settings.fails("create", 1)) {
        settings.report(error, error_size, "stand-in GPU: converter creation failed on request");
        return nullptr;
    }
    if (transform_length != 16384 || block_length != 8192 || decimation < 2 || decimation > 256 ||
        (decimation & (decimation - 1)) != 0 || filter == nullptr) {
        settings.report(error, error_size, "stand-in GPU: unsupported converter geometry");
        return nullptr;
    }
    try {
        return new Converter(std::move(settings), decimation, filter);
    } catch (std::exception const& failure) {
        Settings::read().report(error, error_size, failure.what());
        return nullptr;
    }
}

char const* rx888_gpu_name(void* converter) { return static_cast<Converter*>(converter)->settings.device_name(); }

int rx888_gpu_run(void* converter, int16_t const* raw, uint32_t blocks, uint32_t centre_bin, uint64_t first_block,
                  float const* phases, float* output, float step, char* error, uint32_t error_size)
{
    Converter& c = *static_cast<Converter*>(converter);
    ++c.runs;
    if (c.settings.fails("run", c.runs))
        return c.settings.report(error, error_size, failed_on_request("run", c.runs));
    if (!c.raw_pin.take(raw) || !c.out_pin.take(output))
        return c.settings.report(error, error_size, "stand-in GPU: a pinned host buffer moved");
    for (std::uint32_t i = 0; i < blocks; ++i)
        c.convert(raw + 8192 * static_cast<std::size_t>(i), centre_bin, first_block + i, phases[i], step,
                  output + 2 * static_cast<std::size_t>(i) * (c.points / 2));
    return 0;
}

void rx888_gpu_unpin(void* converter)
{
    Converter& c = *static_cast<Converter*>(converter);
    c.raw_pin = {};
    c.out_pin = {};
    log_event("gpu_unpin");
}

void rx888_gpu_destroy(void* converter)
{
    delete static_cast<Converter*>(converter);
    log_event("gpu_destroy");
}

void* rx888_fft_create(uint64_t columns, uint64_t rows, char* error, uint32_t error_size)
{
    Settings settings = Settings::read();
    if (settings.fails("fft_create", 1)) {
        settings.report(error, error_size, "stand-in GPU: transform creation failed on request");
        return nullptr;
    }
    if (columns == 0 || rows == 0 || columns * rows > (std::uint64_t{1} << 30)) {
        settings.report(error, error_size, "stand-in GPU: unsupported transform size");
        return nullptr;
    }
    try {
        return new Transform(std::move(settings), columns, rows);
    } catch (std::exception const& failure) {
        Settings::read().report(error, error_size, failure.what());
        return nullptr;
    }
}

char const* rx888_fft_name(void* transform) { return static_cast<Transform*>(transform)->settings.device_name(); }

int rx888_fft_run(void* transform, float const* input, float* output, char* error, uint32_t error_size)
{
    Transform& t = *static_cast<Transform*>(transform);
    ++t.runs;
    if (t.settings.fails("fft_run", t.runs))
        return t.settings.report(error, error_size, failed_on_request("fft_run", t.runs));
    std::memcpy(static_cast<void*>(t.work.data()), input, t.size * sizeof(fftwf_complex));
    t.plan.run();
    Complex const* bins = as_complex(t.work.data());
    auto* out = reinterpret_cast<Complex*>(output);
    for (std::uint64_t k = 0; k < t.size; ++k)
        out[(k % t.rows) * t.columns + k / t.rows] = bins[k];
    return 0;
}

void rx888_fft_destroy(void* transform)
{
    delete static_cast<Transform*>(transform);
    log_event("fft_destroy");
}

void* rx888_rx_create(uint64_t transform_length, char* error, uint32_t error_size, float scale, float decimation)
{
    Settings settings = Settings::read();
    if (settings.fails("rx_create", 1)) {
        settings.report(error, error_size, "stand-in GPU: receive engine creation failed on request");
        return nullptr;
    }
    if (transform_length < 2 || transform_length % 2 != 0 || !(decimation >= 1.0f) ||
        transform_length > (std::uint64_t{1} << 30)) {
        settings.report(error, error_size, "stand-in GPU: unsupported receive engine size");
        return nullptr;
    }
    try {
        return new Engine(std::move(settings), transform_length, scale);
    } catch (std::exception const& failure) {
        Settings::read().report(error, error_size, failure.what());
        return nullptr;
    }
}

char const* rx888_rx_name(void* engine) { return static_cast<Engine*>(engine)->settings.device_name(); }

int rx888_rx_reset(void* engine, char* error, uint32_t error_size)
{
    Engine& e = *static_cast<Engine*>(engine);
    if (e.fails("reset"))
        return e.settings.report(error, error_size, e.failed("reset"));
    e.launches[0].pending = false;
    e.launches[1].pending = false;
    std::fill(e.previous.begin(), e.previous.end(), std::int16_t{0});
    return 0;
}

int rx888_rx_tables(void* engine, uint32_t complex_rows, uint32_t const* bins_per_row, uint32_t const* row_parity,
                    int64_t const* complex_bins, float const* weights, uint32_t segments, uint32_t const* segment_starts,
                    int64_t const* real_bins, char* error, uint32_t error_size)
{
    Engine& e = *static_cast<Engine*>(engine);
    if (e.fails("tables"))
        return e.settings.report(error, error_size, e.failed("tables"));
    if (e.launches[0].pending || e.launches[1].pending)
        return e.settings.report(error, error_size, "stand-in GPU: tables changed while a frame was in flight");
    try {
        e.bins_per_row.assign(bins_per_row, bins_per_row + complex_rows);
        e.parity.assign(row_parity, row_parity + complex_rows);
        std::size_t total = 0;
        std::size_t values = 0;
        for (std::uint32_t b : e.bins_per_row) {
            total += b;
            values += b / 2;
        }
        e.complex_bins.assign(complex_bins, complex_bins + total);
        e.weights.resize(total);
        for (std::size_t j = 0; j < total; ++j)
            e.weights[j] = Complex(weights[2 * j], weights[2 * j + 1]);
        e.starts.assign(segment_starts, segment_starts + segments + 1);
        e.real_bins.assign(real_bins, real_bins + e.starts.back());
        e.frame_floats = 2 * values + segments + 1024;
        for (std::uint32_t b : e.bins_per_row) {
            if (b == 0 || e.inverses.count(b) != 0)
                continue;
            auto buffer = std::make_unique<Aligned<fftwf_complex>>(b);
            e.inverses[b] = std::make_unique<Plan>(
                fftwf_plan_dft_1d(static_cast<int>(b), buffer->data(), buffer->data(), FFTW_BACKWARD, FFTW_ESTIMATE));
            e.buffers[b] = std::move(buffer);
        }
    } catch (std::exception const& failure) {
        return e.settings.report(error, error_size, failure.what());
    }
    return 0;
}

int rx888_rx_launch(void* engine, int16_t const* input, uint32_t slot, uint64_t frame, int64_t window_low,
                    int64_t window_high, int64_t exclusion_low, int64_t exclusion_high, float* results,
                    uint64_t frame_floats, char* error, uint32_t error_size)
{
    Engine& e = *static_cast<Engine*>(engine);
    if (e.fails("launch"))
        return e.settings.report(error, error_size, e.failed("launch"));
    if (slot > 1 || e.launches[slot].pending)
        return e.settings.report(error, error_size, "stand-in GPU: launch into a busy slot");
    if (frame_floats != e.frame_floats)
        return e.settings.report(error, error_size, "stand-in GPU: the frame does not match the tables");
    if (!e.results_pin.take(results))
        return e.settings.report(error, error_size, "stand-in GPU: a pinned host buffer moved");
    Engine::Launch& launch = e.launches[slot];
    std::size_t const half = e.length / 2;
    std::copy(e.previous.begin(), e.previous.end(), launch.words.begin());
    std::copy_n(input + slot * half, half, launch.words.begin() + static_cast<std::ptrdiff_t>(half));
    std::copy_n(input + slot * half, half, e.previous.begin());
    launch.frame = frame;
    launch.bounds[0] = window_low;
    launch.bounds[1] = window_high;
    launch.bounds[2] = exclusion_low;
    launch.bounds[3] = exclusion_high;
    launch.results = results + slot * frame_floats;
    launch.frame_floats = frame_floats;
    launch.pending = true;
    return 0;
}

int rx888_rx_wait(void* engine, uint32_t slot, char* error, uint32_t error_size)
{
    Engine& e = *static_cast<Engine*>(engine);
    if (e.fails("wait"))
        return e.settings.report(error, error_size, e.failed("wait"));
    if (slot > 1 || !e.launches[slot].pending)
        return e.settings.report(error, error_size, "stand-in GPU: nothing launched in that slot");
    e.compute(e.launches[slot]);
    e.launches[slot].pending = false;
    return 0;
}

#ifndef STANDIN_WITHOUT_RX_UNPIN
void rx888_rx_unpin(void* engine)
{
    static_cast<Engine*>(engine)->results_pin = {};
    log_event("rx_unpin");
}
#endif

void rx888_rx_destroy(void* engine)
{
    delete static_cast<Engine*>(engine);
    log_event("rx_destroy");
}

}  // extern "C"
