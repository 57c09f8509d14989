#pragma once

#include <optional>

#include "core/decoded_spot.hpp"
#include "core/digital_mode.hpp"
#include "report/psk_spot.hpp"

// The PSK Reporter spot for the station that transmitted a decode (the caller of a CQ, the
// second call of a directed message, the JS8 sender, the WSPR call), at dial + audio frequency
// and the interval's UTC second; nothing when the decode names no reportable sender or the
// frequency or time does not fit the report. Never throws for bad input.
std::optional<PskSpot> make_psk_spot(DecodedSpot const& spot, DigitalMode mode, double dial_hz, double start_utc);
