#include "decode/decoder_programs.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

namespace {

std::string const decoders_dir = NORVANE_SOURCE_DIR "/testbed/decoders";
std::string stand_in(std::string const& name) { return decoders_dir + "/" + name; }

// 2024-03-15 12:04:15 UTC, a FT8 interval start; 12:04:00 is a WSPR interval start.
constexpr double ft8_start = 1710504255.0;
constexpr double wspr_start = 1710504240.0;

class ScopedEnvironment {
public:
    ScopedEnvironment(char const* name, std::string const& value) : name_(name)
    {
        if (char const* old = std::getenv(name))
            old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment()
    {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    char const* name_;
    std::optional<std::string> old_;
};

class ScopedWorkingDirectory {
public:
    explicit ScopedWorkingDirectory(fs::path const& path) : old_(fs::current_path()) { fs::current_path(path); }
    ~ScopedWorkingDirectory() { fs::current_path(old_); }

private:
    fs::path old_;
};

void make_executable(fs::path const& path)
{
    std::ofstream(path) << "#!/bin/sh\nexit 0\n";
    fs::permissions(path, fs::perms::owner_all);
}

pid_t read_pid(fs::path const& file)
{
    std::ifstream in(file);
    pid_t pid = 0;
    in >> pid;
    EXPECT_GT(pid, 0) << file;
    return pid;
}

// Waits (on the process itself, not a clock) until pid has ended; false if it is still alive
// after a minute.
bool process_ends(pid_t pid)
{
    if (pid <= 0)
        return false;
    int const fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0)
        return errno == ESRCH;
    pollfd entry{fd, POLLIN, 0};
    int const ready = ::poll(&entry, 1, 60000);
    ::close(fd);
    return ready == 1;
}

std::map<std::string, std::string> key_values(std::string const& output)
{
    std::map<std::string, std::string> values;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        auto const equals = line.find('=');
        if (equals != std::string::npos && line.compare(0, 4, "arg=") != 0)
            values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

std::vector<std::string> dumped_arguments(std::string const& output)
{
    std::vector<std::string> arguments;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 4, "arg=") == 0)
            arguments.push_back(line.substr(4));
    }
    return arguments;
}

DecoderRun run_stand_in(std::string const& name, fs::path const& dir, std::atomic<bool> const& stop,
                        double limit_s = 60.0)
{
    return run_decoder_process(stand_in(name), dir, "x.wav", DigitalMode::FT8, 3, 4000, stop, ft8_start,
                               14074000.0, limit_s);
}

// --- finding the program ---------------------------------------------------------------

TEST(FindDecoderExecutable, SearchesPathInOrderWithEmptyEntryAsCurrentDirectory)
{
    TempDir tmp;
    fs::create_directories(tmp / "first");
    fs::create_directories(tmp / "here");
    fs::create_directories(tmp / "third");
    std::ofstream(tmp / "first" / "dec") << "not executable\n";  // present but not runnable
    fs::create_directories(tmp / "first" / "other");             // a directory is no program
    make_executable(tmp / "here" / "dec");
    make_executable(tmp / "third" / "dec");
    make_executable(tmp / "third" / "other");
    make_executable(tmp / "third" / "only");

    ScopedWorkingDirectory cwd(tmp / "here");
    ScopedEnvironment path("PATH", (tmp / "first").string() + "::" + (tmp / "third").string());
    EXPECT_TRUE(fs::equivalent(find_decoder_executable("dec", DigitalMode::FT8), tmp / "here" / "dec"));
    EXPECT_TRUE(fs::path(find_decoder_executable("dec", DigitalMode::FT8)).is_absolute());
    EXPECT_EQ(find_decoder_executable("other", DigitalMode::FT8), (tmp / "third" / "other").string());
    EXPECT_EQ(find_decoder_executable("only", DigitalMode::WSPR), (tmp / "third" / "only").string());
}

TEST(FindDecoderExecutable, NameWithSlashIsTakenAsPathMadeAbsolute)
{
    TempDir tmp;
    make_executable(tmp / "dec");
    ScopedWorkingDirectory cwd(tmp.path());
    EXPECT_TRUE(fs::equivalent(find_decoder_executable("./dec", DigitalMode::FT8), tmp / "dec"));
    EXPECT_TRUE(fs::path(find_decoder_executable("./dec", DigitalMode::FT8)).is_absolute());
}

struct MissingCase {
    DigitalMode mode;
    char const* hint;
};

