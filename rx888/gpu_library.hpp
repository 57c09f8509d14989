#pragma once

// The GPU plug-in (libnorvane-gpu.so): the program's own companion library that runs the
// RX-888 conversion, the channelizer's large transform and the receive engine's rows on a GPU.
// Every GPU user asks gpu_library() first and, when it is not loaded, stays on its CPU path
// with the library's error text as the reason. The C interface is in rx888/gpu_plugin.hpp.

#include <complex>
#include <cstdint>
#include <functional>
#include <string>

#include "rx888/gpu_plugin.hpp"

struct GpuLibrary {
    bool loaded = false;
    std::string error;  // why it is not loaded

    decltype(&rx888_gpu_abi) gpu_abi = nullptr;
    decltype(&rx888_gpu_create) gpu_create = nullptr;
    decltype(&rx888_gpu_name) gpu_name = nullptr;
    decltype(&rx888_gpu_run) gpu_run = nullptr;
    decltype(&rx888_gpu_unpin) gpu_unpin = nullptr;
    decltype(&rx888_gpu_destroy) gpu_destroy = nullptr;
    decltype(&rx888_fft_create) fft_create = nullptr;
    decltype(&rx888_fft_name) fft_name = nullptr;
    decltype(&rx888_fft_run) fft_run = nullptr;
    decltype(&rx888_fft_destroy) fft_destroy = nullptr;
    decltype(&rx888_rx_create) rx_create = nullptr;
    decltype(&rx888_rx_name) rx_name = nullptr;
    decltype(&rx888_rx_reset) rx_reset = nullptr;
    decltype(&rx888_rx_tables) rx_tables = nullptr;
    decltype(&rx888_rx_launch) rx_launch = nullptr;
    decltype(&rx888_rx_wait) rx_wait = nullptr;
    decltype(&rx888_rx_unpin) rx_unpin = nullptr;
    decltype(&rx888_rx_destroy) rx_destroy = nullptr;

    // Opens the plug-in at `path` (RTLD_NOW), resolves all eighteen functions and checks the ABI
    // version. Never throws: a failure gives loaded = false with the error text
    // ("GPU library not loaded: <loader's text>", "GPU library is from another version"), and the
    // library closed again. A loaded library stays open for the life of the process.
    static GpuLibrary load(std::string const& path);
};

// Where the plug-in is looked for: NORVANE_GPU_LIBRARY when set and not empty, else
// "/usr/lib/norvane/libnorvane-gpu.so".
std::string gpu_library_path();

// The process-wide plug-in, loaded from gpu_library_path() on first use (once, whichever
// threads ask at the same time) and never unloaded.
GpuLibrary const& gpu_library();

// A zeroed error buffer for one plug-in call. text() forces the last byte to 0 before reading,
// so a plug-in that fills the buffer to its end cannot make the program read past it.
template <std::uint32_t Size>
struct GpuErrorBuffer {
    char data[Size] = {};
    static constexpr std::uint32_t size = Size;
    std::string text()
    {
        data[Size - 1] = '\0';
        return data;
    }
};

// A device name as the plug-in reports it; "GPU" when it reports none.
std::string gpu_device_name(char const* name);

// The channelizer's forward transform of columns x rows points on the GPU, in the
// channelizer's storage order; false from a call means it failed (and said so on standard
// error). Empty, with the reason, when the plug-in offers none. The plug-in's transform is
// destroyed with the last copy of the function.
using GpuForwardTransform = std::function<bool(std::complex<float> const*, std::complex<float>*)>;
GpuForwardTransform rx888_gpu_fft(std::uint64_t columns, std::uint64_t rows, std::string& device_name,
                                  std::string& reason);
// The same from the given plug-in.
GpuForwardTransform rx888_gpu_fft(GpuLibrary const& library, std::uint64_t columns, std::uint64_t rows,
                                  std::string& device_name, std::string& reason);
