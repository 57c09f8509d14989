#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>

struct Options;

// The RX-888 part of the "sdrplay" listing, provided by the RX-888 subsystem: prints its
// devices to `out` numbered from `next` and adds 1 to `next` for every line it prints, so the
// lines already printed still count when it fails part-way. It may throw; the listing then
// goes on without it. An empty function lists no RX-888 devices.
using Rx888DeviceLister = std::function<void(Options const& options, std::ostream& out, std::ostream& err,
                                             std::uint64_t& next)>;

// The "rx888" diagnostics listing, provided by the RX-888 subsystem.
using Rx888Diagnostics = std::function<void(Options const& options, std::ostream& out)>;

// --list-devices: prints the receivers the selected backend can reach to `out`, warnings to
// `err`. Throws when nothing can be listed and the SDRplay API failed (with its message), for
// the rtl-sdr backend, and for the rx888 backend when no diagnostics are provided.
void list_devices(Options const& options, std::ostream& out, std::ostream& err, Rx888DeviceLister const& rx888,
                  Rx888Diagnostics const& rx888_diagnostics);
