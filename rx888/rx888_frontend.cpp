#include "rx888/rx888_frontend.hpp"

#include <fftw3.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <thread>
#include <utility>

#include "core/fft_planner.hpp"
#include "core/log_line.hpp"
#include "rx888/gpu_library.hpp"

namespace {

constexpr std::size_t N = Rx888Frontend::transform_length;
constexpr std::size_t H = Rx888Frontend::block_words;
constexpr std::int64_t filter_delay = 4096;
constexpr float word_scale = 1.0f / 32768.0f;
constexpr float bin_scale = 1.0f / 8192.0f;

// fftwf_malloc'd storage: the transforms are planned for SIMD alignment and run on any block
// of an aligned array at a multiple of 8192 floats.
template <typename T>
class AlignedArray {
public:
    AlignedArray() = default;
    explicit AlignedArray(std::size_t size) { resize_discarding(size); }
    ~AlignedArray() { fftwf_free(data_); }
    AlignedArray(AlignedArray const&) = delete;
    AlignedArray& operator=(AlignedArray const&) = delete;

    T* data() { return data_; }
    T const* data() const { return data_; }
    std::size_t size() const { return size_; }

    // Grows to at least `size`, keeping the first `keep` elements.
    void reserve_keeping(std::size_t size, std::size_t keep)
    {
        if (size <= size_)
            return;
        std::size_t const grown = std::max(size, size_ + size_ / 2);
        T* fresh = allocate(grown);
        if (keep > 0)
            std::memcpy(fresh, data_, keep * sizeof(T));
        fftwf_free(data_);
        data_ = fresh;
        size_ = grown;
    }

