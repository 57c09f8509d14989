#pragma once

#include "core/decoded_spot.hpp"

// Reads the WSPR message in spot.message (CALL GRID4 DBM, <CALL> GRID6 DBM or CALL DBM; any
// " [drift=" tail is ignored) into spot.sender, spot.grid and spot.dbm. False when the text
// fits none of the forms or the power is above 60 dBm. A hashed "<...>" call leaves the
// sender empty.
bool parse_wspr_message(DecodedSpot& spot);
