#include "radio/audio_output.hpp"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <vector>

#include "core/options.hpp"
#include "tests/support/file_size_limit.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

Options wav_options(std::filesystem::path const& path, int rate_hz)
{
    Options options;
    options.wav = path.string();
    options.audio_rate = rate_hz;
    return options;
}

std::vector<unsigned char> read_bytes(std::filesystem::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t u32(std::vector<unsigned char> const& bytes, std::size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::vector<std::int16_t> pcm(std::vector<unsigned char> const& bytes)
{
    std::vector<std::int16_t> samples;
    for (std::size_t at = 44; at + 1 < bytes.size(); at += 2)
        samples.push_back(static_cast<std::int16_t>(bytes[at] | bytes[at + 1] << 8));
    return samples;
}

// The whole header, byte for byte, for a given rate and data size.
std::vector<unsigned char> expected_header(std::uint32_t rate_hz, std::uint32_t data_bytes)
{
    auto le32 = [](std::uint32_t v) {
        return std::vector<unsigned char>{static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                          static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    };
    std::vector<unsigned char> header;
    auto append = [&](std::vector<unsigned char> const& part) { header.insert(header.end(), part.begin(), part.end()); };
    append({'R', 'I', 'F', 'F'});
    append(le32(data_bytes + 36));
    append({'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    append(le32(16));
    append({1, 0, 1, 0});
    append(le32(rate_hz));
    append(le32(rate_hz * 2));
    append({2, 0, 16, 0});
    append({'d', 'a', 't', 'a'});
    append(le32(data_bytes));
    return header;
}

TEST(AudioOutputWav, EmptyRunIsAFortyFourByteFile)
{
    TempDir tmp;
    {
        AudioOutput output(wav_options(tmp / "a.wav", 12000));
        output.write({});
        output.finish();
    }
    EXPECT_EQ(read_bytes(tmp / "a.wav"), expected_header(12000, 0));
}

TEST(AudioOutputWav, HeaderAndSamplesByteForByte)
{
    TempDir tmp;
    {
        AudioOutput output(wav_options(tmp / "a.wav", 48000));
        std::vector<float> first{1.0f, -1.0f, 0.5f};
        std::vector<float> second{0.0f, -0.5f, 1.0f / 32767.0f, -1.0f / 32767.0f};
        output.write(first);
        output.write(second);
        output.finish();
    }
    auto const bytes = read_bytes(tmp / "a.wav");
    ASSERT_EQ(bytes.size(), 44u + 14u);
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 44), expected_header(48000, 14));
    // 0.5 x 32767 = 16383.5 lies halfway and rounds to the even 16384; -0.5 to -16384.
    EXPECT_EQ(pcm(bytes), (std::vector<std::int16_t>{32767, -32767, 16384, 0, -16384, 1, -1}));
}

TEST(AudioOutputWav, OutOfRangeSamplesClipInsteadOfWrapping)
{
    TempDir tmp;
    {
        AudioOutput output(wav_options(tmp / "a.wav", 12000));
        std::vector<float> samples{1.5f, -2.0f, 1e30f, -std::numeric_limits<float>::infinity(),
                                   std::numeric_limits<float>::quiet_NaN(), 1.0001f};
        output.write(samples);
        output.finish();
    }
    EXPECT_EQ(pcm(read_bytes(tmp / "a.wav")), (std::vector<std::int16_t>{32767, -32767, 32767, -32767, 0, 32767}));
}

// Every level of the 16-bit range and the points between them: each sample lands on the level
// nearest it, as the library's rounding gives it, with the clamp at full scale.
TEST(AudioOutputWav, EverySampleRoundsToItsNearestLevel)
{
    std::vector<float> samples;
    for (int level = -32768; level <= 32768; ++level)
        for (double offset : {-0.5, -0.49, 0.0, 0.25, 0.5, 0.51})
            samples.push_back(static_cast<float>((level + offset) / 32767.0));
    TempDir tmp;
    {
        AudioOutput output(wav_options(tmp / "a.wav", 12000));
        output.write(samples);
        output.finish();
    }
    auto const written = pcm(read_bytes(tmp / "a.wav"));
    ASSERT_EQ(written.size(), samples.size());
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        double const clamped = std::clamp(static_cast<double>(samples[i]), -1.0, 1.0);
        if (written[i] != static_cast<std::int16_t>(std::nearbyint(clamped * 32767.0)))
            ++wrong;
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(AudioOutputWav, DestructorCompletesAnUnfinishedFile)
{
    TempDir tmp;
    {
        AudioOutput output(wav_options(tmp / "a.wav", 12000));
        output.write(std::vector<float>(1000, 0.25f));
    }
    auto const bytes = read_bytes(tmp / "a.wav");
    ASSERT_EQ(bytes.size(), 2044u);
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 44), expected_header(12000, 2000));
}

TEST(AudioOutputWav, FinishTwiceChangesNothingAndExistingFileIsReplaced)
{
    TempDir tmp;
    tmp.write_file("a.wav", std::string(5000, 'z'));
    {
        AudioOutput output(wav_options(tmp / "a.wav", 12000));
        output.write(std::vector<float>{0.1f, 0.2f});
        output.finish();
        output.finish();
    }
    auto const bytes = read_bytes(tmp / "a.wav");
    ASSERT_EQ(bytes.size(), 48u);
    EXPECT_EQ(u32(bytes, 4), 40u);
    EXPECT_EQ(u32(bytes, 40), 4u);
}

TEST(AudioOutputWav, UnwritablePathIsRefused)
{
    TempDir tmp;
    auto const path = tmp / "missing" / "a.wav";
    try {
        AudioOutput output(wav_options(path, 12000));
        FAIL();
    } catch (std::runtime_error const& error) {
        EXPECT_EQ(error.what(), "Cannot open WAV output: " + path.string());
    }
}

// A disk that really fills up: a small tmpfs of its own, mounted in a private mount namespace
// of the calling thread, so nothing outside the test sees it. Needs the right to mount (root);
// otherwise failure() says why the test cannot run.
class SmallFilesystem {
public:
    explicit SmallFilesystem(std::size_t bytes)
    {
        if (::unshare(CLONE_NEWNS) != 0) {
            failure_ = std::string("cannot enter a private mount namespace (needs root): ") + std::strerror(errno);
            return;
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            failure_ = std::string("cannot make the mount namespace private: ") + std::strerror(errno);
            return;
        }
        std::filesystem::create_directory(path());
        std::string const size = "size=" + std::to_string(bytes);
        if (::mount("tmpfs", path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) != 0) {
            failure_ = std::string("cannot mount a small tmpfs: ") + std::strerror(errno);
            return;
        }
        mounted_ = true;
    }
    ~SmallFilesystem()
    {
        if (mounted_)
            ::umount2(path().c_str(), MNT_DETACH);
    }
    SmallFilesystem(SmallFilesystem const&) = delete;
    SmallFilesystem& operator=(SmallFilesystem const&) = delete;

    std::string const& failure() const { return failure_; }
    std::filesystem::path path() const { return dir_ / "small"; }

private:
    TempDir dir_;
    std::string failure_;
    bool mounted_ = false;
};

// Writes blocks of 0.25 until the file refuses one, then ends the run by finish or by the
// destructor alone; returns the write's error.
std::string write_until_refused(std::filesystem::path const& path, bool finish)
{
    std::string error;
    AudioOutput output(wav_options(path, 8000));
    std::vector<float> const block(10001, 0.25f);  // 20002 bytes: a block rarely ends where the room does
    try {
        for (int i = 0; i < 1000; ++i)
            output.write(block);
    } catch (std::runtime_error const& e) {
        error = e.what();
    }
    if (finish) {
        try {
            output.finish();
        } catch (std::runtime_error const& e) {
            error += std::string("; finish: ") + e.what();
        }
    }
    return error;
}

// The header must describe the file exactly: whole samples only, all of them the ones written.
void expect_header_counts_the_file(std::filesystem::path const& path)
{
    auto const bytes = read_bytes(path);
    ASSERT_GT(bytes.size(), 44u + 20002u);
    std::uint32_t const data = static_cast<std::uint32_t>(bytes.size() - 44);
    EXPECT_EQ(data % 2, 0u) << "a torn sample was left at the end";
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 44), expected_header(8000, data));
    EXPECT_EQ(pcm(bytes), std::vector<std::int16_t>(data / 2, 8192));
}

