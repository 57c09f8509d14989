#include "testbed/lib/fft_good_size.hpp"

#include <initializer_list>

namespace testbed {

std::size_t fft_good_size(std::size_t n) {
    if (n <= 1) return 1;
    for (std::size_t candidate = n;; ++candidate) {
        std::size_t rest = candidate;
        for (const std::size_t factor : {2u, 3u, 5u, 7u})
            while (rest % factor == 0) rest /= factor;
        if (rest == 1) return candidate;
    }
}

}  // namespace testbed
