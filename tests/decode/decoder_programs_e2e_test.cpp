// The real decoders on signals from their own simulators, through our WAV files, command lines
// and output parsers.
#include "decode/decoder_programs.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <numbers>
#include <sstream>

#include "core/options.hpp"
#include "radio/audio_output.hpp"
#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/test_signal.hpp"
#include "testbed/lib/wav_reader.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;

namespace {

constexpr double ft8_start = 1710504255.0;   // 2024-03-15 12:04:15 UTC
constexpr double wspr_start = 1710504240.0;  // 2024-03-15 12:04:00 UTC

// The interval file exactly as a decoder worker writes it.
void write_interval_wav(fs::path const& path, std::vector<float> const& audio)
{
    Options options;
    options.wav = path.string();
    options.audio_rate = 12000;
    AudioOutput output(options);
    output.write(audio);
    output.finish();
}

std::vector<DecodedSpot> decode(DecoderRun const& run, DigitalMode mode, double start, double dial_hz)
{
    std::vector<DecodedSpot> spots;
    std::istringstream lines(run.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (auto spot = parse_decoder_line(line, mode, start, dial_hz))
            spots.push_back(*spot);
    }
    return spots;
}

// One FT8 transmission from ft8sim, noiseless, at full scale.
std::vector<float> ft8sim_audio(fs::path const& dir, std::string const& message, double audio_hz)
{
    ProcessRun sim;
    sim.argv = {"ft8sim", message, std::to_string(audio_hz), "0.0", "0.0", "0.0", "1", "99"};
    sim.working_directory = dir.string();
    auto const result = run_process(sim);
    EXPECT_EQ(result.exit_status, 0) << result.out << result.err;
    auto audio = testbed::read_wav_mono16(dir / "000000_000001.wav");
    fs::remove(dir / "000000_000001.wav");
    EXPECT_EQ(audio.rate_hz, 12000);
    return audio.samples;
}

TEST(RealDecoders, Jt9DecodesFt8MessagesFromFt8sim)
{
    TempDir tmp;
    auto const cq = ft8sim_audio(tmp.path(), "CQ K1ABC FN42", 1000.0);
    auto const reply = ft8sim_audio(tmp.path(), "K1ABC W9XYZ -05", 2100.0);
    ASSERT_EQ(cq.size(), 180000u);
    ASSERT_EQ(reply.size(), 180000u);
    std::vector<float> audio(cq.size());
    for (std::size_t n = 0; n < audio.size(); ++n)
        audio[n] = 0.3f * cq[n] + 0.3f * reply[n];
    double const each = testbed::active_power(cq) * 0.09;
    testbed::add_white_noise(audio, testbed::noise_rms_for_snr(each, -12.0), 7);
    write_interval_wav(tmp / "240315_120415.wav", audio);

    std::atomic<bool> stop{false};
    auto const jt9 = find_decoder_executable("jt9", DigitalMode::FT8);
    auto const run = run_decoder_process(jt9, tmp.path(), "240315_120415.wav", DigitalMode::FT8, 3, 4000, stop,
                                         ft8_start, 14074000.0, 60.0);
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;

    auto const spots = decode(run, DigitalMode::FT8, ft8_start, 14074000.0);
    ASSERT_EQ(spots.size(), 2u) << run.output;
    auto const& first = spots[0].audio_hz < spots[1].audio_hz ? spots[0] : spots[1];
    auto const& second = spots[0].audio_hz < spots[1].audio_hz ? spots[1] : spots[0];
    EXPECT_EQ(first.message, "CQ K1ABC FN42");
    EXPECT_EQ(second.message, "K1ABC W9XYZ -05");
    EXPECT_NEAR(first.audio_hz, 1000, 3);
    EXPECT_NEAR(second.audio_hz, 2100, 3);
    for (auto const& spot : spots) {
        EXPECT_NEAR(spot.snr, -12, 4) << spot.message;
        EXPECT_NEAR(spot.dt, 0.0, 0.2) << spot.message;
    }

    // The same file decoded for another interval start gives nothing: jt9 takes its time column
    // from the file name, and the parser holds it to the interval.
    EXPECT_TRUE(decode(run, DigitalMode::FT8, ft8_start + 15, 14074000.0).empty());
}

// A WSPR transmission built from wsprsim's channel symbols: 162 symbols of 8192 samples, tone
// spacing 12000 / 8192 Hz around audio_hz, starting one second into the two-minute interval.
std::vector<float> wspr_audio(fs::path const& dir, std::string const& message, double audio_hz)
{
    ProcessRun sim;
    sim.argv = {"wsprsim", "-c", message};
    sim.working_directory = dir.string();
    auto const result = run_process(sim);  // its exit status is 1 even when it succeeds
    std::istringstream text(result.out.substr(result.out.find(':') + 1));
    std::vector<int> symbols;
    for (int s; text >> s;)
        symbols.push_back(s);
    EXPECT_EQ(symbols.size(), 162u) << result.out;

    std::vector<float> audio(1440000, 0.0f);
    double phase = 0;
    std::size_t n = 12000;
    for (int symbol : symbols) {
        double const hz = audio_hz + (symbol - 1.5) * 12000.0 / 8192.0;
        for (int k = 0; k < 8192; ++k, ++n) {
            audio[n] = static_cast<float>(0.5 * std::sin(phase));
            phase = std::fmod(phase + 2 * std::numbers::pi * hz / 12000.0, 2 * std::numbers::pi);
        }
    }
    return audio;
}

TEST(RealDecoders, WsprdDecodesAWsprsimMessage)
{
    TempDir tmp;
    auto audio = wspr_audio(tmp.path(), "K1ABC FN42 33", 1500.0);
    auto const signal_power = testbed::active_power(audio);
    testbed::add_white_noise(audio, testbed::noise_rms_for_snr(signal_power, -20.0), 11);
    write_interval_wav(tmp / "240315_1204.wav", audio);

    std::atomic<bool> stop{false};
    auto const wsprd = find_decoder_executable("wsprd", DigitalMode::WSPR);
    auto const run = run_decoder_process(wsprd, tmp.path(), "240315_1204.wav", DigitalMode::WSPR, 2, 4000, stop,
                                         wspr_start, 14095600.0, 120.0);
    ASSERT_FALSE(run.timed_out) << run.output;
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;

    auto const spots = decode(run, DigitalMode::WSPR, wspr_start, 14095600.0);
    ASSERT_EQ(spots.size(), 1u) << run.output;
    EXPECT_EQ(spots[0].message, "K1ABC FN42 33");
    EXPECT_EQ(spots[0].sender, "K1ABC");
    EXPECT_EQ(spots[0].grid, "FN42");
    EXPECT_EQ(spots[0].dbm, 33);
    EXPECT_NEAR(spots[0].audio_hz, 1500, 1);
    EXPECT_NEAR(spots[0].snr, -20, 4);
    EXPECT_EQ(spots[0].drift, 0);
}

TEST(DecoderStandIns, Js8StandInReadsTheWorkersWavFile)
{
    TempDir tmp;
    write_interval_wav(tmp / "240315_120415.wav", std::vector<float>(180000, 0.0f));
    std::atomic<bool> stop{false};
    auto const run = run_decoder_process(NORVANE_SOURCE_DIR "/testbed/decoders/js8_standin", tmp.path(),
                                         "240315_120415.wav", DigitalMode::JS8_FAST, 3, 4000, stop, ft8_start,
                                         14078000.0, 60.0);
    ASSERT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << run.output;
    auto const spots = decode(run, DigitalMode::JS8_FAST, ft8_start, 14078000.0);
    ASSERT_EQ(spots.size(), 1u) << run.output;
    EXPECT_EQ(spots[0].sender, "K1ABC");
    EXPECT_EQ(spots[0].frame, "ABCDEFGHIJKL");
}

}  // namespace