    void resize_discarding(std::size_t size)
    {
        fftwf_free(data_);
        data_ = allocate(size);
        size_ = size;
    }

private:
    static T* allocate(std::size_t size)
    {
        void* memory = fftwf_malloc(std::max<std::size_t>(size, 1) * sizeof(T));
        if (memory == nullptr)
            throw std::bad_alloc();
        std::memset(memory, 0, std::max<std::size_t>(size, 1) * sizeof(T));
        return static_cast<T*>(memory);
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
};

// Complex floats as vectors (re, im, re, im, ...): two in an SSE register (the x86-64
// baseline), four in an AVX2 one. Loops over single complex values stay scalar at -O2 while
// FFTW's own kernels are vectorised, and at D = 2 the per-sample work is a fifth of the
// transforms' cost, so it runs on the widest vectors the processor has (chosen once, below).
// The helpers take and give vectors by reference: a 32-byte vector passed by value in code
// not compiled for AVX changes the calling convention, and only the AVX2 kernels use them.
using Lanes = float __attribute__((vector_size(4 * sizeof(float))));
using LaneIndices = std::int32_t __attribute__((vector_size(4 * sizeof(std::int32_t))));
using WideLanes = float __attribute__((vector_size(8 * sizeof(float))));
using WideLaneIndices = std::int32_t __attribute__((vector_size(8 * sizeof(std::int32_t))));

template <typename V>
constexpr std::size_t points_of = sizeof(V) / sizeof(std::complex<float>);

template <typename V>
[[gnu::always_inline]] inline void load(std::complex<float> const* p, V& v)
{
    std::memcpy(&v, static_cast<void const*>(p), sizeof v);
}

template <typename V>
[[gnu::always_inline]] inline void store(std::complex<float>* p, V const& v)
{
    std::memcpy(static_cast<void*>(p), &v, sizeof v);
}

template <typename V>
[[gnu::always_inline]] inline void broadcast(std::complex<float> c, V& v)
{
    for (std::size_t k = 0; k < points_of<V>; ++k) {
        v[2 * k] = c.real();
        v[2 * k + 1] = c.imag();
    }
}

// Complex products lane by lane (a.re b.re - a.im b.im, a.re b.im + a.im b.re), each part the
// same two products and one sum as the written-out scalar form (negating a product is exact),
// so the result is the same to the bit at every width. std::complex's operator* checks for
// infinities on every product, which keeps any loop over it scalar.
[[gnu::always_inline]] inline void multiply(Lanes const& a, Lanes const& b, Lanes& to)
{
    Lanes const a_re = __builtin_shuffle(a, LaneIndices{0, 0, 2, 2});
    Lanes const a_im = __builtin_shuffle(a, LaneIndices{1, 1, 3, 3});
    Lanes const b_swapped = __builtin_shuffle(b, LaneIndices{1, 0, 3, 2});
    Lanes const signs = {-1.0f, 1.0f, -1.0f, 1.0f};
    to = a_re * b + (a_im * b_swapped) * signs;
}

[[gnu::always_inline]] inline void multiply(WideLanes const& a, WideLanes const& b, WideLanes& to)
{
    WideLanes const a_re = __builtin_shuffle(a, WideLaneIndices{0, 0, 2, 2, 4, 4, 6, 6});
    WideLanes const a_im = __builtin_shuffle(a, WideLaneIndices{1, 1, 3, 3, 5, 5, 7, 7});
    WideLanes const b_swapped = __builtin_shuffle(b, WideLaneIndices{1, 0, 3, 2, 5, 4, 7, 6});
    WideLanes const signs = {-1.0f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f, -1.0f, 1.0f};
    to = a_re * b + (a_im * b_swapped) * signs;
}

std::complex<float> multiply(std::complex<float> a, std::complex<float> b)
{
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// to[k] = a[k] x b[k] for k < n.
template <typename V>
[[gnu::always_inline]] inline void multiply_with(std::complex<float> const* a, std::complex<float> const* b,
                                                 std::complex<float>* to, std::size_t n)
{
    std::size_t k = 0;
    for (; k + points_of<V> <= n; k += points_of<V>) {
        V x, y, product;
        load(a + k, x);
        load(b + k, y);
        multiply(x, y, product);
        store(to + k, product);
    }
    for (; k < n; ++k)
        to[k] = multiply(a[k], b[k]);
}

// to[k] = a[k] x (start x steps[k]) for k < n: the oscillator, its phasor made of the block's
// start phasor and a table of steps.
template <typename V>
[[gnu::always_inline]] inline void rotate_with(std::complex<float> const* a, std::complex<float> start,
                                               std::complex<float> const* steps, std::complex<float>* to,
                                               std::size_t n)
{
    V starts;
    broadcast(start, starts);
    std::size_t k = 0;
    for (; k + points_of<V> <= n; k += points_of<V>) {
        V x, step, phasor, product;
        load(steps + k, step);
        multiply(starts, step, phasor);
        load(a + k, x);
        multiply(x, phasor, product);
        store(to + k, product);
    }
    for (; k < n; ++k)
        to[k] = multiply(a[k], multiply(start, steps[k]));
}

void multiply_baseline(std::complex<float> const* a, std::complex<float> const* b, std::complex<float>* to,
                       std::size_t n)
{
    multiply_with<Lanes>(a, b, to, n);
}

void rotate_baseline(std::complex<float> const* a, std::complex<float> start, std::complex<float> const* steps,
                     std::complex<float>* to, std::size_t n)
{
    rotate_with<Lanes>(a, start, steps, to, n);
}

// to[k] = words[k] / 32768 for k < n. Eight words are read as four 32-bit lanes whose lower
// and upper halves are sign-extended by shifts: a plain conversion of a vector of words is
// scalar without SSE4.1.
void scale_words_baseline(std::int16_t const* words, float* to, std::size_t n)
{
    static_assert(std::endian::native == std::endian::little, "word 2i is the lower half of lane i");
    using Pairs = std::int32_t __attribute__((vector_size(4 * sizeof(std::int32_t))));
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        Pairs pairs;  // lane i: word 2i in the lower half, word 2i + 1 in the upper (little-endian)
        std::memcpy(&pairs, words + k, sizeof pairs);
        Lanes const even = __builtin_convertvector((pairs << 16) >> 16, Lanes) * word_scale;
        Lanes const odd = __builtin_convertvector(pairs >> 16, Lanes) * word_scale;
        Lanes const first = __builtin_shuffle(even, odd, LaneIndices{0, 4, 1, 5});
        Lanes const second = __builtin_shuffle(even, odd, LaneIndices{2, 6, 3, 7});
        std::memcpy(to + k, &first, sizeof first);
        std::memcpy(to + k + 4, &second, sizeof second);
    }
    for (; k < n; ++k)
        to[k] = static_cast<float>(words[k]) * word_scale;
}

// The per-sample kernels in use, the AVX2 ones where the processor has it. Every width gives
// the same result to the bit: the same products and sums in the same order, and no fused
// multiply-add (the AVX2 target has none, so nothing can be contracted into one).
struct Kernels {
    void (*multiply)(std::complex<float> const*, std::complex<float> const*, std::complex<float>*, std::size_t);
    void (*rotate)(std::complex<float> const*, std::complex<float>, std::complex<float> const*, std::complex<float>*,
                   std::size_t);
    void (*scale_words)(std::int16_t const*, float*, std::size_t);
};

#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("avx2")]] void multiply_avx2(std::complex<float> const* a, std::complex<float> const* b,
                                           std::complex<float>* to, std::size_t n)
{
    multiply_with<WideLanes>(a, b, to, n);
}

[[gnu::target("avx2")]] void rotate_avx2(std::complex<float> const* a, std::complex<float> start,
                                         std::complex<float> const* steps, std::complex<float>* to, std::size_t n)
{
    rotate_with<WideLanes>(a, start, steps, to, n);
}

[[gnu::target("avx2")]] void scale_words_avx2(std::int16_t const* words, float* to, std::size_t n)
{
    using Words = std::int16_t __attribute__((vector_size(8 * sizeof(std::int16_t))));
    using Wide = std::int32_t __attribute__((vector_size(8 * sizeof(std::int32_t))));
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        Words w;
        std::memcpy(&w, words + k, sizeof w);
        WideLanes const v = __builtin_convertvector(__builtin_convertvector(w, Wide), WideLanes) * word_scale;
        std::memcpy(to + k, &v, sizeof v);
    }
    for (; k < n; ++k)
        to[k] = static_cast<float>(words[k]) * word_scale;
}
#endif

