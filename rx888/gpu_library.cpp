#include "rx888/gpu_library.hpp"

GpuLibrary const& gpu_library()
{
    static GpuLibrary const library{false, "GPU plug-in support is not built yet"};
    return library;
}

GpuForwardTransform rx888_gpu_fft(std::uint64_t, std::uint64_t, std::string&, std::string& reason)
{
    GpuLibrary const& library = gpu_library();
    if (!library.loaded)
        reason = library.error;
    return {};
}
