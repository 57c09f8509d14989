#pragma once

// The 44-byte header of a 16-bit PCM mono WAV file, shared by every WAV writer: the audio-mode
// output, the decoder workers' interval files and the live channels' recordings. A writer puts
// it in place with data size 0 when it opens the file and writes it again, with the real size,
// when it closes it.

#include <array>
#include <cstdint>
#include <cstring>

inline constexpr std::size_t wav_header_bytes = 44;

// The most data bytes a WAV file can describe: the RIFF size field (data + 36) is 32 bits wide,
// and the data are whole 16-bit samples.
inline constexpr std::uint32_t wav_max_data_bytes = 4294967258u;

inline std::array<unsigned char, wav_header_bytes> pcm16_mono_wav_header(std::uint32_t rate_hz,
                                                                         std::uint32_t data_bytes)
{
    std::array<unsigned char, wav_header_bytes> header {};
    auto const put_u16 = [&header](std::size_t at, std::uint16_t value) {
        header[at] = static_cast<unsigned char>(value & 0xFF);
        header[at + 1] = static_cast<unsigned char>(value >> 8);
    };
    auto const put_u32 = [&header](std::size_t at, std::uint32_t value) {
        for (std::size_t i = 0; i < 4; ++i)
            header[at + i] = static_cast<unsigned char>((value >> (8 * i)) & 0xFF);
    };
    std::memcpy(header.data(), "RIFF", 4);
    put_u32(4, data_bytes + 36);
    std::memcpy(header.data() + 8, "WAVEfmt ", 8);
    put_u32(16, 16);
    put_u16(20, 1);  // PCM
    put_u16(22, 1);  // mono
    put_u32(24, rate_hz);
    put_u32(28, rate_hz * 2);
    put_u16(32, 2);
    put_u16(34, 16);
    std::memcpy(header.data() + 36, "data", 4);
    put_u32(40, data_bytes);
    return header;
}