class MissingDecoder : public ::testing::TestWithParam<MissingCase> {};

TEST_P(MissingDecoder, DirectoryOrUnknownNameIsRefusedWithTheModesHint)
{
    TempDir tmp;
    fs::create_directories(tmp / "dir");
    ScopedEnvironment path("PATH", tmp.path().string());
    for (std::string const& name : {(tmp / "dir").string(), std::string("no-such-decoder")}) {
        try {
            find_decoder_executable(name, GetParam().mode);
            FAIL() << name;
        } catch (std::runtime_error const& error) {
            EXPECT_EQ(error.what(), "Cannot find decoder executable: " + name + GetParam().hint);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, MissingDecoder,
    ::testing::Values(
        MissingCase{DigitalMode::FT8, " (install wsjtx or use --decoder PATH)"},
        MissingCase{DigitalMode::FT4, " (install wsjtx or use --decoder PATH)"},
        MissingCase{DigitalMode::JS8, " (build the separate extras/js8-decoder program and use --js8-decoder PATH)"},
        MissingCase{DigitalMode::JS8_SLOW,
                    " (build the separate extras/js8-decoder program and use --js8-decoder PATH)"},
        MissingCase{DigitalMode::WSPR, " (install wsjtx or use --wspr-decoder PATH)"}));

// --- UTC texts ------------------------------------------------------------------------

struct StampCase {
    char const* text;
    std::time_t seconds;  // when valid
    char const* error;    // nullptr when valid
};

class UtcStamp : public ::testing::TestWithParam<StampCase> {};

TEST_P(UtcStamp, ParsesOrRefuses)
{
    auto const& c = GetParam();
    if (c.error == nullptr) {
        EXPECT_EQ(parse_utc_timestamp(c.text), c.seconds);
        return;
    }
    try {
        parse_utc_timestamp(c.text);
        FAIL() << c.text;
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), c.error);
    }
}

constexpr char const* bad_form = "UTC timestamp must be YYYYMMDD_HHMMSS";
constexpr char const* bad_time = "Invalid UTC timestamp";

INSTANTIATE_TEST_SUITE_P(
    Table, UtcStamp,
    ::testing::Values(StampCase{"20240315_120415", 1710504255, nullptr}, StampCase{"19700101_000000", 0, nullptr},
                      StampCase{"20240229_235959", 1709251199, nullptr},
                      StampCase{"20240230_120000", 0, bad_time},   // 30 February
                      StampCase{"20230229_120000", 0, bad_time},   // not a leap year
                      StampCase{"20240315_250000", 0, bad_form},
                      StampCase{"19691231_235959", 0, bad_time},   // before the epoch
                      StampCase{"2024-03-15_1204", 0, bad_form},   // dashes
                      StampCase{"20240315_1204", 0, bad_form},     // too short
                      StampCase{"20240315_120415Z", 0, bad_form},  // too long
                      StampCase{"", 0, bad_form}));

TEST(FormatUtc, FormatsAndRefusesEmptyResults)
{
    EXPECT_EQ(format_utc(1710504255, "%y%m%d_%H%M%S"), "240315_120415");
    EXPECT_EQ(format_utc(1710504255, "%H%M"), "1204");
    EXPECT_THROW(format_utc(1710504255, ""), std::runtime_error);
    EXPECT_THROW(utc_whole_seconds(-1.0), std::runtime_error);
    EXPECT_THROW(utc_whole_seconds(std::numeric_limits<double>::quiet_NaN()), std::runtime_error);
    EXPECT_EQ(utc_whole_seconds(1710504255.9), 1710504255);
}

TEST(RemoveDirectoryTree, RemovesTreeAndIgnoresMissingOrEmptyPaths)
{
    TempDir tmp;
    fs::create_directories(tmp / "ws" / "worker-1");
    std::ofstream(tmp / "ws" / "worker-1" / "a.wav") << "x";
    remove_directory_tree(tmp / "ws");
    EXPECT_FALSE(fs::exists(tmp / "ws"));
    remove_directory_tree(tmp / "ws");
    remove_directory_tree("");
    EXPECT_TRUE(fs::exists(tmp.path()));
}

// --- command lines --------------------------------------------------------------------

struct CommandCase {
    char const* name;
    DigitalMode mode;
    int depth;
    int high_hz;
    double dial_hz;
    std::vector<std::string> expected;  // after the program path, before the WAV name
};

class CommandLine : public ::testing::TestWithParam<CommandCase> {};

