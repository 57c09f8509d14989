#include "sig/modems/jtty_modem.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.hpp"
#include "sig/modems/modem_factory.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;

namespace {

const std::string kStandIn = NORVANE_TESTBED_DIR "/jtty-rx";
constexpr double kBlockSeconds = 0.125;  // 1500 samples; block times stay exact binary fractions
constexpr std::size_t kBlockSamples = 1500;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Waits for a condition the test cannot make happen at once (a child process starting, a line
// arriving), checking it again and again until a generous deadline.
bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Standard error of this process (and of the children it starts) into a file that can be read
// while the capture goes on.
class StderrCapture {
public:
    explicit StderrCapture(fs::path path) : path_(std::move(path)) {
        saved_ = ::dup(STDERR_FILENO);
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~StderrCapture() {
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_);
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;
    std::string text() const { return file_text(path_); }

private:
    fs::path path_;
    int saved_ = -1;
};

// Sets environment variables for one test and puts the old values back afterwards.
class Environment {
public:
    ~Environment() {
        for (const auto& [name, value] : saved_) {
            if (value) ::setenv(name.c_str(), value->c_str(), 1);
            else ::unsetenv(name.c_str());
        }
    }
    void set(const std::string& name, const std::string& value) {
        remember(name);
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    void unset(const std::string& name) {
        remember(name);
        ::unsetenv(name.c_str());
    }

private:
    void remember(const std::string& name) {
        if (saved_.count(name)) return;
        const char* old = std::getenv(name.c_str());
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    std::map<std::string, std::optional<std::string>> saved_;
};

std::vector<float> tone(double hz, std::size_t count, std::size_t first_index = 0) {
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i)
        out[i] = static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(first_index + i) / 12000.0));
    return out;
}

class JttyBridge : public ::testing::Test {
protected:
    void SetUp() override {
        env.set("NORVANE_JTTY", kStandIn);
        env.set("JTTY_STANDIN_LOG", (dir / "log").string());
        env.set("JTTY_STANDIN_DUMP", (dir / "audio").string());
        env.unset("JTTY_STANDIN_SCRIPT");
    }

    void script(const std::string& text) {
        env.set("JTTY_STANDIN_SCRIPT", dir.write_file("script", text).string());
    }

    std::unique_ptr<sig::Modem> modem(double bandwidth_hz = 3000.0) {
        const sig::ModemContext context{{"jt", "rx", 14080000.0, true, bandwidth_hz}, ""};
        auto m = sig::make_modem(sig::Mode::JTTY, {}, {}, context);
        EXPECT_NE(m, nullptr);
        EXPECT_EQ(m->mode(), sig::Mode::JTTY);
        return m;
    }

    // One block of audio at time t; its decoded lines are collected.
    void feed(sig::Modem& m, double t, const std::vector<float>& samples) {
        sig::AudioBlock block;
        block.samples = samples;
        block.time = t;
        m.process(block);
        sig::ModemOutput out = m.take_output();
        EXPECT_EQ(out.text, "");
        EXPECT_EQ(out.frequency_hz, 0.0);
        EXPECT_EQ(out.quality, 0.0f);
        EXPECT_EQ(out.variant, "");
        EXPECT_TRUE(out.events.empty());
        lines.insert(lines.end(), out.lines.begin(), out.lines.end());
    }

    // Feeds blocks from t on, one after the other, until the condition holds; returns the time of
    // the last block fed.
    double feed_until(sig::Modem& m, double& t, const std::function<bool()>& condition) {
        double last = t;
        const bool reached = eventually([&] {
            last = t;
            feed(m, t, tone(1000.0, kBlockSamples));
            t += kBlockSeconds;
            return condition();
        });
        EXPECT_TRUE(reached) << "gave up at block time " << last;
        return last;
    }

    std::string log() const { return file_text(dir / "log"); }

    TempDir dir;
    Environment env;
    std::vector<sig::DecodedLine> lines;
};

// --- Pure functions ----------------------------------------------------------------------------

TEST(JttyPassband, RunsFrom200HzToTheChannelBandwidthLess100) {
    const std::pair<double, int> cases[] = {{3000.0, 2800}, {500.0, 600}, {1500.7, 1400}, {2900.0, 2800},
                                            {2899.9, 2799}, {700.0, 600}, {700.5, 600}, {0.0, 600},
                                            {-100.0, 600}, {kNaN, 600}, {kInf, 2800}, {10000.0, 2800}};
    for (const auto& [bandwidth, high] : cases) {
        const sig::JttyPassband band = sig::jtty_passband(bandwidth);
        EXPECT_EQ(band.low_hz, 200) << bandwidth;
        EXPECT_EQ(band.high_hz, high) << bandwidth;
    }
}

TEST(JttySample, HoldsWithinFullScaleAndRoundsHalvesAwayFromZero) {
    const std::pair<float, std::int16_t> cases[] = {
        {1.5f, 32767},   {-1.5f, -32767}, {0.5f, 16384},      {-0.5f, -16384},  {-1.0f, -32767},
        {1.0f, 32767},   {0.0f, 0},       {0.25f, 8192},      {3e-5f, 1},       {-3e-5f, -1},
        {1e-6f, 0},      {0.99999f, 32767}, {static_cast<float>(kNaN), 0}, {static_cast<float>(kInf), 32767},
        {static_cast<float>(-kInf), -32767}, {1e30f, 32767}};
    for (const auto& [value, expected] : cases) EXPECT_EQ(sig::jtty_sample(value), expected) << value;
}

struct LineCase {
    const char* line;
    bool kept;
    std::uint32_t id = 0;
    double value = 0.0;
    double count = 0.0;
    double time = 0.0;
    const char* text = "";
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << '"' << c.line << '"'; }

class JttyLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(JttyLine, KeepsOnlyWellFormedDecoderLines) {
    const LineCase& c = GetParam();
    const auto line = sig::parse_jtty_line(c.line, 100.0);
    ASSERT_EQ(line.has_value(), c.kept);
    if (!line) return;
    EXPECT_EQ(line->id, c.id);
    EXPECT_EQ(line->value, c.value);
    EXPECT_EQ(line->count, c.count);
    EXPECT_DOUBLE_EQ(line->time, c.time);
    EXPECT_EQ(line->text, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, JttyLine,
    ::testing::Values(
        LineCase{"JTTY 4294967301 X 1000.5 -12 0.3 0.8 CQ TEST DE W1AW", true, 5, 1000.5, -12, 100.8, "CQ TEST DE W1AW"},
        LineCase{"JTTY 7 T 1500 3 0 2.5    spaced text  ", true, 7, 1500, 3, 102.5, "spaced text  "},
        LineCase{"JTTY 7 T 1500 3 0 2.5\ttabbed", true, 7, 1500, 3, 102.5, "\ttabbed"},
        LineCase{"JTTY 7 T 1500 3 0 2.5 text\r", true, 7, 1500, 3, 102.5, "text\r"},
        LineCase{"  JTTY\t-1 T 1.5e3 +3 x1 -2.5 a", false},
        LineCase{"  JTTY\t-1 T 1.5e3 +3 1 -2.5 a", true, 0xFFFFFFFFu, 1500, 3, 97.5, "a"},
        LineCase{"JTTX 1 T 1 2 3 4 text", false}, LineCase{"jtty 1 T 1 2 3 4 text", false},
        LineCase{"JTTY 1 G 1 2 3 4 text", false}, LineCase{"JTTY 1 T 1 2 3 4", false},
        LineCase{"JTTY 1 T 1 2 3 4    ", false}, LineCase{"JTTY 1.5 T 1 2 3 4 text", false},
        LineCase{"JTTY 1 T 1 2.5 3 4 text", false}, LineCase{"JTTY 1 T abc 2 3 4 text", false},
        LineCase{"JTTY 99999999999999999999 T 1 2 3 4 text", false}, LineCase{"JTTY 1 T 1 2 3 text", false},
        LineCase{"JTTY 1 T 1 2 3 4x text", false}, LineCase{"JTTY", false}, LineCase{"", false}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return "line_" + std::to_string(info.index); });

TEST(JttyLine, WithoutAStreamStartTheTimeIsZero) {
    const auto line = sig::parse_jtty_line("JTTY 1 T 1 2 3 4.5 text", std::nullopt);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->time, 0.0);
}

// --- The child process -------------------------------------------------------------------------

TEST_F(JttyBridge, RunsTheDecoderWithThePassbandOfTheChannel) {
    const std::pair<double, const char*> cases[] = {{500.0, "start 1 --low 200 --high 600\n"},
                                                    {3000.0, "start 2 --low 200 --high 2800\n"}};
    for (const auto& [bandwidth, line] : cases) {
        const auto m = modem(bandwidth);
        feed(*m, 10.0, tone(1000.0, kBlockSamples));
        EXPECT_TRUE(eventually([&] { return log().find(line) != std::string::npos; })) << log();
    }
}

TEST_F(JttyBridge, AudioReachesTheDecoderAsNative16BitSamplesWithoutSeparators) {
    StderrCapture errors(dir / "stderr");
    const std::vector<float> first = {1.5f, -1.5f, 0.5f, -1.0f, std::nanf(""), 0.25f, -0.5f, 3e-5f};
    const std::vector<float> second = {0.0f, 1.0f, -0.99999f, static_cast<float>(kInf)};
    const std::vector<std::int16_t> expected = {32767, -32767, 16384, -32767, 0, 8192, -16384, 1,
                                                0,     32767,  -32767, 32767};
    {
        const auto m = modem();
        feed(*m, 50.0, first);
        feed(*m, 50.0, {});  // an empty block only reads what the decoder printed
        feed(*m, 50.125, second);
    }
    // Closing the decoder's input at destruction lets it see the end of the stream.
    ASSERT_TRUE(eventually([&] { return log().find("end 1 12\n") != std::string::npos; })) << log();
    std::string bytes(expected.size() * 2, '\0');
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto u = static_cast<std::uint16_t>(expected[i]);
        bytes[2 * i] = static_cast<char>(u & 0xFF);  // little-endian, the x86-64 target's order
        bytes[2 * i + 1] = static_cast<char>(u >> 8);
    }
    EXPECT_EQ(file_text(dir / "audio.1"), bytes);
    EXPECT_EQ(errors.text(), "");
}

TEST_F(JttyBridge, TheDecoderHearsTheAudioAt12000Hz) {
    script("1 1 print JTTY 1 F {hz} -3 0 1 tone\n");
    const auto m = modem();
    double t = 10.0;
    for (int k = 0; k < 8; ++k) {
        feed(*m, t, tone(1234.0, kBlockSamples, static_cast<std::size_t>(k) * kBlockSamples));
        t += kBlockSeconds;
    }
    ASSERT_TRUE(eventually([&] {
        feed(*m, t, {});
        return !lines.empty();
    }));
    EXPECT_NEAR(lines[0].value, 1234.0, 0.5);
}

TEST_F(JttyBridge, DecoderLinesBecomeDecodedLinesWithTheirIdsTimesAndText) {
    StderrCapture errors(dir / "stderr");
    script(
        "1 0 print JTTY 4294967301 X 1000.5 -12 0.3 0.8 CQ TEST DE W1AW\n"
        "1 0 print JTTX 2 X 1 2 3 4 wrong first word\n"
        "1 0 print JTTY 3 G 1 2 3 4 not for us\n"
        "1 0 print JTTY 4 X 1 2 3 4    \n"
        "1 0 print JTTY 5 X 1 2 3\n"
        "1 0 write JTTY 6 X 1500 -20 0 \n"
        "1 0.5 print 1.25 split over two reads\n"
        "1 0.5 print JTTY 8 X 1600 -9 0 0.5 last\n");
    const auto m = modem();
    double t = 2000.0;
    feed_until(*m, t, [&] { return lines.size() >= 3; });
    ASSERT_EQ(lines.size(), 3u);
    const sig::DecodedLine expected[] = {{5, 1000.5, -12, 2000.8, "CQ TEST DE W1AW"},
                                         {6, 1500, -20, 2001.25, "split over two reads"},
                                         {8, 1600, -9, 2000.5, "last"}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[i].id, expected[i].id) << i;
        EXPECT_EQ(lines[i].value, expected[i].value) << i;
        EXPECT_EQ(lines[i].count, expected[i].count) << i;
        EXPECT_EQ(lines[i].time, expected[i].time) << i;
        EXPECT_EQ(lines[i].text, expected[i].text) << i;
    }
    EXPECT_EQ(errors.text(), "");
    EXPECT_EQ(count_of(log(), "start "), 1u);
}

