#include "rx888/rx888_device.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace {

constexpr std::uint8_t vendor_out = 0x40;
constexpr std::uint8_t vendor_in = 0xC0;

// Holds a handle while open() decides about its device; closes it unless it is handed on.
struct PendingHandle {
    UsbLibrary const& usb;
    libusb_device_handle* handle = nullptr;
    ~PendingHandle()
    {
        if (handle != nullptr)
            usb.close(handle);
    }
    libusb_device_handle* release() { return std::exchange(handle, nullptr); }
};

}  // namespace

std::uint8_t rx888_vga_code(double gain_db)
{
    int const hi = gain_db >= 0 ? 1 : 0;
    double const g = std::min(gain_db, 34.0);
    long steps = std::lround(std::pow(10.0, g / 20.0) / ((1 + hi * 6.079458) * 0.055744));
    steps = std::clamp(steps, 0L, 127L);
    return static_cast<std::uint8_t>(hi * 128 + steps);
}

double rx888_vga_gain_db(std::uint8_t code)
{
    double const x = (code & 0x7F) * 0.055744 * (1 + (code >> 7) * 6.079458);
    return x == 0 ? -120.0 : 20.0 * std::log10(x);
}

void Rx888Device::open(std::string const& serial)
{
    close();
    UsbLibrary const& usb = *library();
    UsbDeviceList const list(usb);
    libusb_device_handle* selected = nullptr;
    libusb_device* selected_device = nullptr;
    // Whatever goes wrong below, the chosen handle is closed again.
    PendingHandle chosen{usb};
    for (std::size_t i = 0; i < list.size(); ++i) {
        libusb_device* device = list[i];
        libusb_device_descriptor descriptor{};
        check_usb(usb, usb.get_device_descriptor(device, &descriptor), "read USB descriptor");
        if (descriptor.idVendor != rx888_vendor_id || descriptor.idProduct != rx888_application_product)
            continue;
        libusb_device_handle* handle = nullptr;
        int const opened = usb.open(device, &handle);
        if (opened < 0) {
            if (serial.empty() || usb_port_path(usb, device) == serial)
                check_usb(usb, opened, "open device (check USB permissions)");
            continue;
        }
        PendingHandle candidate{usb, handle};
        std::string const text = usb_string_descriptor(usb, handle, descriptor.iSerialNumber);
        bool const match = serial.empty() || text == serial || usb_port_path(usb, device) == serial;
        if (!match)
            continue;
        if (selected != nullptr)
            throw std::runtime_error("Multiple RX-888 candidates; select --serial SERIAL_OR_USB_PORT");
        selected = candidate.release();
        chosen.handle = selected;
        selected_device = device;
    }
    if (selected == nullptr)
        throw std::runtime_error("No compatible RX-888 MKII application device (04b4:00f1); use --list-devices to "
                                 "inspect firmware/bootloader state");
    if (usb.get_device_speed(selected_device) < LIBUSB_SPEED_SUPER)
        throw std::runtime_error("RX-888 requires USB 3 SuperSpeed");
    adopt(chosen.release());
    try {
        claim();
        unsigned char identity[4] = {};
        int const got = usb.control_transfer(handle(), vendor_in, rx888_request::identity, 0, 0, identity, 4, 1000);
        check_usb(usb, got, "read firmware identity");
        if (got != 4 || identity[0] != 4 || identity[1] != 2 || identity[2] != 2)
            throw std::runtime_error(
                "RX-888 native driver requires MKII model 4 and firmware 2.2; receiver was not reconfigured");
    } catch (...) {
        close();
        throw;
    }
}

void Rx888Device::command(std::uint8_t request, std::uint32_t argument)
{
    UsbLibrary const& usb = *library();
    unsigned char data[4] = {static_cast<unsigned char>(argument & 0xFF), static_cast<unsigned char>((argument >> 8) & 0xFF),
                             static_cast<unsigned char>((argument >> 16) & 0xFF),
                             static_cast<unsigned char>((argument >> 24) & 0xFF)};
    int const result = usb.control_transfer(handle(), vendor_out, request, 0, 0, data, 4, 3000);
    check_usb(usb, result, "write firmware command");
    if (result != 4)
        throw std::runtime_error("RX-888 short control write");
}

void Rx888Device::set_arg(std::uint16_t argument, std::uint16_t value)
{
    UsbLibrary const& usb = *library();
    unsigned char data[1] = {0};
    int const result = usb.control_transfer(handle(), vendor_out, rx888_request::set_argument, value, argument, data, 1, 1000);
    check_usb(usb, result, "set HF gain");
    if (result != 1)
        throw std::runtime_error("RX-888 short gain command");
}

double Rx888Device::configure(Rx888Settings const& settings)
{
    command(rx888_request::stop_stream, 0);
    command(rx888_request::adc_clock, settings.half_rate ? 64000000u : 128000000u);
    std::uint32_t const gpio = settings.bias_tee ? 0x00010100u : 0x00010000u;  // bytes 0, bias tee, 1, 0
    command(rx888_request::gpio, gpio);
    command(rx888_request::configure_extra, 0);
    set_arg(rx888_attenuator_argument,
            static_cast<std::uint16_t>(std::llround(2.0 * settings.attenuation_db) & 0xFFFF));
    std::uint8_t const code = rx888_vga_code(settings.gain_db);
    set_arg(rx888_vga_argument, code);
    return rx888_vga_gain_db(code);
}

bool Rx888Device::answers_probe()
{
    if (!is_open())
        return false;
    unsigned char identity[4] = {};
    return library()->control_transfer(handle(), vendor_in, rx888_request::identity, 0, 0, identity, 4, 500) == 4;
}
