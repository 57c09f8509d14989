#include "sig/modems/sstv_modem.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/modems/modem_factory.hpp"
#include "sig/modems/sstv_sync_fit.hpp"
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

// --- How far a header may stray -----------------------------------------------------------------

struct HeaderToleranceCase {
    const char* name;
    double first_leader_hz;
    double second_leader_tilt_hz;  // its first half above 1900 Hz, its second half below
    double stop_bit_hz;
    double tune_offset_hz;   // moves every tone
    bool starts;
};

void PrintTo(const HeaderToleranceCase& c, std::ostream* os) { *os << c.name; }

class SstvHeaderTolerance : public ::testing::TestWithParam<HeaderToleranceCase> {};

TEST_P(SstvHeaderTolerance, StartsAPictureOnlyWithinTheLimits) {
    const HeaderToleranceCase& c = GetParam();
    testbed::SstvTransmitter transmitter;
    transmitter.first_leader_hz = c.first_leader_hz;
    transmitter.second_leader_tilt_hz = c.second_leader_tilt_hz;
    transmitter.stop_bit_hz = c.stop_bit_hz;
    transmitter.tune_offset_hz = c.tune_offset_hz;
    // The header and the first two seconds of an M2 picture.
    std::vector<float> audio = testbed::modulate_sstv("M2", testbed::sstv_test_picture(320, 256), transmitter);
    audio.resize(3 * 12000);
    TempDir dir;
    const auto modem = sstv_modem(dir.path());
    const testbed::PictureRun run = testbed::run_picture_modem(*modem, on_air(audio), kStartTime);
    if (!c.starts) {
        EXPECT_TRUE(run.events.empty());
        return;
    }
    ASSERT_EQ(run.kinds(), std::vector<sig::EventKind>{sig::EventKind::WEFAX_START});
    EXPECT_EQ(run.events.front().variant, "M2");
    EXPECT_NEAR(run.events.front().audio_hz, 1900.0 + c.tune_offset_hz, 2.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SstvHeaderTolerance,
    ::testing::Values(
        // Every 30 ms of either leader must lie within 40 Hz of the second leader's mean (a
        // clean leader is measured a fraction of a hertz off: the cases keep 1 Hz from the limit).
        HeaderToleranceCase{"first leader 38.5 Hz high", 1938.5, 0.0, 1200.0, 0.0, true},
        HeaderToleranceCase{"first leader 41 Hz high", 1941.0, 0.0, 1200.0, 0.0, false},
        HeaderToleranceCase{"first leader 38.5 Hz low", 1861.5, 0.0, 1200.0, 0.0, true},
        HeaderToleranceCase{"first leader 41 Hz low", 1859.0, 0.0, 1200.0, 0.0, false},
        HeaderToleranceCase{"second leader 38.5 Hz either side of its mean", 1900.0, 38.5, 1200.0, 0.0, true},
        HeaderToleranceCase{"second leader 41 Hz either side of its mean", 1900.0, 41.0, 1200.0, 0.0, false},
        // Before the leader is measured, the stop bit must lie within 210 Hz of 1200 Hz: a
        // receiver 148 Hz off with a stop bit 58 Hz above its place is 206 Hz away and starts.
        // (The header may end up to 5 ms later than found, where the first sync pulls the mean
        // down, so only a limit some 15 Hz lower fails here. Nothing beyond 210 Hz can pass in
        // any case: the stop bit must also lie within 60 Hz of 1200 Hz above the leader's offset,
        // and that offset within 150 Hz.)
        HeaderToleranceCase{"stop bit 206 Hz above 1200 Hz", 1900.0, 0.0, 1258.0, 148.0, true}),
    [](const ::testing::TestParamInfo<HeaderToleranceCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

// --- Finding and fitting the syncs ---------------------------------------------------------------

enum class Outcome { decoded, abandoned, skewed };

struct SyncSearchCase {
    const char* name;
    double sync_hz;
    double tune_offset_hz;
    double pause_ms;   // black between the header and the first line
    double clock_ppm;  // the sender's clock
    Outcome outcome;
};

void PrintTo(const SyncSearchCase& c, std::ostream* os) { *os << c.name; }

class SstvSyncSearch : public ::testing::TestWithParam<SyncSearchCase> {};

TEST_P(SstvSyncSearch, FindsTheSyncsWithinItsReach) {
    const SyncSearchCase& c = GetParam();
    const testbed::RgbPicture sent = testbed::sstv_test_picture(320, 256);
    testbed::SstvTransmitter transmitter;
    transmitter.sync_hz = c.sync_hz;
    transmitter.tune_offset_hz = c.tune_offset_hz;
    transmitter.pause_ms = c.pause_ms;
    transmitter.rate_hz = 12000.0 / (1.0 + c.clock_ppm * 1e-6);
    TempDir dir;
    const auto modem = sstv_modem(dir.path());
    const testbed::PictureRun run =
        testbed::run_picture_modem(*modem, on_air(testbed::modulate_sstv("PD50", sent, transmitter)), kStartTime);
    const sig::Event* stop = run.first(sig::EventKind::WEFAX_STOP);
    ASSERT_NE(stop, nullptr);
    if (c.outcome == Outcome::abandoned) {
        EXPECT_EQ(stop->lines, 0);
        EXPECT_TRUE(fs::is_empty(dir.path()));
        return;
    }
    ASSERT_EQ(stop->lines, 256);
    const double psnr = received_psnr(run, sent);
    RecordProperty("psnr_db", std::to_string(psnr));
    if (c.outcome == Outcome::decoded)
        EXPECT_GE(psnr, 26.0);
    else
        EXPECT_LT(psnr, 24.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SstvSyncSearch,
    ::testing::Values(
        // A sync is a sync-long span darker than 1300 Hz above the measured leader offset.
        SyncSearchCase{"syncs at 1290 Hz", 1290.0, 0.0, 0.0, 0.0, Outcome::decoded},
        SyncSearchCase{"syncs at 1310 Hz", 1310.0, 0.0, 0.0, 0.0, Outcome::abandoned},
        SyncSearchCase{"syncs at 1290 Hz, receiver 50 Hz off", 1290.0, 50.0, 0.0, 0.0, Outcome::decoded},
        SyncSearchCase{"syncs at 1310 Hz, receiver 50 Hz off", 1310.0, 50.0, 0.0, 0.0, Outcome::abandoned},
        // The first search looks 180 samples either side of where each sync belongs. The header
        // is taken to end at the first millisecond at which all of it fits, some 6 ms early, so
        // a PD50 sync lies about 75 samples after where it belongs; a 20 ms sync still counts
        // when 160 of its samples reach into the search: after a pause of 15 ms the syncs are
        // found, after 15.75 ms they are not.
        SyncSearchCase{"a pause of 15 ms after the header", 1200.0, 0.0, 15.0, 0.0, Outcome::decoded},
        SyncSearchCase{"a pause of 15.75 ms after the header", 1200.0, 0.0, 15.75, 0.0, Outcome::abandoned},
        // The second search looks 36 samples either side of the expected sync and moves its
        // expectation by 0.3 of each miss: a sync found at the edge of the search moves it by
        // 10.8 samples. A PD50 line of 4658 samples drifts by 10.7 samples at 2300 ppm, which
        // is followed; at 2400 ppm (11.2 samples) the syncs run away from the search, and the
        // line fit takes the edges it found for syncs.
        SyncSearchCase{"a sender clock 2300 ppm fast", 1200.0, 0.0, 0.0, 2300.0, Outcome::decoded},
        SyncSearchCase{"a sender clock 2400 ppm fast", 1200.0, 0.0, 0.0, 2400.0, Outcome::skewed}),
    [](const ::testing::TestParamInfo<SyncSearchCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

struct SyncLineCase {
    const char* name;
    int syncs;       // on the line 4658 k + 1000, one of them moved
    int moved;       // which one
    int by;          // samples
    int minimum;
    bool fitted;
    double intercept;  // of the fitted line; its slope stays 4658
};

void PrintTo(const SyncLineCase& c, std::ostream* os) { *os << c.name; }

class SstvSyncLineFit : public ::testing::TestWithParam<SyncLineCase> {};

TEST_P(SstvSyncLineFit, DropsSyncsOffTheLineAndFitsAgain) {
    const SyncLineCase& c = GetParam();
    std::vector<sig::SstvSync> syncs;
    for (int k = 0; k < c.syncs; ++k) syncs.emplace_back(k, 4658 * k + 1000 + (k == c.moved ? c.by : 0));
    const std::optional<sig::SstvSyncFit> line = sig::fit_sstv_syncs(syncs, c.minimum);
    ASSERT_EQ(line.has_value(), c.fitted);
    if (!line) return;
    EXPECT_NEAR(line->slope, 4658.0, 1e-9);
    EXPECT_NEAR(line->intercept, c.intercept, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SstvSyncLineFit,
    ::testing::Values(
        // The middle one of nine moved by 8 samples lies 8 - 8/9 = 7.11 samples off the first
        // line: within 7.2, kept, and it lifts the line by 8/9.
        SyncLineCase{"7.11 samples off: kept", 9, 4, 8, 8, true, 1000.0 + 8.0 / 9.0},
        // The middle one of eleven lies 8 - 8/11 = 7.27 samples off: dropped, the line is exact.
        SyncLineCase{"7.27 samples off: dropped", 11, 5, 8, 8, true, 1000.0},
        SyncLineCase{"7.27 samples early: dropped", 11, 5, -8, 8, true, 1000.0},
        // Too few left after the drop.
        SyncLineCase{"too few left", 11, 5, 8, 11, false, 0.0},
        SyncLineCase{"too few to begin with", 7, 3, 0, 8, false, 0.0},
        SyncLineCase{"one period is no line", 1, 0, 0, 1, false, 0.0}),
    [](const ::testing::TestParamInfo<SyncLineCase>& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

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
