#pragma once

#include "radio/sdrplay_api.hpp"

#include <string>

// The SDRplay API library, loaded at run time and opened.
//
// Construction loads the library (RTLD_NOW | RTLD_LOCAL; `path`, or the usual library names
// when it is empty), resolves all thirteen entry points up front, opens the API and checks its
// version. Every failure throws with the user's text and leaves nothing open or loaded. The
// destructor closes the API and unloads the library; whoever holds a device releases it first.
class SdrplayLibrary {
public:
    explicit SdrplayLibrary(std::string const& path);
    ~SdrplayLibrary();
    SdrplayLibrary(SdrplayLibrary const&) = delete;
    SdrplayLibrary& operator=(SdrplayLibrary const&) = delete;

    sdrplay_api_ApiVersion_t* api_version = nullptr;
    sdrplay_api_Open_t* open = nullptr;
    sdrplay_api_Close_t* close = nullptr;
    sdrplay_api_LockDeviceApi_t* lock_device_api = nullptr;
    sdrplay_api_UnlockDeviceApi_t* unlock_device_api = nullptr;
    sdrplay_api_GetDevices_t* get_devices = nullptr;
    sdrplay_api_SelectDevice_t* select_device = nullptr;
    sdrplay_api_ReleaseDevice_t* release_device = nullptr;
    sdrplay_api_GetDeviceParams_t* get_device_params = nullptr;
    sdrplay_api_Init_t* init = nullptr;
    sdrplay_api_Uninit_t* uninit = nullptr;
    sdrplay_api_Update_t* update = nullptr;
    sdrplay_api_GetErrorString_t* get_error_string = nullptr;

    // "step: <library's text for error>".
    std::string error_message(char const* step, sdrplay::ErrorCode error) const;
    // Throws error_message(step, error) unless error is success.
    void check(char const* step, sdrplay::ErrorCode error) const;

private:
    void* handle_ = nullptr;
};

// Holds the device API lock from construction (step "Lock API") until unlock() or destruction.
class SdrplayApiLock {
public:
    explicit SdrplayApiLock(SdrplayLibrary const& library);
    ~SdrplayApiLock();
    SdrplayApiLock(SdrplayApiLock const&) = delete;
    SdrplayApiLock& operator=(SdrplayApiLock const&) = delete;

    // Releases the lock now; returns the library's result.
    sdrplay::ErrorCode unlock();

private:
    SdrplayLibrary const& library_;
    bool locked_ = true;
};
