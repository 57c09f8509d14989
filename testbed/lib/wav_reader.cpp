#include "testbed/lib/wav_reader.hpp"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace testbed {

namespace {

std::uint32_t le32(unsigned char const* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24; }
std::uint16_t le16(unsigned char const* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

}  // namespace

WavAudio read_wav_mono16(std::filesystem::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("Cannot open WAV file: " + path.string());
    std::vector<unsigned char> const bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    auto fail = [&](char const* why) { return std::runtime_error(path.string() + ": " + why); };
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 || std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        throw fail("not a RIFF WAVE file");

    WavAudio audio;
    bool have_format = false;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        std::uint32_t const size = le32(bytes.data() + at + 4);
        unsigned char const* body = bytes.data() + at + 8;
        std::size_t const available = bytes.size() - at - 8;
        if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0) {
            if (size < 16 || available < 16)
                throw fail("short format chunk");
            if (le16(body) != 1 || le16(body + 2) != 1 || le16(body + 14) != 16)
                throw fail("not mono 16-bit PCM");
            audio.rate_hz = static_cast<int>(le32(body + 4));
            have_format = true;
        } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            if (!have_format)
                throw fail("data before format");
            std::size_t const count = std::min<std::size_t>(size, available) / 2;
            audio.samples.resize(count);
            for (std::size_t i = 0; i < count; ++i)
                audio.samples[i] = static_cast<float>(static_cast<std::int16_t>(le16(body + 2 * i))) / 32767.0f;
            return audio;
        }
        at += 8 + size + (size & 1);
    }
    throw fail("no data chunk");
}

}  // namespace testbed
