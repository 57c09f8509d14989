#pragma once

#include <complex>
#include <filesystem>
#include <vector>

// The analytic signal of 12000 Hz audio (audio + j x its Hilbert transform): mixed up to an RF
// dial frequency it is the upper-sideband transmission of that audio, audio frequency a at
// dial + a, as iq_synth places it in IQ. The RX-888 stand-in reads it from a file and puts it
// into the real-valued ADC stream.
namespace testbed {

std::vector<std::complex<float>> usb_baseband(std::vector<float> const& audio);

// Native-endian complex float32 pairs, the stand-in's signal file format. Throws
// std::runtime_error when the file cannot be written.
void write_baseband_file(std::filesystem::path const& path, std::vector<std::complex<float>> const& baseband);

}  // namespace testbed
