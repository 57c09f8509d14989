#include "rx888/gpu_library.hpp"

GpuLibrary const& gpu_library()
{
    static GpuLibrary const library{false, "GPU plug-in support is not built yet"};
    return library;
}
