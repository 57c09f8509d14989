#include "sig/modems/sstv_modem.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/modems/modem_factory.hpp"
#include "testbed/lib/picture_quality.hpp"
#include "testbed/lib/picture_run.hpp"
#include "testbed/lib/sstv_modulator.hpp"
#include "testbed/lib/test_signal.hpp"
#include "tests/support/png_read.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

// 2023-11-14 22:13:20 UTC, the time of the first sample of every run.
constexpr double kStartTime = 1700000000.0;
constexpr double kDialHz = 14230000.0;

sig::ModemContext context_in(const fs::path& dir) { return {{"ch1", "rx", kDialHz, true, 3000.0}, dir.string()}; }

std::unique_ptr<sig::Modem> sstv_modem(const fs::path& dir) {
    sig::Candidate candidate;
    candidate.audio_hz = 1900.0;
    auto modem = sig::make_modem(sig::Mode::SSTV, candidate, {}, context_in(dir));
    EXPECT_NE(modem, nullptr);
    return modem;
}

// A second of silence, the transmission, a second of silence; noise over all of it when asked.
std::vector<float> on_air(const std::vector<float>& transmission, double snr_db = INFINITY, unsigned seed = 1) {
    auto audio = testbed::concatenate(testbed::concatenate(testbed::silence(1.0), transmission), testbed::silence(1.0));
    if (std::isfinite(snr_db)) testbed::add_white_noise(audio, testbed::noise_rms_for_snr(0.125, snr_db), seed);
    return audio;
}

// The picture the modem saved, read back by an independent decoder, against what was sent.
double received_psnr(const testbed::PictureRun& run, const testbed::RgbPicture& sent) {
    const sig::Event* image = run.first(sig::EventKind::WEFAX_IMAGE);
    if (!image) {
        ADD_FAILURE() << "no picture saved";
        return -INFINITY;
    }
    const PngImage png = read_png(image->text);
    EXPECT_EQ(png.error, "");
    EXPECT_EQ(png.mode, "RGB");
    EXPECT_EQ(png.width, sent.width);
    EXPECT_EQ(png.height, sent.height);
    return testbed::psnr_db(sent.rgb, png.pixels);
}

// --- Every mode ------------------------------------------------------------------------------

struct ModeCase {
    const char* mode;
    double min_psnr_db;  // measured clean, with a margin: docs/modems.md
};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << c.mode; }

class SstvEveryMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(SstvEveryMode, HeaderPictureFileAndEvents) {
    const ModeCase& c = GetParam();
    const testbed::SstvGeometry geometry = testbed::sstv_geometry(c.mode);
    const testbed::RgbPicture sent = testbed::sstv_test_picture(geometry.width, geometry.height);
    TempDir dir;
    const auto modem = sstv_modem(dir.path() / "pictures");
    const auto audio = on_air(testbed::modulate_sstv(c.mode, sent, {}));
    const testbed::PictureRun run = testbed::run_picture_modem(*modem, audio, kStartTime);

    // Start, progress every 32 lines below the height, picture written, end.
    std::vector<sig::EventKind> expected{sig::EventKind::WEFAX_START};
    for (int lines = 32; lines < geometry.height; lines += 32) expected.push_back(sig::EventKind::WEFAX_PROGRESS);
    expected.push_back(sig::EventKind::WEFAX_IMAGE);
    expected.push_back(sig::EventKind::WEFAX_STOP);
    ASSERT_EQ(run.kinds(), expected);
    for (std::size_t i = 0; i < run.events.size(); ++i) {
        const sig::Event& e = run.events[i];
        EXPECT_EQ(e.mode, sig::Mode::SSTV);
        EXPECT_EQ(e.variant, c.mode);
        EXPECT_NEAR(e.audio_hz, 1900.0, 2.0);
        EXPECT_EQ(e.bw_hz, 1200.0);
        if (e.kind == sig::EventKind::WEFAX_PROGRESS) {
            EXPECT_EQ(e.lines, 32 * static_cast<int>(i));
        }
    }
    // The header ends 1 s of silence plus 910 ms in; the search takes the first millisecond whose
    // bits and leaders all fit, a few ms before the end of the stop bit.
    EXPECT_NEAR(run.events.front().t, kStartTime + 1.91, 0.012);
    EXPECT_EQ(run.events.front().lines, 0);
    const sig::Event& image = run.events[run.events.size() - 2];
    const sig::Event& stop = run.events.back();
    EXPECT_EQ(image.lines, geometry.height);
    EXPECT_EQ(stop.lines, geometry.height);
    EXPECT_EQ(image.t, stop.t);
    EXPECT_EQ(stop.text, "");
    EXPECT_EQ(image.text, (dir.path() / "pictures" / ("sstv-20231114-221321-14230-" + std::string(c.mode) + ".png")).string());