Kernels const& kernels()
{
    static Kernels const chosen = [] {
#if defined(__x86_64__) || defined(__i386__)
        if (__builtin_cpu_supports("avx2"))
            return Kernels{multiply_avx2, rotate_avx2, scale_words_avx2};
#endif
        return Kernels{multiply_baseline, rotate_baseline, scale_words_baseline};
    }();
    return chosen;
}

void scale_words(std::int16_t const* words, float* to, std::size_t n) { kernels().scale_words(words, to, n); }

bool is_usable_decimation(long long d)
{
    return d >= 2 && d <= 256 && (d & (d - 1)) == 0 && static_cast<long long>(N) % d == 0;
}

// The low-pass response: 8193 Blackman-windowed sinc taps centred on tap 4096, cut-off 0.475/D
// cycles per word, unit gain at DC, transformed to 16384 bins.
std::vector<std::complex<float>> design_filter(std::uint32_t d)
{
    double const fc = 0.475 / d;
    std::vector<float> taps(H + 1);
    double sum = 0.0;
    for (std::size_t n = 0; n <= H; ++n) {
        double const x = static_cast<double>(n) - 4096.0;
        double const h = x == 0.0 ? 2 * fc : std::sin(2 * std::numbers::pi * fc * x) / (std::numbers::pi * x);
        double const w = 0.42 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(n) / 8192.0) +
                         0.08 * std::cos(4 * std::numbers::pi * static_cast<double>(n) / 8192.0);
        taps[n] = static_cast<float>(w * h);
        sum += taps[n];
    }
    auto const norm = static_cast<float>(sum);
    AlignedArray<fftwf_complex> work(N);
    for (std::size_t n = 0; n <= H; ++n) {
        work.data()[n][0] = taps[n] / norm;
        work.data()[n][1] = 0.0f / norm;
    }
    fftwf_plan plan = nullptr;
    {
        std::scoped_lock lock(fft_planner_mutex());
        plan = fftwf_plan_dft_1d(static_cast<int>(N), work.data(), work.data(), FFTW_FORWARD, fixed_plan_flags);
    }
    if (plan == nullptr)
        throw std::runtime_error("RX-888 converter could not plan its filter transform");
    fftwf_execute(plan);
    {
        std::scoped_lock lock(fft_planner_mutex());
        fftwf_destroy_plan(plan);
    }
    std::vector<std::complex<float>> filter(N);
    for (std::size_t k = 0; k < N; ++k)
        filter[k] = {work.data()[k][0], work.data()[k][1]};
    return filter;
}

}  // namespace