// A run that ended because the disk was full still leaves a WAV file whose header counts what
// reached the disk, not 0, and not what was only attempted.
TEST(AudioOutputWav, FullDiskStillLeavesAHeaderThatCountsWhatWasWritten)
{
    for (bool const finish : {false, true}) {
        SCOPED_TRACE(finish ? "ended by finish" : "ended by the destructor");
        SmallFilesystem disk(64 * 1024);
        if (!disk.failure().empty())
            GTEST_SKIP() << disk.failure();
        auto const path = disk.path() / "a.wav";
        EXPECT_EQ(write_until_refused(path, finish), "Failed writing WAV audio");
        expect_header_counts_the_file(path);
    }
}

// A write cut off inside a sample (here by a file size limit at an odd byte) leaves no half
// sample behind for the header to disagree with.
TEST(AudioOutputWav, WriteCutInsideASampleLeavesOnlyWholeSamples)
{
    TempDir tmp;
    std::string error;
    {
        FileSizeLimit const limit(44 + 2 * 20002 + 1001);
        error = write_until_refused(tmp / "a.wav", false);
    }

    EXPECT_EQ(error, "Failed writing WAV audio");
    EXPECT_EQ(read_bytes(tmp / "a.wav").size(), 44u + 2 * 20002 + 1000);
    expect_header_counts_the_file(tmp / "a.wav");
}

TEST(AudioOutputPulse, IsRefusedWithAClearMessageUntilItExists)
{
    Options options;
    EXPECT_THROW(AudioOutput output(options), std::runtime_error);
}

struct FitCase {
    std::uint32_t data_bytes;
    std::uint64_t samples;
    bool fits;
};

class WavSizeLimit : public ::testing::TestWithParam<FitCase> {};

TEST_P(WavSizeLimit, KeepsTheRiffSizeWithinThirtyTwoBits)
{
    auto const& c = GetParam();
    EXPECT_EQ(wav_samples_fit(c.data_bytes, c.samples), c.fits);
}

INSTANTIATE_TEST_SUITE_P(Table, WavSizeLimit,
                         ::testing::Values(FitCase{0, 2147483629, true},   // data 4294967258, RIFF 2^32 - 2
                                           FitCase{0, 2147483630, false},  // data 4294967260: RIFF past 2^32 - 1
                                           FitCase{4294967256, 1, true},
                                           FitCase{4294967258, 1, false},
                                           FitCase{4294967295, 0, false},
                                           FitCase{0, 1ull << 40, false}));

}  // namespace
