#include "sig/modems/rtty_modem.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/modems/ita2.hpp"
#include "sig/modems/modem_factory.hpp"
#include "testbed/lib/character_error_rate.hpp"
#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/keyboard_transmission.hpp"
#include "testbed/lib/outside_modems.hpp"
#include "testbed/lib/modem_run.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/rtty_modulator.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

const std::string kMessage = "CQ CQ DE W1AW W1AW PSE K\nTHE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789\n";
constexpr double kStartHz = 1500.0;
constexpr double kNoNoise = std::numeric_limits<double>::infinity();

std::unique_ptr<sig::Modem> rtty_modem(double audio_hz = kStartHz, const std::string& configured = "auto",
                                       const std::string& estimate = "") {
    sig::Candidate candidate;
    candidate.audio_hz = audio_hz;
    candidate.variant = estimate;
    sig::ModemSettings settings;
    settings.rtty = configured;
    auto modem = sig::make_modem(sig::Mode::RTTY, candidate, settings, {});
    EXPECT_NE(modem, nullptr);
    return modem;
}

testbed::RttySignal signal_of(double baud, double shift, double centre_hz = kStartHz, bool mark_high = false) {
    testbed::RttySignal signal;
    signal.baud = baud;
    signal.shift_hz = shift;
    signal.centre_hz = centre_hz;
    signal.mark_high = mark_high;
    return signal;
}

std::vector<float> transmission(const std::vector<float>& burst, double snr_db, unsigned seed) {
    return testbed::noisy_transmission(burst, testbed::mean_power(burst), snr_db, seed);
}

std::string signed_name(double value) {
    const long rounded = std::lround(value);
    return (rounded < 0 ? "minus" : "plus") + std::to_string(std::labs(rounded));
}

// --- Variants and the decoders they build ------------------------------------------------------

struct VariantCase {
    const char* text;
    bool accepted;
    double rate_baud;
    double shift_hz;
};

class RttyVariantText : public ::testing::TestWithParam<VariantCase> {};

TEST_P(RttyVariantText, IsReadAsRateAndShiftOnlyWhenWholeAndInRange) {
    const VariantCase& c = GetParam();
    const auto spec = sig::parse_rtty_variant(c.text);
    ASSERT_EQ(spec.has_value(), c.accepted) << c.text;
    if (!spec) return;
    EXPECT_EQ(spec->rate_baud, c.rate_baud);
    EXPECT_EQ(spec->shift_hz, c.shift_hz);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, RttyVariantText,
    ::testing::Values(VariantCase{"45.45/170", true, 45.45, 170.0}, VariantCase{"45.5/170", true, 45.45, 170.0},
                      VariantCase{"45/170", true, 45.45, 170.0}, VariantCase{"50/850", true, 50.0, 850.0},
                      VariantCase{"75/450", true, 75.0, 450.0}, VariantCase{"20/50", true, 20.0, 50.0},
                      VariantCase{"300/2000", true, 300.0, 2000.0}, VariantCase{"100/200.5", true, 100.0, 200.5},
                      VariantCase{"45.45/170x", false, 0, 0}, VariantCase{"10/170", false, 0, 0},
                      VariantCase{"45.45/30", false, 0, 0}, VariantCase{"301/170", false, 0, 0},
                      VariantCase{"45.45/2001", false, 0, 0}, VariantCase{"auto", false, 0, 0},
                      VariantCase{"", false, 0, 0}, VariantCase{"45.45", false, 0, 0},
                      VariantCase{"45.45/", false, 0, 0}, VariantCase{"/170", false, 0, 0},
                      VariantCase{" 45.45/170", false, 0, 0}, VariantCase{"45.45 /170", false, 0, 0},
                      VariantCase{"nan/170", false, 0, 0}, VariantCase{"45.45/inf", false, 0, 0}),
    [](const ::testing::TestParamInfo<VariantCase>& info) { return "case_" + std::to_string(info.index); });

std::string plan_text(const std::vector<sig::RttyDecoderSpec>& plan) {
    std::string text;
    for (const auto& spec : plan) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%g/%g%s ", spec.rate_baud, spec.shift_hz, spec.preferred ? "*" : "");
        text += buffer;
    }
    return text;
}