std::size_t rx888_converter_length(double clock_hz, double centre_hz, double rate_hz)
{
    if (!std::isfinite(clock_hz) || clock_hz < 1e6 || clock_hz > 1.6e8)
        throw std::runtime_error("RX-888 ADC clock must be a finite 1..160 MHz value");
    if (!std::isfinite(rate_hz) || rate_hz <= 0)
        throw std::runtime_error("RX-888 converter needs a finite positive output rate");
    long long const d = std::llround(clock_hz / rate_hz);
    if (!is_usable_decimation(d))
        throw std::runtime_error("RX-888 output rate must be the ADC clock divided by a power of two (2..256)");
    double const margin = 0.45 * clock_hz / static_cast<double>(d);
    if (!std::isfinite(centre_hz) || centre_hz < margin || centre_hz > clock_hz * 0.5 - margin)
        throw std::runtime_error("RX-888 capture window does not fit the first Nyquist band; shift the center or "
                                 "widen/narrow the sample rate");
    return N / static_cast<std::size_t>(d);
}

struct Rx888Frontend::Impl {
    // One worker's scratch; each block it takes is computed entirely here. The plans are the
    // process's measured ones for these sizes, shared by every worker and front end.
    struct Worker {
        fftwf_plan forward = nullptr;  // real, 16384 words out of place into `spectrum`
        fftwf_plan inverse = nullptr;  // complex, M points in place on `selected`
        AlignedArray<fftwf_complex> spectrum;
        AlignedArray<fftwf_complex> selected;

        explicit Worker(std::size_t m)
            : forward(measured_fft_plans().real_forward(N)),
              inverse(measured_fft_plans().complex_in_place(m, FFTW_BACKWARD)), spectrum(N / 2 + 1), selected(m)
        {
        }
    };

    double clock = 0;
    double centre = 0;
    double residual = 0;
    std::uint32_t decimation = 0;
    std::size_t out_points = 0;
    std::size_t out_per_block = 0;
    std::uint32_t centre_bin = 0;
    std::uint64_t fill = 0;
    std::uint64_t base = 0;
    std::vector<std::complex<float>> filter;
    // filter entries for the M selected bins, in inverse-transform order, scaled by 1/8192
    std::vector<std::complex<float>> selected_filter;
    // exp(-j 2 pi residual k D / clock) for k < M/2, made at each restart
    std::vector<std::complex<float>> oscillator_steps;
    AlignedArray<float> input;  // 8192 words of history, then `fill` new ones
    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<std::thread> threads;
    std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable work_done;
    std::size_t block_count = 0;
    std::size_t next_block = 0;
    std::size_t pending = 0;
    std::uint64_t batch_generation = 0;
    bool stop = false;
    std::exception_ptr error;
    // The batch being converted: where its blocks go.
    std::complex<float>* batch_out = nullptr;
    std::uint64_t batch_base = 0;
    GpuLibrary const* library = nullptr;  // asked at start; null: gpu_library()
    void* gpu = nullptr;                  // the plug-in's converter, null when not in use
    std::string gpu_name;
    std::string gpu_why;
    std::vector<std::complex<float>> gpu_out;
    std::vector<float> gpu_phases;
    std::vector<std::int16_t> raw;  // on the GPU path: 8192 words of history, then `fill` new ones
    unsigned worker_count = 1;
    bool gpu_off = false;
    bool started = false;