std::vector<std::string> jt9_arguments(char const* mode_flag, char const* period, char const* depth,
                                       char const* high)
{
    return {mode_flag, "-p", period, "-d", depth, "-w", "0", "-m", "1", "-L", "0", "-H", high,
            "-c", "b", "-x", "b", "-Q", "0", "-a", ".", "-t", "."};
}

TEST_P(CommandLine, IsExactAndReachesTheProgramUnchanged)
{
    auto const& c = GetParam();
    std::vector<std::string> expected{"/opt/dec"};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    expected.push_back("240315_120415.wav");
    EXPECT_EQ(decoder_command_line("/opt/dec", "240315_120415.wav", c.mode, c.depth, c.high_hz, ft8_start, c.dial_hz),
              expected);

    // The same arguments arrive in a real process, which runs in the given directory.
    TempDir tmp;
    std::atomic<bool> stop{false};
    auto const run = run_decoder_process(stand_in("argv_dump"), tmp.path(), "240315_120415.wav", c.mode, c.depth,
                                         c.high_hz, stop, ft8_start, c.dial_hz, 60.0);
    ASSERT_TRUE(WIFEXITED(run.status)) << run.output;
    EXPECT_EQ(WEXITSTATUS(run.status), 0);
    std::vector<std::string> arrived(expected.begin() + 1, expected.end());
    EXPECT_THAT(dumped_arguments(run.output), ElementsAreArray(arrived));
    EXPECT_TRUE(fs::equivalent(key_values(run.output)["cwd"], tmp.path()));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, CommandLine,
    ::testing::Values(
        CommandCase{"ft8_depth3", DigitalMode::FT8, 3, 4000, 14074000.0, jt9_arguments("-8", "15", "3", "4000")},
        CommandCase{"ft4_depth1", DigitalMode::FT4, 1, 3000, 14080000.0, jt9_arguments("-5", "7.5", "1", "3000")},
        CommandCase{"ft8_wide", DigitalMode::FT8, 2, 6000, 7074000.0, jt9_arguments("-8", "15", "2", "6000")},
        CommandCase{"js8", DigitalMode::JS8, 3, 4000, 14078000.0,
                    {"--mode", "A", "--utc", "120415", "--high", "4000"}},
        CommandCase{"js8_fast_capped", DigitalMode::JS8_FAST, 3, 6000, 14078000.0,
                    {"--mode", "B", "--utc", "120415", "--high", "5000"}},
        CommandCase{"js8_turbo", DigitalMode::JS8_TURBO, 1, 3000, 14078000.0,
                    {"--mode", "C", "--utc", "120415", "--high", "3000"}},
        CommandCase{"js8_slow", DigitalMode::JS8_SLOW, 2, 5000, 14078000.0,
                    {"--mode", "E", "--utc", "120415", "--high", "5000"}},
        CommandCase{"wspr_depth3", DigitalMode::WSPR, 3, 4000, 14095600.0, {"-a", ".", "-f", "14.095600", "-d"}},
        CommandCase{"wspr_depth2", DigitalMode::WSPR, 2, 4000, 14095600.0, {"-a", ".", "-f", "14.095600"}},
        CommandCase{"wspr_depth1", DigitalMode::WSPR, 1, 4000, 474200.0, {"-a", ".", "-f", "0.474200", "-q"}}),
    [](auto const& info) { return std::string(info.param.name); });

// --- running a decoder ------------------------------------------------------------------

TEST(RunDecoderProcess, ChildGetsOwnGroupNiceDevNullStdinAndDefaultSignals)
{
    // The daemon ignores SIGPIPE and its threads may block signals; a decoder must see neither.
    struct sigaction ignore {};
    struct sigaction old_pipe {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &old_pipe), 0);
    sigset_t block;
    sigset_t old_mask;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &old_mask), 0);

    TempDir tmp;
    std::atomic<bool> stop{false};
    auto const run = run_stand_in("argv_dump", tmp.path(), stop);

    ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    ::sigaction(SIGPIPE, &old_pipe, nullptr);

    auto values = key_values(run.output);
    EXPECT_EQ(values["pgid"], values["pid"]);
    EXPECT_EQ(values["nice"], "10");
    EXPECT_EQ(values["stdin"], "/dev/null");
    EXPECT_EQ(std::stoull(values["sigign"], nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u);
    EXPECT_EQ(std::stoull(values["sigblk"], nullptr, 16) & (1ull << (SIGUSR1 - 1)), 0u);
    EXPECT_THAT(run.output, HasSubstr("stderr line\n"));  // standard error is captured too
    EXPECT_FALSE(run.timed_out);
    EXPECT_FALSE(run.stopped);
}

