#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/digital_mode.hpp"

// One amateur band the decoder mode knows by name: the dial frequency of each digital mode's
// calling channel, and for a few bands a preferred capture centre. 0 means "none".
struct BandPreset {
  std::string name;  // without the "m": "40", "2", "70cm"
  double ft8_hz = 0;
  double ft4_hz = 0;
  double js8_hz = 0;  // shared by the four JS8 speeds
  double wspr_hz = 0;
  double capture_center_hz = 0;
};

// The table in band order, 160 m through 70 cm. Built once, before main, and only read
// afterwards; safe to call from any thread.
const std::vector<BandPreset>& band_presets();

// Builds the table now rather than on first use; the start-up initialiser calls it so that
// the tables are built in a fixed order.
void init_band_presets();

// The row whose name equals `name` exactly (the caller normalises: lower case, no "m"
// suffix except for "70cm"); nullptr when there is none.
const BandPreset* find_band_preset(std::string_view name);

// The dial frequency of `mode` on `band`, 0 when the band has no preset for that mode.
double band_frequency_hz(const BandPreset& band, DigitalMode mode);

// The text of --list-frequencies for these modes, in their order, hints included.
std::string format_frequency_list(const std::vector<DigitalMode>& modes);
