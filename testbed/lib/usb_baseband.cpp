#include "testbed/lib/usb_baseband.hpp"

#include <fftw3.h>

#include <fstream>
#include <mutex>
#include <stdexcept>

#include "core/fft_planner.hpp"

namespace testbed {

std::vector<std::complex<float>> usb_baseband(std::vector<float> const& audio)
{
    std::size_t const n = audio.size();
    std::vector<std::complex<float>> data(audio.begin(), audio.end());
    if (n < 2)
        return data;
    auto* buffer = reinterpret_cast<fftwf_complex*>(data.data());
    fftwf_plan forward = nullptr;
    fftwf_plan backward = nullptr;
    {
        std::scoped_lock lock(fft_planner_mutex());
        forward = fftwf_plan_dft_1d(static_cast<int>(n), buffer, buffer, FFTW_FORWARD, FFTW_ESTIMATE | FFTW_UNALIGNED);
        backward = fftwf_plan_dft_1d(static_cast<int>(n), buffer, buffer, FFTW_BACKWARD, FFTW_ESTIMATE | FFTW_UNALIGNED);
    }
    fftwf_execute(forward);
    // Positive frequencies doubled, negative ones removed; DC (and Nyquist) kept once.
    for (std::size_t k = 1; k < (n + 1) / 2; ++k) {
        data[k] *= 2.0f;
        data[n - k] = 0.0f;
    }
    fftwf_execute(backward);
    for (std::complex<float>& v : data)
        v /= static_cast<float>(n);
    std::scoped_lock lock(fft_planner_mutex());
    fftwf_destroy_plan(forward);
    fftwf_destroy_plan(backward);
    return data;
}

void write_baseband_file(std::filesystem::path const& path, std::vector<std::complex<float>> const& baseband)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<char const*>(baseband.data()),
              static_cast<std::streamsize>(baseband.size() * sizeof(std::complex<float>)));
    if (!out)
        throw std::runtime_error("Cannot write baseband file " + path.string());
}

}  // namespace testbed
