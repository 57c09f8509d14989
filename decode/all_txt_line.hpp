#pragma once

#include <string>

#include "core/decoded_spot.hpp"
#include "core/digital_mode.hpp"

// One ALL.TXT line, newline included, in the fixed column layout that other programs read:
// "240315_120415    14.074 Rx FT8       -5  0.3 1500 CQ K1ABC FN42", plus a " [drift=N]" tail
// for WSPR and a " [frame=... flags=N sender=... grid=...]" tail for JS8 spots with a frame.
std::string format_all_txt_line(DecodedSpot const& spot, DigitalMode mode, double start_utc, double dial_hz);