TEST_F(JttyBridge, ResetAndSetFrequencyLeaveTheDecoderRunning) {
    StderrCapture errors(dir / "stderr");
    script("1 0.5 print JTTY 1 X 1 2 3 0.5 still here\n");
    const auto m = modem();
    double t = 300.0;
    feed(*m, t, tone(1000.0, kBlockSamples));
    t += kBlockSeconds;
    m->reset();
    m->set_frequency(1234.0);
    feed_until(*m, t, [&] { return !lines.empty(); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].time, 300.5);
    EXPECT_EQ(count_of(log(), "start "), 1u);
    EXPECT_EQ(errors.text(), "");
}

// --- Failures of the child ---------------------------------------------------------------------

struct FailureCase {
    const char* name;
    const char* first_run;   // how run 1 fails
    const char* second_run;  // how run 2 fails, after printing its line
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class JttyFailure : public JttyBridge, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(JttyFailure, IsReportedOnceAndTheDecoderStartsAgain30SecondsOfAudioLater) {
    const FailureCase& c = GetParam();
    StderrCapture errors(dir / "stderr");
    script(std::string(c.first_run) + "\n2 0 print JTTY 2 X 1000 -10 0 0 second\n" + c.second_run +
           "\n3 0 print JTTY 3 X 1000 -10 0 0 third\n");
    const std::string stopped = "Analysis channel jt: the JTTY decoder stopped; starting it again in 30 s\n";
    const auto m = modem();
    double t = 1000.0;
    const double failed_at = feed_until(*m, t, [&] { return !errors.text().empty(); });
    EXPECT_EQ(errors.text(), stopped);

    // Within 30 s of audio nothing starts; the block 30 s after the failure starts run 2, so
    // the stream of run 2 (and the time of its line) begins exactly there.
    feed(*m, failed_at + 0.125, tone(1000.0, kBlockSamples));
    feed(*m, failed_at + 29.875, tone(1000.0, kBlockSamples));
    t = failed_at + 30.0;
    feed_until(*m, t, [&] { return !lines.empty(); });
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].text, "second");
    EXPECT_EQ(lines[0].time, failed_at + 30.0);

    // Run 2 fails the same way: silently this time, and run 3 follows 30 s of audio later.
    feed_until(*m, t, [&] { return lines.size() >= 2; });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].text, "third");
    EXPECT_GE(lines[1].time, lines[0].time + 30.0);
    EXPECT_LE(lines[1].time, lines[0].time + 45.0);
    EXPECT_EQ(count_of(log(), "start "), 3u);
    EXPECT_EQ(errors.text(), stopped);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, JttyFailure,
    ::testing::Values(FailureCase{"exits_at_once", "1 0 exit", "2 0 exit 1"},
                      FailureCase{"exits_later", "1 0.5 exit 3", "2 0.25 exit 3"},
                      FailureCase{"stops_reading", "1 0.25 stall", "2 0 stall"},
                      FailureCase{"closes_its_output", "1 0.25 close-output", "2 0 close-output"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(JttyBridge, AProgramThatCannotRunIsReportedOnceAndTriedAgain30SecondsLater) {
    StderrCapture errors(dir / "stderr");
    const fs::path program = dir / "missing-jtty";
    env.set("NORVANE_JTTY", program.string());
    script("1 0 print JTTY 1 X 1 2 3 0 hello\n1 0 exit\n");
    const auto m = modem();
    feed(*m, 500.0, tone(1000.0, kBlockSamples));
    EXPECT_EQ(errors.text(),
              "Analysis channel jt: cannot run " + program.string() + ": No such file or directory\n");

    // The program appears, but the next try waits for 30 s of audio.
    fs::create_symlink(kStandIn, program);
    feed(*m, 529.875, tone(1000.0, kBlockSamples));
    double t = 530.0;
    feed_until(*m, t, [&] { return !lines.empty(); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].time, 530.0);
    // That run ends at once: a second failure is not reported.
    feed_until(*m, t, [&] { return t > 540.0; });
    EXPECT_EQ(errors.text(),
              "Analysis channel jt: cannot run " + program.string() + ": No such file or directory\n");
}

TEST_F(JttyBridge, WithNorvaneJttyEmptyItRunsJttyRxFromThePath) {
    env.set("NORVANE_JTTY", "");
    const char* path = std::getenv("PATH");
    env.set("PATH", std::string(NORVANE_TESTBED_DIR) + ":" + (path ? path : "/usr/bin:/bin"));
    const auto m = modem();
    feed(*m, 1.0, tone(1000.0, kBlockSamples));
    EXPECT_TRUE(eventually([&] { return log().find("start 1 --low 200 --high 2800\n") != std::string::npos; }));
}

TEST_F(JttyBridge, DestructionEndsEvenADecoderThatStoppedReadingAndSaysNothing) {
    StderrCapture errors(dir / "stderr");
    script("1 0 stall\n");
    {
        const auto m = modem();
        feed(*m, 1.0, tone(1000.0, kBlockSamples));
        ASSERT_TRUE(eventually([&] { return log().find("start 1") != std::string::npos; }));
    }
    EXPECT_EQ(log().find("end 1"), std::string::npos);  // it never read to the end: it was killed
    EXPECT_EQ(errors.text(), "");
}

// A helper the decoder started goes when the decoder goes, however that ends: by itself once
// its input closes, killed after it stopped reading, or on its own failure.
struct HelperCase {
    const char* name;
    const char* script;
    bool failure;  // the decoder's end is a failure the modem notices (else the modem is destroyed)
};

void PrintTo(const HelperCase& c, std::ostream* os) { *os << c.name; }

class JttyHelper : public JttyBridge, public ::testing::WithParamInterface<HelperCase> {};

// A process descriptor turns readable once its process has exited.
bool process_gone(int pidfd) {
    pollfd ready{pidfd, POLLIN, 0};
    return ::poll(&ready, 1, 0) > 0;
}

TEST_P(JttyHelper, DoesNotOutliveTheDecoder) {
    const HelperCase& c = GetParam();
    StderrCapture errors(dir / "stderr");
    script(c.script);
    std::optional<pid_t> helper;
    const auto find_helper = [&] {
        const std::string text = log();
        const std::size_t at = text.find("helper 1 ");
        if (at != std::string::npos) helper = std::stoi(text.substr(at + 9));
        return helper.has_value();
    };
    UniqueFd pidfd;
    {
        const auto m = modem();
        double t = 100.0;
        feed_until(*m, t, find_helper);
        ASSERT_TRUE(helper);
        pidfd = UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, *helper, 0)));
        // Only a decoder that fails by itself can have taken its helper along already.
        ASSERT_TRUE(pidfd.get() >= 0 || (c.failure && errno == ESRCH)) << std::strerror(errno);
        if (c.failure) feed_until(*m, t, [&] { return !errors.text().empty(); });
    }
    const bool gone =
        pidfd.get() < 0 || eventually([&] { return process_gone(pidfd.get()); }, std::chrono::seconds(10));
    if (!gone) ::kill(*helper, SIGKILL);
    EXPECT_TRUE(gone) << "the helper of the decoder was left running";
}

