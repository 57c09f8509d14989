#include "decode/all_txt_append.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/options.hpp"
#include "decode/decoder_pool.hpp"
#include "tests/support/file_size_limit.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;

namespace {

int open_for_append(fs::path const& path) { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644); }

bool never_stop() { return false; }

// Another program holding the exclusive flock on a file: a child process that opens the file,
// takes the lock and keeps it until released (or until this object goes).
class ForeignLock {
public:
    explicit ForeignLock(fs::path const& path)
    {
        int ready[2];
        int release[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(release, O_CLOEXEC) != 0)
            return;
        std::string const name = path.string();
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and _exit.
            ::close(ready[0]);
            ::close(release[1]);
            int const fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
            char const answer = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'y' : 'n';
            ssize_t ignored = ::write(ready[1], &answer, 1);
            char byte = 0;
            ignored = ::read(release[0], &byte, 1);  // ends when the test closes its end
            (void)ignored;
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_fd_ = release[1];
        char answer = 'n';
        held_ = pid_ > 0 && ::read(ready[0], &answer, 1) == 1 && answer == 'y';
        ::close(ready[0]);
    }
    ~ForeignLock() { release(); }
    ForeignLock(ForeignLock const&) = delete;
    ForeignLock& operator=(ForeignLock const&) = delete;

    bool held() const { return held_; }
    void release()
    {
        if (release_fd_ >= 0)
            ::close(release_fd_);
        release_fd_ = -1;
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int release_fd_ = -1;
    bool held_ = false;
};

// Runs action on its own thread and waits for it at most `limit`. A broken build that ignores
// the stop would wait for the lock for ever: the test then lets the lock go, so that it ends
// (and fails) instead of hanging.
template <typename Action>
bool finishes_within(std::chrono::seconds limit, ForeignLock& lock, Action&& action)
{
    std::mutex mutex;
    std::condition_variable done_cv;
    bool done = false;
    std::thread runner([&] {
        action();
        std::scoped_lock guard(mutex);
        done = true;
        done_cv.notify_all();
    });
    bool finished = false;
    {
        std::unique_lock guard(mutex);
        finished = done_cv.wait_for(guard, limit, [&] { return done; });
    }
    if (!finished)
        lock.release();
    runner.join();
    return finished;
}

TEST(AppendAllTxt, WritesTheBlockAtTheEnd)
{
    TempDir dir;
    fs::path const file = dir.write_file("ALL.TXT", "old\n");
    int const fd = open_for_append(file);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(append_all_txt(fd, "one\ntwo\n", never_stop));
    ::close(fd);
    EXPECT_EQ(file_text(file), "old\none\ntwo\n");
}

TEST(AppendAllTxt, FullDiskLeavesNoTornLine)
{
    TempDir dir;
    std::string const old = "240315_120400    14.074 Rx FT8      -12  0.3 1500 CQ W9XYZ EN37\n";
    fs::path const file = dir.write_file("ALL.TXT", old);
    int const fd = open_for_append(file);
    ASSERT_GE(fd, 0);

    // A file size limit a few bytes past the end makes the write stop part-way, like a full disk.
    std::string error;
    {
        FileSizeLimit const limit(old.size() + 10);
        try {
            append_all_txt(fd, old + old, never_stop);
        } catch (std::runtime_error const& e) {
            error = e.what();
        }
    }

    EXPECT_EQ(error, "Append ALL.TXT: File too large");
    EXPECT_EQ(file_text(file), old);
    append_all_txt(fd, "next\n", never_stop);  // the lock was released
    ::close(fd);
    EXPECT_EQ(file_text(file), old + "next\n");
}

TEST(AppendAllTxt, LockFailureIsReported)
{
    EXPECT_THROW(
        {
            try {
                append_all_txt(-1, "x\n", never_stop);
            } catch (std::runtime_error const& e) {
                EXPECT_STREQ(e.what(), "Lock ALL.TXT: Bad file descriptor");
                throw;
            }
        },
        std::runtime_error);
}

// Another program may keep ALL.TXT locked: the worker waits for as long as it must, but a stop
// ends the wait, and the block is then never written, not even once the lock is free.
TEST(AppendAllTxt, WaitsForAForeignLockUntilItGoesOrAStopComes)
{
    for (bool const stop : {false, true}) {
        SCOPED_TRACE(stop ? "stop while locked" : "lock released");
        TempDir dir;
        fs::path const file = dir.write_file("ALL.TXT", "old\n");
        ForeignLock lock(file);
        ASSERT_TRUE(lock.held());
        int const fd = open_for_append(file);
        ASSERT_GE(fd, 0);
        std::atomic<bool> stopping{false};
        std::atomic<bool> written{false};
        auto append = [&] { written = append_all_txt(fd, "new\n", [&] { return stopping.load(); }); };
        if (stop) {
            stopping = true;
            EXPECT_TRUE(finishes_within(std::chrono::seconds(10), lock, append)) << "the stop did not end the wait";
            lock.release();
            EXPECT_FALSE(written.load());
            EXPECT_EQ(file_text(file), "old\n");
        } else {
            std::thread waiting(append);
            lock.release();
            waiting.join();
            EXPECT_TRUE(written.load());
            EXPECT_EQ(file_text(file), "old\nnew\n");
        }
        ::close(fd);
    }
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
        // Let the other program finish only once every worker has decoded its first interval and
        // waits to append it: none can take a second job before its first block is written.
        auto const all_waiting = [&] {
            if (file_lines(dir / "decoder.log").size() != 4)
                return false;
            std::error_code ignored;
            for (auto const& entry : fs::recursive_directory_iterator(dir.path(), ignored)) {
                if (entry.path().extension() == ".wav")
                    return false;  // that decoder has not finished yet
            }
            return true;
        };
        auto const give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!all_waiting() && std::chrono::steady_clock::now() < give_up)
            std::this_thread::yield();
        EXPECT_TRUE(all_waiting());
        std::ofstream(proceed) << "go\n";
        other.join();
        pool.close(true, nullptr);
        EXPECT_THAT(pool.status_line(), ::testing::HasSubstr("completed=16, queued=0, spots=96"));
    }
    ::testing::internal::GetCapturedStderr();

    std::vector<std::string> const lines = file_lines(all_txt);
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

