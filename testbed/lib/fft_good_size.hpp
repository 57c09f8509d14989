#pragma once

#include <cstddef>

namespace testbed {

// The least size >= n whose only prime factors are 2, 3, 5 and 7 (sizes FFTW does fast).
std::size_t fft_good_size(std::size_t n);

}  // namespace testbed