TEST(RttyDecoderPlan, FollowsTheChannelThenTheClassifierThenEverything) {
    struct Case {
        const char* configured;
        const char* estimate;
        const char* plan;  // rate/shift, * = preferred
    };
    const Case cases[] = {
        {"75/850", "45.45/170", "75/850* "},
        {"45.5/170", "", "45.45/170* "},
        {"auto", "50/450", "45.45/450 50/450* 75/450 "},
        {"", "45.45/170", "45.45/170* 50/170 75/170 "},
        {"45.45/170x", "75/850.4", "45.45/850 50/850 75/850* "},
        {"auto", "45.45/200", ""},
        {"auto", "62/170", "45.45/170 50/170 75/170 "},
        {"auto", "", "45.45/170 50/170 75/170 45.45/450 50/450 75/450 45.45/850 50/850 75/850 "},
        {"auto", "garbage", "45.45/170 50/170 75/170 45.45/450 50/450 75/450 45.45/850 50/850 75/850 "},
    };
    for (const Case& c : cases)
        EXPECT_EQ(plan_text(sig::rtty_decoder_plan(c.configured, c.estimate)), c.plan)
            << c.configured << " / " << c.estimate;
}

TEST(RttyModem, RefusesDecodersItCannotRun) {
    EXPECT_THROW(sig::RttyModem({{10.0, 170.0, false}}, 1500.0), std::runtime_error);
    EXPECT_THROW(sig::RttyModem({{45.45, 3000.0, false}}, 1500.0), std::runtime_error);
    EXPECT_THROW(sig::RttyModem({{45.45, 170.0, false}}, std::numeric_limits<double>::quiet_NaN()),
                 std::runtime_error);
}

// --- Round trips -------------------------------------------------------------------------------

struct RoundTrip {
    double baud;
    double shift_hz;
    double offset_hz;  // of the signal from where the modem starts
    double snr_db;
    double max_cer;    // mean over three seeds (both polarities), measured with margin: docs/modems.md
};

void PrintTo(const RoundTrip& c, std::ostream* os) {
    *os << c.baud << "/" << c.shift_hz << " offset " << c.offset_hz << " Hz at " << c.snr_db << " dB";
}

class RttyRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(RttyRoundTrip, CopiesTheTextWithinItsErrorRate) {
    const RoundTrip& c = GetParam();
    double errors = 0.0;
    for (unsigned seed = 1; seed <= 3; ++seed) {
        testbed::RttySignal signal = signal_of(c.baud, c.shift_hz, kStartHz + c.offset_hz, seed == 2);
        signal.phase_rad = 0.7 * seed;
        const auto burst = testbed::modulate_rtty_text(kMessage, signal);
        const auto modem = rtty_modem();
        const testbed::ModemRun run = testbed::run_modem(*modem, transmission(burst, c.snr_db, seed));
        errors += testbed::character_error_rate(kMessage, run.text);
        char variant[32];
        std::snprintf(variant, sizeof variant, "%g/%g", c.baud, c.shift_hz);
        EXPECT_EQ(run.last.variant, variant) << "seed " << seed;
        EXPECT_EQ(run.last.frequency_hz, kStartHz);
    }
    RecordProperty("character_error_rate", std::to_string(errors / 3.0));
    EXPECT_LE(errors / 3.0, c.max_cer);
}

