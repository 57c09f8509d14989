#include "radio/sdrplay_library.hpp"

#include <dlfcn.h>

#include <cmath>
#include <memory>
#include <stdexcept>

namespace {

struct HandleCloser {
    void operator()(void* handle) const { dlclose(handle); }
};
using LibraryHandle = std::unique_ptr<void, HandleCloser>;

std::string last_dl_error()
{
    char const* text = dlerror();
    return text ? text : "unknown loader error";
}

LibraryHandle load(std::string const& path)
{
    dlerror();
    if (!path.empty()) {
        if (void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
            return LibraryHandle(handle);
        throw std::runtime_error("Cannot load receiver library: " + last_dl_error());
    }
    std::string error;
    for (char const* name : {"libsdrplay_api.so", "libsdrplay_api.so.3"}) {
        if (void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL))
            return LibraryHandle(handle);
        error = last_dl_error();
    }
    throw std::runtime_error("Cannot load receiver library: " + error);
}

template <typename Function>
Function* resolve(void* handle, char const* name)
{
    dlerror();
    void* symbol = dlsym(handle, name);
    if (!symbol)
        throw std::runtime_error(last_dl_error());
    return reinterpret_cast<Function*>(symbol);
}

}  // namespace

SdrplayLibrary::SdrplayLibrary(std::string const& path)
{
    LibraryHandle handle = load(path);
    void* h = handle.get();
    open = resolve<sdrplay_api_Open_t>(h, "sdrplay_api_Open");
    close = resolve<sdrplay_api_Close_t>(h, "sdrplay_api_Close");
    api_version = resolve<sdrplay_api_ApiVersion_t>(h, "sdrplay_api_ApiVersion");
    lock_device_api = resolve<sdrplay_api_LockDeviceApi_t>(h, "sdrplay_api_LockDeviceApi");
    unlock_device_api = resolve<sdrplay_api_UnlockDeviceApi_t>(h, "sdrplay_api_UnlockDeviceApi");
    get_devices = resolve<sdrplay_api_GetDevices_t>(h, "sdrplay_api_GetDevices");
    select_device = resolve<sdrplay_api_SelectDevice_t>(h, "sdrplay_api_SelectDevice");
    release_device = resolve<sdrplay_api_ReleaseDevice_t>(h, "sdrplay_api_ReleaseDevice");
    get_device_params = resolve<sdrplay_api_GetDeviceParams_t>(h, "sdrplay_api_GetDeviceParams");
    init = resolve<sdrplay_api_Init_t>(h, "sdrplay_api_Init");
    uninit = resolve<sdrplay_api_Uninit_t>(h, "sdrplay_api_Uninit");
    update = resolve<sdrplay_api_Update_t>(h, "sdrplay_api_Update");
    get_error_string = resolve<sdrplay_api_GetErrorString_t>(h, "sdrplay_api_GetErrorString");

    check("Open API (check sdrplay service)", open());
    float version = 0.0f;
    sdrplay::ErrorCode const read = api_version(&version);
    if (read != sdrplay::SUCCESS || !(std::fabs(version - sdrplay::API_VERSION) <= 0.001f)) {
        // A library of another API version lays out its records differently: nothing beyond
        // Close may be called on it.
        std::string const message = read != sdrplay::SUCCESS
            ? error_message("Read API version", read)
            : std::string("SDRplay API version differs from build headers; rebuild with installed headers");
        close();
        throw std::runtime_error(message);
    }
    handle_ = handle.release();
}

SdrplayLibrary::~SdrplayLibrary()
{
    close();
    dlclose(handle_);
}

std::string SdrplayLibrary::error_message(char const* step, sdrplay::ErrorCode error) const
{
    char const* text = get_error_string(error);
    std::string message(step);
    message += ": ";
    message += text ? text : "unknown error " + std::to_string(error);
    return message;
}

void SdrplayLibrary::check(char const* step, sdrplay::ErrorCode error) const
{
    if (error != sdrplay::SUCCESS)
        throw std::runtime_error(error_message(step, error));
}

SdrplayApiLock::SdrplayApiLock(SdrplayLibrary const& library) : library_(library)
{
    library_.check("Lock API", library_.lock_device_api());
}

SdrplayApiLock::~SdrplayApiLock() { unlock(); }

sdrplay::ErrorCode SdrplayApiLock::unlock()
{
    if (!locked_)
        return sdrplay::SUCCESS;
    locked_ = false;
    return library_.unlock_device_api();
}