class ExitStatus : public ::testing::TestWithParam<int> {};

TEST_P(ExitStatus, IsReportedWithTheOutput)
{
    TempDir tmp;
    tmp.write_file("output.txt", "120415 -10  0.3 1500 ~  CQ K1ABC FN42\n<DecodeFinished>\n");
    tmp.write_file("exit_code", std::to_string(GetParam()));
    std::atomic<bool> stop{false};
    auto const run = run_stand_in("replay_output", tmp.path(), stop);
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), GetParam());
    EXPECT_EQ(run.output, "120415 -10  0.3 1500 ~  CQ K1ABC FN42\n<DecodeFinished>\n");
    EXPECT_FALSE(run.timed_out);
}

INSTANTIATE_TEST_SUITE_P(Codes, ExitStatus, ::testing::Values(0, 1, 3, 255));

TEST(RunDecoderProcess, TimeLimitKillsTheWholeGroup)
{
    TempDir tmp;
    std::atomic<bool> stop{false};
    // Long enough for the stand-in to have started its helper, whatever the machine's load.
    auto const run = run_stand_in("run_forever", tmp.path(), stop, 2.0);
    EXPECT_TRUE(run.timed_out);
    EXPECT_FALSE(run.stopped);
    ASSERT_TRUE(WIFSIGNALED(run.status));
    EXPECT_EQ(WTERMSIG(run.status), SIGKILL);
    EXPECT_THAT(run.output, HasSubstr("running"));
    EXPECT_TRUE(process_ends(read_pid(tmp / "grandchild.pid")));
}

TEST(RunDecoderProcess, StopFlagAlreadySetKillsAtOnce)
{
    TempDir tmp;
    std::atomic<bool> stop{true};
    auto const run = run_stand_in("run_forever", tmp.path(), stop);
    EXPECT_TRUE(run.stopped);
    EXPECT_FALSE(run.timed_out);
}

TEST(RunDecoderProcess, StopFlagSetWhileRunningKillsTheWholeGroup)
{
    TempDir tmp;
    ASSERT_EQ(::mkfifo((tmp / "ready").c_str(), 0600), 0);
    std::atomic<bool> stop{false};
    DecoderRun run;
    std::thread worker([&] { run = run_stand_in("run_forever", tmp.path(), stop); });
    {
        std::ifstream ready(tmp / "ready");  // opens once the decoder is up and writing
        std::string word;
        ready >> word;
        EXPECT_EQ(word, "ready");
    }
    stop = true;
    worker.join();
    EXPECT_TRUE(run.stopped);
    EXPECT_FALSE(run.timed_out);
    ASSERT_TRUE(WIFSIGNALED(run.status));
    EXPECT_TRUE(process_ends(read_pid(tmp / "grandchild.pid")));
}

TEST(RunDecoderProcess, HelperHoldingThePipeDoesNotHoldTheRun)
{
    TempDir tmp;
    std::atomic<bool> stop{false};
    auto const run = run_stand_in("leave_helper", tmp.path(), stop, 600.0);
    EXPECT_FALSE(run.timed_out);
    ASSERT_TRUE(WIFEXITED(run.status));
    EXPECT_EQ(WEXITSTATUS(run.status), 0);
    EXPECT_EQ(run.output, "decoded\n");
    EXPECT_TRUE(process_ends(read_pid(tmp / "grandchild.pid")));
}

TEST(RunDecoderProcess, OutputOverOneMebibyteFailsTheJobAndKillsTheGroup)
{
    TempDir tmp;
    std::atomic<bool> stop{false};
    try {
        run_stand_in("flood_output", tmp.path(), stop);
        FAIL() << "no error";
    } catch (DecoderOutputTooLong const& error) {
        EXPECT_STREQ(error.what(), "Decoder output exceeds 1 MiB");
    }
    EXPECT_TRUE(process_ends(read_pid(tmp / "grandchild.pid")));
}

TEST(RunDecoderProcess, OutputOfExactlyOneMebibyteIsKept)
{
    TempDir tmp;
    std::atomic<bool> stop{false};
    tmp.write_file("output.txt", std::string(decoder_output_limit_bytes, 'x'));
    EXPECT_EQ(run_stand_in("replay_output", tmp.path(), stop).output.size(), decoder_output_limit_bytes);
    tmp.write_file("output.txt", std::string(decoder_output_limit_bytes + 1, 'x'));
    EXPECT_THROW(run_stand_in("replay_output", tmp.path(), stop), DecoderOutputTooLong);
}