INSTANTIATE_TEST_SUITE_P(
    VariantsOffsetsAndSnrs, RttyRoundTrip,
    ::testing::Values(RoundTrip{45.45, 170.0, 0.0, 30.0, 0.01}, RoundTrip{50.0, 170.0, 0.0, 30.0, 0.01},
                      RoundTrip{75.0, 170.0, 0.0, 30.0, 0.01}, RoundTrip{45.45, 450.0, 0.0, 30.0, 0.01},
                      RoundTrip{50.0, 450.0, 0.0, 30.0, 0.01}, RoundTrip{75.0, 450.0, 0.0, 30.0, 0.01},
                      RoundTrip{45.45, 850.0, 0.0, 30.0, 0.01}, RoundTrip{50.0, 850.0, 0.0, 30.0, 0.01},
                      RoundTrip{75.0, 850.0, 0.0, 30.0, 0.01}, RoundTrip{45.45, 170.0, 15.0, 10.0, 0.01},
                      RoundTrip{75.0, 850.0, -20.0, 10.0, 0.01}, RoundTrip{45.45, 170.0, 0.0, 0.0, 0.02},
                      RoundTrip{50.0, 450.0, 0.0, 0.0, 0.02}, RoundTrip{75.0, 170.0, 0.0, 3.0, 0.02},
                      RoundTrip{45.45, 850.0, 0.0, -2.0, 0.08}, RoundTrip{75.0, 450.0, 0.0, 0.0, 0.15}),
    [](const ::testing::TestParamInfo<RoundTrip>& info) {
        const RoundTrip& c = info.param;
        return "baud_" + std::to_string(std::lround(c.baud)) + "_shift_" + std::to_string(std::lround(c.shift_hz)) +
               "_offset_" + signed_name(c.offset_hz) + "_snr_" + signed_name(c.snr_db);
    });

TEST(RttyRoundTrip, ConfiguredVariantRunsOnlyThatDecoder) {
    const auto burst = testbed::modulate_rtty_text(kMessage, signal_of(75.0, 850.0));
    const auto audio = transmission(burst, 10.0, 4);
    EXPECT_EQ(testbed::run_modem(*rtty_modem(kStartHz, "75/850"), audio).text, kMessage);
    EXPECT_EQ(testbed::run_modem(*rtty_modem(kStartHz, "45.45/170"), audio).text, "");
    // An estimate of a shift no standard decoder has builds none at all.
    EXPECT_EQ(testbed::run_modem(*rtty_modem(kStartHz, "auto", "75/800"), audio).text, "");
}

// --- Quiet on noise and on other modes ---------------------------------------------------------

TEST(RttyQuietness, PureNoisePrintsNothingAndClaimsNoLock) {
    for (unsigned seed = 1; seed <= 3; ++seed) {
        const auto modem = rtty_modem();
        const testbed::ModemRun run = testbed::run_modem(*modem, testbed::white_noise(60 * 12000, 0.1, seed));
        EXPECT_EQ(run.text, "") << "seed " << seed;
        EXPECT_EQ(run.last.variant, "");
        for (const float q : run.quality) ASSERT_EQ(q, 0.0f);
    }
}

TEST(RttyQuietness, OtherModesPrintNothing) {
    testbed::PskSignal psk;
    psk.carrier_hz = kStartHz;
    testbed::PskSignal psk63 = psk;
    psk63.baud = 62.5;
    testbed::CwKeying cw;
    cw.tone_hz = kStartHz;
    const std::vector<std::pair<const char*, std::vector<float>>> others = {
        {"PSK31", testbed::modulate_psk_text(kMessage, psk)},
        {"PSK63", testbed::modulate_psk_text(kMessage + kMessage, psk63)},
        {"CW", testbed::key_text(kMessage, cw)},
    };
    for (const auto& [name, burst] : others) {
        for (const double snr_db : {kNoNoise, 10.0}) {
            const auto modem = rtty_modem();
            const testbed::ModemRun run = testbed::run_modem(*modem, transmission(burst, snr_db, 2));
            EXPECT_EQ(run.text, "") << name << " at " << snr_db << " dB";
            EXPECT_EQ(run.last.variant, "") << name;
        }
    }
}

// --- Quality -----------------------------------------------------------------------------------

TEST(RttyQuality, StaysWithinZeroAndOneAndRisesWithSnr) {
    const auto burst = testbed::modulate_rtty_text(kMessage + kMessage + kMessage, signal_of(45.45, 170.0));
    std::vector<double> means;
    for (const double snr_db : {-6.0, -3.0, 0.0, 30.0}) {
        const auto modem = rtty_modem();
        const testbed::ModemRun run = testbed::run_modem(*modem, transmission(burst, snr_db, 11));
        // Mean over the second half of the transmission, once locked.
        const std::size_t first = (12000 + burst.size() / 2) / 1200;
        const std::size_t last = (12000 + burst.size()) / 1200;
        double sum = 0.0;
        for (std::size_t k = first; k < last; ++k) {
            ASSERT_GE(run.quality[k], 0.0f);
            ASSERT_LE(run.quality[k], 1.0f);
            sum += run.quality[k];
        }
        means.push_back(sum / static_cast<double>(last - first));
    }
    for (std::size_t k = 1; k < means.size(); ++k) EXPECT_GE(means[k], means[k - 1]);
    EXPECT_LT(means.front(), 0.2) << "-6 dB: no copy";
    EXPECT_GT(means[1], means.front() + 0.3) << "-3 dB: a lock";
    EXPECT_GT(means.back(), 0.95);
}

