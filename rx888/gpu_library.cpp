#include "rx888/gpu_library.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <memory>

#include "core/log_line.hpp"

namespace {

struct CloseLibrary {
    void operator()(void* handle) const { dlclose(handle); }
};

// Points `slot` at the function `name`; false when the library lacks it.
template <typename Function>
bool resolve(void* handle, char const* name, Function& slot)
{
    void* symbol = dlsym(handle, name);
    slot = reinterpret_cast<Function>(symbol);
    return symbol != nullptr;
}

// The transform handle, shared by every copy of the function that runs it.
struct FftHolder {
    GpuLibrary const* library = nullptr;
    void* handle = nullptr;
    ~FftHolder()
    {
        if (handle != nullptr)
            library->fft_destroy(handle);
    }
};

}  // namespace

GpuLibrary GpuLibrary::load(std::string const& path)
{
    GpuLibrary library;
    dlerror();
    std::unique_ptr<void, CloseLibrary> handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!handle) {
        char const* why = dlerror();
        library.error = "GPU library not loaded";
        if (why != nullptr && *why != '\0')
            library.error += std::string(": ") + why;
        return library;
    }
    void* const h = handle.get();
    bool const complete =
        resolve(h, "rx888_gpu_abi", library.gpu_abi) & resolve(h, "rx888_gpu_create", library.gpu_create) &
        resolve(h, "rx888_gpu_name", library.gpu_name) & resolve(h, "rx888_gpu_run", library.gpu_run) &
        resolve(h, "rx888_gpu_unpin", library.gpu_unpin) & resolve(h, "rx888_gpu_destroy", library.gpu_destroy) &
        resolve(h, "rx888_fft_create", library.fft_create) & resolve(h, "rx888_fft_name", library.fft_name) &
        resolve(h, "rx888_fft_run", library.fft_run) & resolve(h, "rx888_fft_destroy", library.fft_destroy) &
        resolve(h, "rx888_rx_create", library.rx_create) & resolve(h, "rx888_rx_name", library.rx_name) &
        resolve(h, "rx888_rx_reset", library.rx_reset) & resolve(h, "rx888_rx_tables", library.rx_tables) &
        resolve(h, "rx888_rx_launch", library.rx_launch) & resolve(h, "rx888_rx_wait", library.rx_wait) &
        resolve(h, "rx888_rx_unpin", library.rx_unpin) & resolve(h, "rx888_rx_destroy", library.rx_destroy);
    if (!complete || library.gpu_abi() != rx888_gpu_abi_version) {
        // Nothing of a library from another version may be called, not even by mistake.
        GpuLibrary refused;
        refused.error = "GPU library is from another version";
        return refused;
    }
    library.loaded = true;
    (void)handle.release();  // loaded for good: its functions are used until the process ends
    return library;
}

std::string gpu_library_path()
{
    char const* path = std::getenv("NORVANE_GPU_LIBRARY");
    return path != nullptr && *path != '\0' ? std::string(path) : std::string("/usr/lib/norvane/libnorvane-gpu.so");
}

GpuLibrary const& gpu_library()
{
    // Initialised once whichever threads ask first; the others wait for it. Kept (never
    // destroyed before exit) so that no user can outlive the table it calls through.
    static GpuLibrary const library = GpuLibrary::load(gpu_library_path());
    return library;
}

std::string gpu_device_name(char const* name)
{
    return name != nullptr && *name != '\0' ? std::string(name) : std::string("GPU");
}

GpuForwardTransform rx888_gpu_fft(std::uint64_t columns, std::uint64_t rows, std::string& device_name,
                                  std::string& reason)
{
    return rx888_gpu_fft(gpu_library(), columns, rows, device_name, reason);
}

GpuForwardTransform rx888_gpu_fft(GpuLibrary const& library, std::uint64_t columns, std::uint64_t rows,
                                  std::string& device_name, std::string& reason)
{
    if (!library.loaded) {
        reason = library.error;
        return {};
    }
    GpuErrorBuffer<256> error;
    auto holder = std::make_shared<FftHolder>();
    holder->library = &library;
    holder->handle = library.fft_create(columns, rows, error.data, error.size);
    if (holder->handle == nullptr) {
        std::string const text = error.text();
        reason = text.empty() ? "GPU FFT could not start" : text;
        return {};
    }
    device_name = gpu_device_name(library.fft_name(holder->handle));
    return [holder](std::complex<float> const* in, std::complex<float>* out) {
        GpuErrorBuffer<256> run_error;
        if (holder->library->fft_run(holder->handle, reinterpret_cast<float const*>(in), reinterpret_cast<float*>(out),
                                     run_error.data, run_error.size) == 0)
            return true;
        log_line("Channelizer FFT: GPU failed (" + run_error.text() + "); continuing on the CPU");
        return false;
    };
}