    ~Impl()
    {
        {
            std::scoped_lock lock(mutex);
            stop = true;
        }
        work_ready.notify_all();
        for (std::thread& thread : threads)
            thread.join();
        if (gpu != nullptr)
            library->gpu_destroy(gpu);
    }

    // The batch of `blocks` blocks on the GPU into batch_out; false when the converter failed,
    // after which it is gone and `input` holds what `raw` held, for the processor to go on.
    bool convert_on_gpu(std::size_t blocks)
    {
        gpu_phases.resize(blocks);
        std::size_t const samples = blocks * out_per_block;
        if (samples > gpu_out.capacity())
            library->gpu_unpin(gpu);
        gpu_out.resize(samples);
        double const turn = -2 * std::numbers::pi * residual;
        for (std::size_t i = 0; i < blocks; ++i) {
            double const s = static_cast<double>(base + H * i) - static_cast<double>(filter_delay);
            gpu_phases[i] = static_cast<float>(std::remainder(turn * s / clock, 2 * std::numbers::pi));
        }
        auto const step = static_cast<float>(decimation * turn / clock);
        GpuErrorBuffer<512> error;
        if (library->gpu_run(gpu, raw.data(), static_cast<std::uint32_t>(blocks), centre_bin, base / H,
                             gpu_phases.data(), reinterpret_cast<float*>(gpu_out.data()), step, error.data,
                             error.size) == 0) {
            std::copy(gpu_out.begin(), gpu_out.end(), batch_out);
            return true;
        }
        std::string const text = error.text();
        log_line("RX-888 front end: the GPU failed (" + text + "); converting on the CPU from now on");
        library->gpu_destroy(gpu);
        gpu = nullptr;
        gpu_why = "failed: " + text;
        std::size_t const held = H + fill;
        input.reserve_keeping(held, 0);
        scale_words(raw.data(), input.data(), held);
        return false;
    }

    void do_restart(double c)
    {
        rx888_converter_length(clock, c, clock / decimation);
        centre = c;
        centre_bin = static_cast<std::uint32_t>(std::llround(c * static_cast<double>(N) / clock));
        residual = c - static_cast<double>(centre_bin) * clock * 6.103515625e-05;
        // The bins around the new centre read the same response; only the sign rule and the
        // oscillator depend on the centre.
        oscillator_steps.resize(out_per_block);
        double const step = -2 * std::numbers::pi * residual * decimation / clock;
        for (std::size_t k = 0; k < out_per_block; ++k) {
            std::complex<double> const v = std::polar(1.0, step * static_cast<double>(k));
            oscillator_steps[k] = {static_cast<float>(v.real()), static_cast<float>(v.imag())};
        }
        std::fill(input.data(), input.data() + H, 0.0f);
        raw.assign(H, 0);
        fill = 0;
        base = 0;
    }