INSTANTIATE_TEST_SUITE_P(
    Ends, JttyHelper,
    ::testing::Values(HelperCase{"reads_to_the_end", "1 0 fork-helper\n", false},
                      HelperCase{"stops_reading", "1 0 fork-helper\n1 0 stall\n", false},
                      HelperCase{"exits", "1 0 fork-helper\n1 2 exit 1\n", true}),
    [](const ::testing::TestParamInfo<HelperCase>& info) { return std::string(info.param.name); });

// --- Too much output ---------------------------------------------------------------------------

TEST_F(JttyBridge, AnOverlongLineIsDroppedAndCountedWhileTheDecoderGoesOn) {
    StderrCapture errors(dir / "stderr");
    script(
        "1 0 flood 200000\n"
        "1 0 print the tail of the long line\n"
        "1 0 print JTTY 7 X 1500 -3 0 0.25 after the flood\n"
        "1 10 flood 70000\n1 10 print\n"
        "1 45 flood 70000\n1 45 print\n"
        "1 45 print JTTY 8 X 1500 -3 0 45 later\n");
    const auto m = modem();
    double t = 100.0;
    feed_until(*m, t, [&] { return lines.size() >= 2 && t > 200.0; });
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "after the flood");
    EXPECT_EQ(lines[0].time, 100.25);
    EXPECT_EQ(lines[1].text, "later");
    // The first loss is told at once, the count of later ones at most every 30 s of audio (the
    // second loss comes 10 s after the first, the third 35 s after the second).
    EXPECT_EQ(errors.text(),
              "Analysis channel jt: JTTY decoder output lines over 65536 bytes dropped: 1\n"
              "Analysis channel jt: JTTY decoder output lines over 65536 bytes dropped: 2\n"
              "Analysis channel jt: JTTY decoder output lines over 65536 bytes dropped: 3\n");
    EXPECT_EQ(count_of(log(), "start "), 1u);
}

