#include "sig/fft_plan_cache.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <thread>
#include <vector>

namespace {

std::complex<double> direct_bin(const std::vector<std::complex<double>>& x, std::size_t k) {
    std::complex<double> sum;
    const double n = static_cast<double>(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        sum += x[i] * std::polar(1.0, -2.0 * std::numbers::pi * static_cast<double>(k * i) / n);
    return sum;
}

std::vector<std::complex<double>> test_series(std::size_t n) {
    std::vector<std::complex<double>> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = {std::sin(0.3 * i) + 0.25 * std::cos(1.7 * i), std::cos(0.11 * i * i)};
    return x;
}

TEST(FftPlanCache, RealTransformIsTheUnscaledDft) {
    sig::FftPlanCache cache;
    for (const std::size_t n : {16u, 64u, 100u}) {
        const auto x = test_series(n);
        float* in = cache.real_input(n);
        for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<float>(x[i].real());
        const std::complex<float>* out = cache.real_forward(n);
        std::vector<std::complex<double>> real(n);
        for (std::size_t i = 0; i < n; ++i) real[i] = x[i].real();
        for (std::size_t k = 0; k <= n / 2; ++k) {
            const std::complex<double> want = direct_bin(real, k);
            EXPECT_NEAR(out[k].real(), want.real(), 1e-4 * n) << n << " bin " << k;
            EXPECT_NEAR(out[k].imag(), want.imag(), 1e-4 * n) << n << " bin " << k;
        }
    }
}

TEST(FftPlanCache, ComplexTransformIsTheUnscaledDftInPlace) {
    sig::FftPlanCache cache;
    const std::size_t n = 48;
    const auto x = test_series(n);
    std::complex<float>* data = cache.complex_data(n);
    for (std::size_t i = 0; i < n; ++i) data[i] = std::complex<float>(x[i]);
    cache.complex_forward(n);
    for (std::size_t k = 0; k < n; ++k) {
        EXPECT_NEAR(data[k].real(), direct_bin(x, k).real(), 1e-3) << k;
        EXPECT_NEAR(data[k].imag(), direct_bin(x, k).imag(), 1e-3) << k;
    }
}

TEST(FftPlanCache, EachSizeIsPlannedOnceInTheProcess) {
    sig::FftPlanCache first;
    first.real_input(1 << 11);
    first.complex_data(1 << 9);
    const std::size_t made = sig::fft_plans_made();
    // A second use, another cache, and caches on other threads take the plans already made.
    first.real_forward(1 << 11);
    sig::FftPlanCache second;
    second.real_forward(1 << 11);
    second.complex_forward(1 << 9);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            sig::FftPlanCache own;
            own.real_forward(1 << 11);
            own.complex_forward(1 << 9);
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(sig::fft_plans_made(), made);
    EXPECT_EQ(second.real_sizes(), 1u);
    EXPECT_EQ(second.complex_sizes(), 1u);
    // A new size is one more plan.
    second.real_input(1 << 12);
    EXPECT_EQ(sig::fft_plans_made(), made + 1);
}

}  // namespace
