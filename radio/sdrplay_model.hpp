#pragma once

#include "radio/sdrplay_api.hpp"

#include <cstdint>
#include <string>
#include <string_view>

// Model name of an SDRplay device record's hardware version ("Unknown RSP" when not known).
char const* sdrplay_model_name(std::uint8_t hw_version);

// Hardware notches of a model: bit 0 the RF notch, bit 8 the MW notch.
inline constexpr int SDRPLAY_RF_NOTCH = 1;
inline constexpr int SDRPLAY_MW_NOTCH = 256;
int sdrplay_notch_support(std::string_view model_name);

// The antenna in use, read back from the current parameters, e.g. "HiZ, port=AM1, tuner=A".
std::string describe_antenna(std::uint8_t hw_version, sdrplay::DeviceSettings const& device,
                             sdrplay::ChannelSettings const& tuner);

// The antenna word of a description: its text up to the first comma.
std::string_view sdrplay_antenna_word(std::string_view description);