TEST(RttyQuality, BeforeAnyLockReportsTheFrequencyAndNothingElse) {
    const auto modem = rtty_modem(1234.5);
    const sig::ModemOutput out = modem->take_output();
    EXPECT_EQ(out.text, "");
    EXPECT_EQ(out.frequency_hz, 1234.5);
    EXPECT_EQ(out.variant, "");
    EXPECT_EQ(out.quality, 0.0f);
}

// --- Characters --------------------------------------------------------------------------------

// Clean characters first, long enough to lock even after the noise in front of them.
const std::string kLead = "RYRYRYRYRY RYRYRYRYRY RYRYRYRYRY QQQ ";

std::string decode_codes(const std::vector<int>& codes, double shift_hz) {
    std::vector<testbed::FskElement> elements{{true, 20.0}};
    const auto lead = testbed::rtty_frames(testbed::rtty_text_codes(kLead), 1.5);
    elements.insert(elements.end(), lead.begin(), lead.end());
    const auto body = testbed::rtty_frames(codes, 1.5);
    elements.insert(elements.end(), body.begin(), body.end());
    elements.push_back({true, 20.0});
    const auto audio = testbed::modulate_fsk(elements, signal_of(45.45, shift_hz));
    return testbed::run_modem(*rtty_modem(), transmission(audio, 20.0, 1)).text;
}

TEST(RttyCharacters, LineEndsShiftsAndBell) {
    const int ltrs = sig::kIta2LettersShift;
    const int figs = sig::kIta2FiguresShift;
    constexpr int cr = 8, lf = 2, space = 4, e_or_3 = 1, j_or_bell = 11, a_or_minus = 3;
    struct Case {
        std::vector<int> codes;
        double shift_hz;
        const char* text;
    };
    const Case cases[] = {
        {{a_or_minus, cr, lf, a_or_minus, lf, cr, a_or_minus}, 170.0, "A\nA\nA"},
        {{a_or_minus, cr, cr, lf, lf, a_or_minus}, 170.0, "A\nA"},
        // Unshift on space: on 170 Hz shift a space returns to letters, on wider shifts not.
        {{figs, e_or_3, space, e_or_3}, 170.0, "3 E"},
        {{figs, e_or_3, space, e_or_3}, 850.0, "3 3"},
        {{figs, a_or_minus, j_or_bell, a_or_minus, ltrs, a_or_minus}, 170.0, "--A"},
        {{0, a_or_minus, 0}, 450.0, "A"},
    };
    for (const Case& c : cases) {
        const std::string text = decode_codes(c.codes, c.shift_hz);
        const std::size_t body = text.rfind("QQQ ");
        ASSERT_NE(body, std::string::npos) << text;
        EXPECT_EQ(text.substr(body + 4), c.text);
    }
}

// --- Lock and its loss -------------------------------------------------------------------------

// Frames whose stop bit is space: each one a framing error, with clean tones.
std::vector<testbed::FskElement> bad_frames(int count) {
    std::vector<testbed::FskElement> elements;
    for (int k = 0; k < count; ++k) {
        elements.push_back({false, 1.0});
        for (int bit = 0; bit < 5; ++bit) elements.push_back({bit % 2 == 0, 1.0});
        elements.push_back({false, 1.0});
        elements.push_back({true, 1.5});
    }
    return elements;
}

