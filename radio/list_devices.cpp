#include "radio/list_devices.hpp"

#include "core/options.hpp"
#include "radio/sdrplay_library.hpp"
#include "radio/sdrplay_model.hpp"

#include <cstring>
#include <exception>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

// Prints the SDRplay devices numbered from `next`, counting each printed line there.
void list_sdrplay(Options const& options, std::ostream& out, std::uint64_t& next)
{
    SdrplayLibrary library(options.api_library);
    SdrplayApiLock lock(library);
    sdrplay::Device devices[sdrplay::MAX_DEVICES] = {};
    unsigned count = 0;
    library.check("Enumerate devices", library.get_devices(devices, &count, sdrplay::MAX_DEVICES));
    if (count > sdrplay::MAX_DEVICES)
        count = sdrplay::MAX_DEVICES;
    for (unsigned k = 0; k < count; ++k) {
        sdrplay::Device const& device = devices[k];
        out << next << ": " << sdrplay_model_name(device.hw_version)
            << " serial=" << std::string_view(device.serial, strnlen(device.serial, sizeof device.serial))
            << " available=" << (device.valid ? 1 : 0) << '\n';
        ++next;
    }
    lock.unlock();
}

}  // namespace

void list_devices(Options const& options, std::ostream& out, std::ostream& err, Rx888DeviceLister const& rx888,
                  Rx888Diagnostics const& rx888_diagnostics)
{
    if (options.backend == "rtl-sdr")
        throw std::runtime_error(
            "RTL device selection belongs to the external server: run rtl_tcp -d INDEX_OR_SERIAL; --list-devices is "
            "SDRplay-only");
    if (options.backend == "rx888") {
        if (!rx888_diagnostics)
            throw std::runtime_error("RX-888 device diagnostics are not available in this build");
        rx888_diagnostics(options, out);
        return;
    }

    std::uint64_t next = 0;
    std::optional<std::string> sdrplay_error;
    try {
        list_sdrplay(options, out, next);
    } catch (std::exception const& error) {
        sdrplay_error = error.what();
    }
    if (rx888) {
        try {
            rx888(options, out, err, next);
        } catch (std::exception const&) {
            // The RX-888 part is best effort here: lines it printed stay and count.
        }
    }
    out.flush();

    if (next > 0) {
        if (sdrplay_error)
            err << ("SDRplay enumeration unavailable: " + *sdrplay_error + "\n") << std::flush;
        return;
    }
    if (sdrplay_error)
        throw std::runtime_error(*sdrplay_error);
    out << "No receivers found\n" << std::flush;
}
