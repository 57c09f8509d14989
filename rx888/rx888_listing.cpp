#include "rx888/rx888_listing.hpp"

#include <exception>
#include <ostream>
#include <string>

#include "core/options.hpp"
#include "rx888/fx3_firmware.hpp"
#include "rx888/rx888_device.hpp"
#include "rx888/usb_library.hpp"

namespace {

constexpr std::uint8_t vendor_in = 0xC0;
constexpr std::uint16_t register_firmware_product = 0x3DDC;

}  // namespace

void list_rx888_devices(Options const& options, std::ostream& out, std::ostream& err, std::uint64_t& next)
{
    auto const usb = UsbLibrary::load(options.rx888_library);
    std::string const firmware = rx888_firmware_path(options);
    if (!firmware.empty()) {
        try {
            ensure_rx888_firmware(*usb, firmware);
        } catch (std::exception const& error) {
            err << error.what() << '\n' << std::flush;
        }
    }
    UsbDeviceList const list(*usb);
    for (std::size_t i = 0; i < list.size(); ++i) {
        libusb_device* device = list[i];
        libusb_device_descriptor descriptor{};
        if (usb->get_device_descriptor(device, &descriptor) < 0 || descriptor.idVendor != rx888_vendor_id)
            continue;
        if (descriptor.idProduct == fx3_bootloader_product) {
            out << next << ": RX-888 MKII (needs firmware) serial=" << usb_port_path(*usb, device) << " available=0\n";
            ++next;
            continue;
        }
        if (descriptor.idProduct != rx888_application_product)
            continue;
        // Closed (and released when claimed) whichever way this device's turn ends.
        UsbDevice handle(usb.get());
        std::string serial;
        bool available = false;
        libusb_device_handle* opened = nullptr;
        if (usb->open(device, &opened) == 0) {
            handle.adopt(opened);
            serial = usb_string_descriptor(*usb, opened, descriptor.iSerialNumber);
            bool claimed = true;
            try {
                handle.claim();
            } catch (std::exception const&) {
                claimed = false;  // held by another program: listed as unavailable
            }
            if (claimed) {
                unsigned char identity[4] = {};
                int const got = usb->control_transfer(opened, vendor_in, rx888_request::identity, 0, 0, identity, 4, 500);
                if (got != 4) {
                    out << next << ": RX-888 MKII (not responding) serial=" << usb_port_path(*usb, device)
                        << " available=0\n";
                    ++next;
                    continue;
                }
                available = true;
            }
        }
        if (serial.empty())
            serial = usb_port_path(*usb, device);
        out << next << ": RX-888 MKII serial=" << serial << " available=" << (available ? 1 : 0) << '\n';
        ++next;
    }
}

void rx888_diagnostics(Options const& options, std::ostream& out)
{
    auto const usb = UsbLibrary::load(options.rx888_library);
    UsbDeviceList const list(*usb);
    bool any = false;
    for (std::size_t i = 0; i < list.size(); ++i) {
        libusb_device* device = list[i];
        libusb_device_descriptor descriptor{};
        check_usb(*usb, usb->get_device_descriptor(device, &descriptor), "read USB descriptor");
        std::uint16_t const product = descriptor.idProduct;
        if (descriptor.idVendor != rx888_vendor_id ||
            (product != rx888_application_product && product != fx3_bootloader_product &&
             product != register_firmware_product))
            continue;
        any = true;
        libusb_device_handle* opened = nullptr;
        int const open_result = usb->open(device, &opened);
        UsbDevice handle(usb.get());
        std::string serial;
        if (open_result == 0) {
            handle.adopt(opened);
            serial = usb_string_descriptor(*usb, opened, descriptor.iSerialNumber);
        }
        out << "RX-888 candidate serial=" << serial << " port=" << usb_port_path(*usb, device)
            << " speed=" << usb->get_device_speed(device);
        if (product == fx3_bootloader_product) {
            out << " Cypress FX3 bootloader (pass --rx888-firmware SDDC_FX3.img to load firmware)";
        } else if (product == register_firmware_product) {
            out << " newer register firmware (use matching RaspSDR driver)";
        } else if (open_result != 0) {
            out << " unavailable=" << usb->error_name(open_result);
        } else {
            unsigned char identity[4] = {};
            int const got = usb->control_transfer(opened, vendor_in, rx888_request::identity, 0, 0, identity, 4, 1000);
            if (got == 4)
                out << " model=" << unsigned{identity[0]} << " firmware=" << unsigned{identity[1]} << "."
                    << unsigned{identity[2]};
            else
                out << " firmware identity unavailable";
        }
        out << '\n';
    }
    if (!any)
        out << "No RX-888 USB candidates found\n";
    out << std::flush;
}