    // One block: i-th of the batch, writing out_per_block samples at `out`.
    void convert_block(Worker& worker, std::size_t i, std::complex<float>* out) const
    {
        std::uint64_t const s = batch_base + H * i;
        // Planned on fftwf_malloc'd scratch: every block starts a multiple of 8192 floats into
        // an fftwf_malloc'd array, so it is aligned as the plan expects.
        fftwf_execute_dft_r2c(worker.forward, const_cast<float*>(input.data()) + H * i, worker.spectrum.data());
        // The sign of the block is applied to the oscillator's start phasor rather than to
        // every bin: the transforms are linear and negation is exact, so the result is the same.
        float const sign = ((centre_bin & 1u) != 0 && (s & H) == 0) ? -1.0f : 1.0f;
        auto const* spectrum = reinterpret_cast<std::complex<float> const*>(worker.spectrum.data());
        auto* selected = reinterpret_cast<std::complex<float>*>(worker.selected.data());
        std::size_t const m = out_points;
        // Selected entry j reads bin centre + j (j < M/2) or centre + j - M. Walked in bin
        // order, i = 0..M-1 is bin centre - M/2 + i at entry (i + M/2) mod M. Bins below 1 and
        // from 8192 up read zero, bin 0 its real part only.
        auto const k0 = static_cast<std::int64_t>(centre_bin);
        auto const mm = static_cast<std::int64_t>(m);
        std::int64_t const first_bin = k0 - mm / 2;
        std::int64_t const inside_lo = std::clamp<std::int64_t>(1 - first_bin, 0, mm);
        std::int64_t const inside_hi = std::clamp<std::int64_t>(static_cast<std::int64_t>(H) - first_bin, inside_lo, mm);
        auto entry = [&](std::int64_t i) { return static_cast<std::size_t>((i + mm / 2) % mm); };
        // Calls f(first entry, its bin, count) for the entries of i_begin..i_end-1, in at most
        // two runs of consecutive entries.
        auto runs = [&](std::int64_t i_begin, std::int64_t i_end, auto f) {
            for (auto [from, to] : {std::pair{i_begin, std::min(i_end, mm / 2)}, std::pair{std::max(i_begin, mm / 2), i_end}})
                if (from < to)
                    f(entry(from), first_bin + from, static_cast<std::size_t>(to - from));
        };
        auto zero = [&](std::size_t j, std::int64_t, std::size_t n) { std::fill_n(selected + j, n, 0.0f); };
        runs(0, inside_lo, zero);
        runs(inside_hi, mm, zero);
        if (first_bin <= 0 && -first_bin < mm)
            selected[entry(-first_bin)] = spectrum[0].real() * selected_filter[entry(-first_bin)];
        runs(inside_lo, inside_hi, [&](std::size_t j, std::int64_t bin, std::size_t n) {
            kernels().multiply(spectrum + bin, selected_filter.data() + j, selected + j, n);
        });
        fftwf_execute_dft(worker.inverse, worker.selected.data(), worker.selected.data());
        // The oscillator is tied to the absolute word index, so it never jumps at a block or
        // batch boundary; the offset is signed, since the first block starts before word 0.
        // Its start phase is computed per block, the steps within a block come from a table.
        double const phase0 = -2 * std::numbers::pi * residual *
                              static_cast<double>(static_cast<std::int64_t>(s) - filter_delay) / clock;
        std::complex<double> const p0 = std::polar(1.0, phase0);
        std::complex<float> const start(static_cast<float>(p0.real()) * sign, static_cast<float>(p0.imag()) * sign);
        kernels().rotate(selected + m / 2, start, oscillator_steps.data(), out, m / 2);
    }

    void worker_loop(Worker& worker)
    {
        std::uint64_t seen = 0;
        std::unique_lock lock(mutex);
        for (;;) {
            work_ready.wait(lock, [&] { return stop || batch_generation != seen; });
            if (stop)
                return;
            seen = batch_generation;
            take_blocks(worker, lock);
        }
    }

    // Takes blocks of the current batch until none is left; called with `lock` held.
    void take_blocks(Worker& worker, std::unique_lock<std::mutex>& lock)
    {
        while (next_block < block_count) {
            std::size_t const i = next_block++;
            lock.unlock();
            try {
                convert_block(worker, i, batch_out + i * out_per_block);
            } catch (...) {
                lock.lock();
                if (!error)
                    error = std::current_exception();
                if (--pending == 0)
                    work_done.notify_all();
                continue;
            }
            lock.lock();
            if (--pending == 0)
                work_done.notify_all();
        }
    }
};

