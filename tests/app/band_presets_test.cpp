#include "app/band_presets.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(BandPresets, BandsInFrequencyOrder) {
  // Order matters: --bands expands in it and the capture-centre walk takes the first row that fits.
  std::vector<std::string> names;
  for (const BandPreset& band : band_presets()) names.push_back(band.name);
  EXPECT_EQ(names, (std::vector<std::string>{"160", "80", "60", "40", "30", "20", "17", "15", "12",
                                             "10", "6", "2", "70cm"}));
  for (const BandPreset& band : band_presets()) {
    EXPECT_EQ(band.capture_center_hz, band.name == "2" ? 146000000 : 0) << band.name;
  }
}

struct Lookup {
  const char* band;
  DigitalMode mode;
  double hz;  // -1: no such band
};

class BandLookup : public testing::TestWithParam<Lookup> {};

TEST_P(BandLookup, FindsTheModesColumn) {
  const Lookup& c = GetParam();
  const BandPreset* band = find_band_preset(c.band);
  if (c.hz < 0) {
    EXPECT_EQ(band, nullptr);
    return;
  }
  ASSERT_NE(band, nullptr);
  EXPECT_EQ(band_frequency_hz(*band, c.mode), c.hz);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BandLookup,
    testing::Values(Lookup{"40", DigitalMode::FT8, 7074000}, Lookup{"40", DigitalMode::FT4, 7047500},
                    Lookup{"40", DigitalMode::WSPR, 7038600},
                    // every JS8 speed reads the one JS8 column
                    Lookup{"20", DigitalMode::JS8, 14078000}, Lookup{"20", DigitalMode::JS8_FAST, 14078000},
                    Lookup{"20", DigitalMode::JS8_TURBO, 14078000},
                    Lookup{"20", DigitalMode::JS8_SLOW, 14078000},
                    // 0: the band exists but has no preset for the mode
                    Lookup{"160", DigitalMode::FT4, 0}, Lookup{"60", DigitalMode::JS8_FAST, 0},
                    Lookup{"60", DigitalMode::WSPR, 0}, Lookup{"70cm", DigitalMode::FT4, 0},
                    Lookup{"70cm", DigitalMode::WSPR, 432300000}, Lookup{"2", DigitalMode::FT8, 144174000},
                    // the caller normalises; lookup itself is exact
                    Lookup{"40m", DigitalMode::FT8, -1}, Lookup{"70", DigitalMode::FT8, -1},
                    Lookup{"4", DigitalMode::FT8, -1}, Lookup{"", DigitalMode::FT8, -1}));

TEST(BandPresets, UnknownModeCodeHasNoColumn) {
  EXPECT_EQ(band_frequency_hz(band_presets().front(), static_cast<DigitalMode>(99)), 0);
}

const std::string hints =
    "Select primary channels with --bands, for example:\n"
    "  --mode decoder --modes FT8,FT4 --bands 40,30,20\n"
    "Or specify USB dial frequencies directly:\n"
    "  --frequencies FT8:14.074M,FT4:14.080M\n"
    "FT8 is the default for unprefixed frequencies and bands.\n";

bool has_line(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(FrequencyList, RowsAlignAndKeepTheDecimalsThatMatter) {
  std::string ft8 = format_frequency_list({DigitalMode::FT8});
  EXPECT_EQ(ft8.rfind("Common FT8 USB dial frequencies (160m through 70cm):\nBand   Dial MHz   Notes\n", 0), 0u);
  for (const char* row : {"160m    1.840", "80m     3.573", "6m     50.313", "2m    144.174", "70cm  432.174",
                          "6m     50.323     Intercontinental (use --frequencies 50.323M)"}) {
    EXPECT_TRUE(has_line(ft8, row)) << row;
  }
  std::string wspr = format_frequency_list({DigitalMode::WSPR});
  EXPECT_TRUE(has_line(wspr, "160m   1.8366"));
  EXPECT_TRUE(has_line(wspr, "70cm  432.300"));
}

TEST(FrequencyList, LeavesOutBandsWithoutAPreset) {
  std::string ft4 = format_frequency_list({DigitalMode::FT4});
  EXPECT_EQ(ft4.find("\n160m"), std::string::npos);
  EXPECT_EQ(ft4.find("\n70cm"), std::string::npos);
  EXPECT_EQ(ft4.find("Intercontinental"), std::string::npos);
  EXPECT_TRUE(has_line(ft4, "40m    7.0475"));

  std::string fast = format_frequency_list({DigitalMode::JS8_FAST});
  EXPECT_EQ(fast.rfind("Common JS8-FAST USB", 0), 0u);
  EXPECT_EQ(fast.find("\n60m"), std::string::npos);
  EXPECT_TRUE(has_line(fast, "160m   1.8435"));
}

TEST(FrequencyList, OneTablePerModeThenTheHintsOnce) {
  EXPECT_EQ(format_frequency_list({}), hints);

  std::string ft8 = format_frequency_list({DigitalMode::FT8});
  std::string wspr = format_frequency_list({DigitalMode::WSPR});
  std::string table_ft8 = ft8.substr(0, ft8.size() - hints.size());
  std::string table_wspr = wspr.substr(0, wspr.size() - hints.size());
  ASSERT_EQ(table_ft8.substr(table_ft8.size() - 2), "\n\n");
  EXPECT_EQ(format_frequency_list({DigitalMode::FT8, DigitalMode::WSPR}), table_ft8 + table_wspr + hints);
}

}  // namespace
