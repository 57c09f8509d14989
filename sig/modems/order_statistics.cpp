#include "sig/modems/order_statistics.hpp"

#include <algorithm>
#include <cmath>

namespace sig {
namespace {

double select(std::vector<float>& values, std::size_t index) {
    const auto nth = values.begin() + static_cast<std::ptrdiff_t>(index);
    std::nth_element(values.begin(), nth, values.end());
    return *nth;
}

}  // namespace

double median(std::vector<float>& values) {
    if (values.empty()) return 0.0;
    return select(values, values.size() / 2);
}

double quantile(std::vector<float>& values, double q) {
    if (values.empty()) return 0.0;
    const double last = static_cast<double>(values.size() - 1);
    const double position = std::floor(q * last);
    // The comparisons also catch a NaN q, which lands on the minimum instead of an invalid index.
    std::size_t index = 0;
    if (position >= last)
        index = values.size() - 1;
    else if (position > 0.0)
        index = static_cast<std::size_t>(position);
    return select(values, index);
}

}  // namespace sig