TEST(RttyLock, MoreThanFifteenFramingErrorsInARowLoseIt) {
    const std::string first_text = kLead + "CQ CQ DE W1AW ";
    const std::string second_text = "RYRYRY DE W1AW K";
    for (const int bad : {15, 16}) {
        const testbed::RttySignal signal = signal_of(50.0, 450.0);
        std::vector<testbed::FskElement> elements{{true, 20.0}};
        const auto append = [&elements](const std::vector<testbed::FskElement>& more) {
            elements.insert(elements.end(), more.begin(), more.end());
        };
        append(testbed::rtty_frames(testbed::rtty_text_codes(first_text), 1.5));
        append(bad_frames(bad));
        const std::size_t end_of_bad = testbed::modulate_fsk(elements, signal).size();
        append({{true, 5.0}});
        append(testbed::rtty_frames(testbed::rtty_text_codes(second_text), 1.5));
        append({{true, 20.0}});
        const auto audio = transmission(testbed::modulate_fsk(elements, signal), 20.0, 3);
        const auto split = static_cast<std::ptrdiff_t>(12000 + end_of_bad);

        const auto modem = rtty_modem();
        const testbed::ModemRun before =
            testbed::run_modem(*modem, std::vector<float>(audio.begin(), audio.begin() + split));
        EXPECT_TRUE(before.text.ends_with("CQ CQ DE W1AW ")) << before.text;
        EXPECT_EQ(before.last.variant, bad == 15 ? "50/450" : "") << bad << " bad frames";
        EXPECT_EQ(before.last.quality, bad == 15 ? 0.25f : 0.0f) << "5 good of the last 20 frames";

        const testbed::ModemRun after = testbed::run_modem(*modem, std::vector<float>(audio.begin() + split, audio.end()));
        // Locked or locked again: what the framer read while searching comes out with the lock.
        EXPECT_EQ(after.text, second_text);
        EXPECT_EQ(after.last.variant, "50/450");
    }
}

// Minutes of noise before a signal must not outweigh its first seconds.
TEST(RttyLock, LocksQuicklyAfterALongQuietSpell) {
    const std::string text = "CQ CQ CQ DE W1AW W1AW W1AW K\n";
    const auto burst = testbed::modulate_rtty_text(text, signal_of(45.45, 170.0));
    const double noise_rms = testbed::noise_rms_for_snr(testbed::mean_power(burst), 5.0);
    auto audio = testbed::concatenate(testbed::silence(600.0), burst);
    audio = testbed::concatenate(audio, testbed::silence(1.0));
    testbed::add_white_noise(audio, noise_rms, 17);
    const testbed::ModemRun run = testbed::run_modem(*rtty_modem(), audio);
    EXPECT_LE(testbed::character_error_rate(text, run.text), 0.25) << run.text;
    EXPECT_TRUE(run.text.ends_with("DE W1AW W1AW W1AW K\n")) << run.text;
}

// A sender whose bit period is 5.7 % off (43 Bd read by the 45.45 Bd decoders) frames cleanly,
// but a relative period error above 4 % locks only once 8 s have passed since the start (or
// since a lost lock); until then only a sender close to the nominal rate can win.
TEST(RttyLock, AnOffRateSenderLocksOnlyAfterEightSeconds) {
    const auto audio = transmission(testbed::modulate_rtty_text(kMessage, signal_of(43.0, 170.0)), kNoNoise, 0);
    const testbed::ModemRun run = testbed::run_modem(*rtty_modem(), audio);
    const auto locked = std::find_if(run.quality.begin(), run.quality.end(), [](float q) { return q > 0.0f; });
    ASSERT_NE(locked, run.quality.end()) << run.text;
    EXPECT_GE(locked - run.quality.begin(), 80) << "not before 8 s";
    EXPECT_LE(locked - run.quality.begin(), 82) << "at the first character after 8 s";
    EXPECT_EQ(run.last.variant, "45.45/170");
    EXPECT_EQ(run.text, kMessage);
}

