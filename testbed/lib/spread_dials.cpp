#include "testbed/lib/spread_dials.hpp"

namespace testbed {

std::vector<double> spread_dials(double centre_hz, double rate_hz, int count, double offset_hz, double margin_hz)
{
    std::vector<double> result;
    double const span = 0.8 * rate_hz - margin_hz;
    for (int i = 0; i < count; ++i)
        result.push_back(centre_hz - 0.4 * rate_hz + offset_hz + span * (i + 0.5) / count);
    return result;
}

}  // namespace testbed
