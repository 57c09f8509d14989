#pragma once

// The RX-888 MKII backend: direct HF sampling at 128 MS/s (64 MS/s at the half rate) over USB 3,
// converted to complex IQ at clock / D around a chosen centre. Construction binds libusb,
// uploads FX3 firmware into a device still in its bootloader, opens and configures the
// receiver and prints its banner line; start() streams 32 bulk transfers whose blocks a
// conversion thread turns into IqBlocks, and a USB thread recovers stalls and replugs.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/receive_engine.hpp"
#include "radio/radio.hpp"

struct GpuLibrary;
struct Options;

// Seams of the backend. Every empty member means the real thing.
struct Rx888Hooks {
    // UTC seconds now (the system clock): block times start from it and are re-anchored to it
    // when the ADC clock drifts away.
    std::function<double()> utc_now;
    // The receive engine for the channelizer's frame length: the GPU plug-in's GpuReceiver by
    // default. On success `reason` names it ("GPU (<name>)"); otherwise it says why there is none.
    std::function<std::shared_ptr<RawSpectrum>(std::size_t frame_length, std::uint32_t decimation,
                                               double adc_clock_hz, std::string& reason)>
        make_engine;
    // Runs on the conversion thread before each raw block is taken up.
    std::function<void()> before_conversion;
    // The hardware thread count the front end sizes its workers by; 0: the machine's.
    unsigned hardware_threads = 0;
    // The GPU plug-in of the converter and of the default receive engine; null: the
    // process-wide one (gpu_library()).
    GpuLibrary const* gpu_library = nullptr;
};

std::unique_ptr<Radio> make_rx888_radio(Options const& options, Rx888Hooks hooks = {});