// Normal and inverted framers that qualify with equal counts: the normal one wins by half a
// point. The line repeats the frame of E (space, mark, four spaces, mark), which the inverted
// framer reads one bit later as K: its start bit is E's first data bit and its stop bit the next
// E's start bit. The lead-in (a mark, then a long space that hides a letters shift's start bit
// from the normal framer) leaves each framer one framing error, and the inverted one, which
// reads the letters shift, as many good characters as the normal one each time the normal one
// ends a character. At 48 Bd both are over 4 % off the decoder's 45.45 Bd, so neither may win
// in the first 8 s; after that the normal one ends the next character and ties with the
// inverted one, whose period estimate is a little closer to nominal: without its half point the
// normal framer would lose by about 0.06.
TEST(RttyLock, OfTwoFramersWithEqualCountsTheNormalOneWins) {
    std::vector<testbed::FskElement> elements{{true, 10.0}, {false, 10.0}, {true, 6.0}};
    const int e = 1;  // E: first data bit mark, then four spaces
    const auto body = testbed::rtty_frames(std::vector<int>(100, e), 1.0);
    elements.insert(elements.end(), body.begin(), body.end());
    elements.push_back({true, 20.0});
    const auto audio = transmission(testbed::modulate_fsk(elements, signal_of(48.0, 170.0)), kNoNoise, 0);
    const testbed::ModemRun run = testbed::run_modem(*rtty_modem(kStartHz, "45.45/170"), audio);
    const auto locked = std::find_if(run.quality.begin(), run.quality.end(), [](float q) { return q > 0.0f; });
    EXPECT_GE(locked - run.quality.begin(), 80) << "not before 8 s";
    EXPECT_EQ(run.text, std::string(100, 'E'));
}

// --- Tuning and breaks -------------------------------------------------------------------------

TEST(RttyTuning, SetFrequencyMovesTheReceiverAndNothingElse) {
    const auto audio = transmission(testbed::modulate_rtty_text(kMessage, signal_of(45.45, 170.0, 1900.0)), 20.0, 3);
    const auto modem = rtty_modem(kStartHz);
    modem->set_frequency(1900.0);
    const testbed::ModemRun run = testbed::run_modem(*modem, audio);
    EXPECT_EQ(run.text, kMessage);
    EXPECT_EQ(run.last.frequency_hz, 1900.0);

    // Moved away mid-signal, it keeps its lock and variant but copies nothing sensible.
    const std::size_t half = audio.size() / 2;
    const auto second = rtty_modem(1900.0);
    EXPECT_EQ(testbed::run_modem(*second, std::vector<float>(audio.begin(), audio.begin() + half)).last.variant,
              "45.45/170");
    second->set_frequency(1900.0 + 400.0);
    const sig::ModemOutput moved = second->take_output();
    EXPECT_EQ(moved.frequency_hz, 2300.0);
    EXPECT_EQ(moved.variant, "45.45/170");
    EXPECT_GT(moved.quality, 0.9f);
}

// The analyzer follows a drifting signal with set_frequency; the modem copies throughout.
TEST(RttyTuning, FollowsADriftingSignalThroughSetFrequency) {
    std::string text;
    while (text.size() < 160) text += "DRIFT TEST DE W1AW ";
    const auto base = testbed::modulate_rtty_text(text, signal_of(45.45, 170.0, kStartHz));
    const double drift_hz_per_s = 2.0;  // 60 Hz over the transmission: far beyond the correlators
    const auto drifting = testbed::shift_frequency(base, 0.0, drift_hz_per_s);
    auto audio = testbed::concatenate(drifting, testbed::silence(1.0));
    testbed::add_white_noise(audio, testbed::noise_rms_for_snr(testbed::mean_power(base), 10.0), 5);

    const auto followed = rtty_modem();
    std::string copy;
    sig::AudioBlock block;
    for (std::size_t start = 0; start < audio.size(); start += 1200) {
        block.samples.assign(audio.begin() + static_cast<std::ptrdiff_t>(start),
                             audio.begin() + static_cast<std::ptrdiff_t>(std::min(audio.size(), start + 1200)));
        followed->set_frequency(kStartHz + drift_hz_per_s * static_cast<double>(start + 600) / 12000.0);
        followed->process(block);
        copy += followed->take_output().text;
    }
    EXPECT_LE(testbed::character_error_rate(text, copy), 0.02) << copy;

    const testbed::ModemRun fixed = testbed::run_modem(*rtty_modem(), audio);
    EXPECT_GT(testbed::character_error_rate(text, fixed.text), 0.2) << "without retuning the drift is fatal";
}

