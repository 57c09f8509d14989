#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sig {

// Writes an 8-bit picture as the smallest valid PNG: signature, IHDR, one IDAT, IEND, filter
// type None on every row. pixels holds height rows of width * channels bytes, top row first;
// 3 channels are RGB (colour type 2), 1 is greyscale (colour type 0); other counts are refused.
// The file is written as path + ".part" and renamed, so path only ever names a complete
// picture. Returns true when the file stands complete under path; otherwise false with the
// reason in *error (when error is not null), and no ".part" file is left behind.
bool write_png(const std::string& path, std::int32_t width, std::int32_t height, int channels,
               const std::uint8_t* pixels, std::string* error = nullptr);

// Appends value most significant byte first.
void put_be32(std::vector<std::uint8_t>& out, std::uint32_t value);

// The largest data length one PNG chunk can declare.
inline constexpr std::size_t kPngChunkLimit = 0x7FFFFFFF;

// Appends one chunk: data length, the four type letters, the data, the CRC-32 of type and data.
// A length beyond kPngChunkLimit throws std::length_error and appends nothing.
void write_png_chunk(std::vector<std::uint8_t>& out, const char type[4], const std::uint8_t* data, std::size_t length);

}  // namespace sig
