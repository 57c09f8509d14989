#pragma once

#include "core/digital_mode.hpp"

// One decoder channel: a USB dial frequency and the mode decoded there. A frequency may carry
// several modes, one channel each.
struct DecoderChannel {
    double frequency = 0;  // Hz
    DigitalMode mode = DigitalMode::FT8;

    friend bool operator==(DecoderChannel const&, DecoderChannel const&) = default;
};
