#include "sig/modems/olivia_modem.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <map>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/sig/candidate.hpp"
#include "core/sig/olivia_variants.hpp"
#include "sig/modems/modem_factory.hpp"
#include "testbed/lib/character_error_rate.hpp"
#include "testbed/lib/keyboard_transmission.hpp"
#include "testbed/lib/modem_run.hpp"
#include "testbed/lib/olivia_modulator.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/rtty_modulator.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

const std::string kMessage = "CQ CQ DE W1AW W1AW PSE K\nthe quick brown fox jumps over the lazy dog 0123456789\n";
const std::string kShort = "CQ CQ DE W1AW W1AW PSE K\n";
constexpr double kStartHz = 1500.0;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using testbed::OliviaTonePlacement;

struct Variant {
    int tones;
    int bandwidth_hz;
    std::string text() const { return std::to_string(tones) + "/" + std::to_string(bandwidth_hz); }
    double bin_hz() const { return bandwidth_hz / (4.0 * tones); }
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.text(); }

const Variant kEveryVariant[] = {{4, 125},  {8, 125},  {4, 250},   {8, 250},   {4, 500},   {8, 500},
                                 {16, 500}, {64, 500}, {4, 1000},  {8, 1000},  {16, 1000}, {32, 1000},
                                 {64, 1000}, {4, 2000}, {8, 2000}, {16, 2000}, {32, 2000}, {64, 2000}};

sig::Candidate candidate(const std::string& variant, double audio_hz = kStartHz, double bandwidth_hz = 0.0,
                         std::uint32_t tones = 0) {
    sig::Candidate c;
    c.mode = sig::Mode::OLIVIA;
    c.variant = variant;
    c.audio_hz = audio_hz;
    c.bandwidth_hz = bandwidth_hz;
    c.tones = tones;
    return c;
}

std::unique_ptr<sig::Modem> olivia(const sig::Candidate& c) {
    auto modem = sig::make_modem(sig::Mode::OLIVIA, c, {}, {});
    EXPECT_NE(modem, nullptr);
    EXPECT_EQ(modem->mode(), sig::Mode::OLIVIA);
    return modem;
}

testbed::OliviaSignal signal_of(const Variant& v, double centre_hz = kStartHz,
                                OliviaTonePlacement placement = OliviaTonePlacement::centred, unsigned seed = 1) {
    testbed::OliviaSignal s;
    s.tones = v.tones;
    s.bandwidth_hz = v.bandwidth_hz;
    s.centre_hz = centre_hz;
    s.placement = placement;
    s.phase_rad = 0.7 * seed;
    return s;
}

std::vector<float> transmission(const std::vector<float>& burst, double snr_db, unsigned seed) {
    return testbed::noisy_transmission(burst, testbed::mean_power(burst), snr_db, seed);
}

// The frequency the modem reported most often while it was locked (it follows the signal by a
// bin at a time, and noise can move it a bin for a block).
double locked_frequency(const testbed::ModemRun& run) {
    std::map<double, int> reports;
    for (const double hz : run.frequency_hz)
        if (hz != 0.0) ++reports[hz];
    double most = 0.0;
    int count = 0;
    for (const auto& [hz, n] : reports)
        if (n > count) {
            most = hz;
            count = n;
        }
    return most;
}

std::string signed_name(double value) {
    const long rounded = std::lround(value);
    return (rounded < 0 ? "minus" : "plus") + std::to_string(std::labs(rounded));
}

// --- Variants ----------------------------------------------------------------------------------

struct VariantText {
    const char* text;
    bool accepted;
    int tones = 0;
    int bandwidth_hz = 0;
};

class OliviaVariantText : public ::testing::TestWithParam<VariantText> {};

