#include "app/static_tables.hpp"

#include "app/band_presets.hpp"
#include "app/config_file.hpp"
#include "sig/known_channels.hpp"

void init_static_tables() {
  init_known_channels();
  // The SSTV mode table and the survey's ham band table come next, in that order, as they
  // are built.
  init_config_keys();
  init_band_presets();
}
