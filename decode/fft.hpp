#pragma once

// The channelizer's wideband transform; the plain transforms and aligned
// buffers it builds on (`ComplexFft`, `FftBuffer`) live in core/complex_fft.hpp.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/complex_fft.hpp"
#include "decode/worker_pool.hpp"

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
