#pragma once

// The RX-888 parts of --list-devices.

#include <cstdint>
#include <iosfwd>

struct Options;

// The RX-888 MKII receivers in the "sdrplay" listing, numbered from `next` (one added per line
// printed). A device still in its bootloader gets its firmware first when an image is found
// (an upload error goes to `err` and the listing goes on). Throws when libusb cannot be used;
// lines printed before stay and count.
void list_rx888_devices(Options const& options, std::ostream& out, std::ostream& err, std::uint64_t& next);

// The "rx888" diagnostics: every USB device that could be an RX-888 in any of its states,
// with its port, speed and firmware identity. Uploads nothing. Throws when libusb cannot be
// used or a descriptor cannot be read.
void rx888_diagnostics(Options const& options, std::ostream& out);
