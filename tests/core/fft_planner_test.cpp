// Measured plans: one per problem and process, made on arrays of their own (the caller's arrays
// are only ever transformed, never planned on), computing the same transform as a fixed plan;
// and measuring leaves no wisdom behind that would change what a later fixed plan of the same
// problem does. Sizes are small and distinct per test, so each test measures what it checks.
#include <gtest/gtest.h>

#include <fftw3.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <numbers>
#include <string>
#include <vector>

#include "core/fft_planner.hpp"

namespace {

template <typename T>
struct FftwFree {
    void operator()(T* p) const { fftwf_free(p); }
};

template <typename T>
std::unique_ptr<T[], FftwFree<T>> aligned(std::size_t n)
{
    return std::unique_ptr<T[], FftwFree<T>>(static_cast<T*>(fftwf_malloc(n * sizeof(T))));
}

// What FFTW would do for this fixed plan, in its own words.
std::string fixed_plan_text(int n, int sign)
{
    auto data = aligned<fftwf_complex>(static_cast<std::size_t>(n));
    std::scoped_lock lock(fft_planner_mutex());
    fftwf_plan plan = fftwf_plan_dft_1d(n, data.get(), data.get(), sign, fixed_plan_flags);
    char* text = fftwf_sprint_plan(plan);
    std::string result(text);
    std::free(text);
    fftwf_destroy_plan(plan);
    return result;
}

TEST(MeasuredFftPlans, OnePlanPerProblemAndProcess)
{
    MeasuredFftPlans& plans = measured_fft_plans();
    std::size_t const before = plans.made();
    fftwf_plan const backward = plans.complex_in_place(96, FFTW_BACKWARD);
    EXPECT_EQ(plans.made(), before + 1);
    EXPECT_EQ(plans.complex_in_place(96, FFTW_BACKWARD), backward);
    EXPECT_EQ(plans.made(), before + 1);
    // Another direction, kind or size is another problem.
    EXPECT_NE(plans.complex_in_place(96, FFTW_FORWARD), backward);
    EXPECT_NE(plans.complex_in_place(192, FFTW_BACKWARD), backward);
    fftwf_plan const real = plans.real_forward(96);
    EXPECT_EQ(plans.real_forward(96), real);
    EXPECT_EQ(plans.made(), before + 4);
}

TEST(MeasuredFftPlans, TransformTheCallersArraysAsAFixedPlanDoes)
{
    constexpr int n = 160;
    // Overlapping blocks of one array, as the RX-888 front end runs its real transform: the
    // input must come out as it went in.
    auto input = aligned<float>(2 * n);
    for (int i = 0; i < 2 * n; ++i)
        input[i] = static_cast<float>(std::sin(0.37 * i) + 0.25 * std::cos(1.9 * i));
    std::vector<float> const kept(input.get(), input.get() + 2 * n);
    auto measured_out = aligned<fftwf_complex>(n / 2 + 1);
    auto fixed_out = aligned<fftwf_complex>(n / 2 + 1);
    fftwf_plan fixed = nullptr;
    {
        auto scratch = aligned<float>(n);
        std::scoped_lock lock(fft_planner_mutex());
        fixed = fftwf_plan_dft_r2c_1d(n, scratch.get(), fixed_out.get(), fixed_plan_flags | FFTW_PRESERVE_INPUT);
    }
    fftwf_plan const measured = measured_fft_plans().real_forward(n);
    for (int block = 0; block < 3; ++block) {
        float* at = input.get() + block * n / 2;  // 80 floats apart: aligned as fftwf_malloc aligns
        fftwf_execute_dft_r2c(measured, at, measured_out.get());
        fftwf_execute_dft_r2c(fixed, at, fixed_out.get());
        for (int k = 0; k <= n / 2; ++k) {
            EXPECT_NEAR(measured_out[k][0], fixed_out[k][0], 1e-4) << "block " << block << " bin " << k;
            EXPECT_NEAR(measured_out[k][1], fixed_out[k][1], 1e-4) << "block " << block << " bin " << k;
        }
    }
    EXPECT_EQ(std::vector<float>(input.get(), input.get() + 2 * n), kept);
    {
        std::scoped_lock lock(fft_planner_mutex());
        fftwf_destroy_plan(fixed);
    }

    // In place, backward and unnormalised: a single bin becomes a full-scale phasor.
    constexpr int m = 224;
    auto data = aligned<fftwf_complex>(m);
    for (int i = 0; i < m; ++i)
        data[i][0] = data[i][1] = 0.0f;
    data[5][0] = 1.0f;
    fftwf_execute_dft(measured_fft_plans().complex_in_place(m, FFTW_BACKWARD), data.get(), data.get());
    for (int i = 0; i < m; ++i) {
        std::complex<double> const expected = std::polar(1.0, 2 * std::numbers::pi * 5 * i / m);
        EXPECT_NEAR(data[i][0], expected.real(), 1e-5) << i;
        EXPECT_NEAR(data[i][1], expected.imag(), 1e-5) << i;
    }
}

TEST(MeasuredFftPlans, LeaveFixedPlansOfTheSameProblemAsTheyWere)
{
    // FFTW hands wisdom from measuring to later plans of the same problem made without
    // measuring; the planner forgets it, so fixed plans stay a fixed function of the problem.
    for (int n : {512, 1024}) {
        std::string const before = fixed_plan_text(n, FFTW_BACKWARD);
        measured_fft_plans().complex_in_place(static_cast<std::size_t>(n), FFTW_BACKWARD);
        EXPECT_EQ(fixed_plan_text(n, FFTW_BACKWARD), before) << n;
    }
}

}  // namespace
