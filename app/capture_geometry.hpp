#pragma once

#include "core/options.hpp"

// The facts about the command line that the capture geometry needs beyond the record itself.
struct CaptureRequest {
    bool center_given = false;   // --center-frequency
    bool iq_rate_given = false;  // --iq-rate
};

// Decides the capture of a wideband run: its centre (`frequency`), its usable width
// (`if_bandwidth`) and, for the RX-888, the hardware rate (`sample_rate`), then proves that
// every decoder channel fits. Returns true when the RX-888 window search chose the rate.
// Throws std::runtime_error, or CaptureFitError when the selection cannot fit one capture.
bool apply_capture_geometry(Options& options, CaptureRequest const& request);

// True when the channel leaves centre +- half width (a NaN anywhere counts as outside).
bool channel_outside_capture(double centre_hz, double half_width_hz, Options const& options,
                             DecoderChannel const& channel);
