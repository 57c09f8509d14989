#pragma once

#include <vector>

namespace sig {

// Order statistics by partial selection. Both reorder the vector in place: pass a copy when its
// order matters. An empty vector gives 0.

// The element a sorted order puts at index size / 2 (the upper middle for an even count).
double median(std::vector<float>& values);

// The element a sorted order puts at index floor(q * (size - 1)), held within the vector;
// no interpolation between neighbours.
double quantile(std::vector<float>& values, double q);

}  // namespace sig