// A decoder's output is read until the pipe is empty or at its end, but never past the time
// limit: a writer that never lets the pipe run dry cannot keep the worker reading.
TEST(ReadDecoderOutput, StopsWhenEmptyAtTheEndOrOnceTheDeadlineHasPassed)
{
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_NONBLOCK | O_CLOEXEC), 0);
    std::string const pending(65536, 'x');  // what a default pipe holds
    ASSERT_EQ(::write(ends[1], pending.data(), pending.size()), static_cast<ssize_t>(pending.size()));
    auto const now = std::chrono::steady_clock::now();
    auto const later = now + std::chrono::hours(1);

    std::string output;
    EXPECT_EQ(read_decoder_output(ends[0], output, now), DecoderOutputRead::deadline);
    EXPECT_FALSE(output.empty());
    EXPECT_LT(output.size(), pending.size()) << "kept reading after the deadline";
    EXPECT_EQ(read_decoder_output(ends[0], output, later), DecoderOutputRead::empty);
    EXPECT_EQ(output, pending);
    ::close(ends[1]);
    EXPECT_EQ(read_decoder_output(ends[0], output, later), DecoderOutputRead::end_of_file);
    ::close(ends[0]);
}

TEST(RunDecoderProcess, ProgramOrDirectoryThatCannotStartIsReported)
{
    TempDir tmp;
    std::atomic<bool> stop{false};
    try {
        run_decoder_process((tmp / "missing").string(), tmp.path(), "x.wav", DigitalMode::FT8, 3, 4000, stop,
                            ft8_start, 14074000.0, 10.0);
        FAIL();
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "Start decoder: No such file or directory");
    }
    EXPECT_THROW(run_decoder_process(stand_in("argv_dump"), tmp / "gone", "x.wav", DigitalMode::FT8, 3, 4000, stop,
                                     ft8_start, 14074000.0, 10.0),
                 std::runtime_error);
}

// --- output lines ---------------------------------------------------------------------

struct LineCase {
    char const* name;
    DigitalMode mode;
    std::string line;
    std::optional<DecodedSpot> expected;
    double start = ft8_start;
    double dial_hz = 14074000.0;
};

DecodedSpot ft_spot(int snr, double dt, int audio, std::string message)
{
    DecodedSpot spot;
    spot.snr = snr;
    spot.dt = dt;
    spot.audio_hz = audio;
    spot.message = std::move(message);
    return spot;
}

DecodedSpot js8_spot(int snr, double dt, int audio, int flags, std::string frame, std::string sender,
                     std::string grid, std::string message)
{
    DecodedSpot spot = ft_spot(snr, dt, audio, std::move(message));
    spot.flags = flags;
    spot.frame = std::move(frame);
    spot.sender = std::move(sender);
    spot.grid = std::move(grid);
    return spot;
}

DecodedSpot wspr_spot(int snr, double dt, int audio, int drift, std::string message, std::string sender,
                      std::string grid, int dbm)
{
    DecodedSpot spot = ft_spot(snr, dt, audio, std::move(message));
    spot.drift = drift;
    spot.sender = std::move(sender);
    spot.grid = std::move(grid);
    spot.dbm = dbm;
    return spot;
}

class DecoderLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(DecoderLine, ParsesToTheExpectedSpotOrNothing)
{
    auto const& c = GetParam();
    std::optional<DecodedSpot> spot;
    ASSERT_NO_THROW(spot = parse_decoder_line(c.line, c.mode, c.start, c.dial_hz));
    ASSERT_EQ(spot.has_value(), c.expected.has_value());
    if (!spot)
        return;
    EXPECT_EQ(spot->snr, c.expected->snr);
    EXPECT_DOUBLE_EQ(spot->dt, c.expected->dt);
    EXPECT_EQ(spot->audio_hz, c.expected->audio_hz);
    EXPECT_EQ(spot->message, c.expected->message);
    EXPECT_EQ(spot->sender, c.expected->sender);
    EXPECT_EQ(spot->grid, c.expected->grid);
    EXPECT_EQ(spot->frame, c.expected->frame);
    EXPECT_EQ(spot->flags, c.expected->flags);
    EXPECT_EQ(spot->dbm, c.expected->dbm);
    EXPECT_EQ(spot->drift, c.expected->drift);
}

