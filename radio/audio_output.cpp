#include "radio/audio_output.hpp"

#include <cmath>
#include <stdexcept>

#include "app/options.hpp"

namespace {

constexpr std::streamoff wav_header_bytes = 44;

void put_u16(unsigned char* at, std::uint16_t value)
{
    at[0] = static_cast<unsigned char>(value & 0xFF);
    at[1] = static_cast<unsigned char>(value >> 8);
}

void put_u32(unsigned char* at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
}

// Full scale is +-32767, so the clipped extremes stay symmetric. NaN carries no level at all and
// becomes silence.
std::int16_t to_pcm16(float sample)
{
    if (std::isnan(sample))
        return 0;
    double const clamped = std::fmin(1.0, std::fmax(-1.0, static_cast<double>(sample)));
    return static_cast<std::int16_t>(std::nearbyint(clamped * 32767.0));
}

}  // namespace

bool wav_samples_fit(std::uint32_t data_bytes, std::size_t samples)
{
    constexpr std::uint32_t largest_data = 4294967259u;  // 2^32 - 1 - 36
    if (data_bytes > largest_data)
        return false;
    return static_cast<std::uint64_t>(samples) <= (largest_data - data_bytes) / 2;
}

AudioOutput::AudioOutput(Options const& options) : rate_hz_(static_cast<std::uint32_t>(options.audio_rate))
{
    if (options.wav.empty())
        throw std::runtime_error("PulseAudio output is not available yet; use --wav PATH");
    wav_.open(options.wav, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!wav_.is_open())
        throw std::runtime_error("Cannot open WAV output: " + options.wav);
    write_wav_header();
}

AudioOutput::~AudioOutput()
{
    if (wav_.is_open() && !finished_) {
        try {
            write_wav_header();
        } catch (...) {
            // Destruction must not throw; a file that cannot take its header is lost either way.
        }
    }
}

void AudioOutput::write_wav_header()
{
    std::streamoff const position = wav_.tellp();
    wav_.seekp(0);
    unsigned char header[wav_header_bytes];
    std::copy_n("RIFF", 4, header);
    put_u32(header + 4, data_bytes_ + 36);
    std::copy_n("WAVEfmt ", 8, header + 8);
    put_u32(header + 16, 16);
    put_u16(header + 20, 1);
    put_u16(header + 22, 1);
    put_u32(header + 24, rate_hz_);
    put_u32(header + 28, rate_hz_ * 2);
    put_u16(header + 32, 2);
    put_u16(header + 34, 16);
    std::copy_n("data", 4, header + 36);
    put_u32(header + 40, data_bytes_);
    wav_.write(reinterpret_cast<char const*>(header), wav_header_bytes);
    if (position > wav_header_bytes)
        wav_.seekp(position);
    if (!wav_)
        throw std::runtime_error("Failed to write WAV header");
}

void AudioOutput::write(std::span<float const> samples)
{
    if (samples.empty())
        return;
    if (!wav_samples_fit(data_bytes_, samples.size()))
        throw std::runtime_error("WAV reached its 4 GiB size limit");
    std::size_t const bytes = samples.size() * 2;
    if (scratch_.size() < bytes)
        scratch_.resize(bytes);
    for (std::size_t i = 0; i < samples.size(); ++i)
        put_u16(scratch_.data() + 2 * i, static_cast<std::uint16_t>(to_pcm16(samples[i])));
    wav_.write(reinterpret_cast<char const*>(scratch_.data()), static_cast<std::streamsize>(bytes));
    data_bytes_ += static_cast<std::uint32_t>(bytes);
    if (!wav_)
        throw std::runtime_error("Failed writing WAV audio");
}

void AudioOutput::finish()
{
    if (finished_)
        return;
    write_wav_header();
    wav_.flush();
    if (!wav_)
        throw std::runtime_error("Failed finalizing WAV audio");
    finished_ = true;
}
