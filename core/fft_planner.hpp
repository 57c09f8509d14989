#pragma once

// How this process plans its FFTW transforms, in one place.
//
// FFTW's planner (plan creation and destruction, and the wisdom it keeps) is not thread-safe;
// executing a finished plan is, on its own arrays or on new ones (the fftwf_execute_dft* calls).
// Every FFTW plan in the process is made and destroyed under fft_planner_mutex().
//
// Two ways to plan:
// - Fixed (`fixed_plan_flags`, FFTW_ESTIMATE): the plan is a fixed function of size, strides and
//   alignment, made at once without running anything, so every run on every machine of one
//   kind computes bit-identical results. Every transform is planned so unless it is named below.
// - Measured (`measured_fft_plans()`): FFTW runs the candidate algorithms and keeps the fastest.
//   Only for transforms whose cost is the budget of a real-time path (the RX-888 front end
//   converts up to 128 MS/s on one core), since measuring one size takes a tenth to a half of a
//   second. Measuring overwrites the arrays it plans on, so measured plans are made here alone,
//   on scratch arrays of their own, once per problem and process, and callers run them on their
//   arrays with the new-array execute calls. The wisdom left behind is forgotten at once: FFTW
//   would hand it to later fixed plans of the same problems, and they would no longer be fixed.

#include <fftw3.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>

inline std::mutex& fft_planner_mutex()
{
    static std::mutex mutex;
    return mutex;
}

inline constexpr unsigned fixed_plan_flags = FFTW_ESTIMATE;

// Measured plans, kept for the life of the process and shared by every user: running one plan
// on several threads at once is safe. A plan runs on arrays aligned as fftwf_malloc aligns
// (fftwf_alignment_of 0), as its scratch arrays were.
class MeasuredFftPlans {
public:
    MeasuredFftPlans() = default;
    ~MeasuredFftPlans()
    {
        std::scoped_lock lock(fft_planner_mutex());
        for (auto& [problem, plan] : plans_)
            fftwf_destroy_plan(plan);
    }
    MeasuredFftPlans(MeasuredFftPlans const&) = delete;
    MeasuredFftPlans& operator=(MeasuredFftPlans const&) = delete;

    // Real input of n points (n even) to n/2 + 1 bins, out of place; the input is left as it
    // was, so overlapping blocks of one array can be transformed one after another.
    fftwf_plan real_forward(std::size_t n)
    {
        return plan({Kind::real_forward, n}, [n] {
            Scratch in(n * sizeof(float));
            Scratch out((n / 2 + 1) * sizeof(fftwf_complex));
            return fftwf_plan_dft_r2c_1d(checked_size(n), static_cast<float*>(in.data),
                                         static_cast<fftwf_complex*>(out.data), FFTW_MEASURE | FFTW_PRESERVE_INPUT);
        });
    }

    // Complex data of n points transformed in place, unnormalised; sign FFTW_FORWARD or
    // FFTW_BACKWARD.
    fftwf_plan complex_in_place(std::size_t n, int sign)
    {
        Kind const kind = sign == FFTW_FORWARD ? Kind::complex_forward : Kind::complex_backward;
        return plan({kind, n}, [n, sign] {
            Scratch data(n * sizeof(fftwf_complex));
            auto* points = static_cast<fftwf_complex*>(data.data);
            return fftwf_plan_dft_1d(checked_size(n), points, points, sign, FFTW_MEASURE);
        });
    }

    // Plans measured in this process so far.
    std::size_t made()
    {
        std::scoped_lock lock(fft_planner_mutex());
        return plans_.size();
    }

private:
    enum class Kind { real_forward, complex_forward, complex_backward };
    using Problem = std::tuple<Kind, std::size_t>;

    // fftwf_malloc'd and zeroed; measuring writes whatever it likes into it.
    struct Scratch {
        explicit Scratch(std::size_t bytes) : data(fftwf_malloc(bytes))
        {
            if (data == nullptr)
                throw std::bad_alloc();
            std::memset(data, 0, bytes);
        }
        ~Scratch() { fftwf_free(data); }
        Scratch(Scratch const&) = delete;
        Scratch& operator=(Scratch const&) = delete;
        void* data;
    };

    static int checked_size(std::size_t n)
    {
        if (n == 0 || n > (std::size_t{1} << 30))
            throw std::length_error("FFT size out of range: " + std::to_string(n));
        return static_cast<int>(n);
    }

    template <typename Make>
    fftwf_plan plan(Problem const& problem, Make make)
    {
        std::scoped_lock lock(fft_planner_mutex());
        auto const found = plans_.find(problem);
        if (found != plans_.end())
            return found->second;
        fftwf_plan const made = make();
        fftwf_forget_wisdom();
        if (made == nullptr)
            throw std::runtime_error("FFTW could not plan a measured transform of " + std::to_string(std::get<1>(problem)) +
                                     " points");
        plans_.emplace(problem, made);
        return made;
    }

    std::map<Problem, fftwf_plan> plans_;
};

inline MeasuredFftPlans& measured_fft_plans()
{
    // The planner lock is made first, so it outlives the table that takes it when destroyed.
    fft_planner_mutex();
    static MeasuredFftPlans plans;
    return plans;
}
