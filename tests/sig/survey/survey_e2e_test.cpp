// The wideband survey through the whole program: norvane replays a recording that holds an
// FT8 transmission, two carriers, a CW call and two PSK31 calls, on both sides of the 20 m band
// edge, with --survey in decoder and hybrid modes. The survey announces itself, reports every
// emitter as a survey SIG line and a journal record (read back with Python's json module),
// decodes the CW and PSK31 calls, tells ham from other signals by band, and ends with its
// status line when the file ends; the FT8 decodes in ALL.TXT are the same as without it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/wsjt_recordings.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;
using testing::HasSubstr;

namespace {

// One second before 2024-03-15 12:04:00 UTC: the FT8 interval on the minute is the first
// complete one, and the only one in 30 s.
constexpr char kStartUtc[] = "20240315_120359";
constexpr int kRateHz = 192000;
constexpr double kCentreHz = 14000000;  // the lower edge of 20 m: half the capture lies outside

std::string repeated(std::string const& piece, int times)
{
    std::string out;
    for (int i = 0; i < times; ++i)
        out += piece;
    return out;
}

std::vector<float> tone(double hz, double seconds)
{
    std::vector<float> out(static_cast<std::size_t>(seconds * 12000.0));
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * hz * static_cast<double>(i) / 12000.0));
    return out;
}

// The survey SIG lines of standard error.
std::vector<std::string> sig_lines(std::string const& err)
{
    std::vector<std::string> found;
    for (std::string const& line : lines_of(err)) {
        if (line.rfind("SIG HAM ", 0) == 0 || line.rfind("SIG OTHER ", 0) == 0)
            found.push_back(line);
    }
    return found;
}

std::vector<std::string> matching(std::vector<std::string> const& lines, std::vector<std::string> const& parts)
{
    std::vector<std::string> found;
    for (std::string const& line : lines) {
        bool all = true;
        for (std::string const& part : parts)
            all = all && line.find(part) != std::string::npos;
        if (all)
            found.push_back(line);
    }
    return found;
}

class SurveyReplay : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new TempDir;
        iq = new fs::path(dir->path() / "survey.iq");
        testbed::PskSignal psk;
        psk.carrier_hz = 1000.0;
        testbed::CwKeying cw;
        cw.tone_hz = 800.0;
        cw.wpm = 22;
        double const seconds = 30.0;
        std::vector<testbed::IqSynthSignal> const signals = {
            {testbed::ft8sim_audio(dir->path(), "CQ K1ABC FN42", 1200), 14074000, 1.0},
            {testbed::modulate_psk_text(repeated("CQ CQ DE Q1ABC Q1ABC PSE K\n", 2), psk), 14070000, 1.0},
            {testbed::modulate_psk_text(repeated("CQ CQ DE Q2XYZ Q2XYZ PSE K\n", 2), psk), 13960000, 1.0},
            {testbed::key_text(repeated("CQ CQ DE Q3DEF Q3DEF K ", 2), cw), 14030000, 1.0},
            {tone(1000.0, seconds), 14049000, 0.0},
            {tone(1000.0, seconds), 13939000, 0.0},
        };
        testbed::IqSynthConfig synth;
        synth.center_hz = kCentreHz;
        synth.rate_hz = kRateHz;
        synth.duration_s = seconds;
        synth.add_noise = true;
        synth.snr_db = 10.0;
        synth.gain_db = -30;
        clipped = testbed::write_iq_file(*iq, testbed::synthesize_iq(synth, signals));
    }
    static void TearDownTestSuite()
    {
        delete iq;
        delete dir;
    }

    ProcessResult run_norvane(std::string const& mode, fs::path const& all_txt, std::vector<std::string> const& more)
    {
        ProcessRun run;
        run.argv = {NORVANE_EXE,         "--mode",           mode,          "--start-utc", kStartUtc, "--iq-rate",
                    std::to_string(kRateHz), "--iq-file",    iq->string(),  "--center-frequency", "14M",
                    "--frequencies",     "14.074M",          "--all-txt",   all_txt.string(), "--decoder-timeout", "60"};
        run.argv.insert(run.argv.end(), more.begin(), more.end());
        run.timeout_ms = 300000;
        return run_process(run);
    }

    static TempDir* dir;
    static fs::path* iq;
    static std::uint64_t clipped;
    TempDir tmp;
};

TempDir* SurveyReplay::dir = nullptr;
fs::path* SurveyReplay::iq = nullptr;
std::uint64_t SurveyReplay::clipped = 0;

