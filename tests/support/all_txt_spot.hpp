#pragma once

#include <string>

// The one FT8 spot a whole-program test expects a run to have written to ALL.TXT.
struct ExpectedFt8Spot {
    std::string dial;      // the dial as ALL.TXT gives it, MHz ("14.074")
    std::string message;
    double audio_hz = 0;   // within 3 Hz
    double snr_db = 0;     // within 4 dB
    double dt_s = 0;
    double dt_tolerance_s = 0.5;
};

// Checks (with gtest assertions) that all_txt holds exactly one line and that it is that spot,
// stamped with a 15 s interval of UTC. run_err, the run's standard error, explains a missing line.
void expect_only_ft8_spot(std::string const& all_txt, ExpectedFt8Spot const& expected, std::string const& run_err);
