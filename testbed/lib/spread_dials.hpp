#pragma once

#include <vector>

namespace testbed {

// count dial frequencies evenly over the middle 80 % of a capture around centre_hz, less margin_hz
// so that each channel's passband above its dial stays inside; each moved up by offset_hz.
std::vector<double> spread_dials(double centre_hz, double rate_hz, int count, double offset_hz, double margin_hz);

}  // namespace testbed
