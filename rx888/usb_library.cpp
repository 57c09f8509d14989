#include "rx888/usb_library.hpp"

#include <dlfcn.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace {

struct HandleCloser {
    void operator()(void* handle) const { dlclose(handle); }
};
using LibraryHandle = std::unique_ptr<void, HandleCloser>;

template <typename Function>
void resolve(void* handle, char const* name, Function& target)
{
    dlerror();
    void* symbol = dlsym(handle, name);
    if (symbol == nullptr)
        throw std::runtime_error(std::string("RX-888 USB library is missing ") + name);
    target = reinterpret_cast<Function>(symbol);
}

}  // namespace

std::unique_ptr<UsbLibrary> UsbLibrary::load(std::string const& path)
{
    std::string const name = path.empty() ? std::string("libusb-1.0.so.0") : path;
    dlerror();
    LibraryHandle handle(dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!handle) {
        char const* text = dlerror();
        throw std::runtime_error(std::string("RX-888 USB library: ") + (text ? text : "cannot be loaded"));
    }
    std::unique_ptr<UsbLibrary> usb(new UsbLibrary);
    void* h = handle.get();
    resolve(h, "libusb_init", usb->init);
    resolve(h, "libusb_exit", usb->exit);
    resolve(h, "libusb_get_device_list", usb->get_device_list);
    resolve(h, "libusb_free_device_list", usb->free_device_list);
    resolve(h, "libusb_get_device_descriptor", usb->get_device_descriptor);
    resolve(h, "libusb_get_bus_number", usb->get_bus_number);
    resolve(h, "libusb_get_port_numbers", usb->get_port_numbers);
    resolve(h, "libusb_get_device_speed", usb->get_device_speed);
    resolve(h, "libusb_open", usb->open);
    resolve(h, "libusb_close", usb->close);
    resolve(h, "libusb_get_string_descriptor_ascii", usb->get_string_descriptor_ascii);
    resolve(h, "libusb_claim_interface", usb->claim_interface);
    resolve(h, "libusb_release_interface", usb->release_interface);
    resolve(h, "libusb_control_transfer", usb->control_transfer);
    resolve(h, "libusb_alloc_transfer", usb->alloc_transfer);
    resolve(h, "libusb_free_transfer", usb->free_transfer);
    resolve(h, "libusb_submit_transfer", usb->submit_transfer);
    resolve(h, "libusb_cancel_transfer", usb->cancel_transfer);
    resolve(h, "libusb_handle_events_timeout_completed", usb->handle_events_timeout_completed);
    resolve(h, "libusb_error_name", usb->error_name);

    libusb_context* context = nullptr;
    int const result = usb->init(&context);
    check_usb(*usb, result, "initialize libusb");
    usb->context = context;
    usb->handle_ = handle.release();
    return usb;
}

UsbLibrary::~UsbLibrary()
{
    if (handle_ == nullptr)
        return;
    if (context != nullptr)
        exit(context);
    dlclose(handle_);
}

std::string usb_error_text(UsbLibrary const& usb, int result, char const* what)
{
    char const* name = usb.error_name(result);
    return std::string("RX-888 ") + what + ": " + (name ? name : "LIBUSB_ERROR_OTHER");
}

void check_usb(UsbLibrary const& usb, int result, char const* what)
{
    if (result >= 0)
        return;
    throw std::runtime_error(usb_error_text(usb, result, what));
}

UsbDeviceList::UsbDeviceList(UsbLibrary const& usb) : usb_(usb)
{
    libusb_device** devices = nullptr;
    ssize_t const count = usb.get_device_list(usb.context, &devices);
    check_usb(usb, static_cast<int>(count), "enumerate USB devices");
    devices_ = devices;
    count_ = static_cast<std::size_t>(count);
}

UsbDeviceList::~UsbDeviceList()
{
    if (devices_ != nullptr)
        usb_.free_device_list(devices_, 1);
}

std::string usb_string_descriptor(UsbLibrary const& usb, libusb_device_handle* handle, std::uint8_t index)
{
    if (index == 0)
        return {};
    unsigned char buffer[256] = {};
    int const length = usb.get_string_descriptor_ascii(handle, index, buffer, 255);
    if (length <= 0)
        return {};
    return std::string(reinterpret_cast<char const*>(buffer), static_cast<std::size_t>(std::min(length, 255)));
}

std::string usb_port_path(UsbLibrary const& usb, libusb_device* device)
{
    std::uint8_t ports[8] = {};
    int const count = usb.get_port_numbers(device, ports, 8);
    if (count <= 0)
        throw std::runtime_error("RX-888 requires a stable USB port path or serial");
    std::string path = "usb-";
    path += std::to_string(usb.get_bus_number(device));
    for (int i = 0; i < count; ++i) {
        path += '-';
        path += std::to_string(ports[i]);
    }
    return path;
}

UsbDevice::UsbDevice(UsbDevice&& other) noexcept
    : usb_(other.usb_), handle_(std::exchange(other.handle_, nullptr)), claimed_(std::exchange(other.claimed_, false))
{
}

UsbDevice& UsbDevice::operator=(UsbDevice&& other) noexcept
{
    if (this != &other) {
        close();
        usb_ = other.usb_;
        handle_ = std::exchange(other.handle_, nullptr);
        claimed_ = std::exchange(other.claimed_, false);
    }
    return *this;
}

void UsbDevice::adopt(libusb_device_handle* handle)
{
    close();
    handle_ = handle;
}

void UsbDevice::claim()
{
    check_usb(*usb_, usb_->claim_interface(handle_, 0), "claim interface (device may be busy)");
    claimed_ = true;
}

void UsbDevice::close() noexcept
{
    if (handle_ == nullptr)
        return;
    if (claimed_)
        usb_->release_interface(handle_, 0);
    usb_->close(handle_);
    handle_ = nullptr;
    claimed_ = false;
}

void UsbDevice::abandon() noexcept
{
    handle_ = nullptr;
    claimed_ = false;
}
