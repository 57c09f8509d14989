#include "decode/fft.hpp"

#include <fftw3.h>

#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <numbers>
#include <stdexcept>

#include "core/fft_planner.hpp"

using fft_detail::alignment_of;
using fft_detail::as_fftw;
using fft_detail::check_alignment;
using fft_detail::destroy_plan;

namespace {

std::size_t checked_power_of_two(std::size_t size)
{
    if (size < 2 || (size & (size - 1)) != 0) {
        throw std::invalid_argument("Four-step FFT size must be a power of two");
    }
    return size;
}

}  // namespace

FourStepFft::FourStepFft(std::size_t size)
    : size_(checked_power_of_two(size)), columns_(size < 1024 ? size : 1024), rows_(size / columns_),
      block_columns_(columns_ < 16 ? columns_ : 16), twiddles_(size)
{
    for (std::size_t r = 0; r < rows_; ++r) {
        for (std::size_t c = 0; c < columns_; ++c) {
            // The product r x c reduced modulo N keeps the angle exact for large transforms.
            double const angle = -2.0 * std::numbers::pi * static_cast<double>((r * c) % size)
                                 / static_cast<double>(size);
            twiddles_[r * columns_ + c] = {static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
        }
    }
    set_ranges({{0, columns_}}, {{0, rows_}});
}

FourStepFft::~FourStepFft() { destroy_plans(); }

void FourStepFft::destroy_plans()
{
    destroy_plan(block_plan_);
    for (void*& plan : row_plans_) {
        destroy_plan(plan);
    }
    row_plans_.clear();
}

void FourStepFft::set_ranges(std::vector<WorkRange> const& column_ranges, std::vector<WorkRange> const& row_ranges)
{
    for (WorkRange const& range : column_ranges) {
        if (range.start % block_columns_ != 0 || range.length % block_columns_ != 0
            || range.start + range.length > columns_) {
            throw std::invalid_argument("Column ranges must be whole blocks of 16 columns");
        }
    }
    for (WorkRange const& range : row_ranges) {
        if (range.start + range.length > rows_) {
            throw std::invalid_argument("Row ranges must lie within the rows");
        }
    }
    destroy_plans();
    column_ranges_ = column_ranges;
    row_ranges_ = row_ranges;
    FftBuffer out(size_);
    alignment_ = alignment_of(out.data());
    int const columns = static_cast<int>(columns_);
    int const rows = static_cast<int>(rows_);
    std::scoped_lock lock(fft_planner_mutex());
    // Columns go through in blocks of 16, gathered into a small contiguous scratch: straight
    // down a column the stride is B points (8 KiB), which puts every element of a column in
    // the same cache set and makes the in-place column pass several times slower than the rows.
    int const block = static_cast<int>(block_columns_);
    FftBuffer scratch(rows_ * block_columns_);
    block_plan_ = fftwf_plan_many_dft(1, &rows, block, as_fftw(scratch.data()), nullptr, block, 1,
                                      as_fftw(scratch.data()), nullptr, block, 1, FFTW_FORWARD, fixed_plan_flags);
    if (block_plan_ == nullptr) {
        throw std::runtime_error("FFTW could not plan the column pass");
    }
    scratch_alignment_ = alignment_of(scratch.data());
    column_scratch_.clear();
    for (std::size_t i = 0; i < column_ranges_.size(); ++i) {
        column_scratch_.emplace_back(rows_ * block_columns_);
    }
    for (WorkRange const& range : row_ranges_) {
        // B-point transforms along `length` consecutive rows, in place.
        int const length = static_cast<int>(range.length);
        fftwf_complex* base = as_fftw(out.data() + range.start * columns_);
        void* plan = length == 0 ? nullptr
                                 : fftwf_plan_many_dft(1, &columns, length, base, nullptr, 1, columns, base, nullptr,
                                                       1, columns, FFTW_FORWARD, fixed_plan_flags);
        if (length != 0 && plan == nullptr) {
            throw std::runtime_error("FFTW could not plan the row pass");
        }
        row_plans_.push_back(plan);
    }
}

void FourStepFft::column_pass(std::size_t range, std::complex<float> const* in, std::complex<float>* out) const
{
    if (block_plan_ == nullptr) {
        return;
    }
    auto const [start, length] = column_ranges_.at(range);
    std::complex<float>* scratch = column_scratch_[range].data();
    check_alignment(scratch_alignment_, scratch);
    for (std::size_t column = start; column < start + length; column += block_columns_) {
        if (block_columns_ == 16) {
            // A constant size: the copies inline to a few vector moves instead of a call each.
            for (std::size_t r = 0; r < rows_; ++r) {
                std::memcpy(scratch + r * 16, in + r * columns_ + column, 16 * sizeof(std::complex<float>));
            }
        } else {
            for (std::size_t r = 0; r < rows_; ++r) {
                std::copy_n(in + r * columns_ + column, block_columns_, scratch + r * block_columns_);
            }
        }
        fftwf_execute_dft(static_cast<fftwf_plan>(block_plan_), as_fftw(scratch), as_fftw(scratch));
        if (block_columns_ == 16) {
            for (std::size_t r = 0; r < rows_; ++r) {
                std::memcpy(out + r * columns_ + column, scratch + r * 16, 16 * sizeof(std::complex<float>));
            }
        } else {
            for (std::size_t r = 0; r < rows_; ++r) {
                std::copy_n(scratch + r * block_columns_, block_columns_, out + r * columns_ + column);
            }
        }
    }
}

void FourStepFft::row_pass(std::size_t range, std::complex<float>* out) const
{
    void* plan = row_plans_.at(range);
    if (plan == nullptr) {
        return;
    }
    auto const [start, length] = row_ranges_[range];
    std::complex<float>* first = out + start * columns_;
    std::complex<float> const* twiddle = twiddles_.data() + start * columns_;
    check_alignment(alignment_, out);
    std::size_t const count = length * columns_;
    float* value = reinterpret_cast<float*>(first);
    float const* factor = reinterpret_cast<float const*>(twiddle);
    for (std::size_t i = 0; i < 2 * count; i += 2) {
        // Spelled out: std::complex's operator* carries NaN recovery that blocks vectorisation.
        float const re = value[i] * factor[i] - value[i + 1] * factor[i + 1];
        float const im = value[i] * factor[i + 1] + value[i + 1] * factor[i];
        value[i] = re;
        value[i + 1] = im;
    }
    fftwf_execute_dft(static_cast<fftwf_plan>(plan), as_fftw(first), as_fftw(first));
}

void FourStepFft::forward(std::complex<float> const* in, std::complex<float>* out) const
{
    for (std::size_t i = 0; i < column_ranges_.size(); ++i) {
        column_pass(i, in, out);
    }
    for (std::size_t i = 0; i < row_plans_.size(); ++i) {
        row_pass(i, out);
    }
}
