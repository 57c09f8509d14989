#pragma once

#include <string>
#include <vector>

// One amateur band (or, on 60 m, one channel) as the survey tells ham signals from the rest.
// Both edges belong to the band.
struct HamBand {
    double low_hz = 0.0;
    double high_hz = 0.0;
    std::string name;  // "160m" .. "70cm"
};

// The table, 160 m through 70 cm, with 60 m as its five separate channels. Built once, before
// main, and only read afterwards; safe to call from any thread.
const std::vector<HamBand>& ham_bands();

// Builds the table now rather than on first use; the start-up initialiser calls it so that the
// static tables are built in a fixed order.
void init_ham_band_table();

// Whether an RF frequency lies inside some row of the table.
bool in_ham_band(double rf_hz);
