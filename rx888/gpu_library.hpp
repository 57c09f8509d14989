#pragma once

// The GPU plug-in (libnorvane-gpu.so): the program's own companion library that runs the
// RX-888 conversion, the channelizer's large transform and the receive engine's rows on a GPU.
// Every GPU user asks gpu_library() first and, when it is not loaded, stays on its CPU path
// with the library's error text as the reason.

#include <complex>
#include <cstdint>
#include <functional>
#include <string>

struct GpuLibrary {
    bool loaded = false;
    std::string error;  // why it is not loaded
};

// The process-wide plug-in. Loading it (NORVANE_GPU_LIBRARY, the ABI check, the eighteen
// entry points) comes with the GPU receive engine; this build answers with the reason.
GpuLibrary const& gpu_library();

// The channelizer's forward transform of columns x rows points on the GPU, in the
// channelizer's storage order; false from a call means it failed (and said so). Empty, with
// the reason, when the plug-in offers none.
using GpuForwardTransform = std::function<bool(std::complex<float> const*, std::complex<float>*)>;
GpuForwardTransform rx888_gpu_fft(std::uint64_t columns, std::uint64_t rows, std::string& device_name,
                                  std::string& reason);