    const double psnr = received_psnr(run, sent);
    RecordProperty("psnr_db", std::to_string(psnr));
    EXPECT_GE(psnr, c.min_psnr_db);
    // Nothing is left to report once the picture is done.
    EXPECT_EQ(modem->take_output().frequency_hz, 0.0);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SstvEveryMode,
    ::testing::Values(ModeCase{"M1", 33.0}, ModeCase{"M2", 27.5}, ModeCase{"S1", 31.0}, ModeCase{"S2", 27.5},
                      ModeCase{"SDX", 39.0}, ModeCase{"PD50", 26.0}, ModeCase{"PD90", 29.0}, ModeCase{"PD120", 27.5},
                      ModeCase{"PD160", 29.5}, ModeCase{"PD180", 29.0}, ModeCase{"PD240", 30.5},
                      ModeCase{"PD290", 30.0}));

TEST(SstvModes, TheTransmitterAndTheReceiverKnowTheSameModes) {
    std::vector<std::string> received;
    for (const sig::SstvModeSpec& m : sig::sstv_modes()) {
        received.emplace_back(m.name);
        const testbed::SstvGeometry sent = testbed::sstv_geometry(m.name);
        EXPECT_EQ(sent.vis_code, m.vis_code) << m.name;
        EXPECT_EQ(sent.width, m.width) << m.name;
        EXPECT_EQ(sent.height, m.height) << m.name;
    }
    EXPECT_EQ(received, testbed::sstv_mode_names());
}

// --- Impairments -----------------------------------------------------------------------------

struct ImpairedCase {
    const char* mode;
    double tune_offset_hz;
    double clock_ppm;  // sender's sample clock; uncorrected, 300 ppm slants a PD50 picture by 50 pixels
    double snr_db;
    double min_psnr_db;  // measured, with a margin: docs/modems.md
};

void PrintTo(const ImpairedCase& c, std::ostream* os) {
    *os << c.mode << " offset " << c.tune_offset_hz << " Hz, clock " << c.clock_ppm << " ppm, SNR " << c.snr_db << " dB";
}

class SstvImpaired : public ::testing::TestWithParam<ImpairedCase> {};