TEST_P(OliviaVariantText, IsReadAsAnAcceptedTonesAndBandwidthPair) {
    const VariantText& c = GetParam();
    int tones = -1;
    int bandwidth = -1;
    EXPECT_EQ(sig::parse_olivia_variant(c.text, &tones, &bandwidth), c.accepted) << '"' << c.text << '"';
    EXPECT_EQ(tones, c.accepted ? c.tones : -1);
    EXPECT_EQ(bandwidth, c.accepted ? c.bandwidth_hz : -1);
    EXPECT_EQ(sig::parse_olivia_variant(c.text), c.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, OliviaVariantText,
    ::testing::Values(VariantText{"32/1000", true, 32, 1000}, VariantText{"64/500", true, 64, 500},
                      VariantText{"4/125", true, 4, 125}, VariantText{"64/2000", true, 64, 2000},
                      VariantText{" 32/1000", true, 32, 1000}, VariantText{"+8/250", true, 8, 250},
                      VariantText{"8/ 250", true, 8, 250}, VariantText{"008/0250", true, 8, 250},
                      VariantText{"32/500", false}, VariantText{"32/1000 ", false}, VariantText{"/1000", false},
                      VariantText{"32/", false}, VariantText{"32", false}, VariantText{"32 /1000", false},
                      VariantText{"32/1000.0", false}, VariantText{"0x20/1000", false}, VariantText{"16/125", false},
                      VariantText{"2/125", false}, VariantText{"-4/125", false}, VariantText{"128/2000", false},
                      VariantText{"32/1000/1", false}, VariantText{"99999999999999999999/1000", false},
                      VariantText{"4/4294967421", false}, VariantText{"auto", false}, VariantText{"", false}),
    [](const ::testing::TestParamInfo<VariantText>& info) { return "case_" + std::to_string(info.index); });

TEST(OliviaVariantChoice, TheSetVariantThenTheCandidatesThenTheEstimates) {
    struct Case {
        const char* variant;
        const char* candidate_variant;
        double bandwidth_hz;
        std::uint32_t tones;
        const char* chosen;
    };
    const Case cases[] = {
        {"8/250", "64/2000", 2000.0, 64, "8/250"},    // set: used as it is
        {" 8/250", "", 0.0, 0, " 8/250"},
        {"", "64/2000", 100.0, 4, "64/2000"},         // the candidate's own
        {"auto", "16/1000", 0.0, 0, "16/1000"},
        {"auto", "32/500", 700.0, 16, "16/500"},      // not a pair: chosen from the estimates
        {"auto", "auto", 0.0, 0, "32/1000"},
        {"auto", "", 700.0, 16, "16/500"},            // ln 1.4 is nearer than ln(1/0.7)
        {"auto", "", 700.0, 32, "16/500"},            // no 32-tone 500 Hz variant: its default
        {"auto", "", 0.0, 12, "32/1000"},
        {"auto", "", 0.0, 8, "8/1000"},
        {"", "", 180.0, 4, "4/250"},                  // 180 is nearer 250 than 125 on a log scale
        {"", "", 170.0, 8, "8/125"},
        {"", "", 1e6, 0, "64/2000"},
        {"", "", 10.0, 0, "4/125"},
        {"", "", 300.0, 64, "8/250"},
        {"", "", 1400.0, 0, "32/1000"},
        {"", "", 1500.0, 0, "64/2000"},
        {"", "", -5.0, 4, "4/1000"},
        {"", "", kNaN, 0, "32/1000"},
        {"", "", 1000.0, 4294967295u, "32/1000"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sig::resolve_olivia_variant(candidate(c.candidate_variant, 1500.0, c.bandwidth_hz, c.tones), c.variant),
                  c.chosen)
            << c.variant << " / " << c.candidate_variant << " / " << c.bandwidth_hz << " / " << c.tones;
}

TEST(OliviaModem, RefusesWhatItCannotRunWithTheUsersText) {
    const auto message_of = [](const std::function<void()>& build) -> std::string {
        try {
            build();
        } catch (const std::invalid_argument& error) {
            return error.what();
        }
        return "(nothing thrown)";
    };
    // The factory passes the candidate's variant as it is: one that does not parse is refused.
    EXPECT_EQ(message_of([] { (void)sig::make_modem(sig::Mode::OLIVIA, candidate("32/500"), {}, {}); }),
              "Unsupported Olivia variant '32/500' (want tones/bandwidth such as 32/1000)");
    EXPECT_EQ(message_of([] { (void)sig::make_modem(sig::Mode::OLIVIA, candidate("32/1000 "), {}, {}); }),
              "Unsupported Olivia variant '32/1000 ' (want tones/bandwidth such as 32/1000)");
    EXPECT_EQ(message_of([] { sig::OliviaModem(candidate(""), "8/3000", 100.0); }),
              "Unsupported Olivia variant '8/3000' (want tones/bandwidth such as 32/1000)");
    EXPECT_EQ(message_of([] { sig::OliviaModem(candidate(""), "4/2000", 2000.0); }),
              "Olivia search range too wide for variant 4/2000");
    EXPECT_EQ(message_of([] { sig::OliviaModem(candidate(""), "", kInf); }),
              "Olivia search range too wide for variant 32/1000");
    // Half of that still fits: 8 bins of 125 Hz either side.
    EXPECT_EQ(message_of([] { sig::OliviaModem(candidate(""), "4/2000", 1000.0); }), "(nothing thrown)");
}

// --- Derived parameters ------------------------------------------------------------------------

struct SetupRow {
    Variant variant;
    double range_hz;
    double bin_hz;
    int search_bins;
    int span;
    int oversampling;
    int decimation;
    int symbol_samples;
    int fft_size;
    int taps;
};

TEST(OliviaSetup, MatchesTheWorkedRows) {
    const SetupRow rows[] = {
        {{32, 1000}, 100.0, 7.8125, 13, 76, 1, 6, 64, 256, 57},
        {{8, 125}, 100.0, 3.90625, 26, 41, 2, 24, 32, 128, 255},
        {{8, 250}, 100.0, 7.8125, 13, 28, 2, 12, 32, 128, 81},
        {{64, 500}, 100.0, 1.953125, 52, 179, 1, 12, 128, 512, 149},
        {{4, 2000}, 100.0, 125.0, 1, 8, 1, 3, 8, 32, 27},
        {{32, 1000}, 0.0, 7.8125, 1, 64, 1, 6, 64, 256, 47},
        {{32, 1000}, kNaN, 7.8125, 1, 64, 1, 6, 64, 256, 47},
        {{4, 125}, 100.0, 7.8125, 13, 20, 2, 24, 16, 64, 255},
        // A wide search that the decimated rate cannot grow for: the transition keeps a tenth
        // of the rate.
        {{4, 2000}, 1000.0, 125.0, 8, 15, 1, 3, 8, 32, 111},
    };
    for (const SetupRow& r : rows) {
        const sig::OliviaSetup s = sig::olivia_setup(r.variant.tones, r.variant.bandwidth_hz, r.range_hz, r.variant.text());
        SCOPED_TRACE(r.variant.text() + " range " + std::to_string(r.range_hz));
        EXPECT_EQ(s.bin_hz, r.bin_hz);
        EXPECT_EQ(s.search_bins, r.search_bins);
        EXPECT_EQ(s.span, r.span);
        EXPECT_EQ(s.oversampling, r.oversampling);
        EXPECT_EQ(s.decimation, r.decimation);
        EXPECT_EQ(s.decimated_rate_hz, 12000 / r.decimation);
        EXPECT_EQ(s.symbol_samples, r.symbol_samples);
        EXPECT_EQ(s.fft_size, r.fft_size);
        EXPECT_EQ(static_cast<int>(s.taps.size()), r.taps);
    }
}

// |H(f)| of a filter at 12000 Hz.
double gain(const std::vector<float>& taps, double hz) {
    std::complex<double> sum = 0.0;
    for (std::size_t k = 0; k < taps.size(); ++k)
        sum += static_cast<double>(taps[k]) * std::polar(1.0, -2.0 * std::numbers::pi * hz * static_cast<double>(k) / 12000.0);
    return std::abs(sum);
}

TEST(OliviaSetup, EveryVariantKeepsItsBandAndRejectsWhatWouldAlias) {
    for (const Variant& v : kEveryVariant) {
        SCOPED_TRACE(v.text());
        const sig::OliviaSetup s = sig::olivia_setup(v.tones, v.bandwidth_hz, 100.0, v.text());
        EXPECT_EQ(s.steps_per_symbol, 8);
        EXPECT_EQ(s.frame_step * s.steps_per_symbol, s.symbol_samples);
        EXPECT_LT(s.span, s.fft_size / 2);
        EXPECT_DOUBLE_EQ(s.decimated_rate_hz / static_cast<double>(s.fft_size), s.bin_hz);
        ASSERT_EQ(s.taps.size() % 2, 1u);
        double sum = 0.0;
        for (std::size_t k = 0; k < s.taps.size(); ++k) {
            sum += s.taps[k];
            EXPECT_EQ(s.taps[k], s.taps[s.taps.size() - 1 - k]);
        }
        EXPECT_NEAR(sum, 1.0, 1e-6);
        // Everything the receiver looks at (search range and tones) passes flat; what decimation
        // would fold onto it is at least 55 dB down.
        const double half_width = (s.search_bins + 2 * s.tones) * s.bin_hz;
        const double rate = s.decimated_rate_hz;
        for (double hz = 0.0; hz <= half_width; hz += half_width / 50.0) EXPECT_NEAR(gain(s.taps, hz), 1.0, 0.01) << hz;
        for (double hz = rate - half_width; hz <= 6000.0; hz += 5.0) EXPECT_LT(gain(s.taps, hz), 0.0018) << hz;
    }
}

// --- Round trips -------------------------------------------------------------------------------

struct CleanTrip {
    Variant variant;
    OliviaTonePlacement placement;
};

void PrintTo(const CleanTrip& c, std::ostream* os) {
    *os << c.variant.text() << (c.placement == OliviaTonePlacement::centred ? " centred" : " quarter low");
}

class OliviaCleanRoundTrip : public ::testing::TestWithParam<CleanTrip> {};

TEST_P(OliviaCleanRoundTrip, CopiesExactlyAndReportsTheCentre) {
    const CleanTrip& c = GetParam();
    const Variant& v = c.variant;
    const sig::OliviaSetup setup = sig::olivia_setup(v.tones, v.bandwidth_hz, 100.0, v.text());
    // Off the modem's centre by a few bins, as far as its search reaches. Quarter-low tones lie
    // on the grid the receiver reads, so it reports their centre exactly; centred tones lie a
    // bin above it.
    const double centre_hz = kStartHz + std::min(3, setup.search_bins - 1) * v.bin_hz();
    const auto burst = testbed::modulate_olivia_text(kShort, signal_of(v, centre_hz, c.placement));
    const auto modem = olivia(candidate(v.text()));
    const testbed::ModemRun run = testbed::run_modem(*modem, transmission(burst, 10.0, 5));
    EXPECT_EQ(run.text, kShort);
    const double reported = locked_frequency(run);
    if (c.placement == OliviaTonePlacement::quarter_low)
        EXPECT_EQ(reported, centre_hz);
    else
        EXPECT_EQ(reported, centre_hz + v.bin_hz());
    EXPECT_GT(*std::max_element(run.quality.begin(), run.quality.end()), 0.9f);
}

std::vector<CleanTrip> every_variant_both_placements() {
    std::vector<CleanTrip> trips;
    for (const Variant& v : kEveryVariant)
        for (const auto placement : {OliviaTonePlacement::centred, OliviaTonePlacement::quarter_low})
            trips.push_back({v, placement});
    return trips;
}

INSTANTIATE_TEST_SUITE_P(EveryVariant, OliviaCleanRoundTrip, ::testing::ValuesIn(every_variant_both_placements()),
                         [](const ::testing::TestParamInfo<CleanTrip>& info) {
                             return "v" + std::to_string(info.param.variant.tones) + "_" +
                                    std::to_string(info.param.variant.bandwidth_hz) +
                                    (info.param.placement == OliviaTonePlacement::centred ? "_centred" : "_quarter_low");
                         });

struct NoisyTrip {
    Variant variant;
    double snr_db;
    double max_cer;  // mean over three seeds, measured with margin: docs/modems.md
};

void PrintTo(const NoisyTrip& c, std::ostream* os) { *os << c.variant.text() << " at " << c.snr_db << " dB"; }

class OliviaNearThreshold : public ::testing::TestWithParam<NoisyTrip> {};

TEST_P(OliviaNearThreshold, CopiesTheTextWithinItsErrorRate) {
    const NoisyTrip& c = GetParam();
    double errors = 0.0;
    for (unsigned seed = 1; seed <= 3; ++seed) {
        const auto burst = testbed::modulate_olivia_text(kMessage, signal_of(c.variant, kStartHz, OliviaTonePlacement::centred, seed));
        const auto modem = olivia(candidate(c.variant.text()));
        errors += testbed::character_error_rate(kMessage, testbed::run_modem(*modem, transmission(burst, c.snr_db, seed)).text);
    }
    RecordProperty("character_error_rate", std::to_string(errors / 3.0));
    EXPECT_LE(errors / 3.0, c.max_cer);
}

INSTANTIATE_TEST_SUITE_P(
    EveryVariant, OliviaNearThreshold,
    ::testing::Values(NoisyTrip{{4, 125}, -16.0, 0.02}, NoisyTrip{{8, 125}, -18.0, 0.05},
                      NoisyTrip{{4, 250}, -13.0, 0.02}, NoisyTrip{{8, 250}, -15.0, 0.02},
                      NoisyTrip{{4, 500}, -10.0, 0.03}, NoisyTrip{{8, 500}, -12.0, 0.02},
                      NoisyTrip{{16, 500}, -14.0, 0.04}, NoisyTrip{{64, 500}, -18.0, 0.05},
                      NoisyTrip{{4, 1000}, -8.0, 0.06}, NoisyTrip{{8, 1000}, -8.0, 0.02},
                      NoisyTrip{{16, 1000}, -11.0, 0.03}, NoisyTrip{{32, 1000}, -13.0, 0.04},
                      NoisyTrip{{64, 1000}, -15.0, 0.02}, NoisyTrip{{4, 2000}, -4.0, 0.03},
                      NoisyTrip{{8, 2000}, -6.0, 0.02}, NoisyTrip{{16, 2000}, -8.0, 0.04},
                      NoisyTrip{{32, 2000}, -10.0, 0.02}, NoisyTrip{{64, 2000}, -12.0, 0.02}),
    [](const ::testing::TestParamInfo<NoisyTrip>& info) {
        return "v" + std::to_string(info.param.variant.tones) + "_" + std::to_string(info.param.variant.bandwidth_hz) +
               "_snr_" + signed_name(info.param.snr_db);
    });

struct Impaired {
    Variant variant;
    double offset_hz;
    double ppm;
    double drift_hz_per_s;
    double snr_db;
};

void PrintTo(const Impaired& c, std::ostream* os) {
    *os << c.variant.text() << " offset " << c.offset_hz << " Hz, " << c.ppm << " ppm, drift " << c.drift_hz_per_s
        << " Hz/s at " << c.snr_db << " dB";
}

class OliviaImpaired : public ::testing::TestWithParam<Impaired> {};

TEST_P(OliviaImpaired, FollowsOffsetClockErrorAndDrift) {
    const Impaired& c = GetParam();
    std::vector<float> burst = testbed::modulate_olivia_text(kMessage, signal_of(c.variant, kStartHz + c.offset_hz));
    if (c.ppm != 0.0) burst = testbed::apply_clock_error(burst, c.ppm);
    if (c.drift_hz_per_s != 0.0) burst = testbed::shift_frequency(burst, 0.0, c.drift_hz_per_s);
    const auto modem = olivia(candidate(c.variant.text()));
    const testbed::ModemRun run = testbed::run_modem(*modem, transmission(burst, c.snr_db, 7));
    const double cer = testbed::character_error_rate(kMessage, run.text);
    RecordProperty("character_error_rate", std::to_string(cer));
    EXPECT_LE(cer, 0.02) << run.text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OliviaImpaired,
    ::testing::Values(Impaired{{32, 1000}, 90.0, 0.0, 0.0, -6.0}, Impaired{{32, 1000}, -90.0, 0.0, 0.0, -6.0},
                      Impaired{{8, 250}, 60.0, 0.0, 0.0, -10.0}, Impaired{{32, 1000}, 0.0, 2000.0, 0.0, -6.0},
                      Impaired{{16, 500}, 0.0, -2000.0, 0.0, -6.0}, Impaired{{4, 125}, 0.0, 1000.0, 0.0, -10.0},
                      Impaired{{32, 1000}, -40.0, 0.0, 2.0, -6.0}, Impaired{{64, 2000}, -40.0, 1000.0, 2.0, -6.0}),
    [](const ::testing::TestParamInfo<Impaired>& info) { return "case_" + std::to_string(info.index); });

// --- The automatic path ------------------------------------------------------------------------

TEST(OliviaAutomatic, ChoosesTheVariantFromTheClassifiersEstimates) {
    struct Case {
        const char* candidate_variant;
        double bandwidth_hz;
        std::uint32_t tones;
        Variant sent;
        bool copies;
    };
    const Case cases[] = {
        {"", 700.0, 16, {16, 500}, true},  {"", 0.0, 8, {8, 1000}, true},   {"auto", 2100.0, 0, {64, 2000}, true},
        {"", 240.0, 4, {4, 250}, true},    {"", 0.0, 0, {32, 1000}, true},  {"8/250", 2000.0, 64, {8, 250}, true},
        {"", 0.0, 0, {16, 500}, false},    {"", 500.0, 64, {16, 500}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.candidate_variant) + " bandwidth " + std::to_string(c.bandwidth_hz) + " tones " +
                     std::to_string(c.tones) + " sent " + c.sent.text());
        const auto burst = testbed::modulate_olivia_text(kShort, signal_of(c.sent));
        const auto modem = olivia(candidate(c.candidate_variant, kStartHz, c.bandwidth_hz, c.tones));
        const testbed::ModemRun run = testbed::run_modem(*modem, transmission(burst, 10.0, 3));
        EXPECT_EQ(run.text, c.copies ? kShort : "");
        EXPECT_EQ(run.last.variant, "");
    }
}

TEST(OliviaAutomatic, ACandidateWithoutAFrequencyIsTunedTo1500Hz) {
    const Variant v{32, 1000};
    const auto burst = testbed::modulate_olivia_text(kShort, signal_of(v, 1500.0, OliviaTonePlacement::quarter_low));
    for (const double audio_hz : {0.0, -200.0, kNaN, kInf}) {
        const auto modem = olivia(candidate(v.text(), audio_hz));
        const testbed::ModemRun run = testbed::run_modem(*modem, transmission(burst, 10.0, 2));
        EXPECT_EQ(run.text, kShort) << audio_hz;
        EXPECT_EQ(locked_frequency(run), 1500.0) << audio_hz;
    }
}

// A modem that begins to listen while a call is under way, as one started for a signal just
// found does: a little after a block began it has missed that block's own alignment, and where
// the bits per symbol divide 12 a false one a dozen symbols later still decodes in part. It
// must wait for the next true block rather than lock on the false one, also when a weaker
// glimpse of the missed block came first.
TEST(OliviaAcquisition, AModemJoiningACallInItsFirstBlocksCopiesAllThatFollows) {
    for (const Variant& v : {Variant{4, 250}, Variant{8, 250}, Variant{16, 500}, Variant{64, 1000}}) {
        const double symbol_s = static_cast<double>(v.tones) / v.bandwidth_hz;
        // Two idle blocks lead the call, so joining inside the first leaves every character.
        const auto burst = testbed::modulate_olivia_text(kShort, signal_of(v), 2, 1);
        const auto audio = transmission(burst, 10.0, 6);
        const auto lead = (audio.size() - burst.size()) / 2;  // the noise before the call
        for (const double symbols_late : {0.25, 4.0, 12.0, 64.05, 64.1, 64.15, 64.5}) {
            const auto skip = lead + static_cast<std::size_t>(symbols_late * symbol_s * 12000.0);
            const std::vector<float> joined(audio.begin() + static_cast<std::ptrdiff_t>(skip), audio.end());
            const auto modem = olivia(candidate(v.text()));
            EXPECT_EQ(testbed::run_modem(*modem, joined).text, kShort) << v.text() << " joined " << symbols_late
                                                                       << " symbols late";
        }
    }
}

// --- Lock, retune and breaks -------------------------------------------------------------------

class OliviaLock : public ::testing::Test {
protected:
    const Variant v{32, 1000};  // bins of 7.8125 Hz, a search range of 100 Hz
    std::vector<float> audio(double centre_hz, const std::string& text = kMessage) const {
        return transmission(testbed::modulate_olivia_text(text, signal_of(v, centre_hz, OliviaTonePlacement::quarter_low)),
                            10.0, 4);
    }
    static void feed(sig::Modem& modem, const std::vector<float>& samples, std::size_t from, std::size_t to) {
        sig::AudioBlock block;
        block.samples.assign(samples.begin() + static_cast<std::ptrdiff_t>(from),
                             samples.begin() + static_cast<std::ptrdiff_t>(std::min(to, samples.size())));
        modem.process(block);
    }
};

TEST_F(OliviaLock, AMoveBelowHalfABinIsIgnoredAndALargerOneRetunes) {
    for (const double move : {3.9, 4.0, -4.0}) {
        const auto modem = olivia(candidate(v.text()));
        modem->set_frequency(kStartHz + move);
        // The signal sits where the modem was asked to go: the report is exact only when the
        // modem went there, half a bin off when it stayed.
        const testbed::ModemRun run = testbed::run_modem(*modem, audio(kStartHz + move, kShort));
        EXPECT_EQ(run.text, kShort) << move;
        const double expected = std::fabs(move) < v.bin_hz() / 2.0 ? 0.0 : kStartHz + move;
        if (expected != 0.0)
            EXPECT_EQ(locked_frequency(run), expected) << move;
        else
            EXPECT_NE(locked_frequency(run), kStartHz + move) << move;
    }
}

TEST_F(OliviaLock, WhileLockedOnlyAMoveOfHalfTheSearchRangeRetunes) {
    const std::vector<float> samples = audio(kStartHz);
    const auto modem = olivia(candidate(v.text()));
    std::size_t at = 0;
    while (modem->take_output().quality == 0.0f && at < samples.size()) {
        feed(*modem, samples, at, at + 1200);
        at += 1200;
    }
    ASSERT_LT(at, samples.size()) << "never locked";
    modem->set_frequency(kStartHz + 49.0);
    sig::ModemOutput out = modem->take_output();
    EXPECT_EQ(out.frequency_hz, kStartHz);
    EXPECT_GT(out.quality, 0.0f);
    modem->set_frequency(kStartHz + 50.0);
    out = modem->take_output();
    EXPECT_EQ(out.frequency_hz, 0.0);
    EXPECT_EQ(out.quality, 0.0f);
}

TEST_F(OliviaLock, ABreakEndsTheLockButKeepsTheTextDecodedBeforeIt) {
    const std::vector<float> samples = audio(kStartHz);
    for (const bool by_reset : {false, true}) {
        const auto modem = olivia(candidate(v.text()));
        // Two thirds of the transmission without collecting the output.
        feed(*modem, samples, 0, samples.size() * 2 / 3);
        if (by_reset) {
            modem->reset();
        } else {
            sig::AudioBlock gap;
            gap.discontinuity = true;
            modem->process(gap);
        }
        const sig::ModemOutput out = modem->take_output();
        EXPECT_THAT(out.text, ::testing::StartsWith("CQ CQ DE W1AW")) << by_reset;
        EXPECT_EQ(out.frequency_hz, 0.0);
        EXPECT_EQ(out.quality, 0.0f);
        // It finds the signal again from scratch: nothing before 65 symbols.
        feed(*modem, samples, samples.size() * 2 / 3, samples.size() * 2 / 3 + 12000);
        EXPECT_EQ(modem->take_output().frequency_hz, 0.0);
    }
}

TEST_F(OliviaLock, TheLockEndsAfterThreeWeakBlocks) {
    const std::vector<float> samples = testbed::concatenate(audio(kStartHz, kShort), testbed::white_noise(12000 * 8, 0.05, 9));
    const auto modem = olivia(candidate(v.text()));
    const testbed::ModemRun run = testbed::run_modem(*modem, samples);
    EXPECT_EQ(run.text, kShort);
    // Blocks of 2.048 s: the third weak block after the signal is decided 6.14 s after its end,
    // which is 5.14 s (about 51 reads of 0.1 s) into the 8 s of noise after the 1 s of padding.
    std::size_t still_locked = 0;
    for (std::size_t k = run.frequency_hz.size() - 80; k < run.frequency_hz.size(); ++k)
        if (run.frequency_hz[k] != 0.0) ++still_locked;
    EXPECT_EQ(run.frequency_hz.back(), 0.0);
    EXPECT_EQ(run.quality.back(), 0.0f);
    EXPECT_GE(still_locked, 49u);
    EXPECT_LE(still_locked, 54u);
}

TEST(OliviaTracking, ASignalBetweenTwoBinsKeepsToOneUnlessTheOtherIsClearlyBetter) {
    // Tones half a bin off the receiver's grid decode about as well at either neighbouring
    // offset; noise makes one or the other a little better from block to block. A neighbour
    // must beat the expected block by 3 % before the modem moves to it, so over 120 blocks the
    // report changes bin 39 times; with no margin it would change 59 times, with a margin of
    // 6 % only 24 times.
    const Variant v{8, 250};
    std::vector<int> codes(static_cast<std::size_t>(122 * 3));
    for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = 'A' + static_cast<int>(i % 26);
    testbed::OliviaSignal s = signal_of(v, kStartHz + v.bin_hz() / 2.0, OliviaTonePlacement::quarter_low);
    s.phase_rad = 0.3;
    const auto burst = testbed::modulate_olivia_tones(testbed::olivia_tone_sequence(codes, v.tones), s);
    const testbed::ModemRun run = testbed::run_modem(*olivia(candidate(v.text())), transmission(burst, 0.0, 1));
    int changes = 0;
    int blocks = 0;
    double last = 0.0;
    for (const double hz : run.frequency_hz) {
        if (hz == 0.0) continue;
        EXPECT_TRUE(hz == kStartHz || hz == kStartHz + v.bin_hz()) << hz;
        if (last != 0.0 && hz != last) ++changes;
        last = hz;
        ++blocks;
    }
    ASSERT_GT(blocks, 115 * 20);  // reads of 0.1 s: locked for all but the first blocks
    RecordProperty("bin_changes", std::to_string(changes));
    EXPECT_GE(changes, 30);
    EXPECT_LE(changes, 50);
}

TEST(OliviaText, CarriageReturnsLineFeedsAndControlCodes) {
    const Variant v{8, 500};
    const std::vector<int> codes = {'A', 13, 10, 'B', 10, 'C', 13, 1, 10, 'D', 127, 'E', 13, 9, 10, 'F', 0, 7, 'G', 13};
    testbed::OliviaSignal s = signal_of(v);
    std::vector<int> padded(3, 0);
    padded.insert(padded.end(), codes.begin(), codes.end());
    padded.resize(padded.size() + 6, 0);
    const auto burst = testbed::modulate_olivia_tones(testbed::olivia_tone_sequence(padded, v.tones), s);
    const testbed::ModemRun run = testbed::run_modem(*olivia(candidate(v.text())), transmission(burst, 10.0, 1));
    // CR LF is one line end, LF alone is one, a code 0..7 between CR and LF does not separate
    // them, DEL and TAB print nothing (TAB does separate), a lone CR ends a line.
    EXPECT_EQ(run.text, "A\nB\nC\nDE\n\nFG\n");
}

// --- Quality -------------------------------------------------------------------------------------

// The tones of `sequence` with chips of every character of blocks [first, last) inverted, the
// same chips of each: the bit of symbol k that carries chip k of character j is flipped.
std::vector<int> with_wrong_chips(std::vector<int> sequence, int tones, int first, int last, int wrong) {
    const int bits = testbed::olivia_bits(tones);
    for (int block = first; block < last; ++block) {
        for (int j = 0; j < bits; ++j) {
            for (int e = 0; e < wrong; ++e) {
                const int k = (5 * e + 3 * j) % 64;
                int& tone = sequence[static_cast<std::size_t>(block * 64 + k)];
                int value = tone;  // the tone's symbol value: its inverse Gray code
                for (int shift = 1; shift < 16; shift *= 2) value ^= value >> shift;
                value ^= 1 << ((k + j) % bits);
                tone = value ^ (value >> 1);
            }
        }
    }
    return sequence;
}

struct QualityCase {
    int wrong_chips;       // of the 64 of every character
    double confidence;     // of such a block
};

void PrintTo(const QualityCase& c, std::ostream* os) { *os << c.wrong_chips << " wrong chips"; }

class OliviaQuality : public ::testing::TestWithParam<QualityCase> {};

TEST_P(OliviaQuality, IsTheSmoothedConfidenceOfTheBlocks) {
    // Six blocks with chips wrong, then six clean ones, without noise. A character with e of its
    // 64 chips wrong has a Walsh peak of 64 - 2e against the rest of the energy, 64^2 - (64 -
    // 2e)^2 over 63: a score of (64 - 2e) / sqrt((4096 - (64 - 2e)^2) / 63), and a confidence of
    // (score - 3) / 6. A clean block is sure (confidence 1), and each block moves the quality
    // three tenths of the way to its own confidence.
    const QualityCase& c = GetParam();
    const Variant v{8, 250};
    std::vector<int> codes(static_cast<std::size_t>(12 * 3));
    for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = 'a' + static_cast<int>(i % 26);
    const std::vector<int> sequence =
        with_wrong_chips(testbed::olivia_tone_sequence(codes, v.tones), v.tones, 0, 6, c.wrong_chips);
    const auto burst = testbed::modulate_olivia_tones(sequence, signal_of(v, kStartHz, OliviaTonePlacement::quarter_low));
    const testbed::ModemRun run =
        testbed::run_modem(*olivia(candidate(v.text())), testbed::concatenate(testbed::silence(1.0), burst));
    ASSERT_EQ(run.text.size(), codes.size() - 3) << run.text;  // all but the first block
    // The quality after each decided block.
    std::vector<float> steps;
    for (const float q : run.quality)
        if (q != 0.0f && (steps.empty() || q != steps.back())) steps.push_back(q);
    ASSERT_GE(steps.size(), 8u);
    // The first blocks decided, with wrong chips: their own confidence, not smoothed with 0.
    for (std::size_t i = 0; i < 3; ++i) EXPECT_NEAR(steps[i], c.confidence, 0.03) << i;
    // Then the clean blocks: 1 - q' = 0.7 (1 - q).
    int clean = 0;
    for (std::size_t i = 1; i < steps.size(); ++i) {
        if (steps[i] < steps[i - 1] + 0.02f) continue;
        EXPECT_NEAR(1.0 - steps[i], 0.7 * (1.0 - steps[i - 1]), 1e-5) << i;
        ++clean;
    }
    EXPECT_GE(clean, 4);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OliviaQuality,
    ::testing::Values(QualityCase{10, (44.0 / std::sqrt((4096.0 - 44.0 * 44.0) / 63.0) - 3.0) / 6.0},
                      QualityCase{12, (40.0 / std::sqrt((4096.0 - 40.0 * 40.0) / 63.0) - 3.0) / 6.0},
                      QualityCase{14, (36.0 / std::sqrt((4096.0 - 36.0 * 36.0) / 63.0) - 3.0) / 6.0}),
    [](const ::testing::TestParamInfo<QualityCase>& info) { return std::to_string(info.param.wrong_chips) + "_wrong_chips"; });

// --- Quiet on noise and on other modes ---------------------------------------------------------

class OliviaQuiet : public ::testing::TestWithParam<Variant> {};

TEST_P(OliviaQuiet, OneMinuteOfNoisePrintsNothingAndNeverLocks) {
    const Variant& v = GetParam();
    const auto modem = olivia(candidate(v.text()));
    const testbed::ModemRun run = testbed::run_modem(*modem, testbed::white_noise(60 * 12000, 0.1, 40u + static_cast<unsigned>(v.tones)));
    EXPECT_EQ(run.text, "");
    EXPECT_EQ(*std::max_element(run.quality.begin(), run.quality.end()), 0.0f);
}

INSTANTIATE_TEST_SUITE_P(EveryVariant, OliviaQuiet, ::testing::ValuesIn(kEveryVariant),
                         [](const ::testing::TestParamInfo<Variant>& info) {
                             return "v" + std::to_string(info.param.tones) + "_" + std::to_string(info.param.bandwidth_hz);
                         });

TEST(OliviaQuietness, OtherModesPrintNothing) {
    testbed::PskSignal psk;
    psk.carrier_hz = kStartHz;
    testbed::RttySignal rtty;
    rtty.centre_hz = kStartHz;
    const std::vector<std::vector<float>> signals = {
        testbed::modulate_psk_text(kShort, psk), testbed::modulate_rtty_text("RYRYRY CQ CQ DE W1AW W1AW K", rtty),
        testbed::modulate_olivia_text(kShort, signal_of({16, 500}))};
    for (const Variant& v : {Variant{32, 1000}, Variant{8, 250}}) {
        for (std::size_t k = 0; k < signals.size(); ++k) {
            const auto modem = olivia(candidate(v.text()));
            EXPECT_EQ(testbed::run_modem(*modem, transmission(signals[k], 10.0, 8)).text, "")
                << v.text() << " on signal " << k;
        }
    }
}

}  // namespace
