// The main rows of the confusion table in docs/classifier.md (made by
// testbed/tools/classifier_confusion), on shorter recordings: what the classifier names each
// signal, and that noise, a carrier and broadcast AM start no modem. Then signals made by programs
// we did not write (minimodem, ebook2cw).

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "sig/classifier.hpp"
#include "sig/modems/modem_factory.hpp"
#include "testbed/lib/classifier_run.hpp"
#include "testbed/lib/classifier_signals.hpp"
#include "testbed/lib/keyboard_transmission.hpp"
#include "testbed/lib/outside_modems.hpp"
#include "testbed/lib/picture_run.hpp"
#include "testbed/lib/test_signal.hpp"
#include "testbed/lib/wefax_modulator.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

constexpr double kClean = 20.0;

struct Row {
    const char* signal;
    double snr_db;
    // The mode and variant as the table writes them ("nothing" for no named track); a mode alone
    // where the variant differs from run to run.
    const char* named;
};

// A test's name from its row: the signal, and the level offset by 100 so that -8 and +8 dB differ.
std::string row_name(const ::testing::TestParamInfo<Row>& info) {
    std::string name = std::string(info.param.signal) + "_" + std::to_string(static_cast<int>(info.param.snr_db + 100));
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

void PrintTo(const Row& r, std::ostream* os) { *os << r.signal << " at " << r.snr_db << " dB"; }

class ConfusionTable : public ::testing::TestWithParam<Row> {};

TEST_P(ConfusionTable, NamesTheSignal) {
    const Row& row = GetParam();
    const testbed::SignalCase c = testbed::classifier_signal_case(row.signal);
    for (const std::uint64_t seed : {1u, 2u}) {
        const testbed::ClassifierRun run = testbed::run_classifier(testbed::signal_recording(c, 7.0, row.snr_db, seed),
                                                                   testbed::channel_classifier_config());
        const testbed::ClassifiedTrack* t = testbed::classified_near(run, c.centre_hz, 150.0);
        const bool whole = std::string(row.named).find(' ') != std::string::npos;
        const std::string named =
            t == nullptr ? "nothing" : (whole ? testbed::named(t->last) : std::string(sig::mode_name(t->last.mode)));
        EXPECT_EQ(named, row.named) << "seed " << seed;
        if (t != nullptr) {
            EXPECT_EQ(t->started_count, 1);
            EXPECT_EQ(t->classified_count, 1);
            // Named within 3 s of the signal's start (after 1 s of silence).
            EXPECT_LT(t->classified_at - 1000.0 - 1.0, 3.0) << "seed " << seed;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    MainRows, ConfusionTable,
    ::testing::Values(Row{"PSK31", kClean, "PSK31"}, Row{"PSK31", -8.0, "PSK31"}, Row{"PSK63", kClean, "PSK63"},
                      Row{"RTTY 45.45/170", kClean, "RTTY 45.45/170"}, Row{"RTTY 45.45/170", -2.0, "RTTY 45.45/170"},
                      Row{"RTTY 45.45/170 inverted", kClean, "RTTY 45.45/170"},
                      Row{"RTTY 50/170", kClean, "RTTY 50/170"}, Row{"RTTY 50/170", -2.0, "RTTY 50/170"},
                      Row{"RTTY 75/170", kClean, "RTTY 75/170"}, Row{"RTTY 75/170", 0.0, "RTTY 75/170"},
                      Row{"RTTY 45.45/450", kClean, "RTTY 45.45/450"}, Row{"RTTY 45.45/850", kClean, "RTTY 45.45/850"},
                      Row{"RTTY 75/850", kClean, "RTTY 75/850"}, Row{"CW 12 WPM", kClean, "CW"},
                      Row{"CW 12 WPM", 1.0, "CW"}, Row{"CW 20 WPM", 1.0, "CW"}, Row{"CW 30 WPM", kClean, "CW"},
                      Row{"CW 30 WPM", 1.0, "CW"}, Row{"OLIVIA 4/125", kClean, "OLIVIA 4/125"},
                      Row{"OLIVIA 4/125", 5.0, "OLIVIA 4/125"}, Row{"OLIVIA 8/250", kClean, "OLIVIA 8/250"}, Row{"WEFAX 120/576", kClean, "WEFAX"},
                      Row{"WEFAX 120/576", 10.0, "WEFAX"}, Row{"WEFAX 60/576", 10.0, "WEFAX"},
                      Row{"WEFAX 120/288", kClean, "WEFAX"}),
    row_name);

// Olivia variants, clean (and two of them weaker): named with its own variant
// within 3 s, centred where its modem finds it, and the only track with a modem (a second Olivia
// track inside the signal, named first, would keep the right one's modem from starting).
class OliviaVariants : public ::testing::TestWithParam<Row> {};

TEST_P(OliviaVariants, NamesTheVariantOnce) {
    const Row& row = GetParam();
    const testbed::SignalCase c = testbed::classifier_signal_case(row.signal);
    for (const std::uint64_t seed : {1u, 2u}) {
        const testbed::ClassifierRun run = testbed::run_classifier(testbed::signal_recording(c, 7.0, row.snr_db, seed),
                                                                   testbed::channel_classifier_config());
        const testbed::ClassifiedTrack* t = testbed::classified_near(run, c.centre_hz, 150.0);
        ASSERT_NE(t, nullptr) << "seed " << seed;
        EXPECT_EQ(testbed::named(t->last), row.named) << "seed " << seed;
        // Within the 100 Hz its modem searches about the centre it is given.
        EXPECT_NEAR(t->last.audio_hz, c.centre_hz, 100.0) << "seed " << seed;
        EXPECT_LT(t->classified_at - 1000.0 - 1.0, 3.0) << "seed " << seed;
        for (const testbed::ClassifiedTrack* m : testbed::modem_tracks(run))
            if (m != t)
                ADD_FAILURE() << "seed " << seed << ": also " << testbed::named(m->last) << " at " << m->last.audio_hz
                              << " Hz";
    }
}

INSTANTIATE_TEST_SUITE_P(
    CleanAndWeaker, OliviaVariants,
    ::testing::Values(Row{"OLIVIA 4/125", kClean, "OLIVIA 4/125"}, Row{"OLIVIA 4/125", 5.0, "OLIVIA 4/125"},
                      Row{"OLIVIA 8/250", kClean, "OLIVIA 8/250"}, Row{"OLIVIA 8/500", kClean, "OLIVIA 8/500"},
                      Row{"OLIVIA 8/500", 5.0, "OLIVIA 8/500"}, Row{"OLIVIA 32/1000", kClean, "OLIVIA 32/1000"}),
    row_name);

class NoModem : public ::testing::TestWithParam<Row> {};

TEST_P(NoModem, StartsNoModemAnywhere) {
    const Row& row = GetParam();
    const testbed::SignalCase c = testbed::classifier_signal_case(row.signal);
    for (const std::uint64_t seed : {1u, 2u, 3u}) {
        const testbed::ClassifierRun run = testbed::run_classifier(testbed::signal_recording(c, 10.0, row.snr_db, seed),
                                                                   testbed::channel_classifier_config());
        for (const testbed::ClassifiedTrack* t : testbed::modem_tracks(run))
            ADD_FAILURE() << "seed " << seed << ": " << testbed::named(t->last) << " at " << t->last.audio_hz << " Hz";
    }
}

INSTANTIATE_TEST_SUITE_P(QuietRows, NoModem,
                         ::testing::Values(Row{"noise", 0.0, "nothing"}, Row{"carrier", kClean, "nothing"},
                                           Row{"carrier", 0.0, "nothing"}, Row{"AM broadcast", 0.0, "nothing"}),
                         row_name);

// A voice, on upper sideband and as an AM station's programme, loud and weak, twelve talkers:
// no PSK, RTTY or CW modem starts on it. Its harmonics' envelopes hum at low keying rates, two
// of them 170 Hz apart take turns on the levels of an RTTY pair, and a syllable's harmonic is
// keyed on and off like Morse; a PSK clock line stands clear of its surroundings, RTTY crosses
// between its tones a dozen times and more, and a Morse tone holds its frequency. (Olivia is not
// held here: the comb of a voice's harmonics still passes the Olivia test for some talkers, see
// docs/classifier.md.)
class SpeechRow : public ::testing::TestWithParam<Row> {};

TEST_P(SpeechRow, StartsNoPskRttyOrCwModem) {
    const Row& row = GetParam();
    const testbed::SignalCase c = testbed::classifier_signal_case(row.signal);
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        const testbed::ClassifierRun run = testbed::run_classifier(testbed::signal_recording(c, 12.0, row.snr_db, seed),
                                                                   testbed::channel_classifier_config());
        for (const testbed::ClassifiedTrack* t : testbed::modem_tracks(run))
            if (t->last.mode != sig::Mode::OLIVIA)
                ADD_FAILURE() << "seed " << seed << ": " << testbed::named(t->last) << " at " << t->last.audio_hz << " Hz";
    }
}

INSTANTIATE_TEST_SUITE_P(Voices, SpeechRow,
                         ::testing::Values(Row{"SSB speech", kClean, "nothing"}, Row{"SSB speech", 6.0, "nothing"},
                                           Row{"AM speech", kClean, "nothing"}, Row{"AM speech", 6.0, "nothing"}),
                         row_name);

// --- A chart at any speed reaches the modem unfixed --------------------------------------------

TEST(ClassifiedWefax, TheModemBuiltForTheTrackFindsTheChartsOwnSpeed) {
    testbed::WefaxTransmission t;
    t.lpm = 60;
    t.phasing_s = 10.0;
    const testbed::GreyPicture chart = testbed::wefax_test_chart(testbed::wefax_width(576), 6);
    std::vector<float> audio = testbed::concatenate(testbed::silence(1.0), testbed::modulate_wefax(chart, t));
    testbed::add_white_noise(audio, testbed::noise_rms_for_snr(0.125, 20.0), 3);

    const testbed::ClassifierRun run = testbed::run_classifier(audio, testbed::channel_classifier_config(), 1200, 0.0);
    const testbed::ClassifiedTrack* track = testbed::classified_near(run, 1900.0, 50.0);
    ASSERT_NE(track, nullptr);
    ASSERT_EQ(track->last.mode, sig::Mode::WEFAX);

    TempDir dir;
    sig::ModemContext context;
    context.image_dir = dir.path().string();
    auto modem = sig::make_modem(sig::Mode::WEFAX, track->last, sig::ModemSettings{}, context);
    ASSERT_NE(modem, nullptr);
    const testbed::PictureRun picture = testbed::run_picture_modem(*modem, audio, 0.0);
    bool image = false;
    for (const sig::Event& e : picture.events) {
        if (e.kind == sig::EventKind::WEFAX_START) continue;
        EXPECT_EQ(e.lpm, 60) << static_cast<int>(e.kind);
        image = image || e.kind == sig::EventKind::WEFAX_IMAGE;
    }
    EXPECT_TRUE(image);
}

// --- Signals from programs we did not write ---------------------------------------------------

struct Minimodem {
    double baud;
    double mark_hz;
    double space_hz;
    const char* variant;  // "45.45/170", ...
};

void PrintTo(const Minimodem& c, std::ostream* os) {
    *os << c.baud << " Bd, mark " << c.mark_hz << " Hz, space " << c.space_hz << " Hz";
}

class ClassifierOnMinimodem : public ::testing::TestWithParam<Minimodem> {};

TEST_P(ClassifierOnMinimodem, NamesItsRttyAndShift) {
    const Minimodem& c = GetParam();
    const std::vector<float> sent = testbed::minimodem_rtty_audio(
        "CQ CQ DE W1AW W1AW PSE K\nRYRYRY THE QUICK BROWN FOX 0123456789\n", c.mark_hz, c.space_hz, c.baud);

    const auto audio = testbed::noisy_transmission(sent, testbed::mean_power(sent), 15.0, 1);
    const testbed::ClassifierRun run = testbed::run_classifier(audio, testbed::channel_classifier_config());
    const double centre = (c.mark_hz + c.space_hz) / 2.0;
    const testbed::ClassifiedTrack* t = testbed::classified_near(run, centre, 30.0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->last.mode, sig::Mode::RTTY);
    EXPECT_EQ(t->last.variant, c.variant);
    EXPECT_NEAR(t->last.audio_hz, centre, 10.0);
    EXPECT_EQ(t->last.tones, 2u);
}

INSTANTIATE_TEST_SUITE_P(RatesShiftsAndPolarities, ClassifierOnMinimodem,
                         ::testing::Values(Minimodem{45.45, 1415.0, 1585.0, "45.45/170"},
                                           Minimodem{45.45, 1585.0, 1415.0, "45.45/170"},
                                           Minimodem{50.0, 1415.0, 1585.0, "50/170"},
                                           Minimodem{50.0, 2125.0, 1675.0, "50/450"},
                                           Minimodem{50.0, 1675.0, 2125.0, "50/450"},
                                           Minimodem{75.0, 1000.0, 1850.0, "75/850"},
                                           Minimodem{75.0, 1850.0, 1000.0, "75/850"}),
                         [](const ::testing::TestParamInfo<Minimodem>& info) {
                             return "baud_" + std::to_string(std::lround(info.param.baud)) + "_mark_" +
                                    std::to_string(std::lround(info.param.mark_hz));
                         });

class ClassifierOnEbook2cw : public ::testing::TestWithParam<int> {};

TEST_P(ClassifierOnEbook2cw, NamesItsMorse) {
    const int wpm = GetParam();
    const std::vector<float> sent = testbed::ebook2cw_audio("CQ CQ DE W1AW W1AW K", wpm, 700);

    // Key-down power: the loudest tenth of the recording.
    std::vector<float> squares;
    for (const float v : sent) squares.push_back(v * v);
    std::sort(squares.begin(), squares.end());
    const double key_down = 2.0 * squares[squares.size() * 9 / 10];
    const auto audio = testbed::noisy_transmission(sent, key_down, 10.0, 2);
    const testbed::ClassifierRun run = testbed::run_classifier(audio, testbed::channel_classifier_config());
    const testbed::ClassifiedTrack* t = testbed::classified_near(run, 700.0, 10.0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->last.mode, sig::Mode::CW);
    EXPECT_EQ(testbed::modem_tracks(run).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Speeds, ClassifierOnEbook2cw, ::testing::Values(15, 25, 35),
                         [](const ::testing::TestParamInfo<int>& info) { return "wpm_" + std::to_string(info.param); });

}  // namespace