TEST_P(SstvImpaired, DecodesMistunedSlantedAndNoisyPictures) {
    const ImpairedCase& c = GetParam();
    const testbed::SstvGeometry geometry = testbed::sstv_geometry(c.mode);
    const testbed::RgbPicture sent = testbed::sstv_test_picture(geometry.width, geometry.height);
    testbed::SstvTransmitter transmitter;
    transmitter.tune_offset_hz = c.tune_offset_hz;
    auto transmission = testbed::modulate_sstv(c.mode, sent, transmitter);
    if (c.clock_ppm != 0.0) transmission = testbed::apply_clock_error(transmission, c.clock_ppm);
    TempDir dir;
    const auto modem = sstv_modem(dir.path());
    modem->set_frequency(1000.0);  // ignored: the tones fix where the modem listens
    const testbed::PictureRun run = testbed::run_picture_modem(*modem, on_air(transmission, c.snr_db), kStartTime);
    ASSERT_NE(run.first(sig::EventKind::WEFAX_START), nullptr);
    EXPECT_NEAR(run.events.front().audio_hz, 1900.0 + c.tune_offset_hz, 3.0);
    // While the picture arrives the modem reports the measured leader frequency.
    const double mid_run = run.frequency_hz[run.frequency_hz.size() / 2];
    EXPECT_NEAR(mid_run, 1900.0 + c.tune_offset_hz, 3.0);
    const sig::Event* stop = run.first(sig::EventKind::WEFAX_STOP);
    ASSERT_NE(stop, nullptr);
    EXPECT_EQ(stop->lines, geometry.height);
    const double psnr = received_psnr(run, sent);
    RecordProperty("psnr_db", std::to_string(psnr));
    EXPECT_GE(psnr, c.min_psnr_db);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SstvImpaired,
    ::testing::Values(ImpairedCase{"PD50", 50.0, 0.0, INFINITY, 26.0}, ImpairedCase{"M2", -70.0, 0.0, INFINITY, 27.0},
                      ImpairedCase{"PD50", 0.0, 300.0, INFINITY, 26.0}, ImpairedCase{"S2", 0.0, -300.0, INFINITY, 27.0},
                      ImpairedCase{"M2", 0.0, 500.0, INFINITY, 27.0}, ImpairedCase{"PD50", 0.0, 0.0, 15.0, 18.5},
                      ImpairedCase{"S2", 30.0, 200.0, 10.0, 18.0}));

// --- What starts nothing ---------------------------------------------------------------------

struct HeaderCase {
    const char* name;
    int code;
    int parity_bit;
};

void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }

class SstvIgnoredHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(SstvIgnoredHeader, StartsNothingAndTheSearchGoesOn) {
    const HeaderCase& c = GetParam();
    const testbed::RgbPicture sent = testbed::sstv_test_picture(320, 256);
    // A PD50 picture behind the header: it must not be taken for one.
    auto audio = testbed::concatenate(testbed::modulate_vis(c.code, c.parity_bit, {}),
                                      testbed::modulate_sstv_lines("PD50", sent, {}));
    // A proper transmission right after: the search has not stalled.
    audio = testbed::concatenate(audio, testbed::modulate_sstv("PD50", sent, {}));
    TempDir dir;
    const auto modem = sstv_modem(dir.path());
    const testbed::PictureRun run = testbed::run_picture_modem(*modem, on_air(audio), kStartTime);
    ASSERT_FALSE(run.events.empty());
    const sig::Event& first = run.events.front();
    EXPECT_EQ(first.kind, sig::EventKind::WEFAX_START);
    EXPECT_EQ(first.variant, "PD50");
    // Only the second header counts: it ends after the whole first transmission.
    const double second_header_end = kStartTime + 1.0 + 2 * 0.91 + 128 * (4 * 91.52 + 22.08) / 1000.0;
    EXPECT_NEAR(first.t, second_header_end, 0.012);
    EXPECT_EQ(run.first(sig::EventKind::WEFAX_STOP)->lines, 256);
}

INSTANTIATE_TEST_SUITE_P(Cases, SstvIgnoredHeader,
                         ::testing::Values(HeaderCase{"unknown code 8", 8, 1}, HeaderCase{"unknown code 0", 0, 0},
                                           HeaderCase{"PD50 with odd parity", 93, 0},
                                           HeaderCase{"M1 with odd parity", 44, 0}));

