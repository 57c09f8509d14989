#pragma once

// Complex single-precision transforms over FFTW, planned once with the fixed plans of
// core/fft_planner.hpp (they do not depend on timing or saved wisdom) under the process-wide
// planner lock and then executed on any arrays of the same alignment: buffers come from
// `FftBuffer`. Shared by the channelizer
// and the live channels; a library that includes this header links FFTW (fftw3f).

#include <fftw3.h>

#include <complex>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

#include "core/fft_planner.hpp"

namespace fft_detail {

inline fftwf_complex* as_fftw(std::complex<float>* p) { return reinterpret_cast<fftwf_complex*>(p); }

inline constexpr unsigned plan_flags = fixed_plan_flags;

inline int alignment_of(std::complex<float> const* p)
{
    return fftwf_alignment_of(reinterpret_cast<float*>(const_cast<std::complex<float>*>(p)));
}

// A plan may run on new arrays only when they are aligned as the planning arrays were.
inline void check_alignment(int planned, std::complex<float> const* given)
{
    if (alignment_of(given) != planned)
        throw std::logic_error("FFT array is not aligned like the array it was planned for");
}

inline void destroy_plan(void*& plan)
{
    if (plan != nullptr) {
        std::scoped_lock lock(fft_planner_mutex());
        fftwf_destroy_plan(static_cast<fftwf_plan>(plan));
        plan = nullptr;
    }
}

}  // namespace fft_detail

// A zeroed, SIMD-aligned array of complex floats.
class FftBuffer {
public:
    FftBuffer() = default;
    explicit FftBuffer(std::size_t size) : size_(size)
    {
        if (size == 0)
            return;
        void* p = fftwf_malloc(size * sizeof(std::complex<float>));
        if (p == nullptr)
            throw std::bad_alloc();
        std::memset(p, 0, size * sizeof(std::complex<float>));
        data_.reset(static_cast<std::complex<float>*>(p));
    }
    std::complex<float>* data() { return data_.get(); }
    std::complex<float> const* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    std::complex<float>& operator[](std::size_t i) { return data_[i]; }
    std::complex<float> const& operator[](std::size_t i) const { return data_[i]; }
    std::complex<float>* begin() { return data(); }
    std::complex<float>* end() { return data() + size_; }

private:
    struct Free {
        void operator()(std::complex<float>* p) const { fftwf_free(p); }
    };
    std::unique_ptr<std::complex<float>[], Free> data_;
    std::size_t size_ = 0;
};

// One unnormalised 1-D transform of a fixed size and direction, executed in place on any
// aligned array of that size (each channel's slice, say): the same plan for every call, so the
// result never depends on how many arrays are transformed.
class ComplexFft {
public:
    enum class Direction { forward, backward };
    ComplexFft(std::size_t size, Direction direction) : size_(size)
    {
        if (size == 0)
            throw std::invalid_argument("FFT size must be positive");
        FftBuffer scratch(size);
        alignment_ = fft_detail::alignment_of(scratch.data());
        std::scoped_lock lock(fft_planner_mutex());
        plan_ = fftwf_plan_dft_1d(static_cast<int>(size), fft_detail::as_fftw(scratch.data()),
                                  fft_detail::as_fftw(scratch.data()),
                                  direction == Direction::forward ? FFTW_FORWARD : FFTW_BACKWARD,
                                  fft_detail::plan_flags);
        if (plan_ == nullptr)
            throw std::runtime_error("FFTW could not plan a transform of " + std::to_string(size) + " points");
    }
    ~ComplexFft() { fft_detail::destroy_plan(plan_); }
    ComplexFft(ComplexFft const&) = delete;
    ComplexFft& operator=(ComplexFft const&) = delete;

    std::size_t size() const { return size_; }
    // data must be aligned as an `FftBuffer`'s start is (any even index of one will do);
    // otherwise std::logic_error.
    void execute(std::complex<float>* data) const
    {
        fft_detail::check_alignment(alignment_, data);
        fftwf_execute_dft(static_cast<fftwf_plan>(plan_), fft_detail::as_fftw(data), fft_detail::as_fftw(data));
    }

private:
    std::size_t size_;
    int alignment_ = 0;
    void* plan_ = nullptr;
};