Rx888Frontend::Rx888Frontend(double clock_hz, double rate_hz, double centre_hz, std::string const& gpu,
                             unsigned hardware_threads, GpuLibrary const* library)
    : impl_(std::make_unique<Impl>())
{
    Impl& s = *impl_;
    s.library = library;
    if (!std::isfinite(clock_hz) || !std::isfinite(rate_hz) || rate_hz <= 0)
        throw std::runtime_error("RX-888 converter needs a finite positive output rate");
    long long const d = std::llround(clock_hz / rate_hz);
    if (!is_usable_decimation(d))
        throw std::runtime_error("RX-888 output rate must be the ADC clock divided by a power of two (2..256)");
    s.clock = clock_hz;
    s.decimation = static_cast<std::uint32_t>(d);
    s.out_points = N / s.decimation;
    s.out_per_block = s.out_points / 2;
    s.input.resize_discarding(H + 8 * H);
    s.filter = design_filter(s.decimation);
    s.selected_filter.resize(s.out_points);
    for (std::size_t j = 0; j < s.out_points; ++j) {
        std::size_t const index = j < s.out_points / 2 ? j : N + j - s.out_points;
        s.selected_filter[j] = s.filter[index] * bin_scale;
    }
    s.worker_count = hardware_threads < 8 ? 1u : std::min(hardware_threads / 8, 4u);
    s.gpu_off = gpu == "off";
    s.do_restart(centre_hz);
}

Rx888Frontend::~Rx888Frontend() = default;

void Rx888Frontend::restart(double centre_hz) { impl_->do_restart(centre_hz); }

void Rx888Frontend::start()
{
    Impl& s = *impl_;
    if (s.started)
        return;
    s.started = true;
    for (unsigned w = 0; w < s.worker_count; ++w)
        s.workers.push_back(std::make_unique<Impl::Worker>(s.out_points));
    try {
        for (unsigned w = 1; w < s.worker_count; ++w) {
            Impl::Worker& worker = *s.workers[w];
            s.threads.emplace_back([&s, &worker] { s.worker_loop(worker); });
        }
    } catch (...) {
        {
            std::scoped_lock lock(s.mutex);
            s.stop = true;
        }
        s.work_ready.notify_all();
        for (std::thread& thread : s.threads)
            thread.join();
        s.threads.clear();
        throw;
    }
    // The GPU converter: the plug-in's, when it is loaded and not turned off.
    if (s.gpu_off) {
        s.gpu_why = "turned off";
        return;
    }
    if (s.library == nullptr)
        s.library = &gpu_library();
    if (!s.library->loaded) {
        s.gpu_why = s.library->error;
        return;
    }
    std::vector<float> filter(2 * N);
    for (std::size_t k = 0; k < N; ++k) {
        filter[2 * k] = s.filter[k].real();
        filter[2 * k + 1] = s.filter[k].imag();
    }
    GpuErrorBuffer<512> error;
    s.gpu = s.library->gpu_create(static_cast<std::uint32_t>(N), static_cast<std::uint32_t>(H), s.decimation,
                                  filter.data(), error.data, error.size);
    if (s.gpu == nullptr) {
        // A plug-in that refuses without a word still leaves the banner a reason to give.
        std::string const text = error.text();
        s.gpu_why = text.empty() ? "GPU converter could not start" : text;
        return;
    }
    s.gpu_name = gpu_device_name(s.library->gpu_name(s.gpu));
}

bool Rx888Frontend::on_gpu() const { return impl_->gpu != nullptr; }

