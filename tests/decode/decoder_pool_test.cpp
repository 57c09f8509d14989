#include "decode/decoder_pool.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/options.hpp"
#include "report/psk_reporter.hpp"
#include "tests/report/psk_test_harness.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

// 2024-03-15 12:04:15 UTC starts an FT8 interval; 12:04:00 a WSPR one.
constexpr double ft8_start = 1710504255.0;
constexpr double wspr_start = 1710504240.0;
constexpr std::size_t job_samples = 1200;

DecodeJob make_job(double start_utc, DigitalMode mode = DigitalMode::FT8, double dial_hz = 14074000.0)
{
    return DecodeJob{start_utc, dial_hz, std::vector<float>(job_samples, 0.25f), mode};
}

// Jobs are moved, never copied, so no initializer list of them.
template <typename... Jobs>
std::vector<DecodeJob> job_list(Jobs... jobs)
{
    std::vector<DecodeJob> list;
    (list.push_back(std::move(jobs)), ...);
    return list;
}

std::string const fresh_status =
    "Decoder jobs: submitted=0, completed=0, queued=0, spots=0, backlog drops=0, failures=0";

// A pool over the scripted decoder stand-in, linked into the test's own directory as "decoder"
// so that the files "decoder.out", "decoder.exit", ... beside it script its runs.
class DecoderPoolTest : public ::testing::Test {
protected:
    DecoderPoolTest()
    {
        fs::create_symlink(NORVANE_SOURCE_DIR "/testbed/decoders/scripted_decoder", decoder());
        fs::create_directory(dir / "work");
        options.decoder = options.js8_decoder = options.wspr_decoder = decoder().string();
        options.work_dir = (dir / "work").string();
        options.all_txt = (dir / "ALL.TXT").string();
        options.workers = 1;
        options.decoders = 1;
        options.decoder_channels = {{14074000.0, DigitalMode::FT8}};
    }

    fs::path decoder() const { return dir / "decoder"; }
    void script(std::string const& suffix, std::string const& content) const
    {
        std::ofstream(dir / ("decoder." + suffix)) << content;
    }
    // The decoder writes "started" into this FIFO once it runs; the test reads it.
    fs::path make_start_fifo() const
    {
        fs::path const fifo = dir / "decoder.fifo";
        EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        return fifo;
    }
    static void await_start(fs::path const& fifo)
    {
        std::ifstream in(fifo);
        std::string word;
        in >> word;
        ASSERT_EQ(word, "started");
    }
    std::vector<std::string> decoder_runs() const { return file_lines(dir / "decoder.log"); }
    std::string all_txt() const { return file_text(dir / "ALL.TXT"); }
    fs::path workspace() const
    {
        for (auto const& entry : fs::directory_iterator(dir / "work"))
            return entry.path();
        return {};
    }
    std::vector<fs::path> work_files() const
    {
        std::vector<fs::path> files;
        for (auto const& entry : fs::recursive_directory_iterator(dir / "work")) {
            if (!entry.is_directory())
                files.push_back(entry.path());
        }
        return files;
    }

    // Runs the jobs to the end on a draining close and returns everything the pool wrote to
    // standard error.
    std::string run_jobs(std::vector<DecodeJob> jobs)
    {
        ::testing::internal::CaptureStderr();
        {
            DecoderPool pool(options, nullptr, nullptr);
            for (auto& job : jobs)
                pool.submit(std::move(job));
            pool.close(true, nullptr);
            status = pool.status_line();
        }
        return ::testing::internal::GetCapturedStderr();
    }

    TempDir dir;
    Options options;
    std::string status;
};

// --- one job ----------------------------------------------------------------------------

struct DedupCase {
    char const* name;
    DigitalMode mode;
    std::string output;                  // decoder output, {hhmmss} = the interval's time of day
    std::vector<std::string> expected;   // ALL.TXT lines from the SNR column on
};

std::ostream& operator<<(std::ostream& out, DedupCase const& c) { return out << c.name; }

class DecoderPoolDedup : public DecoderPoolTest, public ::testing::WithParamInterface<DedupCase> {};

