#include "rx888/fx3_firmware.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "core/log_line.hpp"
#include "core/options.hpp"
#include "core/unique_fd.hpp"
#include "rx888/rx888_device.hpp"

namespace {

constexpr std::uint8_t vendor_out = 0x40;
constexpr std::size_t chunk_bytes = 4096;
constexpr unsigned firmware_timeout_ms = 2000;

std::uint32_t read_u32(std::vector<std::uint8_t> const& bytes, std::uint64_t at)
{
    return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[at + 2]) << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::string environment(char const* name)
{
    char const* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

// Application devices (04b4:00f1) in a fresh list; devices whose descriptor cannot be read are
// not counted.
int count_application_devices(UsbLibrary const& usb)
{
    UsbDeviceList const list(usb);
    int count = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        libusb_device_descriptor descriptor{};
        if (usb.get_device_descriptor(list[i], &descriptor) < 0)
            continue;
        if (descriptor.idVendor == rx888_vendor_id && descriptor.idProduct == rx888_application_product)
            ++count;
    }
    return count;
}

}  // namespace

Fx3Image parse_fx3_image(std::vector<std::uint8_t> const& bytes, std::string const& path)
{
    if (bytes.size() < 8 || bytes[0] != 'C' || bytes[1] != 'Y')
        throw std::runtime_error("RX-888 firmware is not a Cypress FX3 image (missing 'CY' signature): " + path);
    Fx3Image image;
    // Offsets in 64 bits: a word count near 2^32 must not wrap back into the file.
    std::uint64_t const size = bytes.size();
    std::uint64_t p = 4;
    while (size - p >= 4) {
        if (size - p < 8)
            throw std::runtime_error("Truncated RX-888 firmware image");
        std::uint64_t const words = read_u32(bytes, p);
        std::uint32_t const address = read_u32(bytes, p + 4);
        if (words == 0) {
            image.entry = address;
            return image;
        }
        std::uint64_t const length = 4 * words;
        if (length > size - p - 8)
            throw std::runtime_error("Truncated RX-888 firmware section");
        auto const first = bytes.begin() + static_cast<std::ptrdiff_t>(p + 8);
        image.sections.push_back({address, std::vector<std::uint8_t>(first, first + static_cast<std::ptrdiff_t>(length))});
        p += 8 + length;
    }
    throw std::runtime_error("Truncated RX-888 firmware image");
}

std::vector<std::uint8_t> read_fx3_image_file(std::string const& path)
{
    // Non-blocking, so that a FIFO put where the image should be cannot hang the start-up.
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0)
        throw std::runtime_error("RX-888 firmware image not found: " + path);
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode))
        throw std::runtime_error("RX-888 firmware image is not a regular file: " + path);
    if (static_cast<std::uint64_t>(status.st_size) > fx3_image_size_limit)
        throw std::runtime_error("RX-888 firmware image is larger than 1 MiB: " + path);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(status.st_size));
    std::size_t got = 0;
    while (got < bytes.size()) {
        ssize_t const n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw std::runtime_error("RX-888 firmware image cannot be read: " + path);
        if (n == 0)
            break;  // the file shrank meanwhile: parse what is there
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
}

std::vector<std::string> rx888_firmware_candidates(std::string const& xdg_data_home, std::string const& home)
{
    std::vector<std::string> candidates;
    if (!xdg_data_home.empty())
        candidates.push_back(xdg_data_home + "/norvane/firmware/SDDC_FX3.img");
    else if (!home.empty())
        candidates.push_back(home + "/.local/share/norvane/firmware/SDDC_FX3.img");
    candidates.push_back("/usr/local/share/norvane/firmware/SDDC_FX3.img");
    candidates.push_back("/usr/share/norvane/firmware/SDDC_FX3.img");
    return candidates;
}