auto const none = std::optional<DecodedSpot>();
std::string const msg37 = "K1ABC W9XYZ RR73; AB1CDE <XY9ZZZ> -12";  // 37 characters

INSTANTIATE_TEST_SUITE_P(
    Ft8Ft4, DecoderLine,
    ::testing::Values(
        LineCase{"jt9_padded", DigitalMode::FT8,
                 "120415 -10 -0.0 1500 ~  CQ K1ABC FN42                           ",
                 ft_spot(-10, 0.0, 1500, "CQ K1ABC FN42")},
        LineCase{"ft4", DigitalMode::FT4, "120415  12  0.3  650 +  K1ABC W9XYZ -05", ft_spot(12, 0.3, 650, "K1ABC W9XYZ -05")},
        LineCase{"leading_blanks_and_limits", DigitalMode::FT8, "  120415 -50 -10.0 6000 ~  CQ DX K1ABC",
                 ft_spot(-50, -10.0, 6000, "CQ DX K1ABC")},
        LineCase{"mode_out_of_table_reads_as_ft8", static_cast<DigitalMode>(9), "120415 1 0.1 800 ~  CQ K1ABC",
                 ft_spot(1, 0.1, 800, "CQ K1ABC")},
        LineCase{"message_cut_at_37", DigitalMode::FT8, "120415 -3  0.2 1200 ~  " + msg37 + "  a9",
                 ft_spot(-3, 0.2, 1200, msg37)},
        LineCase{"cut_then_trailing_spaces_trimmed", DigitalMode::FT8,
                 "120415 -3  0.2 1200 ~  CQ K1ABC FN42" + std::string(24, ' ') + "a2",
                 ft_spot(-3, 0.2, 1200, "CQ K1ABC FN42")},
        LineCase{"other_time", DigitalMode::FT8, "120430 -10  0.3 1500 ~  CQ K1ABC FN42", none},
        LineCase{"ft4_with_tilde", DigitalMode::FT4, "120415 -10  0.3 1500 ~  CQ K1ABC FN42", none},
        LineCase{"ft8_with_plus", DigitalMode::FT8, "120415 -10  0.3 1500 +  CQ K1ABC FN42", none},
        LineCase{"snr_too_high", DigitalMode::FT8, "120415 51  0.3 1500 ~  CQ K1ABC FN42", none},
        LineCase{"dt_too_large", DigitalMode::FT8, "120415 -1 10.1 1500 ~  CQ K1ABC FN42", none},
        LineCase{"audio_too_high", DigitalMode::FT8, "120415 -1  0.1 6001 ~  CQ K1ABC FN42", none},
        LineCase{"dt_without_decimals", DigitalMode::FT8, "120415 -1 0 1500 ~  CQ K1ABC FN42", none},
        LineCase{"absurd_snr", DigitalMode::FT8, "120415 -99999999999999999999999 0.1 1500 ~  CQ K1ABC", none},
        LineCase{"absurd_audio", DigitalMode::FT8, "120415 -1 0.1 99999999999999999999999 ~  CQ K1ABC", none},
        LineCase{"absurd_dt", DigitalMode::FT8, "120415 -1 " + std::string(400, '9') + ".0 1500 ~  CQ K1ABC",
                 none},
        LineCase{"control_character", DigitalMode::FT8, "120415 -1  0.1 1500 ~  CQ K1\x01" "BC", none},
        LineCase{"blank_message", DigitalMode::FT8, "120415 -1  0.1 1500 ~       ", none},
        LineCase{"status_line", DigitalMode::FT8, "<DecodeFinished>   0   1        0", none},
        LineCase{"huge_line_is_cut_like_any_other", DigitalMode::FT8,
                 "120415 -1  0.1 1500 ~  CQ K1ABC" + std::string(300000, 'x'),
                 ft_spot(-1, 0.1, 1500, "CQ K1ABC" + std::string(29, 'x'))},
        LineCase{"line_break_in_text", DigitalMode::FT8, "120415 -1  0.1 1500 ~  CQ K1ABC\r", none},
        LineCase{"blank_run_of_one_before_end", DigitalMode::FT8, "120415 -1  0.1 1500 ~ ", none},
        LineCase{"huge_blank_line", DigitalMode::FT8, std::string(300000, ' '), none},
        LineCase{"start_not_a_time", DigitalMode::FT8, "120415 -1  0.1 1500 ~  CQ K1ABC", none,
                 std::numeric_limits<double>::infinity()}),
    [](auto const& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Js8, DecoderLine,
    ::testing::Values(
        LineCase{"full", DigitalMode::JS8, "120415 -12 0.3 1500 A 1 ABCDEFGHIJ+- K1ABC FN42\tK1ABC: @ALLCALL CQ",
                 js8_spot(-12, 0.3, 1500, 1, "ABCDEFGHIJ+-", "K1ABC", "FN42", "K1ABC: @ALLCALL CQ")},
        LineCase{"dashes_become_empty", DigitalMode::JS8_FAST, "120415 5 -1.5 900 B 0 a1b2c3d4e5f6 - -\tHELLO  ",
                 js8_spot(5, -1.5, 900, 0, "a1b2c3d4e5f6", "", "", "HELLO  ")},
        LineCase{"limits", DigitalMode::JS8_SLOW, "120415 50 10 0 E 7 /?.-+0123456 K1ABC/P FN31PR\tx",
                 js8_spot(50, 10.0, 0, 7, "/?.-+0123456", "K1ABC/P", "FN31PR", "x")},
        LineCase{"utf8_text_kept", DigitalMode::JS8_TURBO, "120415 0 0.0 1000 C 2 ABCDEFGHIJKL - -\tGR\xc3\xbc\xc3\x9f",
                 js8_spot(0, 0.0, 1000, 2, "ABCDEFGHIJKL", "", "", "GR\xc3\xbc\xc3\x9f")},
        LineCase{"ten_tokens", DigitalMode::JS8, "120415 -12 0.3 1500 A 1 ABCDEFGHIJKL K1ABC FN42 X\tCQ", none},
        LineCase{"eight_tokens", DigitalMode::JS8, "120415 -12 0.3 1500 A 1 ABCDEFGHIJKL K1ABC\tCQ", none},
        LineCase{"frame_of_11", DigitalMode::JS8, "120415 -12 0.3 1500 A 1 ABCDEFGHIJK K1ABC FN42\tCQ", none},
        LineCase{"frame_bad_character", DigitalMode::JS8, "120415 -12 0.3 1500 A 1 ABCDEFGHIJK! K1ABC FN42\tCQ", none},
        LineCase{"letter_of_other_speed", DigitalMode::JS8, "120415 -12 0.3 1500 B 1 ABCDEFGHIJKL K1ABC FN42\tCQ", none},
        LineCase{"other_time", DigitalMode::JS8, "120400 -12 0.3 1500 A 1 ABCDEFGHIJKL K1ABC FN42\tCQ", none},
        LineCase{"flags_8", DigitalMode::JS8, "120415 -12 0.3 1500 A 8 ABCDEFGHIJKL K1ABC FN42\tCQ", none},
        LineCase{"audio_negative", DigitalMode::JS8, "120415 -12 0.3 -1 A 1 ABCDEFGHIJKL K1ABC FN42\tCQ", none},
        LineCase{"dt_nan", DigitalMode::JS8, "120415 -12 nan 1500 A 1 ABCDEFGHIJKL K1ABC FN42\tCQ", none},
        LineCase{"absurd_snr", DigitalMode::JS8,
                 "120415 -99999999999999999999 0.3 1500 A 1 ABCDEFGHIJKL K1ABC FN42\tCQ", none},
        LineCase{"absurd_dt", DigitalMode::JS8, "120415 -12 1e999 1500 A 1 ABCDEFGHIJKL K1ABC FN42\tCQ", none},
        LineCase{"snr_not_integer", DigitalMode::JS8, "120415 -12.5 0.3 1500 A 1 ABCDEFGHIJKL K1ABC FN42\tCQ", none},
        LineCase{"bad_call", DigitalMode::JS8, "120415 -12 0.3 1500 A 1 ABCDEFGHIJKL k1abc FN42\tCQ", none},
        LineCase{"bad_grid", DigitalMode::JS8, "120415 -12 0.3 1500 A 1 ABCDEFGHIJKL K1ABC SN42\tCQ", none},
        LineCase{"no_tab", DigitalMode::JS8, "120415 -12 0.3 1500 A 1 ABCDEFGHIJKL K1ABC FN42 CQ", none},
        LineCase{"empty_text", DigitalMode::JS8, "120415 -12 0.3 1500 A 1 ABCDEFGHIJKL K1ABC FN42\t", none},
        LineCase{"control_in_text", DigitalMode::JS8, "120415 -12 0.3 1500 A 1 ABCDEFGHIJKL K1ABC FN42\tCQ\x7f", none},
        LineCase{"tab_in_text", DigitalMode::JS8, "120415 -12 0.3 1500 A 1 ABCDEFGHIJKL K1ABC FN42\tCQ\tCQ", none},
        LineCase{"too_long", DigitalMode::JS8,
                 "120415 -12 0.3 1500 A 1 ABCDEFGHIJKL K1ABC FN42\t" + std::string(4096, 'x'), none}),
    [](auto const& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Wspr, DecoderLine,
    ::testing::Values(
        LineCase{"wsprd_line", DigitalMode::WSPR, "1204 -15  0.3  14.097100  0  K1ABC FN42 33",
                 wspr_spot(-15, 0.3, 1500, 0, "K1ABC FN42 33", "K1ABC", "FN42", 33), wspr_start, 14095600.0},
        LineCase{"drift_and_rounding", DigitalMode::WSPR, "1204 -28 -1.1  14.0969496 -1  <PJ4/K1ABC> FK52UD 37  ",
                 wspr_spot(-28, -1.1, 1350, -1, "<PJ4/K1ABC> FK52UD 37", "PJ4/K1ABC", "FK52UD", 37), wspr_start,
                 14095600.0},
        LineCase{"hashed_call", DigitalMode::WSPR, "1204 -20  0.1  14.097200  1  <...> FN42AB 37",
                 wspr_spot(-20, 0.1, 1600, 1, "<...> FN42AB 37", "", "FN42AB", 37), wspr_start, 14095600.0},
        LineCase{"call_and_power", DigitalMode::WSPR, "1204 -20  0.1  14.097200  1  PJ4/K1ABC 30",
                 wspr_spot(-20, 0.1, 1600, 1, "PJ4/K1ABC 30", "PJ4/K1ABC", "", 30), wspr_start, 14095600.0},
        LineCase{"odd_minute_interval", DigitalMode::WSPR, "1205 -15  0.3  14.097100  0  K1ABC FN42 33", none,
                 wspr_start + 60.0, 14095600.0},
        LineCase{"other_time", DigitalMode::WSPR, "1206 -15  0.3  14.097100  0  K1ABC FN42 33", none, wspr_start,
                 14095600.0},
        LineCase{"audio_1349_4", DigitalMode::WSPR, "1204 -15  0.3  14.0969494  0  K1ABC FN42 33", none, wspr_start,
                 14095600.0},
        LineCase{"audio_1650_6", DigitalMode::WSPR, "1204 -15  0.3  14.0972506  0  K1ABC FN42 33", none, wspr_start,
                 14095600.0},
        LineCase{"dial_below_1000", DigitalMode::WSPR, "0000 -15  0.3  0.0015000  0  K1ABC FN42 33", none, 0.0,
                 0.0},
        LineCase{"drift_11", DigitalMode::WSPR, "1204 -15  0.3  14.097100  11  K1ABC FN42 33", none, wspr_start,
                 14095600.0},
        LineCase{"snr_low", DigitalMode::WSPR, "1204 -51  0.3  14.097100  0  K1ABC FN42 33", none, wspr_start,
                 14095600.0},
        LineCase{"power_61", DigitalMode::WSPR, "1204 -15  0.3  14.097100  0  K1ABC FN42 61", none, wspr_start,
                 14095600.0},
        LineCase{"extra_token", DigitalMode::WSPR, "1204 -15  0.3  14.097100  0  K1ABC FN42 33 X", none, wspr_start,
                 14095600.0},
        LineCase{"no_message", DigitalMode::WSPR, "1204 -15  0.3  14.097100  0   ", none, wspr_start, 14095600.0},
        LineCase{"absurd_frequency", DigitalMode::WSPR, "1204 -15  0.3  1e999  0  K1ABC FN42 33", none, wspr_start,
                 14095600.0},
        LineCase{"absurd_drift", DigitalMode::WSPR, "1204 -15  0.3  14.097100  99999999999999999999  K1ABC FN42 33",
                 none, wspr_start, 14095600.0},
        LineCase{"too_long", DigitalMode::WSPR, "1204 -15  0.3  14.097100  0  K1ABC FN42 33" + std::string(220, ' '),
                 none, wspr_start, 14095600.0},
        LineCase{"start_nan", DigitalMode::WSPR, "1204 -15  0.3  14.097100  0  K1ABC FN42 33", none,
                 std::numeric_limits<double>::quiet_NaN(), 14095600.0}),
    [](auto const& info) { return std::string(info.param.name); });

}  // namespace
