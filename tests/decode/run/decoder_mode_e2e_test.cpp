// Decoder mode as a user runs it: norvane replays an IQ recording holding signals from the
// WSJT-X simulators, the real jt9 and wsprd decode every complete interval, and the spots land
// in ALL.TXT.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <string>
#include <vector>

#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/wsjt_recordings.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;
using testing::HasSubstr;

namespace {

// Every recording starts one second before 2024-03-15 12:04:00 UTC, so that the interval
// starting on the minute is the first complete one.
constexpr char const* kStartUtc = "20240315_120359";
constexpr double kRateHz = 64000;  // the smallest capture the channelizer takes

void write_capture(fs::path const& path, testbed::IqSynthConfig const& config,
                   std::vector<testbed::IqSynthSignal> const& signals)
{
    ASSERT_EQ(testbed::write_iq_file(path, testbed::synthesize_iq(config, signals)), 0u) << "the capture clipped";
}

testbed::IqSynthConfig capture_config(double centre_hz, double duration_s, double snr_db)
{
    testbed::IqSynthConfig config;
    config.center_hz = centre_hz;
    config.rate_hz = static_cast<int>(kRateHz);
    config.duration_s = duration_s;
    config.add_noise = true;
    config.snr_db = snr_db;
    config.seed = 5;
    config.gain_db = -40;
    return config;
}

// The decoders get their longest time limits: on a loaded machine running tests in parallel
// a jt9 run can take many times its usual second, and timing out is not what these tests test.
ProcessResult run_norvane(std::vector<std::string> const& arguments)
{
    ProcessRun run;
    run.argv = {NORVANE_EXE, "--mode", "decoder", "--start-utc", kStartUtc, "--iq-rate", "64000",
                "--decoder-timeout", "60", "--wspr-timeout", "110"};
    run.argv.insert(run.argv.end(), arguments.begin(), arguments.end());
    run.timeout_ms = 300000;
    return run_process(run);
}

// One ALL.TXT line taken apart, after checking the fixed layout: every field in its width.
struct Spot {
    std::string utc;
    double dial_mhz = 0;
    std::string mode;
    int snr = 0;
    double dt = 0;
    int audio_hz = 0;
    std::string message;
};

Spot parse_all_txt(std::string const& line)
{
    static std::regex const layout(
        R"(^(\d{6}_\d{6}) ( *\d+\.\d{3}) Rx (FT8|FT4|WSPR) ( *-?\d+) ( *-?\d+\.\d) ( *\d+) (.+)$)");
    std::smatch m;
    Spot spot;
    EXPECT_TRUE(std::regex_match(line, m, layout)) << line;
    if (m.empty())
        return spot;
    EXPECT_EQ(m[2].length(), 9) << line;
    EXPECT_EQ(m[4].length(), 6) << line;
    EXPECT_EQ(m[5].length(), 4) << line;
    EXPECT_EQ(m[6].length(), 4) << line;
    spot.utc = m[1];
    spot.dial_mhz = std::stod(m[2]);
    spot.mode = m[3];
    spot.snr = std::stoi(m[4]);
    spot.dt = std::stod(m[5]);
    spot.audio_hz = std::stoi(m[6]);
    spot.message = m[7];
    return spot;
}

struct Expected {
    std::string utc;
    std::string dial;  // as ALL.TXT writes it
    std::string mode;
    std::string message;  // with the WSPR drift tail
    int audio_hz;
    int snr;  // within 3 dB
    double dt;
};

// ALL.TXT holds exactly the expected spots, in any order.
void expect_spots(fs::path const& all_txt, std::vector<Expected> const& expected)
{
    auto const lines = file_lines(all_txt);
    std::string listing;
    for (auto const& line : lines)
        listing += line + '\n';
    ASSERT_EQ(lines.size(), expected.size()) << listing;
    for (Expected const& e : expected) {
        bool found = false;
        for (std::string const& line : lines) {
            if (line.find(e.message) == std::string::npos || line.find(" " + e.mode + " ") == std::string::npos ||
                line.rfind(e.utc, 0) != 0)
                continue;
            found = true;
            Spot const spot = parse_all_txt(line);
            EXPECT_EQ(line.substr(13, 10), " " + std::string(9 - e.dial.size(), ' ') + e.dial) << line;
            EXPECT_EQ(spot.message, e.message) << line;
            EXPECT_NEAR(spot.audio_hz, e.audio_hz, 3) << line;
            EXPECT_NEAR(spot.snr, e.snr, 3) << line;
            EXPECT_NEAR(spot.dt, e.dt, 0.15) << line;
        }
        EXPECT_TRUE(found) << e.utc << ' ' << e.mode << ' ' << e.message << " missing from\n" << listing;
    }
}

// Two complete FT8 intervals (12:04:00 and 12:04:15) and a partial third, five signals in one
// channel at 14.074 MHz at different strengths.
class Ft8Replay : public testing::Test {
protected:
    void SetUp() override
    {
        auto const cq = testbed::ft8sim_audio(tmp.path(), "CQ K1ABC FN42", 700);
        auto const reply = testbed::ft8sim_audio(tmp.path(), "K1ABC W9XYZ EN37", 1400);
        auto const weak = testbed::ft8sim_audio(tmp.path(), "CQ DX G4XYZ IO91", 2100);
        auto const report = testbed::ft8sim_audio(tmp.path(), "W9XYZ K1ABC -12", 1000);
        auto const other = testbed::ft8sim_audio(tmp.path(), "CQ VK2ABC QF56", 2500);
        // The first signal stands at -8 dB; the others relative to it.
        write_capture(iq, capture_config(14080000, 33, -8),
                      {{cq, 14074000, 1},
                       {testbed::scaled_audio(reply, -4), 14074000, 1},
                       {testbed::scaled_audio(weak, -8), 14074000, 1},
                       {report, 14074000, 16},
                       {testbed::scaled_audio(other, -6), 14074000, 16}});
    }