TEST(SstvPicture, WithoutSyncsItEndsWithNoLinesAndNoFile) {
    // A PD50 header followed by 55 s of a steady mid-grey tone: no sync anywhere.
    std::vector<float> tone(static_cast<std::size_t>(55 * 12000));
    for (std::size_t n = 0; n < tone.size(); ++n)
        tone[n] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * 1900.0 * static_cast<double>(n) / 12000.0));
    TempDir dir;
    const auto modem = sstv_modem(dir.path());
    const auto audio = on_air(testbed::concatenate(testbed::modulate_vis(93, testbed::vis_parity(93), {}), tone));
    const testbed::PictureRun run = testbed::run_picture_modem(*modem, audio, kStartTime);
    std::vector<sig::EventKind> expected{sig::EventKind::WEFAX_START};
    for (int lines = 32; lines < 256; lines += 32) expected.push_back(sig::EventKind::WEFAX_PROGRESS);
    expected.push_back(sig::EventKind::WEFAX_STOP);
    ASSERT_EQ(run.kinds(), expected);
    EXPECT_EQ(run.events.back().lines, 0);
    EXPECT_EQ(run.events.back().variant, "PD50");
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(SstvPicture, TheSameStemGetsANumberedName) {
    const testbed::RgbPicture sent = testbed::sstv_test_picture(320, 256);
    const auto audio = on_air(testbed::modulate_sstv("PD50", sent, {}));
    TempDir dir;
    std::vector<std::string> paths;
    for (int run_number = 0; run_number < 3; ++run_number) {
        const auto modem = sstv_modem(dir.path());
        const testbed::PictureRun run = testbed::run_picture_modem(*modem, audio, kStartTime);
        const sig::Event* image = run.first(sig::EventKind::WEFAX_IMAGE);
        ASSERT_NE(image, nullptr);
        paths.push_back(image->text);
    }
    const std::string stem = (dir.path() / "sstv-20231114-221321-14230-PD50").string();
    EXPECT_EQ(paths, (std::vector<std::string>{stem + ".png", stem + "-2.png", stem + "-3.png"}));
}

TEST(SstvPicture, AGapOrAResetDropsThePictureSilently) {
    const testbed::RgbPicture sent = testbed::sstv_test_picture(320, 256);
    const auto transmission = on_air(testbed::modulate_sstv("PD50", sent, {}));
    const std::size_t half = transmission.size() / 2 / 1200 * 1200;
    for (const bool by_reset : {false, true}) {
        TempDir dir;
        const auto modem = sstv_modem(dir.path());
        const std::vector<float> first(transmission.begin(), transmission.begin() + static_cast<std::ptrdiff_t>(half));
        testbed::PictureRun run = testbed::run_picture_modem(*modem, first, kStartTime);
        ASSERT_EQ(run.events.front().kind, sig::EventKind::WEFAX_START);
        EXPECT_GT(modem->take_output().frequency_hz, 1800.0);
        sig::AudioBlock block;
        block.samples.assign(transmission.begin() + static_cast<std::ptrdiff_t>(half), transmission.end());
        block.time = kStartTime + static_cast<double>(half) / 12000.0;
        if (by_reset)
            modem->reset();
        else
            block.discontinuity = true;
        modem->process(block);
        const sig::ModemOutput out = modem->take_output();
        EXPECT_TRUE(out.events.empty()) << (by_reset ? "reset" : "gap");
        EXPECT_EQ(out.frequency_hz, 0.0);
        EXPECT_TRUE(fs::is_empty(dir.path()));
    }
}

TEST(SstvPicture, AnUnwritableDirectoryIsReportedAndTheEndStillCountsTheLines) {
    const testbed::RgbPicture sent = testbed::sstv_test_picture(320, 256);
    TempDir dir;
    const fs::path blocked = dir.write_file("not-a-directory", "x");
    const auto modem = sstv_modem(blocked / "pictures");
    testing::internal::CaptureStderr();
    const testbed::PictureRun run = testbed::run_picture_modem(*modem, on_air(testbed::modulate_sstv("PD50", sent, {})), kStartTime);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "sstv: cannot create " + (blocked / "pictures").string() + ": Not a directory\n");
    EXPECT_EQ(run.first(sig::EventKind::WEFAX_IMAGE), nullptr);
    ASSERT_EQ(run.events.back().kind, sig::EventKind::WEFAX_STOP);
    EXPECT_EQ(run.events.back().lines, 256);
}

}  // namespace
