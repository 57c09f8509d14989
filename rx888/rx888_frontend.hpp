#pragma once

// The RX-888 front end: real signed 16-bit ADC words at the ADC clock in, complex IQ at clock/D
// around a chosen centre out. An overlap-save filter bank of one channel: a real transform of
// 16384 words every 8192 words, the 16384/D bins around the centre bin weighted by a fixed
// low-pass response, an inverse transform of 16384/D points whose later half is kept, and a
// residual shift by an oscillator tied to the absolute word count since the last restart.
//
// Output sample k of a block whose first new word has index s (counted from the last restart)
// stands for the signal at word s - 4096 + k D: the filter delays by 4096 words. A real cosine
// of amplitude A at f comes out as a complex tone of amplitude A at f - centre.
//
// A plain object on its owner's thread; with 16 or more hardware threads it keeps one to three
// helper threads that take blocks of a batch, joined by its destructor.
//
// With the GPU plug-in loaded (and --rx888-gpu not "off") the blocks are converted by the
// plug-in's converter instead. The first failure of that converter is said once on standard
// error, and the batch it failed on and all later ones are converted on the processor: no
// sample is lost and the output does not jump.

#include <complex>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "radio/iq_block.hpp"

struct GpuLibrary;

// The conversion-plan check: the IQ samples per 16384 ADC words for this clock, centre and
// output rate; throws the user's text when the plan cannot work.
std::size_t rx888_converter_length(double clock_hz, double centre_hz, double rate_hz);

class Rx888Frontend {
public:
    static constexpr std::size_t transform_length = 16384;
    static constexpr std::size_t block_words = 8192;

    // clock_hz: the ADC clock; rate_hz: the IQ rate wanted (clock / D); gpu: the --rx888-gpu
    // text ("off" keeps the GPU out); hardware_threads: what the machine reports, which sets
    // the worker count (1 below 8, else threads / 8, at most 4); library: the GPU plug-in, null
    // for the process-wide one (gpu_library()), asked only when the converter is first needed.
    // Throws the plan's texts.
    Rx888Frontend(double clock_hz, double rate_hz, double centre_hz, std::string const& gpu,
                  unsigned hardware_threads, GpuLibrary const* library = nullptr);
    ~Rx888Frontend();
    Rx888Frontend(Rx888Frontend const&) = delete;
    Rx888Frontend& operator=(Rx888Frontend const&) = delete;

    // Begins afresh around centre_hz: zero history, word count 0. Throws the plan's texts.
    void restart(double centre_hz);
    // Builds the workers, their threads and the GPU converter once; later calls do nothing.
    // The first start of a decimation in the process measures its transforms (a few tenths of
    // a second; see core/fft_planner.hpp); later ones reuse them.
    void start();
    // The GPU converter is in use (created at start and not failed since).
    bool on_gpu() const;

    // Takes `count` words. For every completed block of 8192 words appends out_per_block() IQ
    // samples to `out` and returns the number of blocks; `first_offset_s` receives the time of
    // the first appended sample relative to word 0 after the last restart (negative just after
    // a restart). Fewer than 8192 waiting words give 0 blocks and leave `out` alone.
    std::size_t convert(std::int16_t const* words, std::size_t count, IqSamples& out,
                        double& first_offset_s);

    double clock_hz() const;
    double rate_hz() const;  // clock / D
    std::uint32_t decimation() const;
    std::size_t out_per_block() const;
    double centre_hz() const;
    std::uint32_t centre_bin() const;
    double residual_hz() const;
    unsigned worker_count() const;
    // Index (since the last restart) of the next word convert() takes.
    std::uint64_t next_word_index() const;
    // "GPU (name)", or "CPU, N thread(s)" followed by " (GPU: why)" when the GPU was not taken.
    std::string description() const;
    // The frequency response, indexed by bin offset modulo 16384.
    std::vector<std::complex<float>> const& filter() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