    TempDir tmp;
    fs::path const iq = tmp / "ft8.iq";
    fs::path const all_txt = tmp / "ALL.TXT";
};

TEST_F(Ft8Replay, DecodesEveryCompleteIntervalWithBannerAndSummary)
{
    auto const result =
        run_norvane({"--iq-file", iq.string(), "--frequencies", "14.074M", "--center-frequency", "14.08M",
                     "--workers", "2", "--all-txt", all_txt.string()});
    ASSERT_EQ(result.exit_status, 0) << result.err;

    expect_spots(all_txt, {{"240315_120400", "14.074", "FT8", "CQ K1ABC FN42", 700, -8, 0.0},
                           {"240315_120400", "14.074", "FT8", "K1ABC W9XYZ EN37", 1400, -12, 0.0},
                           {"240315_120400", "14.074", "FT8", "CQ DX G4XYZ IO91", 2100, -16, 0.0},
                           {"240315_120415", "14.074", "FT8", "W9XYZ K1ABC -12", 1000, -8, 0.0},
                           {"240315_120415", "14.074", "FT8", "CQ VK2ABC QF56", 2500, -14, 0.0}});

    auto const err = lines_of(result.err);
    ASSERT_GE(err.size(), 6u) << result.err;
    EXPECT_THAT(err[0], testing::StartsWith("norvane "));
    EXPECT_EQ(err[1], "FT8: 1 channels, 2 workers, IQ=64000 Hz, center=1.408e+07 Hz; appending to " +
                          all_txt.string());
    EXPECT_EQ(err[2], "  Decoder 1: FT8 1.4074e+07 Hz USB, bandwidth=4000 Hz");
    EXPECT_EQ(err[3],
              "Waiting for complete UTC intervals (FT8 15s, FT4 7.5s); startup and partial intervals are skipped.");
    EXPECT_THAT(result.err, HasSubstr("FT8 240315_120400 14.074000 MHz: 3 spots; callsigns="));
    EXPECT_THAT(result.err, HasSubstr("FT8 240315_120415 14.074000 MHz: 2 spots; callsigns="));
    EXPECT_EQ(err.back(),
              "Decoder jobs: submitted=2, completed=2, queued=0, spots=5, backlog drops=0, failures=0; "
              "FT8 submitted=2, completed=2, spots=5, backlog drops=0, failures=0");
    EXPECT_THAT(result.err, testing::Not(HasSubstr("Clipped")));
}

TEST_F(Ft8Replay, DurationCutsTheReplayShort)
{
    // 20 s of a recording that starts at 12:03:59 end in the middle of the 12:04:15 interval.
    auto const result = run_norvane({"--iq-file", iq.string(), "--frequencies", "14.074M", "--center-frequency",
                                     "14.08M", "--duration", "20", "--all-txt", all_txt.string()});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    expect_spots(all_txt, {{"240315_120400", "14.074", "FT8", "CQ K1ABC FN42", 700, -8, 0.0},
                           {"240315_120400", "14.074", "FT8", "K1ABC W9XYZ EN37", 1400, -12, 0.0},
                           {"240315_120400", "14.074", "FT8", "CQ DX G4XYZ IO91", 2100, -16, 0.0}});
    EXPECT_THAT(lines_of(result.err).back(), testing::StartsWith("Decoder jobs: submitted=1, completed=1, "));
}

// FT8, FT4 and WSPR channels side by side in one capture: two minutes and a little more, so
// that one whole WSPR interval fits.
TEST(DecoderModeReplay, DecodesFt8Ft4AndWsprChannelsOfOneCapture)
{
    TempDir tmp;
    auto const wspr = testbed::wspr_audio(tmp.path(), "K1ABC FN42 33", 1500);
    auto const ft8 = testbed::ft8sim_audio(tmp.path(), "CQ K1ABC FN42", 1200);
    auto const ft4 = testbed::ft4_audio("CQ W9XYZ EN37", 1000);
    fs::path const iq = tmp / "three.iq";
    // WSPR at 12:04:00 (its audio leads by one second), FT4 at 12:04:07.5, FT8 at 12:04:15.
    write_capture(iq, capture_config(14086000, 123, -14),
                  {{wspr, 14095600, 1},
                   {testbed::scaled_audio(ft4, 4), 14080000, 8.5},
                   {testbed::scaled_audio(ft8, 4), 14074000, 16}});

    fs::path const all_txt = tmp / "ALL.TXT";
    auto const result = run_norvane({"--iq-file", iq.string(), "--frequencies", "FT8:14.074M,FT4:14.08M,WSPR:14.0956M",
                                     "--center-frequency", "14.086M", "--bandwidth", "2800", "--audio-gain", "2",
                                     "--all-txt", all_txt.string()});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    expect_spots(all_txt, {{"240315_120400", "14.096", "WSPR", "K1ABC FN42 33 [drift=0]", 1500, -14, 0.0},
                           {"240315_120407", "14.080", "FT4", "CQ W9XYZ EN37", 1000, -10, 0.0},
                           {"240315_120415", "14.074", "FT8", "CQ K1ABC FN42", 1200, -10, 0.0}});
    auto const err = lines_of(result.err);
    EXPECT_THAT(result.err, HasSubstr("\nFT8/FT4/WSPR: 3 channels, "));
    EXPECT_THAT(result.err, HasSubstr("\n  Decoder 1: FT8 1.4074e+07 Hz USB, bandwidth=4000 Hz\n"));
    EXPECT_THAT(result.err, HasSubstr("\n  Decoder 2: FT4 1.408e+07 Hz USB, bandwidth=2800 Hz\n"));
    EXPECT_THAT(result.err, HasSubstr("\n  Decoder 3: WSPR 1.40956e+07 Hz USB, bandwidth=2800 Hz\n"));
    EXPECT_THAT(err.back(), testing::StartsWith("Decoder jobs: submitted="));
    EXPECT_THAT(err.back(), HasSubstr("; WSPR submitted=1, completed=1, spots=1, backlog drops=0, failures=0"));
}

// A raw PCM16 file cannot say that samples are missing: replay time follows the sample count,
// so everything after a gap arrives early by the gap's length, and decoding goes on.
TEST(DecoderModeReplay, AGapInTheRecordingShiftsLaterSignalsEarly)
{
    TempDir tmp;
    auto const first = testbed::ft8sim_audio(tmp.path(), "CQ K1ABC FN42", 900);
    auto const second = testbed::ft8sim_audio(tmp.path(), "K1ABC W9XYZ EN37", 1500);
    auto const third = testbed::ft8sim_audio(tmp.path(), "W9XYZ K1ABC -12", 2100);
    auto config = capture_config(14080000, 48, -8);
    config.gap_start_s = 15.2;  // 12:04:14.2, before the second signal starts
    config.gap_length_s = 0.4;
    fs::path const iq = tmp / "gap.iq";
    write_capture(iq, config, {{first, 14074000, 1}, {second, 14074000, 16}, {third, 14074000, 31}});

    fs::path const all_txt = tmp / "ALL.TXT";
    auto const result = run_norvane({"--iq-file", iq.string(), "--frequencies", "14.074M", "--center-frequency",
                                     "14.08M", "--all-txt", all_txt.string()});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    expect_spots(all_txt, {{"240315_120400", "14.074", "FT8", "CQ K1ABC FN42", 900, -8, 0.0},
                           {"240315_120415", "14.074", "FT8", "K1ABC W9XYZ EN37", 1500, -8, -0.4},
                           {"240315_120430", "14.074", "FT8", "W9XYZ K1ABC -12", 2100, -8, -0.4}});
}

struct BadInputCase {
    std::string name;
    std::size_t bytes;
    int exit_status;
    std::string last_line;
};

class ReplayInputTest : public testing::TestWithParam<BadInputCase> {};

TEST_P(ReplayInputTest, EndsAsTheFileSizeDemands)
{
    TempDir tmp;
    fs::path const iq = tmp.write_file("in.iq", std::string(GetParam().bytes, '\0'));
    fs::path const all_txt = tmp / "ALL.TXT";
    auto const result = run_norvane({"--iq-file", iq.string(), "--frequencies", "14.074M", "--center-frequency",
                                     "14.08M", "--all-txt", all_txt.string()});
    EXPECT_EQ(result.exit_status, GetParam().exit_status) << result.err;
    ASSERT_FALSE(lines_of(result.err).empty());
    EXPECT_EQ(lines_of(result.err).back(), GetParam().last_line);
    EXPECT_TRUE(file_lines(all_txt).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ReplayInputTest,
    testing::Values(BadInputCase{"empty_file_ends_at_once", 0, 0,
                                 "Decoder jobs: submitted=0, completed=0, queued=0, spots=0, backlog drops=0, "
                                 "failures=0"},
                    BadInputCase{"odd_tail", 4 * 1000 + 2, 1, "Error: Invalid PCM16 IQ input"},
                    BadInputCase{"odd_tail_after_a_full_read", 4 * 16384 + 4 * 10 + 3, 1,
                                 "Error: Invalid PCM16 IQ input"}),
    [](testing::TestParamInfo<BadInputCase> const& info) { return info.param.name; });

}  // namespace
