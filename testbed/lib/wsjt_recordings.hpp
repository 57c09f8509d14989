#pragma once

#include <filesystem>
#include <string>
#include <vector>

// 12000 Hz audio of one transmission made by the WSJT-X simulators and encoders (ft8sim,
// wsprsim, ft4code run as child processes), ready for iq_synth. Each throws std::runtime_error
// when the program fails or prints something unexpected.
namespace testbed {

// One FT8 interval from ft8sim (no noise), the signal at audio_hz; ft8sim writes its WAV file
// into dir, which is read and removed again.
std::vector<float> ft8sim_audio(std::filesystem::path const& dir, std::string const& message, double audio_hz);

// One 120 s WSPR interval from the channel symbols of wsprsim -c (run in dir).
std::vector<float> wspr_audio(std::filesystem::path const& dir, std::string const& message, double audio_hz);

// One 7.5 s FT4 interval from the tones of ft4code.
std::vector<float> ft4_audio(std::string const& message, double audio_hz);

// The audio made db decibels stronger (negative: weaker).
std::vector<float> scaled_audio(std::vector<float> audio, double db);

}  // namespace testbed
