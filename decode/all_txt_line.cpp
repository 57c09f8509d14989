#include "decode/all_txt_line.hpp"

#include <iomanip>
#include <locale>
#include <sstream>

#include "decode/decoder_programs.hpp"

std::string format_all_txt_line(DecodedSpot const& spot, DigitalMode mode, double start_utc, double dial_hz)
{
    std::ostringstream line;
    line.imbue(std::locale::classic());
    line << format_utc(utc_whole_seconds(start_utc), "%y%m%d_%H%M%S") << ' ';
    line << std::fixed << std::setprecision(3) << std::setw(9) << dial_hz / 1000000.0;
    line << " Rx " << digital_mode_name_or_unknown(mode) << ' ';
    line << std::setw(6) << spot.snr << ' ';
    line << std::setprecision(1) << std::setw(4) << spot.dt << ' ';
    line << std::setw(4) << spot.audio_hz << ' ';
    line << spot.message;
    if (mode == DigitalMode::WSPR) {
        line << " [drift=" << spot.drift << ']';
    } else if (is_js8_mode(mode) && !spot.frame.empty()) {
        line << " [frame=" << spot.frame << " flags=" << spot.flags
             << " sender=" << (spot.sender.empty() ? "-" : spot.sender)
             << " grid=" << (spot.grid.empty() ? "-" : spot.grid) << ']';
    }
    line << '\n';
    return line.str();
}
