#pragma once

// FX3 boot images and their upload into an RX-888 that enumerates as the bare Cypress FX3
// bootloader (04b4:00f3), after which it comes back as the RX-888 application device.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "rx888/usb_library.hpp"

struct Options;

// A boot image: "CY", two header bytes, then sections of (u32 word count, u32 load address,
// data); a section of 0 words ends the image and names the entry address.
struct Fx3Image {
    struct Section {
        std::uint32_t address = 0;
        std::vector<std::uint8_t> data;
    };
    std::vector<Section> sections;
    std::uint32_t entry = 0;
};

// The largest image file accepted: the FX3 has 512 KiB of RAM.
inline constexpr std::uint64_t fx3_image_size_limit = 1024 * 1024;

// Parses image bytes; `path` only names the file in messages. "RX-888 firmware is not a
// Cypress FX3 image (missing 'CY' signature): " + path, "Truncated RX-888 firmware section",
// "Truncated RX-888 firmware image".
Fx3Image parse_fx3_image(std::vector<std::uint8_t> const& bytes, std::string const& path);

// Reads an image file: a regular file of at most 1 MiB, opened without blocking on a FIFO or
// device. "RX-888 firmware image not found: " + path when it cannot be opened.
std::vector<std::uint8_t> read_fx3_image_file(std::string const& path);

// The places searched for "SDDC_FX3.img", in order, for these environment values (empty when
// unset): the per-user data directory ($XDG_DATA_HOME, else $HOME/.local/share), then
// /usr/local/share and /usr/share.
std::vector<std::string> rx888_firmware_candidates(std::string const& xdg_data_home, std::string const& home);

// The first candidate that can be opened for reading; empty when none can.
std::string find_rx888_firmware();

// --rx888-firmware when given, else find_rx888_firmware(); empty: nothing is uploaded.
std::string rx888_firmware_path(Options const& options);

// Writes the image at `path` into the open bootloader `handle` with request 0xA0 (chunks of
// at most 4096 bytes), then jumps to its entry. A bad image writes nothing.
void upload_fx3_firmware(UsbLibrary const& usb, libusb_device_handle* handle, std::string const& path);

// Asked between the waits of ensure_rx888_firmware; true ends the operation quietly.
using StopCheck = std::function<bool()>;

// Uploads the image into every bootloader present (at most 8 passes) and waits, up to 5 s per
// pass, for one more application device to appear. Returns at once when no bootloader is
// present, and within 20 ms of `stop` turning true.
void ensure_rx888_firmware(UsbLibrary const& usb, std::string const& path, StopCheck const& stop = {});

// Sleeps `milliseconds` in short steps, through signals, and returns false early (within
// 20 ms) once `stop` turns true; true when the whole time passed.
bool sleep_unless_stopped(int milliseconds, StopCheck const& stop);
