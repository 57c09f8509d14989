#include "app/band_presets.hpp"

#include <cmath>
#include <iomanip>
#include <locale>
#include <sstream>

const std::vector<BandPreset>& band_presets() {
  // Built on first use, so a caller that runs before the start-up initialiser (a test, say)
  // still sees the whole table; the initialiser only fixes when that first use happens.
  static const std::vector<BandPreset> table = {
      {"160", 1840000, 0, 1843500, 1836600, 0},
      {"80", 3573000, 3575000, 3578000, 3568600, 0},
      {"60", 5357000, 5357000, 0, 0, 0},
      {"40", 7074000, 7047500, 7078000, 7038600, 0},
      {"30", 10136000, 10140000, 10130000, 10138700, 0},
      {"20", 14074000, 14080000, 14078000, 14095600, 0},
      {"17", 18100000, 18104000, 18104000, 18104600, 0},
      {"15", 21074000, 21140000, 21078000, 21094600, 0},
      {"12", 24915000, 24919000, 24922000, 24924600, 0},
      {"10", 28074000, 28180000, 28078000, 28124600, 0},
      {"6", 50313000, 50318000, 50318000, 50293000, 0},
      {"2", 144174000, 144170000, 144178000, 144489000, 146000000},
      {"70cm", 432174000, 0, 0, 432300000, 0},
  };
  return table;
}

void init_band_presets() {
  band_presets();
}

const BandPreset* find_band_preset(std::string_view name) {
  for (const BandPreset& band : band_presets()) {
    if (band.name == name) return &band;
  }
  return nullptr;
}

double band_frequency_hz(const BandPreset& band, DigitalMode mode) {
  switch (mode) {
    case DigitalMode::FT8:
      return band.ft8_hz;
    case DigitalMode::FT4:
      return band.ft4_hz;
    case DigitalMode::JS8:
    case DigitalMode::JS8_FAST:
    case DigitalMode::JS8_TURBO:
    case DigitalMode::JS8_SLOW:
      return band.js8_hz;
    case DigitalMode::WSPR:
      return band.wspr_hz;
  }
  return 0;  // a code outside the enumeration has no column
}

namespace {

std::string band_label(const std::string& name) {
  bool metric = name.size() >= 2 && name.compare(name.size() - 2, 2, "cm") == 0;
  return metric ? name : name + "m";
}

}  // namespace

std::string format_frequency_list(const std::vector<DigitalMode>& modes) {
  std::ostringstream out;
  out.imbue(std::locale::classic());
  for (DigitalMode mode : modes) {
    out << "Common " << digital_mode_name(mode) << " USB dial frequencies (160m through 70cm):\n"
        << "Band   Dial MHz   Notes\n";
    for (const BandPreset& band : band_presets()) {
      double hz = band_frequency_hz(band, mode);
      if (hz == 0) continue;
      int decimals = std::fmod(hz, 1000.0) == 0 ? 3 : 4;
      out << std::left << std::setw(5) << band_label(band.name) << std::right << std::setw(8)
          << std::fixed << std::setprecision(decimals) << hz / 1000000.0 << '\n';
    }
    if (mode == DigitalMode::FT8) {
      out << "6m     50.323     Intercontinental (use --frequencies 50.323M)\n";
    }
    out << '\n';
  }
  out << "Select primary channels with --bands, for example:\n"
      << "  --mode decoder --modes FT8,FT4 --bands 40,30,20\n"
      << "Or specify USB dial frequencies directly:\n"
      << "  --frequencies FT8:14.074M,FT4:14.080M\n"
      << "FT8 is the default for unprefixed frequencies and bands.\n";
  return out.str();
}