TEST(RttyBreaks, ResetAndDiscontinuityKeepLockStatisticsAndText) {
    const std::string text = "CQ CQ DE W1AW W1AW PSE K ";
    const auto audio = transmission(testbed::modulate_rtty_text(text + text, signal_of(75.0, 850.0)), 20.0, 9);
    const std::size_t half = audio.size() / 2;
    for (const bool use_reset : {false, true}) {
        const auto modem = rtty_modem();
        sig::AudioBlock block;
        block.samples.assign(audio.begin(), audio.begin() + static_cast<std::ptrdiff_t>(half));
        modem->process(block);  // no take_output: the text is still pending
        if (use_reset) modem->reset();
        block.samples.assign(audio.begin() + static_cast<std::ptrdiff_t>(half), audio.end());
        block.discontinuity = !use_reset;
        if (use_reset) {
            const sig::ModemOutput kept = modem->take_output();
            EXPECT_TRUE(text.starts_with(kept.text.substr(0, 10))) << kept.text;
            EXPECT_EQ(kept.variant, "75/850");
            EXPECT_GT(kept.quality, 0.9f);
            modem->process(block);
            const std::string rest = modem->take_output().text;
            EXPECT_LE(testbed::character_error_rate(text + text, kept.text + rest), 0.05) << kept.text << rest;
        } else {
            modem->process(block);
            const sig::ModemOutput out = modem->take_output();
            EXPECT_LE(testbed::character_error_rate(text + text, out.text), 0.05) << out.text;
            EXPECT_EQ(out.variant, "75/850");
        }
    }
}

TEST(RttyBreaks, NonFiniteSamplesDoNotDeafenTheModem) {
    auto audio = transmission(testbed::modulate_rtty_text(kMessage + kMessage, signal_of(45.45, 170.0)), 10.0, 2);
    const std::size_t middle = audio.size() / 2;
    for (std::size_t k = middle; k < middle + 600; ++k)
        audio[k] = k % 2 ? std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::infinity();
    const testbed::ModemRun run = testbed::run_modem(*rtty_modem(), audio);
    EXPECT_TRUE(run.text.ends_with("THE LAZY DOG 0123456789\n")) << run.text;
    EXPECT_GT(run.last.quality, 0.5f);
}

// --- Signals from a program we did not write ---------------------------------------------------

struct Minimodem {
    double baud;
    double mark_hz;
    double space_hz;
    const char* variant;
};

void PrintTo(const Minimodem& c, std::ostream* os) {
    *os << c.baud << " Bd, mark " << c.mark_hz << " Hz, space " << c.space_hz << " Hz";
}

class RttyFromMinimodem : public ::testing::TestWithParam<Minimodem> {};

TEST_P(RttyFromMinimodem, CopiesItsBaudot) {
    const Minimodem& c = GetParam();
    // Figures only at the end: minimodem does not repeat the figures shift after a space.
    const std::string text = "CQ CQ DE W1AW W1AW PSE K\nRYRYRY THE QUICK BROWN FOX 0123456789\n";
    const std::vector<float> sent = testbed::minimodem_rtty_audio(text, c.mark_hz, c.space_hz, c.baud);

    const double centre_hz = (c.mark_hz + c.space_hz) / 2.0;
    const testbed::ModemRun run = testbed::run_modem(*rtty_modem(centre_hz), transmission(sent, 10.0, 1));
    const double cer = testbed::character_error_rate(text, run.text);
    RecordProperty("character_error_rate", std::to_string(cer));
    EXPECT_LE(cer, 0.02) << run.text;
    EXPECT_EQ(run.last.variant, c.variant);
}

INSTANTIATE_TEST_SUITE_P(RatesShiftsAndPolarities, RttyFromMinimodem,
                         ::testing::Values(Minimodem{45.45, 1415.0, 1585.0, "45.45/170"},
                                           Minimodem{50.0, 2125.0, 1675.0, "50/450"},
                                           Minimodem{75.0, 1000.0, 1850.0, "75/850"}),
                         [](const ::testing::TestParamInfo<Minimodem>& info) {
                             return "baud_" + std::to_string(std::lround(info.param.baud)) + "_mark_" +
                                    std::to_string(std::lround(info.param.mark_hz));
                         });

}  // namespace
