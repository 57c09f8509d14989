#include "sig/modems/png_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "core/unique_fd.hpp"

namespace sig {
namespace {

constexpr std::uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::uint64_t kMaxPixels = std::uint64_t{1} << 31;

bool fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

std::string error_text(int number) { return std::strerror(number); }

// Writes the whole buffer to a descriptor that may be non-blocking: a regular file never
// returns EAGAIN, but a short write is continued rather than taken as success.
int write_all(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return EIO;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

}  // namespace

void put_be32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 24));
    out.push_back(static_cast<std::uint8_t>(value >> 16));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

void write_png_chunk(std::vector<std::uint8_t>& out, const char type[4], const std::uint8_t* data, std::size_t length) {
    if (length > kPngChunkLimit)
        throw std::length_error("PNG chunk of " + std::to_string(length) + " bytes exceeds the limit of " +
                                std::to_string(kPngChunkLimit) + " bytes");
    put_be32(out, static_cast<std::uint32_t>(length));
    const auto* type_bytes = reinterpret_cast<const std::uint8_t*>(type);
    out.insert(out.end(), type_bytes, type_bytes + 4);
    uLong crc = crc32(0L, type_bytes, 4);
    if (length > 0) {
        out.insert(out.end(), data, data + length);
        // crc32 takes an unsigned int length: feed it in pieces well below that.
        for (std::size_t done = 0; done < length;) {
            const std::size_t piece = std::min<std::size_t>(length - done, 1u << 30);
            crc = crc32(crc, data + done, static_cast<uInt>(piece));
            done += piece;
        }
    }
    put_be32(out, static_cast<std::uint32_t>(crc));
}

bool write_png(const std::string& path, std::int32_t width, std::int32_t height, int channels,
               const std::uint8_t* pixels, std::string* error) {
    if (height < 1 || pixels == nullptr || width < 1) return fail(error, "invalid image dimensions");
    const std::uint64_t pixel_count = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
    if (pixel_count > kMaxPixels) return fail(error, "image too large");
    // Only grey and RGB have a colour type here; rows of any other width would not match the
    // header and the file would be corrupt.
    if (channels != 1 && channels != 3) return fail(error, "unsupported channel count " + std::to_string(channels));

    // Sizes in 64 bits throughout: 2^31 colour pixels are 6 GiB, beyond any 32-bit count.
    const std::uint64_t row_bytes = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(channels);
    const std::uint64_t filtered_size = (row_bytes + 1) * static_cast<std::uint64_t>(height);
    std::vector<std::uint8_t> filtered(filtered_size);
    std::uint8_t* at = filtered.data();
    for (std::int32_t row = 0; row < height; ++row) {
        *at++ = 0;
        std::memcpy(at, pixels + static_cast<std::uint64_t>(row) * row_bytes, row_bytes);
        at += row_bytes;
    }

    uLongf compressed_size = compressBound(static_cast<uLong>(filtered_size));
    std::vector<std::uint8_t> compressed(compressed_size);
    const int result = compress2(compressed.data(), &compressed_size, filtered.data(),
                                 static_cast<uLong>(filtered_size), 6);
    if (result != Z_OK) return fail(error, "zlib compress2 failed: " + std::to_string(result));
    filtered = {};
    // One IDAT holds the whole picture, and a chunk cannot declare more than 2^31 - 1 bytes:
    // a picture that would need more is refused instead of written with a wrapped length.
    if (compressed_size > kPngChunkLimit)
        return fail(error, "compressed picture of " + std::to_string(compressed_size) +
                               " bytes exceeds the PNG chunk limit of " + std::to_string(kPngChunkLimit) + " bytes");

    std::vector<std::uint8_t> file;
    file.reserve(compressed_size + 64);
    file.insert(file.end(), kSignature, kSignature + sizeof kSignature);
    std::vector<std::uint8_t> header;
    put_be32(header, static_cast<std::uint32_t>(width));
    put_be32(header, static_cast<std::uint32_t>(height));
    header.push_back(8);
    header.push_back(channels == 3 ? 2 : 0);
    header.push_back(0);
    header.push_back(0);
    header.push_back(0);
    write_png_chunk(file, "IHDR", header.data(), header.size());
    write_png_chunk(file, "IDAT", compressed.data(), compressed_size);
    write_png_chunk(file, "IEND", nullptr, 0);
    compressed = {};

    const std::string part = path + ".part";
    // Never through a symbolic link, never into a FIFO or device: only a regular file of ours.
    UniqueFd fd(::open(part.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    if (fd.get() < 0) return fail(error, "cannot create " + part + ": " + error_text(errno));
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        const int number = errno;
        return fail(error, "cannot create " + part + ": " + error_text(number));
    }
    if (!S_ISREG(status.st_mode)) return fail(error, "cannot create " + part + ": not a regular file");
    // Truncated only now that it is known to be a regular file.
    int kept = ::ftruncate(fd.get(), 0) == 0 ? 0 : errno;
    if (kept == 0) kept = write_all(fd.get(), file.data(), file.size());
    const int descriptor = fd.release();
    const bool closed = ::close(descriptor) == 0;
    if (kept != 0 || !closed) {
        const int number = kept != 0 ? kept : errno;
        ::unlink(part.c_str());
        return fail(error, "cannot write " + part + ": " + error_text(number));
    }
    if (std::rename(part.c_str(), path.c_str()) != 0) {
        const std::string text = error_text(errno);
        ::unlink(part.c_str());
        return fail(error, "cannot rename " + part + " to " + path + ": " + text);
    }
    return true;
}

}  // namespace sig