std::size_t Rx888Frontend::convert(std::int16_t const* words, std::size_t count, IqSamples& out,
                                   double& first_offset_s)
{
    Impl& s = *impl_;
    start();
    std::size_t const held = H + s.fill;
    // Words of this call already in `input`. On the processor they are scaled as the blocks
    // need them, so that each block's new words are still in the cache when its transform
    // reads them.
    std::size_t scaled = count;
    if (s.gpu != nullptr) {
        if (held + count > s.raw.capacity())
            s.library->gpu_unpin(s.gpu);  // the pinned words are about to move
        s.raw.resize(std::max(s.raw.size(), held + count));
        std::copy_n(words, count, s.raw.data() + held);
    } else {
        s.input.reserve_keeping(held + count, held);
        scaled = 0;
    }
    auto scale_until = [&](std::size_t until) {
        until = std::min(until, count);
        if (until > scaled)
            scale_words(words + scaled, s.input.data() + held + scaled, until - scaled);
        scaled = std::max(scaled, until);
    };
    s.fill += count;
    if (s.fill < H) {
        scale_until(count);
        return 0;
    }

    std::size_t const blocks = s.fill / H;
    std::size_t const first = out.size();
    std::size_t const samples = blocks * s.out_per_block;
    first_offset_s = static_cast<double>(static_cast<std::int64_t>(s.base) - filter_delay) / s.clock;
    out.resize(first + samples);
    s.batch_out = out.data() + first;
    s.batch_base = s.base;
    if (s.gpu != nullptr && s.convert_on_gpu(blocks)) {
        s.base += H * blocks;
        std::size_t const keep = H + s.fill - H * blocks;
        std::memmove(s.raw.data(), s.raw.data() + H * blocks, keep * sizeof(std::int16_t));
        s.fill -= H * blocks;
        return blocks;
    }
    if (s.threads.empty() || blocks < 2) {
        for (std::size_t i = 0; i < blocks; ++i) {
            scale_until(H * (i + 2) - held);
            s.convert_block(*s.workers[0], i, s.batch_out + i * s.out_per_block);
        }
        scale_until(count);
    } else {
        scale_until(count);
        std::unique_lock lock(s.mutex);
        s.next_block = 0;
        s.block_count = blocks;
        s.pending = blocks;
        s.error = nullptr;
        ++s.batch_generation;
        s.work_ready.notify_all();
        s.take_blocks(*s.workers[0], lock);
        s.work_done.wait(lock, [&] { return s.pending == 0; });
        if (s.error)
            std::rethrow_exception(std::exchange(s.error, nullptr));
    }
    s.base += H * blocks;
    std::size_t const keep = H + s.fill - H * blocks;
    std::memmove(s.input.data(), s.input.data() + H * blocks, keep * sizeof(float));
    s.fill -= H * blocks;
    return blocks;
}

double Rx888Frontend::clock_hz() const { return impl_->clock; }
double Rx888Frontend::rate_hz() const { return impl_->clock / impl_->decimation; }
std::uint32_t Rx888Frontend::decimation() const { return impl_->decimation; }
std::size_t Rx888Frontend::out_per_block() const { return impl_->out_per_block; }
double Rx888Frontend::centre_hz() const { return impl_->centre; }
std::uint32_t Rx888Frontend::centre_bin() const { return impl_->centre_bin; }
double Rx888Frontend::residual_hz() const { return impl_->residual; }
unsigned Rx888Frontend::worker_count() const { return impl_->worker_count; }
std::uint64_t Rx888Frontend::next_word_index() const { return impl_->base + impl_->fill; }
std::vector<std::complex<float>> const& Rx888Frontend::filter() const { return impl_->filter; }

std::string Rx888Frontend::description() const
{
    Impl const& s = *impl_;
    if (s.gpu != nullptr)
        return "GPU (" + s.gpu_name + ")";
    std::string text = "CPU, " + std::to_string(s.worker_count) + " thread" + (s.worker_count == 1 ? "" : "s");
    if (!s.gpu_why.empty())
        text += " (GPU: " + s.gpu_why + ")";
    return text;
}
