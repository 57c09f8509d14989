#pragma once

// The RX-888 MKII application device: finding and opening it, and the vendor requests of its
// FX3 firmware.

#include <cstdint>
#include <string>

#include "rx888/usb_library.hpp"

// Vendor request codes of the firmware.
namespace rx888_request {
inline constexpr std::uint8_t firmware_write = 0xA0;  // bootloader memory write / entry jump
inline constexpr std::uint8_t start_stream = 0xAA;
inline constexpr std::uint8_t stop_stream = 0xAB;
inline constexpr std::uint8_t identity = 0xAC;
inline constexpr std::uint8_t gpio = 0xAD;
inline constexpr std::uint8_t adc_clock = 0xB2;
inline constexpr std::uint8_t set_argument = 0xB6;
inline constexpr std::uint8_t configure_extra = 0xB8;  // sent once, argument 0, in every configuration
}  // namespace rx888_request

inline constexpr std::uint16_t rx888_attenuator_argument = 10;
inline constexpr std::uint16_t rx888_vga_argument = 11;

// The VGA code for a gain in dB and the gain that code really applies (-120 for code 0).
std::uint8_t rx888_vga_code(double gain_db);
double rx888_vga_gain_db(std::uint8_t code);

// What configure() sends.
struct Rx888Settings {
    bool half_rate = false;  // 64 MHz ADC clock instead of 128 MHz
    bool bias_tee = false;
    double attenuation_db = 10;
    double gain_db = 0;  // requested VGA gain
};

class Rx888Device : public UsbDevice {
public:
    Rx888Device() = default;
    explicit Rx888Device(UsbLibrary const* usb) : UsbDevice(usb) {}

    // Finds the one application device (04b4:00f1) that `serial` names (its serial string or
    // its USB port path; any when empty), opens it, checks USB 3 SuperSpeed, claims interface
    // 0 and checks the firmware identity (model 4, firmware 2.2). On any failure nothing is
    // left open.
    void open(std::string const& serial);

    // Vendor OUT with a 4-byte little-endian argument, 3000 ms.
    void command(std::uint8_t request, std::uint32_t argument);
    // Request 0xB6: wValue = value, wIndex = argument id, one zero byte, 1000 ms.
    void set_arg(std::uint16_t argument, std::uint16_t value);
    // Stop, ADC clock, GPIO, 0xB8, attenuator, VGA; returns the VGA gain really applied.
    double configure(Rx888Settings const& settings);
    // The identity request with a 500 ms limit: true when the device answered with 4 bytes.
    bool answers_probe();
};