std::string find_rx888_firmware()
{
    for (std::string const& candidate : rx888_firmware_candidates(environment("XDG_DATA_HOME"), environment("HOME"))) {
        UniqueFd const fd(::open(candidate.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        if (fd.get() >= 0)
            return candidate;
    }
    return {};
}

std::string rx888_firmware_path(Options const& options)
{
    return options.rx888_firmware.empty() ? find_rx888_firmware() : options.rx888_firmware;
}

void upload_fx3_firmware(UsbLibrary const& usb, libusb_device_handle* handle, std::string const& path)
{
    Fx3Image const image = parse_fx3_image(read_fx3_image_file(path), path);
    for (Fx3Image::Section const& section : image.sections) {
        for (std::size_t offset = 0; offset < section.data.size(); offset += chunk_bytes) {
            std::size_t const length = std::min(chunk_bytes, section.data.size() - offset);
            std::uint32_t const address = section.address + static_cast<std::uint32_t>(offset);
            // libusb takes a non-const buffer even for OUT transfers.
            std::vector<unsigned char> chunk(section.data.begin() + static_cast<std::ptrdiff_t>(offset),
                                             section.data.begin() + static_cast<std::ptrdiff_t>(offset + length));
            int const written = usb.control_transfer(handle, vendor_out, rx888_request::firmware_write,
                                                     static_cast<std::uint16_t>(address & 0xFFFF),
                                                     static_cast<std::uint16_t>(address >> 16), chunk.data(),
                                                     static_cast<std::uint16_t>(length), firmware_timeout_ms);
            check_usb(usb, written, "upload RX-888 firmware");
            if (static_cast<std::size_t>(written) != length)
                throw std::runtime_error("RX-888 firmware short write");
        }
    }
    // The device leaves the bus as it jumps, so the answer to this request means nothing.
    usb.control_transfer(handle, vendor_out, rx888_request::firmware_write, static_cast<std::uint16_t>(image.entry & 0xFFFF),
                         static_cast<std::uint16_t>(image.entry >> 16), nullptr, 0, firmware_timeout_ms);
}

bool sleep_unless_stopped(int milliseconds, StopCheck const& stop)
{
    using Clock = std::chrono::steady_clock;
    auto const end = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (stop && stop())
            return false;
        auto const now = Clock::now();
        if (now >= end)
            return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(end - now, std::chrono::milliseconds(20)));
    }
}

void ensure_rx888_firmware(UsbLibrary const& usb, std::string const& path, StopCheck const& stop)
{
    for (int pass = 0; pass < 8; ++pass) {
        int before = 0;
        bool uploaded = false;
        {
            UsbDeviceList const list(usb);
            if (list.size() == 0)
                return;
            for (std::size_t i = 0; i < list.size(); ++i) {
                libusb_device_descriptor descriptor{};
                if (usb.get_device_descriptor(list[i], &descriptor) < 0)
                    continue;
                if (descriptor.idVendor != rx888_vendor_id)
                    continue;
                if (descriptor.idProduct == rx888_application_product) {
                    ++before;
                } else if (descriptor.idProduct == fx3_bootloader_product && !uploaded) {
                    libusb_device_handle* handle = nullptr;
                    check_usb(usb, usb.open(list[i], &handle), "open RX-888 bootloader (check USB permissions)");
                    UsbDevice bootloader(&usb);
                    bootloader.adopt(handle);
                    log_line("RX-888: uploading FX3 firmware " + path + " to the bootloader device (04b4:00f3)");
                    upload_fx3_firmware(usb, handle, path);
                    uploaded = true;
                }
            }
        }
        if (!uploaded)
            return;
        bool appeared = false;
        for (int wait = 0; wait < 50 && !appeared; ++wait) {
            if (!sleep_unless_stopped(100, stop))
                return;
            appeared = count_application_devices(usb) > before;
        }
        if (!appeared)
            throw std::runtime_error("RX-888 firmware uploaded, but the application device (04b4:00f1) did not "
                                     "re-enumerate; replug the receiver");
    }
}
