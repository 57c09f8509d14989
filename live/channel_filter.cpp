#include "live/channel_filter.hpp"

#include <cmath>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <utility>

#include "core/complex_fft.hpp"
#include "core/fft_bins.hpp"

namespace {

constexpr double pi = std::numbers::pi;
constexpr double two_pi = 2.0 * std::numbers::pi;
// Taps between exact restarts of the rotators that generate them: a rotator multiplied on for
// this long drifts by a few parts in 1e14, far below what the single-precision response keeps.
constexpr std::uint64_t reseed_taps = 256;

bool power_of_two(std::uint64_t n) { return n != 0 && (n & (n - 1)) == 0; }

// A unit phasor advanced by a fixed angle per step, in double precision.
struct Rotator {
    double re = 1.0;
    double im = 0.0;
    double step_re = 1.0;
    double step_im = 0.0;

    void set(double angle)
    {
        re = std::cos(angle);
        im = std::sin(angle);
    }
    void set_step(double angle)
    {
        step_re = std::cos(angle);
        step_im = std::sin(angle);
    }
    void advance()
    {
        double const next_re = re * step_re - im * step_im;
        im = re * step_im + im * step_re;
        re = next_re;
    }
};

struct CacheEntry {
    ChannelFilter::Design design;
    std::weak_ptr<ChannelFilter const> filter;
};

std::mutex& cache_mutex()
{
    static std::mutex mutex;
    return mutex;
}

// Only designs some channel still holds are found; the rest are swept out as new ones come in.
std::vector<CacheEntry>& cache_entries()
{
    static std::vector<CacheEntry> entries;
    return entries;
}

std::shared_ptr<ChannelFilter const> find_held(ChannelFilter::Design const& design)
{
    for (CacheEntry const& entry : cache_entries()) {
        if (entry.design == design) {
            if (auto filter = entry.filter.lock())
                return filter;
        }
    }
    return nullptr;
}

}  // namespace

// The taps are h[n] = sinc(n - N/4) x Blackman(n) for n = 0 .. N/2, moved by the sub-bin shift:
// g[n] = h[n] / sum(h) x exp(+j 2 pi n shift / rate), and the response is G at the bins -M/2 ..
// M/2-1 of its N-point transform. Only those M of the N bins are wanted, so the transform is cut
// at L = N/M: with n = a + L b, G[d] = sum over a of exp(-j 2 pi a d / N) x Y_a[d mod M], where
// Y_a is the M-point transform of the taps a, a + L, a + 2L, ... Every buffer is M long, never N:
// fresh pages for an N-point array cost more than the arithmetic.
ChannelFilter::ChannelFilter(Design const& design) : design_(design)
{
    std::uint64_t const n = design.fft_size;
    std::uint64_t const m = design.extract_size;
    if (!power_of_two(n) || !power_of_two(m) || m > n)
        throw std::invalid_argument("Channel filter sizes must be powers of two, the bins no more than the transform");
    std::uint64_t const stride = n / m;
    std::uint64_t const last_tap = n / 2;
    double const quarter = static_cast<double>(n) / 4.0;
    double const fc = design.width_hz / (2.0 * design.input_rate_hz);
    double const shift_cycles = design.shift_hz / design.input_rate_hz;  // per tap

    // Per output bin: the twiddle exp(-j 2 pi a d / N), advanced from one a to the next.
    std::vector<double> sum_re(m, 0.0);
    std::vector<double> sum_im(m, 0.0);
    std::vector<double> twiddle_re(m, 1.0);
    std::vector<double> twiddle_im(m, 0.0);
    std::vector<double> step_re(m);
    std::vector<double> step_im(m);
    for (std::uint64_t k = 0; k < m; ++k) {
        double const angle =
            -two_pi * static_cast<double>(fft_order_offset(k, m)) / static_cast<double>(n);
        step_re[k] = std::cos(angle);
        step_im[k] = std::sin(angle);
    }

    FftBuffer taps(m);
    ComplexFft const transform(m, ComplexFft::Direction::forward);
    Rotator sinc;      // exp(j 2 pi fc t)
    Rotator window;    // exp(j 4 pi n / N); its square gives the 8 pi term
    Rotator movement;  // exp(j 2 pi n shift / rate)
    sinc.set_step(two_pi * fc * static_cast<double>(stride));
    window.set_step(2.0 * two_pi * static_cast<double>(stride) / static_cast<double>(n));
    movement.set_step(two_pi * shift_cycles * static_cast<double>(stride));
    double tap_sum = 0.0;

    for (std::uint64_t a = 0; a < stride; ++a) {
        std::uint64_t const count = a <= last_tap ? (last_tap - a) / stride + 1 : 0;
        for (std::uint64_t b = 0; b < count; ++b) {
            std::uint64_t const index = a + stride * b;
            auto const x = static_cast<double>(index);
            double const t = x - quarter;
            if (b % reseed_taps == 0) {
                sinc.set(two_pi * fc * t);
                window.set(2.0 * two_pi * x / static_cast<double>(n));
                movement.set(two_pi * shift_cycles * x);
            }
            double const sinc_value = t == 0.0 ? 2.0 * fc : sinc.im / (pi * t);
            double const cos2 = window.re;
            double const cos4 = window.re * window.re - window.im * window.im;
            double const h = sinc_value * (0.42 - 0.5 * cos2 + 0.08 * cos4);
            tap_sum += h;
            taps[b] = {static_cast<float>(h * movement.re), static_cast<float>(h * movement.im)};
            sinc.advance();
            window.advance();
            movement.advance();
        }
        for (std::uint64_t b = count; b < m; ++b)
            taps[b] = {};
        transform.execute(taps.data());
        for (std::uint64_t k = 0; k < m; ++k) {
            double const y_re = taps[k].real();
            double const y_im = taps[k].imag();
            sum_re[k] += twiddle_re[k] * y_re - twiddle_im[k] * y_im;
            sum_im[k] += twiddle_re[k] * y_im + twiddle_im[k] * y_re;
            double const next_re = twiddle_re[k] * step_re[k] - twiddle_im[k] * step_im[k];
            twiddle_im[k] = twiddle_re[k] * step_im[k] + twiddle_im[k] * step_re[k];
            twiddle_re[k] = next_re;
        }
    }

    response_.resize(m);
    for (std::uint64_t k = 0; k < m; ++k)
        response_[k] = {static_cast<float>(sum_re[k] / tap_sum), static_cast<float>(sum_im[k] / tap_sum)};
}

std::shared_ptr<ChannelFilter const> ChannelFilter::shared(Design const& design)
{
    {
        std::scoped_lock lock(cache_mutex());
        if (auto held = find_held(design))
            return held;
    }
    // Designed outside the lock: another channel's design of another filter need not wait.
    auto made = std::make_shared<ChannelFilter const>(design);
    std::scoped_lock lock(cache_mutex());
    if (auto held = find_held(design))
        return held;  // made meanwhile by another thread: one object per design
    std::erase_if(cache_entries(), [](CacheEntry const& entry) { return entry.filter.expired(); });
    cache_entries().push_back({design, made});
    return made;
}
