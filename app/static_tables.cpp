#include "app/static_tables.hpp"

#include "app/band_presets.hpp"
#include "app/config_file.hpp"
#include "sig/known_channels.hpp"
#include "sig/survey/ham_band.hpp"

void init_static_tables() {
  init_known_channels();
  // The SSTV mode table comes next, as it is built.
  init_ham_band_table();
  init_config_keys();
  init_band_presets();
}
