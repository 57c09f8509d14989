// The iq_synth program as the decoder-mode end-to-end tests use it: an ft8sim recording placed in
// a capture, brought back down by a plain upper-sideband receiver, still decodes with jt9 at the
// right audio frequency.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <fstream>
#include <iterator>
#include <numbers>
#include <sstream>

#include "core/options.hpp"
#include "decode/decoder_programs.hpp"
#include "radio/audio_output.hpp"
#include "testbed/lib/iq_synth.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;

namespace {

std::string const iq_synth = NORVANE_TESTBED_DIR "/iq_synth";

std::vector<std::complex<float>> read_iq(fs::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<unsigned char> const bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::vector<std::complex<float>> iq(bytes.size() / 4);
    auto value = [&](std::size_t at) {
        return static_cast<float>(static_cast<std::int16_t>(bytes[at] | bytes[at + 1] << 8)) / 32767.0f;
    };
    for (std::size_t n = 0; n < iq.size(); ++n)
        iq[n] = {value(4 * n), value(4 * n + 2)};
    return iq;
}

// Upper-sideband receiver: dial to 0 Hz, low-pass at 4 kHz, down to 12000 Hz, real part.
std::vector<float> usb_demodulate(std::vector<std::complex<float>> const& iq, int rate_hz, double dial_offset_hz)
{
    int const factor = rate_hz / 12000;
    constexpr int half = 200;
    std::vector<double> taps(2 * half + 1);
    double const cutoff = 4000.0 / rate_hz;
    for (int k = -half; k <= half; ++k) {
        double const sinc = k == 0 ? 2 * cutoff : std::sin(2 * std::numbers::pi * cutoff * k) / (std::numbers::pi * k);
        double const window = 0.42 + 0.5 * std::cos(std::numbers::pi * k / half) + 0.08 * std::cos(2 * std::numbers::pi * k / half);
        taps[k + half] = sinc * window;
    }
    std::vector<float> audio(iq.size() / factor);
    for (std::size_t m = 0; m < audio.size(); ++m) {
        long long const center = static_cast<long long>(m) * factor;
        std::complex<double> sum;
        for (int k = -half; k <= half; ++k) {
            long long const n = center - k;
            if (n < 0 || n >= static_cast<long long>(iq.size()))
                continue;
            double const phase = -2 * std::numbers::pi * dial_offset_hz * static_cast<double>(n) / rate_hz;
            sum += taps[k + half] * std::complex<double>(iq[n]) * std::complex<double>(std::cos(phase), std::sin(phase));
        }
        audio[m] = static_cast<float>(sum.real());
    }
    return audio;
}

void write_wav(fs::path const& path, std::vector<float> const& audio)
{
    Options options;
    options.wav = path.string();
    options.audio_rate = 12000;
    AudioOutput output(options);
    output.write(audio);
    output.finish();
}

TEST(IqSynthProgram, Ft8RecordingPlacedInACaptureDecodesAtItsDial)
{
    TempDir tmp;
    ProcessRun sim;
    sim.argv = {"ft8sim", "CQ K1ABC FN42", "1500", "0.0", "0.0", "0.0", "1", "99"};
    sim.working_directory = tmp.path().string();
    ASSERT_EQ(run_process(sim).exit_status, 0);

    ProcessRun synth;
    synth.argv = {iq_synth, "--output", (tmp / "capture.iq").string(), "--center", "14100000", "--rate", "96000",
                  "--duration", "15", "--gain-db", "-30", "--snr", "-5",
                  "--signal", (tmp / "000000_000001.wav").string() + ":14074000:0"};
    auto const made = run_process(synth);
    ASSERT_EQ(made.exit_status, 0) << made.err;
    EXPECT_EQ(made.err, "");  // nothing clipped
    auto const iq = read_iq(tmp / "capture.iq");
    ASSERT_EQ(iq.size(), 15u * 96000u);

    write_wav(tmp / "240315_120415.wav", usb_demodulate(iq, 96000, 14074000.0 - 14100000.0));
    std::atomic<bool> stop{false};
    auto const run = run_decoder_process(find_decoder_executable("jt9", DigitalMode::FT8), tmp.path(),
                                         "240315_120415.wav", DigitalMode::FT8, 3, 4000, stop, 1710504255.0,
                                         14074000.0, 60.0);
    std::vector<DecodedSpot> spots;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        if (auto spot = parse_decoder_line(line, DigitalMode::FT8, 1710504255.0, 14074000.0))
            spots.push_back(*spot);
    }
    ASSERT_EQ(spots.size(), 1u) << run.output;
    EXPECT_EQ(spots[0].message, "CQ K1ABC FN42");
    EXPECT_NEAR(spots[0].audio_hz, 1500, 3);
    EXPECT_NEAR(spots[0].snr, -5, 4);
}

TEST(IqSynthProgram, GapShortensTheFileAndBadUsageIsRefused)
{
    TempDir tmp;
    std::vector<float> tone(12000);
    for (std::size_t n = 0; n < tone.size(); ++n)
        tone[n] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 1000.0 * n / 12000.0));
    write_wav(tmp / "tone.wav", tone);

    ProcessRun synth;
    synth.argv = {iq_synth, "--output", (tmp / "gap.iq").string(), "--center", "7000000", "--rate", "48000",
                  "--duration", "2", "--gap", "0.5:0.25", "--signal", (tmp / "tone.wav").string() + ":7010000"};
    auto const made = run_process(synth);
    ASSERT_EQ(made.exit_status, 0) << made.err;
    EXPECT_EQ(fs::file_size(tmp / "gap.iq"), (96000u - 12000u) * 4u);

    ProcessRun help;
    help.argv = {iq_synth, "--help"};
    auto const shown = run_process(help);
    EXPECT_EQ(shown.exit_status, 0);
    EXPECT_NE(shown.out.find("Usage: iq_synth"), std::string::npos);

    ProcessRun missing = synth;
    missing.argv = {iq_synth, "--output", (tmp / "x.iq").string(), "--rate", "48000"};
    EXPECT_EQ(run_process(missing).exit_status, 2);

    ProcessRun outside = synth;
    outside.argv[outside.argv.size() - 1] = (tmp / "tone.wav").string() + ":7030000";  // past 24 kHz
    auto const refused = run_process(outside);
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_NE(refused.err.find("does not fit the capture"), std::string::npos) << refused.err;
}

}  // namespace
