#pragma once

#include <cstddef>
#include <vector>

namespace sig {

// A power spectrum of a real or complex series: |X|^2 per bin, not normalised by the FFT size.
// The empty record (too short an input) has no bins, bin_hz 1 and rate 1.
struct PowerSpectrum {
    std::vector<float> bins;
    double bin_hz = 1.0;  // rate / FFT size
    double rate = 1.0;    // sample rate of the analysed series
    // False: bin k lies at k * bin_hz (0 .. rate/2). True: the bins run from the most negative
    // frequency upward, bin k at (k - n/2) * bin_hz.
    bool centred = false;

    double frequency(std::size_t k) const {
        const double index = static_cast<double>(k);
        return centred ? (index - static_cast<double>(bins.size() / 2)) * bin_hz : index * bin_hz;
    }
};

}  // namespace sig
