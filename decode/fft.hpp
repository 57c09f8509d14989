#pragma once

// Complex single-precision transforms over FFTW, planned once (FFTW_ESTIMATE, so the plans do
// not depend on timing or saved wisdom) under the process-wide planner lock and then executed
// on any arrays of the same alignment: buffers come from `FftBuffer`.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "decode/worker_pool.hpp"

// A zeroed, SIMD-aligned array of complex floats.
class FftBuffer {
public:
    FftBuffer() = default;
    explicit FftBuffer(std::size_t size);
    std::complex<float>* data() { return data_.get(); }
    std::complex<float> const* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    std::complex<float>& operator[](std::size_t i) { return data_[i]; }
    std::complex<float> const& operator[](std::size_t i) const { return data_[i]; }
    std::complex<float>* begin() { return data(); }
    std::complex<float>* end() { return data() + size_; }

private:
    struct Free {
        void operator()(std::complex<float>* p) const;
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
    ComplexFft(std::size_t size, Direction direction);
    ~ComplexFft();
    ComplexFft(ComplexFft const&) = delete;
    ComplexFft& operator=(ComplexFft const&) = delete;

    std::size_t size() const { return size_; }
    // data must be aligned as an `FftBuffer`'s start is (any even index of one will do);
    // otherwise std::logic_error.
    void execute(std::complex<float>* data) const;

private:
    std::size_t size_;
    int alignment_ = 0;
    void* plan_ = nullptr;
};

// The unnormalised forward transform of N points as an R x B array (B = min(N, 1024) columns,
// R = N / B rows; input sample n = B x r + c): R-point transforms down the columns, a twiddle
// multiply, B-point transforms along the rows. Natural bin k ends at position
// (k mod R) x B + floor(k / R) of the output, the order every reader of the bins relies on.
// Both passes can be cut into ranges of columns and rows that run on different threads.
class FourStepFft {
public:
    explicit FourStepFft(std::size_t size);  // a power of two
    ~FourStepFft();
    FourStepFft(FourStepFft const&) = delete;
    FourStepFft& operator=(FourStepFft const&) = delete;

    std::size_t size() const { return size_; }
    std::size_t columns() const { return columns_; }
    std::size_t rows() const { return rows_; }
    static std::size_t position(std::size_t bin, std::size_t rows, std::size_t columns)
    {
        return (bin % rows) * columns + bin / rows;
    }

    // Plans the passes for these ranges (starts and lengths multiples of 16, except a whole
    // dimension shorter than 16) with scratch for each column range. Not per frame.
    void set_ranges(std::vector<WorkRange> const& column_ranges, std::vector<WorkRange> const& row_ranges);
    std::vector<WorkRange> const& column_ranges() const { return column_ranges_; }
    std::vector<WorkRange> const& row_ranges() const { return row_ranges_; }

    // in and out: distinct arrays of N points; out aligned as an `FftBuffer` is.
    void column_pass(std::size_t range, std::complex<float> const* in, std::complex<float>* out) const;
    void row_pass(std::size_t range, std::complex<float>* out) const;
    // Every range of both passes on the calling thread.
    void forward(std::complex<float> const* in, std::complex<float>* out) const;

private:
    void destroy_plans();

    std::size_t size_;
    std::size_t columns_;
    std::size_t rows_;
    std::size_t block_columns_;  // columns per gathered block of the column pass
    int alignment_ = 0;
    int scratch_alignment_ = 0;
    FftBuffer twiddles_;  // element r x B + c = exp(-2 pi i r c / N)
    std::vector<WorkRange> column_ranges_;
    std::vector<WorkRange> row_ranges_;
    void* block_plan_ = nullptr;
    // One per column range, since ranges run on different threads.
    mutable std::vector<FftBuffer> column_scratch_;
    std::vector<void*> row_plans_;
};
