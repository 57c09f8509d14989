#include "decode/all_txt_append.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/options.hpp"
#include "decode/decoder_pool.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;

namespace {

std::string read_file(fs::path const& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int open_for_append(fs::path const& path) { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644); }

// Blocked flock waiters on the file, as the kernel lists them in /proc/locks ("->" lines).
int lock_waiters(fs::path const& path)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return 0;
    std::ostringstream inode_suffix;
    inode_suffix << ":" << info.st_ino << " ";
    std::ifstream locks("/proc/locks");
    int waiters = 0;
    for (std::string line; std::getline(locks, line);) {
        if (line.find("->") != std::string::npos && line.find(inode_suffix.str()) != std::string::npos)
            ++waiters;
    }
    return waiters;
}

TEST(AppendAllTxt, WritesTheBlockAtTheEnd)
{
    TempDir dir;
    fs::path const file = dir.write_file("ALL.TXT", "old\n");
    int const fd = open_for_append(file);
    ASSERT_GE(fd, 0);
    append_all_txt(fd, "one\ntwo\n");
    ::close(fd);
    EXPECT_EQ(read_file(file), "old\none\ntwo\n");
}

TEST(AppendAllTxt, FullDiskLeavesNoTornLine)
{
    TempDir dir;
    std::string const old = "240315_120400    14.074 Rx FT8      -12  0.3 1500 CQ W9XYZ EN37\n";
    fs::path const file = dir.write_file("ALL.TXT", old);
    int const fd = open_for_append(file);
    ASSERT_GE(fd, 0);

    // A file size limit a few bytes past the end makes the write stop part-way, like a full disk.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = old.size() + 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::string error;
    try {
        append_all_txt(fd, old + old);
    } catch (std::runtime_error const& e) {
        error = e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(error, "Append ALL.TXT: File too large");
    EXPECT_EQ(read_file(file), old);
    append_all_txt(fd, "next\n");  // the lock was released
    ::close(fd);
    EXPECT_EQ(read_file(file), old + "next\n");
}

TEST(AppendAllTxt, LockFailureIsReported)
{
    EXPECT_THROW(
        {
            try {
                append_all_txt(-1, "x\n");
            } catch (std::runtime_error const& e) {
                EXPECT_STREQ(e.what(), "Lock ALL.TXT: Bad file descriptor");
                throw;
            }
        },
        std::runtime_error);
}

// Several workers and another program append to one ALL.TXT at once: every interval's lines
// and the other program's block stay together.
TEST(AppendAllTxt, BlocksOfWorkersAndOtherProcessesNeverInterleave)
{
    TempDir dir;
    fs::path const all_txt = dir / "ALL.TXT";
    fs::path const fifo = dir / "locked";
    fs::path const proceed = dir / "proceed";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(proceed.c_str(), 0600), 0);
    std::ofstream(all_txt).close();

    fs::create_symlink(NORVANE_SOURCE_DIR "/testbed/decoders/scripted_decoder", dir / "decoder");
    std::string spots;
    for (int i = 0; i < 6; ++i)
        spots += "{hhmmss} -" + std::to_string(10 + i) + " 0.1 " + std::to_string(500 + 200 * i) +
                 " ~ CQ K" + std::to_string(i) + "ABC FN42\n";
    std::ofstream(dir / "decoder.out") << spots;

    // The other program takes the lock, says so, writes half its block, waits, writes the rest.
    std::string const other_block = "other program line 1\nother program line 2\n";
    std::thread other([&] {
        ProcessRun run;
        run.argv = {"flock", "-x", all_txt.string(), "bash", "-c",
                    "echo locked > " + fifo.string() + "; printf 'other program line 1\\n' >> " + all_txt.string() +
                        "; read -r go < " + proceed.string() + "; printf 'other program line 2\\n' >> " +
                        all_txt.string()};
        auto const result = run_process(run);
        EXPECT_EQ(result.exit_status, 0) << result.err;
    });
    {
        std::ifstream in(fifo);
        std::string word;
        in >> word;
        ASSERT_EQ(word, "locked");
    }

    Options options;
    options.decoder = (dir / "decoder").string();
    options.work_dir = dir.path().string();
    options.all_txt = all_txt.string();
    options.workers = 4;
    options.decoders = 8;
    options.decoder_channels = {{14074000.0, DigitalMode::FT8}};
    constexpr int intervals = 16;
    ::testing::internal::CaptureStderr();
    {
        DecoderPool pool(options, nullptr, nullptr);
        for (int i = 0; i < intervals; ++i)
            pool.submit(DecodeJob{1710504255.0 + 15 * i, 14074000.0, std::vector<float>(600, 0.0f), DigitalMode::FT8});
        // Let the other program finish only once a worker waits for its lock.
        auto const give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (lock_waiters(all_txt) == 0 && std::chrono::steady_clock::now() < give_up)
            std::this_thread::yield();
        EXPECT_GT(lock_waiters(all_txt), 0);
        std::ofstream(proceed) << "go\n";
        other.join();
        pool.close(true, nullptr);
        EXPECT_THAT(pool.status_line(), ::testing::HasSubstr("completed=16, queued=0, spots=96"));
    }
    ::testing::internal::GetCapturedStderr();

    std::vector<std::string> lines;
    std::istringstream in(read_file(all_txt));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(intervals * 6 + 2));
    EXPECT_EQ(lines[0], "other program line 1");
    EXPECT_EQ(lines[1], "other program line 2");
    // Each interval's six lines are consecutive, in frequency order.
    std::map<std::string, int> blocks;
    for (std::size_t at = 2; at < lines.size(); at += 6) {
        std::string const stamp = lines[at].substr(0, 13);
        ++blocks[stamp];
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(lines[at + i].substr(0, 13), stamp) << "line " << at + i;
            EXPECT_NE(lines[at + i].find(" CQ K" + std::to_string(i) + "ABC "), std::string::npos)
                << lines[at + i];
        }
    }
    EXPECT_EQ(blocks.size(), static_cast<std::size_t>(intervals));
}

}  // namespace
