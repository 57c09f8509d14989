#include "testbed/lib/character_error_rate.hpp"

#include <algorithm>
#include <vector>

namespace testbed {

double character_error_rate(const std::string& sent, const std::string& received) {
    if (sent.empty()) return received.empty() ? 0.0 : 1.0;
    std::vector<std::size_t> row(received.size() + 1);
    for (std::size_t j = 0; j < row.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= sent.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= received.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (sent[i - 1] == received[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return static_cast<double>(row.back()) / static_cast<double>(sent.size());
}

}  // namespace testbed
