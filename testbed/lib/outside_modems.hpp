#pragma once

#include <string>
#include <vector>

// 12000 Hz audio of keyboard-mode transmissions made by programs we did not write, run as child
// processes: minimodem for Baudot RTTY, ebook2cw for CW. Each throws std::runtime_error when the
// program fails or its output is not 12000 Hz audio.
namespace testbed {

// Baudot RTTY from minimodem with 1.5 stop bits, as amateur teletype sends it. The mark and
// space tones are given in Hz; a line feed in the text is sent as the program sends it.
std::vector<float> minimodem_rtty_audio(std::string const& text, double mark_hz, double space_hz,
                                        double baud = 45.45);

// CW from ebook2cw at the given speed and tone; its Ogg output is turned into WAV by oggdec.
std::vector<float> ebook2cw_audio(std::string const& text, int wpm, int tone_hz);

}  // namespace testbed