TEST_F(JttyBridge, AFloodOfLinesArrivesWholeOverSeveralBlocks) {
    StderrCapture errors(dir / "stderr");
    script("1 0 flood-lines 40000\n");
    const auto m = modem();
    double t = 100.0;
    feed_until(*m, t, [&] { return lines.size() >= 40000; });
    ASSERT_EQ(lines.size(), 40000u);
    for (std::uint32_t k = 0; k < 40000; ++k) ASSERT_EQ(lines[k].id, k + 1);
    EXPECT_EQ(errors.text(), "");
    EXPECT_EQ(count_of(log(), "start "), 1u);
}

TEST_F(JttyBridge, ADecoderThatWritesALotBeforeItReadsOnIsNotTakenForStalled) {
    StderrCapture errors(dir / "stderr");
    // Far more than the socket holds of audio while the decoder is busy writing (about 50
    // blocks): the modem must read while it waits to send.
    script("1 0 flood 30000000\n1 0 print\n1 1 print JTTY 9 X 1 2 3 1 done\n");
    const auto m = modem();
    double t = 100.0;
    feed_until(*m, t, [&] { return !lines.empty(); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "done");
    EXPECT_EQ(errors.text(), "Analysis channel jt: JTTY decoder output lines over 65536 bytes dropped: 1\n");
    EXPECT_EQ(count_of(log(), "start "), 1u);
}

TEST_F(JttyBridge, EndlessOutputDoesNotHoldTheCaller) {
    StderrCapture errors(dir / "stderr");
    script("1 0 flood-forever\n");
    const auto m = modem();
    double t = 100.0;
    // Every block returns although the decoder never stops writing.
    feed_until(*m, t, [&] { return !errors.text().empty(); });
    for (int k = 0; k < 20; ++k, t += kBlockSeconds) feed(*m, t, tone(1000.0, kBlockSamples));
    EXPECT_EQ(errors.text(), "Analysis channel jt: JTTY decoder output lines over 65536 bytes dropped: 1\n");
    EXPECT_TRUE(lines.empty());
}

}  // namespace