// What every survey run must show, whatever the mode.
void expect_survey(ProcessResult const& result, fs::path const& journal)
{
    ASSERT_EQ(result.exit_status, 0) << result.err;
    std::vector<std::string> const err = lines_of(result.err);
    EXPECT_THAT(result.err, HasSubstr("\nWideband survey: capture=192000 Hz -> survey=192000 Hz (decimation 1), "
                                      "center=1.4e+07 Hz, max-decoders=16, min-snr=6 dB, journal=" +
                                      journal.string() + "\n"));

    std::vector<std::string> const sig = sig_lines(result.err);
    // Each carrier is found on its side of the band edge and classed as a carrier.
    EXPECT_FALSE(matching(sig, {"SIG HAM ", " 14.050", " detected ", "class=CARRIER"}).empty()) << result.err;
    EXPECT_FALSE(matching(sig, {"SIG OTHER ", " 13.940", " detected ", "class=CARRIER"}).empty()) << result.err;
    // The calls are decoded, each where it was sent.
    EXPECT_FALSE(matching(sig, {"SIG HAM PSK31 ", " 14.071", "Q1ABC"}).empty()) << result.err;
    EXPECT_FALSE(matching(sig, {"SIG OTHER PSK31 ", " 13.961", "Q2XYZ"}).empty()) << result.err;
    EXPECT_FALSE(matching(sig, {"SIG HAM CW ", " 14.030", "Q3DEF"}).empty()) << result.err;
    // One run identifier throughout; no line beyond 500 bytes.
    auto const run_of = [](std::string const& line) {
        std::size_t const at = line.find(" run=");
        return at == std::string::npos ? std::string() : line.substr(at, line.find(' ', at + 1) - at);
    };
    for (std::string const& line : sig) {
        EXPECT_FALSE(run_of(line).empty()) << line;
        EXPECT_EQ(run_of(line), run_of(sig.front())) << line;
        EXPECT_LE(line.size(), 500u);
    }

    // The last survey line is its status line, after every SIG line, with the emitters still
    // listed when the file ended: the two carriers, one on each side.
    std::size_t last_sig = 0;
    std::size_t last_status = 0;
    std::size_t statuses = 0;
    for (std::size_t i = 0; i < err.size(); ++i) {
        if (err[i].rfind("SIG ", 0) == 0)
            last_sig = i;
        if (err[i].rfind("SURVEY ", 0) == 0) {
            last_status = i;
            ++statuses;
        }
    }
    ASSERT_GE(statuses, 1u) << result.err;
    EXPECT_GT(last_status, last_sig);
    // A replay is labelled by its recording.
    EXPECT_THAT(err[last_status], testing::MatchesRegex("SURVEY iq-file survey\\.iq: [0-9]+ emitters \\([0-9]+ ham / "
                                                        "[0-9]+ other\\), [0-9]+ decoding"));
    EXPECT_THAT(err[last_status], HasSubstr("(1 ham / 1 other)")) << result.err;

    // The journal holds one record per survey line, each read back by Python's own parser.
    ProcessRun python;
    python.argv = {"python3", "-c",
                   "import json, sys\n"
                   "for line in open(sys.argv[1], encoding='utf-8'):\n"
                   "    r = json.loads(line)\n"
                   "    print(r['channel'], r['kind'], r['mode'], r['rf_hz'], json.dumps(r.get('text', '')))\n",
                   journal.string()};
    ProcessResult const parsed = run_process(python);
    ASSERT_EQ(parsed.exit_status, 0) << parsed.err;
    std::vector<std::string> const records = lines_of(parsed.out);
    EXPECT_EQ(records.size(), sig.size());
    for (std::string const& record : records)
        EXPECT_EQ(record.rfind("survey ", 0), 0u) << record;
    EXPECT_FALSE(matching(records, {"survey text PSK31 1407", "Q1ABC"}).empty()) << parsed.out;
    EXPECT_FALSE(matching(records, {"survey text CW 1403", "Q3DEF"}).empty()) << parsed.out;
    EXPECT_FALSE(matching(records, {"survey detected UNKNOWN 1405"}).empty()) << parsed.out;
}

TEST_F(SurveyReplay, DecoderAndHybridModesSurveyTheCaptureAndLeaveTheFt8DecodesAlone)
{
    ASSERT_EQ(clipped, 0u);
    fs::path const plain_txt = tmp / "plain.txt";
    ProcessResult const plain = run_norvane("decoder", plain_txt, {});
    ASSERT_EQ(plain.exit_status, 0) << plain.err;
    EXPECT_THAT(plain.err, testing::Not(HasSubstr("survey")));
    std::string const decodes = file_text(plain_txt);
    EXPECT_THAT(decodes, HasSubstr(" FT8 ")) << plain.err;
    EXPECT_THAT(decodes, HasSubstr("CQ K1ABC FN42"));

    fs::path const decoder_txt = tmp / "decoder.txt";
    fs::path const decoder_journal = tmp / "journal" / "decoder.jsonl";
    ProcessResult const decoder =
        run_norvane("decoder", decoder_txt, {"--survey", "--survey-journal", decoder_journal.string()});
    expect_survey(decoder, decoder_journal);
    EXPECT_EQ(file_text(decoder_txt), decodes);
    EXPECT_EQ(fs::status(decoder_journal.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);

    fs::path const hybrid_txt = tmp / "hybrid.txt";
    fs::path const hybrid_journal = tmp / "hybrid.jsonl";
    fs::path const wav = tmp / "listen.wav";
    ProcessResult const hybrid = run_norvane(
        "hybrid", hybrid_txt,
        {"--survey", "--survey-journal", hybrid_journal.string(), "--audio-channel",
         "id=listen,frequency=14070000,wav=" + wav.string()});
    expect_survey(hybrid, hybrid_journal);
    EXPECT_EQ(file_text(hybrid_txt), decodes);
    EXPECT_GT(fs::file_size(wav), 44u);
}

}  // namespace
