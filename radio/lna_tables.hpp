#pragma once

#include <optional>
#include <span>
#include <string_view>

// Gain reduction in dB of each LNA state that an SDRplay model offers on an antenna at an RF
// frequency, indexed by state number (so its size is the number of valid states). Empty when
// no restriction is known: an unknown model, a frequency outside 1 kHz..2 GHz or not finite,
// or a band without a table. Only the antenna word "HiZ" changes the result.
std::optional<std::span<int const>> sdrplay_lna_reductions(std::string_view model_name,
                                                           std::string_view antenna_word, double hz);
