#pragma once

#include <cstdint>
#include <vector>

namespace testbed {

// Peak signal-to-noise ratio of a received 8-bit picture against the sent one, in dB, over
// every byte: infinite when they are equal, -infinity when their sizes differ.
double psnr_db(const std::vector<std::uint8_t>& sent, const std::vector<std::uint8_t>& received);

}  // namespace testbed
