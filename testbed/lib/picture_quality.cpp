#include "testbed/lib/picture_quality.hpp"

#include <cmath>
#include <limits>

namespace testbed {

double psnr_db(const std::vector<std::uint8_t>& sent, const std::vector<std::uint8_t>& received) {
    if (sent.size() != received.size() || sent.empty()) return -std::numeric_limits<double>::infinity();
    double sum = 0.0;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const double d = static_cast<double>(sent[i]) - static_cast<double>(received[i]);
        sum += d * d;
    }
    if (sum == 0.0) return std::numeric_limits<double>::infinity();
    const double mse = sum / static_cast<double>(sent.size());
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace testbed
