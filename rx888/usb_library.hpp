#pragma once

// libusb-1.0 bound at run time, so the program starts (and every other backend works) on a
// machine without it. Structure layouts and constants come from the library's own header; the
// entry points come from dlopen.

#include <libusb-1.0/libusb.h>

#include <cstdint>
#include <memory>
#include <string>

// The loaded library and one context of it. Every one of the twenty entry points is resolved
// up front; a library that lacks one is refused before anything is called.
class UsbLibrary {
public:
    // dlopen of path ("libusb-1.0.so.0" when empty) with immediate binding, the twenty symbols
    // in their fixed order, then libusb_init. Failures: "RX-888 USB library: " + the loader's
    // text; "RX-888 USB library is missing " + the first missing name; "RX-888 initialize
    // libusb: " + libusb's error name. Nothing stays loaded after a failure.
    static std::unique_ptr<UsbLibrary> load(std::string const& path);

    ~UsbLibrary();
    UsbLibrary(UsbLibrary const&) = delete;
    UsbLibrary& operator=(UsbLibrary const&) = delete;

    libusb_context* context = nullptr;
    decltype(&::libusb_init) init = nullptr;
    decltype(&::libusb_exit) exit = nullptr;
    decltype(&::libusb_get_device_list) get_device_list = nullptr;
    decltype(&::libusb_free_device_list) free_device_list = nullptr;
    decltype(&::libusb_get_device_descriptor) get_device_descriptor = nullptr;
    decltype(&::libusb_get_bus_number) get_bus_number = nullptr;
    decltype(&::libusb_get_port_numbers) get_port_numbers = nullptr;
    decltype(&::libusb_get_device_speed) get_device_speed = nullptr;
    decltype(&::libusb_open) open = nullptr;
    decltype(&::libusb_close) close = nullptr;
    decltype(&::libusb_get_string_descriptor_ascii) get_string_descriptor_ascii = nullptr;
    decltype(&::libusb_claim_interface) claim_interface = nullptr;
    decltype(&::libusb_release_interface) release_interface = nullptr;
    decltype(&::libusb_control_transfer) control_transfer = nullptr;
    decltype(&::libusb_alloc_transfer) alloc_transfer = nullptr;
    decltype(&::libusb_free_transfer) free_transfer = nullptr;
    decltype(&::libusb_submit_transfer) submit_transfer = nullptr;
    decltype(&::libusb_cancel_transfer) cancel_transfer = nullptr;
    decltype(&::libusb_handle_events_timeout_completed) handle_events_timeout_completed = nullptr;
    decltype(&::libusb_error_name) error_name = nullptr;

private:
    UsbLibrary() = default;
    void* handle_ = nullptr;
};

// Nothing for result >= 0; otherwise throws "RX-888 " + what + ": " + libusb's error name.
void check_usb(UsbLibrary const& usb, int result, char const* what);

// "RX-888 " + what + ": " + libusb's error name, for callers that collect rather than throw.
std::string usb_error_text(UsbLibrary const& usb, int result, char const* what);

// The current device list; freed (with its references) on destruction. "RX-888 enumerate USB
// devices: ..." when libusb cannot list.
class UsbDeviceList {
public:
    explicit UsbDeviceList(UsbLibrary const& usb);
    ~UsbDeviceList();
    UsbDeviceList(UsbDeviceList const&) = delete;
    UsbDeviceList& operator=(UsbDeviceList const&) = delete;

    std::size_t size() const { return count_; }
    libusb_device* operator[](std::size_t i) const { return devices_[i]; }

private:
    UsbLibrary const& usb_;
    libusb_device** devices_ = nullptr;
    std::size_t count_ = 0;
};

// "usb-<bus>-<port>-<port>...", the name of the socket a device is plugged into (up to eight
// port numbers). "RX-888 requires a stable USB port path or serial" for a device without port
// numbers.
std::string usb_port_path(UsbLibrary const& usb, libusb_device* device);

// String descriptor `index` of an open device as ASCII (up to 255 characters); empty for index 0
// or when the device does not give it.
std::string usb_string_descriptor(UsbLibrary const& usb, libusb_device_handle* handle, std::uint8_t index);

// One open device handle: interface 0 released when it was claimed, then closed.
class UsbDevice {
public:
    UsbDevice() = default;
    explicit UsbDevice(UsbLibrary const* usb) : usb_(usb) {}
    ~UsbDevice() { close(); }
    UsbDevice(UsbDevice const&) = delete;
    UsbDevice& operator=(UsbDevice const&) = delete;
    UsbDevice(UsbDevice&& other) noexcept;
    UsbDevice& operator=(UsbDevice&& other) noexcept;

    libusb_device_handle* handle() const { return handle_; }
    bool claimed() const { return claimed_; }
    bool is_open() const { return handle_ != nullptr; }
    UsbLibrary const* library() const { return usb_; }

    // Takes ownership of an open handle.
    void adopt(libusb_device_handle* handle);
    // Claims interface 0: "RX-888 claim interface (device may be busy): ...".
    void claim();
    // Never throws.
    void close() noexcept;
    // Forgets the handle without closing it (it stays with libusb for the life of the process).
    void abandon() noexcept;

private:
    UsbLibrary const* usb_ = nullptr;
    libusb_device_handle* handle_ = nullptr;
    bool claimed_ = false;
};

// USB identities.
inline constexpr std::uint16_t rx888_vendor_id = 0x04B4;
inline constexpr std::uint16_t rx888_application_product = 0x00F1;
inline constexpr std::uint16_t fx3_bootloader_product = 0x00F3;