TEST_P(DecoderPoolDedup, KeepsOneSpotPerDecodeAndTheStrongest)
{
    DedupCase const& c = GetParam();
    options.decoder_channels = {{14074000.0, c.mode}};
    script("out", c.output);
    run_jobs(job_list(make_job(ft8_start, c.mode)));
    std::vector<std::string> tails;
    for (auto const& line : lines_of(all_txt()))
        tails.push_back(line.substr(line.find(" Rx ") + 4));
    EXPECT_EQ(tails, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecoderPoolDedup,
    ::testing::Values(
        DedupCase{"seven_hz_apart_stronger_second_wins", DigitalMode::FT8,
                  "{hhmmss} -10 0.1 1500 ~ CQ K1ABC FN42\n{hhmmss} -5 0.2 1507 ~ CQ K1ABC FN42\n",
                  {"FT8     -5  0.2 1507 CQ K1ABC FN42"}},
        DedupCase{"seven_hz_apart_equal_snr_first_kept", DigitalMode::FT8,
                  "{hhmmss} -7 0.1 1500 ~ CQ K1ABC FN42\n{hhmmss} -7 0.2 1493 ~ CQ K1ABC FN42\n",
                  {"FT8     -7  0.1 1500 CQ K1ABC FN42"}},
        DedupCase{"weaker_repeat_dropped", DigitalMode::FT8,
                  "{hhmmss} -3 0.1 1500 ~ CQ K1ABC FN42\n{hhmmss} -9 0.2 1510 ~ CQ K1ABC FN42\n",
                  {"FT8     -3  0.1 1500 CQ K1ABC FN42"}},
        DedupCase{"eleven_hz_apart_two_spots", DigitalMode::FT8,
                  "{hhmmss} -10 0.1 1500 ~ CQ K1ABC FN42\n{hhmmss} -5 0.2 1511 ~ CQ K1ABC FN42\n",
                  {"FT8    -10  0.1 1500 CQ K1ABC FN42", "FT8     -5  0.2 1511 CQ K1ABC FN42"}},
        DedupCase{"different_messages_same_frequency", DigitalMode::FT8,
                  "{hhmmss} -10 0.1 1500 ~ CQ K1ABC FN42\n{hhmmss} -5 0.2 1500 ~ K1ABC W9XYZ -12\n",
                  {"FT8    -10  0.1 1500 CQ K1ABC FN42", "FT8     -5  0.2 1500 K1ABC W9XYZ -12"}},
        DedupCase{"js8_different_frame", DigitalMode::JS8,
                  "{hhmmss} -10 0.1 1500 A 1 ABCDEFGHIJKL K1ABC FN42\tHELLO\n"
                  "{hhmmss} -5 0.1 1500 A 1 ABCDEFGHIJKM K1ABC FN42\tHELLO\n",
                  {"JS8    -10  0.1 1500 HELLO [frame=ABCDEFGHIJKL flags=1 sender=K1ABC grid=FN42]",
                   "JS8     -5  0.1 1500 HELLO [frame=ABCDEFGHIJKM flags=1 sender=K1ABC grid=FN42]"}},
        DedupCase{"js8_different_flags", DigitalMode::JS8,
                  "{hhmmss} -10 0.1 1500 A 1 ABCDEFGHIJKL K1ABC FN42\tHELLO\n"
                  "{hhmmss} -5 0.1 1500 A 2 ABCDEFGHIJKL K1ABC FN42\tHELLO\n",
                  {"JS8    -10  0.1 1500 HELLO [frame=ABCDEFGHIJKL flags=1 sender=K1ABC grid=FN42]",
                   "JS8     -5  0.1 1500 HELLO [frame=ABCDEFGHIJKL flags=2 sender=K1ABC grid=FN42]"}},
        DedupCase{"js8_same_frame_and_flags", DigitalMode::JS8,
                  "{hhmmss} -10 0.1 1500 A 1 ABCDEFGHIJKL K1ABC FN42\tHELLO\n"
                  "{hhmmss} -5 0.1 1504 A 1 ABCDEFGHIJKL K1ABC FN42\tHELLO\n",
                  {"JS8     -5  0.1 1504 HELLO [frame=ABCDEFGHIJKL flags=1 sender=K1ABC grid=FN42]"}}),
    [](auto const& info) { return std::string(info.param.name); });

TEST_F(DecoderPoolTest, SortsByAudioFrequencyAndListsEachCallOnceInOrder)
{
    script("out",
           "header line the parser ignores\n"
           "{hhmmss} -12 0.3 1500 ~ CQ W9XYZ EN37\n"
           "{hhmmss} 4 -0.5 600 ~ K1ABC AA1AA FN31\n"
           "{hhmmss} -20 1.1 2400 ~ CQ DX K1ABC FN42\n"
           "{hhmmss} -1 0.0 900 ~ W9XYZ K1ABC R-07\n"
           "{hhmmss} -3 0.0 1200 ~ TNX FER QSO 73 GL\n"
           "000000 -1 0.0 1300 ~ CQ N0CALL EM10");  // another interval; no final newline
    std::string const err = run_jobs(job_list(make_job(ft8_start)));

    EXPECT_EQ(all_txt(),
              "240315_120415    14.074 Rx FT8      4 -0.5  600 K1ABC AA1AA FN31\n"
              "240315_120415    14.074 Rx FT8     -1  0.0  900 W9XYZ K1ABC R-07\n"
              "240315_120415    14.074 Rx FT8     -3  0.0 1200 TNX FER QSO 73 GL\n"
              "240315_120415    14.074 Rx FT8    -12  0.3 1500 CQ W9XYZ EN37\n"
              "240315_120415    14.074 Rx FT8    -20  1.1 2400 CQ DX K1ABC FN42\n");
    EXPECT_EQ(err, "FT8 240315_120415 14.074000 MHz: 5 spots; callsigns=AA1AA,K1ABC,W9XYZ\n");
    EXPECT_EQ(status,
              "Decoder jobs: submitted=1, completed=1, queued=0, spots=5, backlog drops=0, failures=0; "
              "FT8 submitted=1, completed=1, spots=5, backlog drops=0, failures=0");
}

TEST_F(DecoderPoolTest, IntervalWithoutSpotsLeavesAllTxtAlone)
{
    std::ofstream(dir / "ALL.TXT") << "earlier line\n";
    script("out", "<DecodeFinished>   0   0\n");
    std::string const err = run_jobs(job_list(make_job(ft8_start)));
    EXPECT_EQ(all_txt(), "earlier line\n");
    EXPECT_EQ(err, "FT8 240315_120415 14.074000 MHz: 0 spots; callsigns=\n");
}

TEST_F(DecoderPoolTest, AppendsToAnExistingAllTxt)
{
    std::ofstream(dir / "ALL.TXT") << "earlier line\n";
    script("out", "{hhmmss} -12 0.3 1500 ~ CQ W9XYZ EN37\n");
    run_jobs(job_list(make_job(ft8_start)));
    EXPECT_EQ(all_txt(), "earlier line\n240315_120415    14.074 Rx FT8    -12  0.3 1500 CQ W9XYZ EN37\n");
}

TEST_F(DecoderPoolTest, WsprJobWritesItsWavNameAndUploadsNothingWithoutWsprnet)
{
    options.decoder_channels = {{14095600.0, DigitalMode::WSPR}};
    script("out", "{hhmm} -21 0.4 14.097100 -1 K1ABC FN42 37\n");
    std::string const err = run_jobs(job_list(make_job(wspr_start, DigitalMode::WSPR, 14095600.0)));
    EXPECT_EQ(all_txt(), "240315_120400    14.096 Rx WSPR    -21  0.4 1500 K1ABC FN42 37 [drift=-1]\n");
    EXPECT_EQ(err, "WSPR 240315_120400 14.095600 MHz: 1 spots; callsigns=K1ABC\n");
    ASSERT_EQ(decoder_runs().size(), 1u);
    EXPECT_THAT(decoder_runs()[0], StartsWith("240315_1204.wav 2444 "));
}

TEST_F(DecoderPoolTest, HighFrequencyIsAtLeast4000ForFt8Only)
{
    options.bandwidth = 3000;
    options.decoders = 2;
    options.decoder_channels = {{14074000.0, DigitalMode::FT8}, {14080000.0, DigitalMode::FT4}};
    run_jobs(job_list(make_job(ft8_start), make_job(ft8_start, DigitalMode::FT4, 14080000.0)));
    auto const runs = decoder_runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_THAT(runs[0], HasSubstr(" -8 -p 15 -d 3 -w 0 -m 1 -L 0 -H 4000 "));
    EXPECT_THAT(runs[1], HasSubstr(" -5 -p 7.5 -d 3 -w 0 -m 1 -L 0 -H 3000 "));
}

// Every way a decoder run can end removes the interval's WAV file, which existed (whole)
// while the decoder ran.
struct OutcomeCase {
    char const* name;
    char const* exit_code;  // nullptr: 0
    bool hang;
    std::string expected_line;
};

std::ostream& operator<<(std::ostream& out, OutcomeCase const& c) { return out << c.name; }

class DecoderPoolOutcome : public DecoderPoolTest, public ::testing::WithParamInterface<OutcomeCase> {};

TEST_P(DecoderPoolOutcome, CountsWritesItsLineAndRemovesTheWav)
{
    OutcomeCase const& c = GetParam();
    // Only the hanging decoder should meet the limit; a loaded machine must not turn the others
    // into time-outs, nor kill the hanging one before it has recorded its own start.
    options.decoder_timeout = c.hang ? 2 : 60;
    script("out", "{hhmmss} -12 0.3 1500 ~ CQ W9XYZ EN37\n");
    if (c.exit_code)
        script("exit", c.exit_code);
    if (c.hang)
        script("hang", "");
    std::string const err = run_jobs(job_list(make_job(ft8_start)));
    EXPECT_EQ(err, c.expected_line);
    ASSERT_EQ(decoder_runs().size(), 1u);
    EXPECT_THAT(decoder_runs()[0], StartsWith("240315_120415.wav 2444 "));
    EXPECT_THAT(work_files(), IsEmpty());
    bool const failed = c.exit_code || c.hang;
    EXPECT_THAT(status, StartsWith(failed ? "Decoder jobs: submitted=1, completed=0, queued=0, spots=0, "
                                            "backlog drops=0, failures=1"
                                          : "Decoder jobs: submitted=1, completed=1, queued=0, spots=1, "
                                            "backlog drops=0, failures=0"));
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecoderPoolOutcome,
    ::testing::Values(
        OutcomeCase{"success", nullptr, false, "FT8 240315_120415 14.074000 MHz: 1 spots; callsigns=W9XYZ\n"},
        OutcomeCase{"exit_status", "3", false,
                    "FT8 decoder failed: 240315_120415 14074000.000000 Hz (process error): "
                    "120415 -12 0.3 1500 ~ CQ W9XYZ EN37\n\n"},
        OutcomeCase{"timeout", nullptr, true, "FT8 decoder failed: 240315_120415 14074000.000000 Hz (timeout)\n"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST_F(DecoderPoolTest, ProcessErrorLineCarriesTheFirst300Characters)
{
    std::string const output = std::string(299, 'a') + "b" + std::string(200, 'c');
    script("out", output);
    script("exit", "1");
    std::string const err = run_jobs(job_list(make_job(ft8_start)));
    EXPECT_EQ(err, "FT8 decoder failed: 240315_120415 14074000.000000 Hz (process error): " +
                       std::string(299, 'a') + "b\n");
}

TEST_F(DecoderPoolTest, RunawayDecoderOutputFailsOnlyItsJob)
{
    fs::remove(decoder());
    fs::create_symlink(NORVANE_SOURCE_DIR "/testbed/decoders/flood_output", decoder());
    std::string const err = run_jobs(job_list(make_job(ft8_start), make_job(ft8_start + 15)));
    EXPECT_EQ(err,
              "FT8 decoder failed: 240315_120415 14074000.000000 Hz (process error): Decoder output exceeds 1 MiB\n"
              "FT8 decoder failed: 240315_120430 14074000.000000 Hz (process error): Decoder output exceeds 1 MiB\n");
    EXPECT_THAT(status, StartsWith("Decoder jobs: submitted=2, completed=0, queued=0, spots=0, backlog drops=0, "
                                   "failures=2"));
}

TEST_F(DecoderPoolTest, CancelKillsTheRunningDecoderAndCountsNothingButSubmitted)
{
    fs::path const fifo = make_start_fifo();
    script("hang", "");
    ::testing::internal::CaptureStderr();
    {
        DecoderPool pool(options, nullptr, nullptr);
        pool.submit(make_job(ft8_start));
        await_start(fifo);
        pool.submit(make_job(ft8_start + 15));
        pool.close(false, nullptr);
        EXPECT_EQ(pool.status_line(),
                  "Decoder jobs: submitted=2, completed=0, queued=0, spots=0, backlog drops=0, failures=0; "
                  "FT8 submitted=2, completed=0, spots=0, backlog drops=0, failures=0");
        EXPECT_THAT(work_files(), IsEmpty());
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(decoder_runs().size(), 1u);
}

TEST_F(DecoderPoolTest, StopFlagTurnsADrainingCloseIntoACancel)
{
    fs::path const fifo = make_start_fifo();
    script("hang", "");
    std::atomic<int> stop{0};
    DecoderPool pool(options, nullptr, nullptr);
    pool.submit(make_job(ft8_start));
    await_start(fifo);
    pool.submit(make_job(ft8_start + 15));
    stop = 1;
    pool.close(true, &stop);
    EXPECT_THAT(pool.status_line(), StartsWith("Decoder jobs: submitted=2, completed=0, queued=0"));
    EXPECT_EQ(decoder_runs().size(), 1u);
}

TEST_F(DecoderPoolTest, DrainingCloseRunsEveryQueuedJob)
{
    options.workers = 2;
    options.decoders = 4;
    script("out", "{hhmmss} -12 0.3 1500 ~ CQ W9XYZ EN37\n");
    std::vector<DecodeJob> jobs;
    for (int i = 0; i < 8; ++i)
        jobs.push_back(make_job(ft8_start + 15 * i));
    run_jobs(std::move(jobs));
    EXPECT_THAT(status, StartsWith("Decoder jobs: submitted=8, completed=8, queued=0, spots=8, backlog drops=0"));
    EXPECT_EQ(lines_of(all_txt()).size(), 8u);
}

// --- the queue ----------------------------------------------------------------------------

TEST_F(DecoderPoolTest, LiveQueueDropsTheOldestAndChargesItsMode)
{
    options.workers = 0;  // nothing takes jobs: the queue alone decides
    options.decoder_channels = {{14074000.0, DigitalMode::FT8}, {14080000.0, DigitalMode::FT4}};
    options.decoders = 1;  // capacity 2
    ::testing::internal::CaptureStderr();
    DecoderPool pool(options, nullptr, nullptr);
    EXPECT_EQ(pool.status_line(), fresh_status);
    pool.submit(make_job(ft8_start, DigitalMode::FT4, 14080000.0));
    pool.submit(make_job(ft8_start));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    ::testing::internal::CaptureStderr();
    pool.submit(make_job(ft8_start + 15));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Decoder backlog: discarded oldest queued channel interval\n");
    EXPECT_EQ(pool.status_line(),
              "Decoder jobs: submitted=3, completed=0, queued=2, spots=0, backlog drops=1, failures=0; "
              "FT8 submitted=2, completed=0, spots=0, backlog drops=0, failures=0; "
              "FT4 submitted=1, completed=0, spots=0, backlog drops=1, failures=0");

    ::testing::internal::CaptureStderr();
    pool.submit(make_job(ft8_start + 30));
    pool.submit(make_job(ft8_start + 45));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Decoder backlog: discarded oldest queued channel interval\n"
              "Decoder backlog: discarded oldest queued channel interval\n");
    EXPECT_THAT(pool.status_line(), HasSubstr("; FT8 submitted=4, completed=0, spots=0, backlog drops=2, failures=0"));
}

TEST_F(DecoderPoolTest, ReplayWaitsForRoomInsteadOfDropping)
{
    options.iq_file = (dir / "capture.iq").string();
    fs::path const fifo = make_start_fifo();
    fs::path const gate = dir / "gate";
    ASSERT_EQ(::mkfifo(gate.c_str(), 0600), 0);
    // This test's decoder announces each run, then waits until the test lets it finish.
    fs::remove(decoder());
    std::ofstream(decoder()) << "#!/bin/bash\n"
                             << "echo started > " << fifo.string() << "\n"
                             << "read -r line < " << gate.string() << "\n"
                             << "wav=${!#}\n"
                             << "echo \"${wav:7:6} -12 0.3 1500 ~ CQ W9XYZ EN37\"\n";
    fs::permissions(decoder(), fs::perms::owner_all);

    ::testing::internal::CaptureStderr();
    DecoderPool pool(options, nullptr, nullptr);
    pool.submit(make_job(ft8_start));
    await_start(fifo);  // the only worker is busy from here on
    pool.submit(make_job(ft8_start + 15));
    pool.submit(make_job(ft8_start + 30));  // the queue is full

    std::thread releaser([&] {
        for (int i = 0; i < 4; ++i) {
            if (i > 0)
                await_start(fifo);
            std::ofstream(gate) << "go\n";
        }
    });
    pool.submit(make_job(ft8_start + 45));  // waits for the worker to take a job
    pool.close(true, nullptr);
    releaser.join();
    std::string const err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, Not(HasSubstr("Decoder backlog")));
    EXPECT_THAT(pool.status_line(),
                StartsWith("Decoder jobs: submitted=4, completed=4, queued=0, spots=4, backlog drops=0, failures=0"));
}

TEST_F(DecoderPoolTest, StopFlagEndsAReplayWaitWithoutError)
{
    options.iq_file = (dir / "capture.iq").string();
    options.workers = 0;
    std::atomic<int> stop{0};
    DecoderPool pool(options, &stop, nullptr);
    pool.submit(make_job(ft8_start));
    pool.submit(make_job(ft8_start + 15));
    std::thread waiting([&] { pool.submit(make_job(ft8_start + 30)); });  // the queue is full
    stop = 1;
    waiting.join();
    EXPECT_THAT(pool.status_line(), StartsWith("Decoder jobs: submitted=2, completed=0, queued=0, "));
    EXPECT_NO_THROW(pool.submit(make_job(ft8_start + 45)));  // still dropped quietly
    EXPECT_NO_THROW(pool.rethrow_failure());
    pool.close(true, &stop);
}

TEST_F(DecoderPoolTest, SubmitAfterCloseIsRefusedAndCloseTwiceDoesNothing)
{
    DecoderPool pool(options, nullptr, nullptr);
    pool.close(true, nullptr);
    pool.close(false, nullptr);
    try {
        pool.submit(make_job(ft8_start));
        FAIL() << "submit after close was accepted";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "Decoder pool is closed");
    }
    EXPECT_EQ(pool.status_line(), fresh_status);
}

// --- failures -----------------------------------------------------------------------------

std::string failure_of(std::function<void()> const& call)
{
    try {
        call();
    } catch (std::runtime_error const& error) {
        return error.what();
    }
    return "";
}

TEST_F(DecoderPoolTest, FirstWorkerFailureIsKeptAndThrownByEverySubmitAndRethrow)
{
    options.workers = 2;
    options.decoders = 2;
    fs::path const fifo = make_start_fifo();
    script("hang", "");
    DecoderPool pool(options, nullptr, nullptr);
    pool.submit(make_job(ft8_start));
    await_start(fifo);
    // While that decoder runs, put a non-empty directory where its WAV file was: removing it
    // fails once the decoder is killed, a second failure that must not replace the first.
    for (auto const& file : work_files()) {
        fs::remove(file);
        fs::create_directories(file / "blocker");
    }
    pool.submit(make_job(-1.0));  // no calendar shows it: the other worker fails
    pool.close(true, nullptr);

    EXPECT_EQ(failure_of([&] { pool.rethrow_failure(); }), "Invalid UTC timestamp");
    EXPECT_EQ(failure_of([&] { pool.submit(make_job(ft8_start + 15)); }), "Invalid UTC timestamp");
    EXPECT_EQ(failure_of([&] { pool.rethrow_failure(); }), "Invalid UTC timestamp");
    EXPECT_EQ(pool.failures(), 0u);  // a failed step is not a failed decoder run
}

// The decoders run in the worker's directory and can leave anything there. Whatever sits under
// the next interval's WAV name that is not a regular file (a FIFO nobody reads, a link to a file
// of the user's) is refused: the worker neither freezes on it nor writes through it, and the
// run ends with the reason.
TEST_F(DecoderPoolTest, PlantedFifoOrLinkUnderTheNextWavNameIsRefused)
{
    for (bool const fifo : {true, false}) {
        SCOPED_TRACE(fifo ? "FIFO" : "symbolic link");
        fs::path const precious = dir.write_file("precious.txt", "keep me");
        ::testing::internal::CaptureStderr();
        {
            DecoderPool pool(options, nullptr, nullptr);
            fs::path const planted = workspace() / "worker-1" / "240315_120415.wav";
            if (fifo)
                ASSERT_EQ(::mkfifo(planted.c_str(), 0600), 0);
            else
                fs::create_symlink(precious, planted);
            pool.submit(make_job(ft8_start));
            std::string failure;
            auto const give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (failure.empty() && std::chrono::steady_clock::now() < give_up) {
                failure = failure_of([&] { pool.rethrow_failure(); });
                std::this_thread::yield();
            }
            if (failure.empty() && fifo) {
                // A worker stuck in the open: a reader lets it go, so the test fails instead of hanging.
                int const reader = ::open(planted.c_str(), O_RDONLY | O_NONBLOCK);
                pool.close(false, nullptr);
                ::close(reader);
            }
            EXPECT_EQ(failure, fifo ? "Cannot open WAV output: " + planted.string() + ": No such device or address"
                                    : "Cannot open WAV output: " + planted.string() +
                                          ": Too many levels of symbolic links");
            pool.close(false, nullptr);
        }
        ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(decoder_runs().empty());
        EXPECT_EQ(file_text(precious), "keep me");
        EXPECT_TRUE(fs::is_empty(dir / "work"));
    }
}

// --- construction -------------------------------------------------------------------------

TEST_F(DecoderPoolTest, AllTxtMustOpenAsARegularFile)
{
    fs::create_directory(dir / "folder");
    options.all_txt = (dir / "folder").string();
    EXPECT_EQ(failure_of([&] { DecoderPool pool(options, nullptr, nullptr); }), "Open ALL.TXT: Is a directory");
    options.all_txt = "/dev/null";
    EXPECT_EQ(failure_of([&] { DecoderPool pool(options, nullptr, nullptr); }),
              "ALL.TXT output must be a regular file");
    EXPECT_TRUE(fs::is_empty(dir / "work"));  // no workspace left behind
}

TEST_F(DecoderPoolTest, WorkspaceHoldsOneDirectoryPerWorkerAndGoesWithThePool)
{
    options.workers = 3;
    options.decoders = 3;
    {
        DecoderPool pool(options, nullptr, nullptr);
        fs::path const workspace = this->workspace();
        EXPECT_THAT(workspace.filename().string(), StartsWith("norvane-decode-"));
        EXPECT_EQ(workspace.filename().string().size(), std::string("norvane-decode-XXXXXX").size());
        struct stat info {};
        ASSERT_EQ(::stat(workspace.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        std::vector<std::string> names;
        for (auto const& entry : fs::directory_iterator(workspace))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_THAT(names, ElementsAre("worker-1", "worker-2", "worker-3"));
    }
    EXPECT_TRUE(fs::is_empty(dir / "work"));
}

TEST_F(DecoderPoolTest, LooksUpOnlyTheProgramsItsChannelsNeed)
{
    options.js8_decoder = (dir / "missing-js8").string();
    options.wspr_decoder = (dir / "missing-wsprd").string();
    options.decoder_channels.clear();
    EXPECT_NO_THROW(DecoderPool(options, nullptr, nullptr));

    options.decoder_channels = {{14074000.0, DigitalMode::FT8}, {14095600.0, DigitalMode::WSPR}};
    EXPECT_EQ(failure_of([&] { DecoderPool pool(options, nullptr, nullptr); }),
              "Cannot find decoder executable: " + options.wspr_decoder +
                  " (install wsjtx or use --wspr-decoder PATH)");
    EXPECT_TRUE(fs::is_empty(dir / "work"));
}

TEST_F(DecoderPoolTest, BandChangeRaisesCapacityAndResolvesNewPrograms)
{
    options.workers = 0;
    options.wspr_decoder = (dir / "missing-wsprd").string();
    DecoderPool pool(options, nullptr, nullptr);
    EXPECT_THAT(failure_of([&] { pool.prepare_channels({{14095600.0, DigitalMode::WSPR}}); }),
                StartsWith("Cannot find decoder executable: "));
    pool.prepare_channels({{7074000.0, DigitalMode::FT8}, {7047500.0, DigitalMode::FT4}, {7078000.0, DigitalMode::JS8}});
    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 6; ++i)
        pool.submit(make_job(ft8_start + 15 * i));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_THAT(pool.status_line(), HasSubstr("queued=6, spots=0, backlog drops=0"));
}

TEST_F(DecoderPoolTest, WsprnetWithAnInvalidLocatorRefusesToStartAndLeavesNoWorkspace)
{
    options.wsprnet = true;
    options.callsign = "K1ABC";
    options.grid = "FN4";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(failure_of([&] { DecoderPool pool(options, nullptr, nullptr); }), "Invalid WSPRnet station identity");
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(fs::is_empty(dir / "work"));
}

TEST_F(DecoderPoolTest, StartsWithWsprnetAndHistory)
{
    options.wsprnet = true;
    options.history_db = (dir / "history.sqlite3").string();
    options.callsign = "K1ABC";
    options.grid = "FN42";
    EXPECT_NO_THROW(DecoderPool(options, nullptr, nullptr));
}

// The run builds one PSK Reporter client and hands it to the pool (the analysis sinks and the
// survey share it): the pool reports through it the senders its decodes name, and stops it when
// it closes, which flushes what it holds.
TEST_F(DecoderPoolTest, ReportableSpotsGoToTheRunsPskReporter)
{
    options.pskreporter = true;
    options.callsign = "K1ABC";
    options.grid = "FN42";
    script("out",
           "{hhmmss} -12 0.3 1500 ~ CQ W9XYZ EN37\n"
           "{hhmmss} -3 0.0 1200 ~ TNX FER QSO 73 GL\n"
           "{hhmmss} -1 0.0 900 ~ W9XYZ DL1ABC R-07\n");
    PskClocks clocks;
    clocks.now_s = static_cast<std::int64_t>(ft8_start);
    DatagramSink sink;
    auto const reporter = std::make_shared<PskReporter>(options.callsign, options.grid, sink.hook(), an_hour,
                                                        PskReporter::SentHook{}, clocks.policy());
    ::testing::internal::CaptureStderr();
    {
        DecoderPool pool(options, nullptr, reporter);
        pool.submit(make_job(ft8_start));
        pool.close(true, nullptr);
    }
    std::string const err = ::testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, StartsWith("PSK Reporter enabled: receiver=K1ABC, grid=FN42; batched live decoder reports\n"));
    EXPECT_THAT(err, HasSubstr("FT8 240315_120415 14.074000 MHz: 3 spots; callsigns=DL1ABC,W9XYZ\n"));
    std::vector<PskSpot> const sent = sink.spots();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].sender_call, "DL1ABC");  // ALL.TXT order: lowest audio frequency first
    EXPECT_EQ(sent[0].frequency_hz, 14074900u);
    EXPECT_EQ(sent[1].sender_call, "W9XYZ");
    EXPECT_EQ(sent[1].sender_grid, "EN37");
    EXPECT_EQ(sent[1].frequency_hz, 14075500u);
    EXPECT_EQ(sent[1].mode, "FT8");
}

}  // namespace