// SIGTERM while another program keeps ALL.TXT locked: the worker gives up waiting, says how many
// lines of which interval were not written, and the pool closes; the block never turns up later.
TEST(AppendAllTxt, StopWhileAnotherProgramHoldsTheLockCostsOnlyThatBlock)
{
    TempDir dir;
    fs::path const all_txt = dir.write_file("ALL.TXT", "");
    fs::create_symlink(NORVANE_SOURCE_DIR "/testbed/decoders/scripted_decoder", dir / "decoder");
    std::ofstream(dir / "decoder.out") << "{hhmmss} -10 0.1 500 ~ CQ K1ABC FN42\n{hhmmss} -12 0.3 900 ~ CQ W9XYZ EN37\n";
    ForeignLock lock(all_txt);
    ASSERT_TRUE(lock.held());

    Options options;
    options.decoder = (dir / "decoder").string();
    options.work_dir = dir.path().string();
    options.all_txt = all_txt.string();
    options.workers = 1;
    options.decoders = 1;
    options.decoder_channels = {{14074000.0, DigitalMode::FT8}};
    std::atomic<int> stop{0};
    ::testing::internal::CaptureStderr();
    {
        DecoderPool pool(options, &stop, nullptr);
        pool.submit(DecodeJob{1710504255.0, 14074000.0, std::vector<float>(600, 0.0f), DigitalMode::FT8});
        // The decoder has run and its WAV file is gone: the worker is on its way to ALL.TXT,
        // where the lock keeps it.
        auto const at_all_txt = [&] {
            if (file_lines(dir / "decoder.log").size() != 1)
                return false;
            std::error_code ignored;
            for (auto const& entry : fs::recursive_directory_iterator(dir.path(), ignored)) {
                if (entry.path().extension() == ".wav")
                    return false;
            }
            return true;
        };
        auto const give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!at_all_txt() && std::chrono::steady_clock::now() < give_up)
            std::this_thread::yield();
        ASSERT_TRUE(at_all_txt());
        stop = 1;
        EXPECT_TRUE(finishes_within(std::chrono::seconds(10), lock, [&] { pool.close(true, &stop); }))
            << "the stop did not end the wait for the lock";
    }
    std::string const err = ::testing::internal::GetCapturedStderr();
    lock.release();
    EXPECT_EQ(err,
              "ALL.TXT still locked by another program at stop: 2 lines of FT8 240315_120415 14.074000 MHz not "
              "written\n"
              "FT8 240315_120415 14.074000 MHz: 2 spots; callsigns=K1ABC,W9XYZ\n");
    EXPECT_EQ(file_text(all_txt), "");
}

}  // namespace
