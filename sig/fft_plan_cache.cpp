#include "sig/fft_plan_cache.hpp"

#include <fftw3.h>

#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

#include "core/fft_planner.hpp"

namespace sig {
namespace {

// Fixed plans: results do not depend on timing or saved wisdom.
constexpr unsigned kPlanFlags = fixed_plan_flags;

template <typename T>
struct AlignedFree {
    void operator()(T* p) const { fftwf_free(p); }
};
template <typename T>
using AlignedArray = std::unique_ptr<T[], AlignedFree<T>>;

template <typename T>
AlignedArray<T> aligned_array(std::size_t count) {
    void* p = fftwf_malloc(count * sizeof(T));
    if (p == nullptr) throw std::bad_alloc();
    std::memset(p, 0, count * sizeof(T));
    return AlignedArray<T>(static_cast<T*>(p));
}

// Every plan of the process. Plans are planned on arrays from fftwf_malloc and run only on
// arrays from fftwf_malloc (the same SIMD alignment), out of place for real input and in place
// for complex data, as they were planned.
class PlanTable {
public:
    ~PlanTable() {
        std::scoped_lock lock(fft_planner_mutex());
        for (auto& [n, plan] : real_) fftwf_destroy_plan(plan);
        for (auto& [n, plan] : complex_) fftwf_destroy_plan(plan);
    }

    fftwf_plan real(std::size_t n) {
        std::scoped_lock lock(fft_planner_mutex());
        auto found = real_.find(n);
        if (found != real_.end()) return found->second;
        auto in = aligned_array<float>(n);
        auto out = aligned_array<fftwf_complex>(n / 2 + 1);
        fftwf_plan plan = fftwf_plan_dft_r2c_1d(checked_int(n), in.get(), out.get(), kPlanFlags);
        if (plan == nullptr) throw std::runtime_error("FFTW could not plan a real transform of " + std::to_string(n) + " points");
        real_.emplace(n, plan);
        return plan;
    }

    fftwf_plan complex(std::size_t n) {
        std::scoped_lock lock(fft_planner_mutex());
        auto found = complex_.find(n);
        if (found != complex_.end()) return found->second;
        auto data = aligned_array<fftwf_complex>(n);
        fftwf_plan plan = fftwf_plan_dft_1d(checked_int(n), data.get(), data.get(), FFTW_FORWARD, kPlanFlags);
        if (plan == nullptr) throw std::runtime_error("FFTW could not plan a transform of " + std::to_string(n) + " points");
        complex_.emplace(n, plan);
        return plan;
    }

    std::size_t made() {
        std::scoped_lock lock(fft_planner_mutex());
        return real_.size() + complex_.size();
    }

private:
    static int checked_int(std::size_t n) {
        if (n > (1u << 30)) throw std::length_error("FFT size too large: " + std::to_string(n));
        return static_cast<int>(n);
    }

    std::map<std::size_t, fftwf_plan> real_;
    std::map<std::size_t, fftwf_plan> complex_;
};

PlanTable& plan_table() {
    // The planner lock is made first, so it outlives the table that locks it when destroyed.
    fft_planner_mutex();
    static PlanTable table;
    return table;
}

}  // namespace

struct FftPlanCache::RealEntry {
    fftwf_plan plan = nullptr;
    AlignedArray<float> in;
    AlignedArray<fftwf_complex> out;
};

struct FftPlanCache::ComplexEntry {
    fftwf_plan plan = nullptr;
    AlignedArray<fftwf_complex> data;
};

FftPlanCache::FftPlanCache() = default;
FftPlanCache::~FftPlanCache() = default;

FftPlanCache::RealEntry& FftPlanCache::real_entry(std::size_t n) {
    auto found = real_.find(n);
    if (found != real_.end()) return *found->second;
    if (n < 2) throw std::invalid_argument("A real FFT needs at least 2 points");
    auto entry = std::make_unique<RealEntry>();
    entry->plan = plan_table().real(n);
    entry->in = aligned_array<float>(n);
    entry->out = aligned_array<fftwf_complex>(n / 2 + 1);
    return *real_.emplace(n, std::move(entry)).first->second;
}

FftPlanCache::ComplexEntry& FftPlanCache::complex_entry(std::size_t n) {
    auto found = complex_.find(n);
    if (found != complex_.end()) return *found->second;
    if (n < 1) throw std::invalid_argument("An FFT needs at least 1 point");
    auto entry = std::make_unique<ComplexEntry>();
    entry->plan = plan_table().complex(n);
    entry->data = aligned_array<fftwf_complex>(n);
    return *complex_.emplace(n, std::move(entry)).first->second;
}

float* FftPlanCache::real_input(std::size_t n) { return real_entry(n).in.get(); }

const std::complex<float>* FftPlanCache::real_forward(std::size_t n) {
    RealEntry& e = real_entry(n);
    fftwf_execute_dft_r2c(e.plan, e.in.get(), e.out.get());
    return reinterpret_cast<const std::complex<float>*>(e.out.get());
}

std::complex<float>* FftPlanCache::complex_data(std::size_t n) {
    return reinterpret_cast<std::complex<float>*>(complex_entry(n).data.get());
}

void FftPlanCache::complex_forward(std::size_t n) {
    ComplexEntry& e = complex_entry(n);
    fftwf_execute_dft(e.plan, e.data.get(), e.data.get());
}

std::size_t FftPlanCache::real_sizes() const { return real_.size(); }
std::size_t FftPlanCache::complex_sizes() const { return complex_.size(); }

std::size_t fft_plans_made() { return plan_table().made(); }

}  // namespace sig
