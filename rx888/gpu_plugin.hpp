#pragma once

// The C interface of the GPU plug-in (libnorvane-gpu.so), version 5: the eighteen functions the
// program looks up when it loads the plug-in. They are declared here only so that the loader can
// name their types and a plug-in built with this header is checked against them; the program
// never links them.
//
// Handles are opaque and null on failure. A function returning int returns 0 on success; on
// failure it writes a NUL-terminated text into the caller's zeroed error buffer, whose size is
// the argument after it. Complex values are float pairs (re, im). D is the decimation (raw ADC
// words per IQ sample), N the channelizer's frame length, L = D x N.
//
// The converter (rx888_gpu_*): for each block i of `blocks`, the 16384 words
// raw[8192 i .. 8192 i + 16384) give out_per_block = 8192 / D complex samples at
// output[i x 8192 / D], exactly as the RX-888 front end's CPU path converts one block: a real
// forward transform of the words / 32768, the 16384 / D bins from centre_bin - M/2 to
// centre_bin + M/2 - 1 weighted by the filter (16384 complex entries, indexed by bin offset
// modulo 16384) and by 1/8192, with the sign inverted when centre_bin is odd and
// first_block + i is even, an unnormalised inverse transform of M = 16384 / D points whose later
// half is kept, times an oscillator that starts at phases[i] and advances by `step` per sample.
// Bins below 0 and from 8192 up read zero, bin 0 its real part only. The plug-in may pin the
// host buffers it is given until rx888_gpu_unpin.
//
// The transform (rx888_fft_*): the unnormalised forward complex transform of columns x rows
// points, natural bin k written at position (k mod rows) x columns + k / rows of the output.
//
// The receive engine (rx888_rx_*): frame `frame` launched from input slot s transforms the L
// words made of the previous launch's half and input[s x L/2 .. (s + 1) x L/2) (the previous
// half is zero after create and reset): a real forward transform of the words / 32768, each bin
// times `scale` (2 / D, so that the bins read like those of the N-point transform of the IQ
// stream). Its frame of `frame_floats` floats at results + s x frame_floats holds, in order:
// - each complex row of the tables: the later half of the unnormalised inverse transform of its
//   B bins times their weights, B/2 complex values; rows of parity 1 are negated in even frames
//   (the sign that refers an odd centre bin of a transform starting L/2 x (frame - 1) words
//   into the stream back to word 0);
// - one float per real segment: the largest power re^2 + im^2 of its bins, 0 when it has none;
// - 512 (value, bin) pairs: the strongest bins (power as above) of the window
//   [window_low, window_high] without the bins strictly between exclusion_low and
//   exclusion_high; unused pairs have bin -1.
// Bin -1 in any table reads zero. The frame is complete after rx888_rx_wait for its slot.

#include <stdint.h>

extern "C" {

int rx888_gpu_abi(void);

void* rx888_gpu_create(uint32_t transform_length, uint32_t block_length, uint32_t decimation, float const* filter,
                       char* error, uint32_t error_size);
char const* rx888_gpu_name(void* converter);
int rx888_gpu_run(void* converter, int16_t const* raw, uint32_t blocks, uint32_t centre_bin, uint64_t first_block,
                  float const* phases, float* output, float step, char* error, uint32_t error_size);
void rx888_gpu_unpin(void* converter);
void rx888_gpu_destroy(void* converter);

void* rx888_fft_create(uint64_t columns, uint64_t rows, char* error, uint32_t error_size);
char const* rx888_fft_name(void* transform);
int rx888_fft_run(void* transform, float const* input, float* output, char* error, uint32_t error_size);
void rx888_fft_destroy(void* transform);

void* rx888_rx_create(uint64_t transform_length, char* error, uint32_t error_size, float scale, float decimation);
char const* rx888_rx_name(void* engine);
int rx888_rx_reset(void* engine, char* error, uint32_t error_size);
int rx888_rx_tables(void* engine, uint32_t complex_rows, uint32_t const* bins_per_row, uint32_t const* row_parity,
                    int64_t const* complex_bins, float const* weights, uint32_t segments, uint32_t const* segment_starts,
                    int64_t const* real_bins, char* error, uint32_t error_size);
int rx888_rx_launch(void* engine, int16_t const* input, uint32_t slot, uint64_t frame, int64_t window_low,
                    int64_t window_high, int64_t exclusion_low, int64_t exclusion_high, float* results,
                    uint64_t frame_floats, char* error, uint32_t error_size);
int rx888_rx_wait(void* engine, uint32_t slot, char* error, uint32_t error_size);
void rx888_rx_unpin(void* engine);
void rx888_rx_destroy(void* engine);

}  // extern "C"

// The ABI version rx888_gpu_abi must return.
inline constexpr int rx888_gpu_abi_version = 5;
