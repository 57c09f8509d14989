#pragma once

// Forward FFTs for the signal classifier and its measurements: one plan per size and kind, made
// on the first request under the process-wide planner lock and shared by every classifier in
// the process (plans are immutable once made, and running one is thread-safe). Each cache owns
// its own SIMD-aligned work arrays, so classifiers on different threads never share memory.
//
// A cache belongs to one thread at a time, like the classifier state that owns it.

#include <complex>
#include <cstddef>
#include <map>
#include <memory>

namespace sig {

class FftPlanCache {
public:
    FftPlanCache();
    ~FftPlanCache();
    FftPlanCache(const FftPlanCache&) = delete;
    FftPlanCache& operator=(const FftPlanCache&) = delete;

    // The n real inputs of a transform of size n (n >= 2), to be filled before real_forward.
    float* real_input(std::size_t n);
    // The unnormalised forward transform of real_input(n): n/2 + 1 bins, from 0 Hz up to n/2.
    const std::complex<float>* real_forward(std::size_t n);

    // The n complex values of a transform of size n (n >= 1), transformed in place by
    // complex_forward into the unnormalised forward transform (bin k at k/n of the rate).
    std::complex<float>* complex_data(std::size_t n);
    void complex_forward(std::size_t n);

    // How many sizes of each kind this cache has used (for tests of the per-size reuse).
    std::size_t real_sizes() const;
    std::size_t complex_sizes() const;

private:
    struct RealEntry;
    struct ComplexEntry;
    RealEntry& real_entry(std::size_t n);
    ComplexEntry& complex_entry(std::size_t n);

    std::map<std::size_t, std::unique_ptr<RealEntry>> real_;
    std::map<std::size_t, std::unique_ptr<ComplexEntry>> complex_;
};

// Plans made in the whole process so far, of both kinds (each size and kind is made once).
std::size_t fft_plans_made();

}  // namespace sig
