#include "sig/modems/png_writer.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/file_size_limit.hpp"
#include "tests/support/png_read.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> directory_entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    return names;
}

// The expected files were made independently of this code, with Python's struct and zlib:
//   chunk(t, d) = pack('>I', len(d)) + t + d + pack('>I', crc32(t + d))
//   png = signature + chunk(b'IHDR', pack('>IIBBBBB', w, h, 8, colour_type, 0, 0, 0))
//         + chunk(b'IDAT', zlib.compress(b''.join(b'\0' + row for row in rows), 6)) + chunk(b'IEND', b'')
struct ExactCase {
    const char* name;
    std::int32_t width;
    std::int32_t height;
    int channels;
    Bytes pixels;
    Bytes file;
};

void PrintTo(const ExactCase& c, std::ostream* os) { *os << c.name; }

class PngExactBytes : public ::testing::TestWithParam<ExactCase> {};

TEST_P(PngExactBytes, SignatureHeaderDataEndAndCrcs) {
    const ExactCase& c = GetParam();
    TempDir dir;
    const fs::path path = dir / "picture.png";
    std::string error;
    ASSERT_TRUE(sig::write_png(path.string(), c.width, c.height, c.channels, c.pixels.data(), &error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(read_file(path), c.file);
    EXPECT_EQ(directory_entries(dir.path()), std::vector<std::string>{"picture.png"});
}

INSTANTIATE_TEST_SUITE_P(
    GreyAndColour, PngExactBytes,
    ::testing::Values(
        ExactCase{"grey 2x2", 2, 2, 1, {0x00, 0xFF, 0x80, 0x7F},
                  {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52,
                   0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x08, 0x00, 0x00, 0x00, 0x00, 0x57, 0xDD, 0x52,
                   0xF8, 0x00, 0x00, 0x00, 0x0E, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9C, 0x63, 0x60, 0xF8, 0xCF, 0xD0,
                   0x50, 0x0F, 0x00, 0x05, 0x81, 0x01, 0xFF, 0x84, 0x9A, 0xCE, 0x87, 0x00, 0x00, 0x00, 0x00, 0x49,
                   0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82}},
        ExactCase{"colour 2x1", 2, 1, 3, {255, 0, 0, 0, 128, 255},
                  {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52,
                   0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x01, 0x08, 0x02, 0x00, 0x00, 0x00, 0x7B, 0x40, 0xE8,
                   0xDD, 0x00, 0x00, 0x00, 0x0F, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9C, 0x63, 0xF8, 0xCF, 0xC0, 0xC0,
                   0xD0, 0xF0, 0x1F, 0x00, 0x08, 0x00, 0x02, 0x7F, 0x9C, 0x45, 0x40, 0x4E, 0x00, 0x00, 0x00, 0x00,
                   0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82}}));

TEST(PngChunk, BigEndianLengthTypeDataAndCrc) {
    Bytes out{0xAA};
    sig::put_be32(out, 0x01020304u);
    EXPECT_EQ(out, (Bytes{0xAA, 0x01, 0x02, 0x03, 0x04}));

    Bytes end;
    sig::write_png_chunk(end, "IEND", nullptr, 0);
    EXPECT_EQ(end, (Bytes{0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82}));

    // CRC-32 of "tEXta" is 0x75F38B29 (Python: zlib.crc32(b"tEXta")).
    const std::uint8_t data[] = {'a'};
    Bytes text;
    sig::write_png_chunk(text, "tEXt", data, 1);
    EXPECT_EQ(text, (Bytes{0, 0, 0, 1, 't', 'E', 'X', 't', 'a', 0x75, 0xF3, 0x8B, 0x29}));
}

TEST(PngChunk, ALengthBeyondWhatAChunkCanDeclareIsRefusedNotWrapped) {
    Bytes out{1, 2, 3};
    const std::uint8_t byte = 0;
    // The data is never read: the length is refused first.
    EXPECT_THROW(sig::write_png_chunk(out, "IDAT", &byte, sig::kPngChunkLimit + 1), std::length_error);
    EXPECT_THROW(sig::write_png_chunk(out, "IDAT", &byte, std::size_t{1} << 32), std::length_error);
    EXPECT_EQ(out, (Bytes{1, 2, 3}));
}

struct ReadBackCase {
    std::int32_t width;
    std::int32_t height;
    int channels;
    const char* mode;
};

void PrintTo(const ReadBackCase& c, std::ostream* os) { *os << c.width << "x" << c.height << "x" << c.channels; }

class PngReadBack : public ::testing::TestWithParam<ReadBackCase> {};

TEST_P(PngReadBack, AnIndependentReaderSeesEveryPixel) {
    const ReadBackCase& c = GetParam();
    Bytes pixels(static_cast<std::size_t>(c.width) * static_cast<std::size_t>(c.height) * static_cast<std::size_t>(c.channels));
    std::mt19937 random(static_cast<unsigned>(c.width * 31 + c.height));
    for (std::uint8_t& p : pixels) p = static_cast<std::uint8_t>(random());
    TempDir dir;
    const fs::path path = dir / "read-back.png";
    std::string error;
    ASSERT_TRUE(sig::write_png(path.string(), c.width, c.height, c.channels, pixels.data(), &error)) << error;
    const PngImage decoded = read_png(path.string());
    EXPECT_EQ(decoded.error, "");
    EXPECT_EQ(decoded.mode, c.mode);
    EXPECT_EQ(decoded.width, c.width);
    EXPECT_EQ(decoded.height, c.height);
    EXPECT_TRUE(decoded.pixels == pixels) << "pixels differ";
}

INSTANTIATE_TEST_SUITE_P(GreyAndColour, PngReadBack,
                         ::testing::Values(ReadBackCase{1, 1, 1, "L"}, ReadBackCase{37, 23, 1, "L"},
                                           ReadBackCase{905, 40, 1, "L"}, ReadBackCase{1, 1, 3, "RGB"},
                                           ReadBackCase{320, 17, 3, "RGB"}, ReadBackCase{13, 300, 3, "RGB"}));

struct RefusedCase {
    std::int32_t width;
    std::int32_t height;
    int channels;
    bool null_pixels;
    const char* error;
};

void PrintTo(const RefusedCase& c, std::ostream* os) {
    *os << c.width << "x" << c.height << "x" << c.channels << (c.null_pixels ? " null" : "");
}

class PngRefused : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(PngRefused, FailsWithItsTextAndTouchesNoFile) {
    const RefusedCase& c = GetParam();
    const std::uint8_t pixel[3] = {1, 2, 3};  // never read: every case fails before the pixels
    TempDir dir;
    const fs::path path = dir / "x.png";
    std::string error = "untouched";
    EXPECT_FALSE(sig::write_png(path.string(), c.width, c.height, c.channels, c.null_pixels ? nullptr : pixel, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_FALSE(sig::write_png(path.string(), c.width, c.height, c.channels, c.null_pixels ? nullptr : pixel, nullptr));
    EXPECT_TRUE(directory_entries(dir.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PngRefused,
    ::testing::Values(RefusedCase{0, 1, 1, false, "invalid image dimensions"},
                      RefusedCase{1, 0, 1, false, "invalid image dimensions"},
                      RefusedCase{-5, 3, 1, false, "invalid image dimensions"},
                      RefusedCase{3, -5, 3, false, "invalid image dimensions"},
                      RefusedCase{1, 1, 1, true, "invalid image dimensions"},
                      // 3 x 715827883 is 2^31 + 1 pixels; the count is taken in 64 bits.
                      RefusedCase{3, 715827883, 1, false, "image too large"},
                      RefusedCase{65536, 65536, 3, false, "image too large"},
                      RefusedCase{2147483647, 2147483647, 1, false, "image too large"},
                      RefusedCase{1, 1, 2, false, "unsupported channel count 2"},
                      RefusedCase{1, 1, 4, false, "unsupported channel count 4"},
                      RefusedCase{1, 1, 0, false, "unsupported channel count 0"}));

TEST(PngFiles, AMissingDirectoryFailsAtTheCreateStep) {
    TempDir dir;
    const fs::path path = dir / "no-such-dir" / "x.png";
    const std::uint8_t pixel = 7;
    std::string error;
    EXPECT_FALSE(sig::write_png(path.string(), 1, 1, 1, &pixel, &error));
    EXPECT_EQ(error, "cannot create " + path.string() + ".part: No such file or directory");
}

TEST(PngFiles, ReplacesAnExistingPictureWholeAndLeavesNoPartFile) {
    TempDir dir;
    const fs::path path = dir.write_file("x.png", "an older picture");
    const std::uint8_t pixel = 7;
    ASSERT_TRUE(sig::write_png(path.string(), 1, 1, 1, &pixel));
    const Bytes file = read_file(path);
    ASSERT_GE(file.size(), 8u);
    EXPECT_EQ(file[1], 'P');
    EXPECT_EQ(directory_entries(dir.path()), std::vector<std::string>{"x.png"});
}

TEST(PngFiles, NeverWritesThroughALinkOrIntoAFifo) {
    TempDir dir;
    const fs::path victim = dir.write_file("victim", "keep me");
    const fs::path linked = dir / "linked.png";
    fs::create_symlink(victim, linked.string() + ".part");
    const std::uint8_t pixel = 7;
    std::string error;
    EXPECT_FALSE(sig::write_png(linked.string(), 1, 1, 1, &pixel, &error));
    EXPECT_EQ(error, "cannot create " + linked.string() + ".part: Too many levels of symbolic links");
    EXPECT_EQ(read_file(victim), (Bytes{'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
    EXPECT_FALSE(fs::exists(linked));

    // Nobody reads this FIFO: a blocking open would hang here.
    const fs::path piped = dir / "piped.png";
    ASSERT_EQ(::mkfifo((piped.string() + ".part").c_str(), 0600), 0);
    EXPECT_FALSE(sig::write_png(piped.string(), 1, 1, 1, &pixel, &error));
    EXPECT_EQ(error, "cannot create " + piped.string() + ".part: No such device or address");
    EXPECT_FALSE(fs::exists(piped));
}

TEST(PngFiles, AShortWriteIsAFailureAndRemovesThePartFile) {
    TempDir dir;
    const fs::path path = dir / "big.png";
    Bytes noise(200 * 200 * 3);
    std::mt19937 random(5);
    for (std::uint8_t& p : noise) p = static_cast<std::uint8_t>(random());
    // A file size limit makes the kernel refuse the write part-way, as a full disk would.
    std::string error;
    bool written = false;
    {
        const FileSizeLimit limit(4096);
        written = sig::write_png(path.string(), 200, 200, 3, noise.data(), &error);
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(error, "cannot write " + path.string() + ".part: File too large");
    EXPECT_TRUE(directory_entries(dir.path()).empty());
}

TEST(PngFiles, AFailedRenameRemovesThePartFileAndKeepsWhatStoodThere) {
    TempDir dir;
    const fs::path path = dir / "taken.png";
    fs::create_directory(path);
    dir.write_file("taken.png/inside", "x");
    const std::uint8_t pixel = 7;
    std::string error;
    EXPECT_FALSE(sig::write_png(path.string(), 1, 1, 1, &pixel, &error));
    EXPECT_EQ(error.rfind("cannot rename " + path.string() + ".part to " + path.string() + ": ", 0), 0u) << error;
    EXPECT_FALSE(fs::exists(path.string() + ".part"));
    EXPECT_TRUE(fs::is_directory(path));
}

}  // namespace
