#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace testbed {

// 12000 Hz audio of text sent as RTTY by minimodem (Baudot, 1.5 stop bits) with the given
// mark and space tones, run as a child process that writes "rtty.wav" into dir. Throws
// std::runtime_error when minimodem fails or its file is not 12000 Hz audio.
std::vector<float> minimodem_rtty_audio(const std::filesystem::path& dir, const std::string& text, double baud,
                                        double mark_hz, double space_hz);

}  // namespace testbed
