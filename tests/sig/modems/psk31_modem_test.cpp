#include "sig/modems/psk31_modem.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/modems/modem_factory.hpp"
#include "testbed/lib/character_error_rate.hpp"
#include "testbed/lib/modem_run.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/test_signal.hpp"

namespace sig {
void PrintTo(Mode mode, std::ostream* os) { *os << mode_name(mode); }
}  // namespace sig

namespace {

const std::string kMessage = "CQ CQ DE W1AW W1AW PSE K\nthe quick brown fox jumps over the lazy dog 0123456789\n";

std::unique_ptr<sig::Modem> modem_at(sig::Mode mode, double audio_hz) {
    sig::Candidate candidate;
    candidate.audio_hz = audio_hz;
    auto modem = sig::make_modem(mode, candidate, {}, {});
    EXPECT_NE(modem, nullptr);
    return modem;
}

double baud_of(sig::Mode mode) { return mode == sig::Mode::PSK31 ? 31.25 : 62.5; }

testbed::PskSignal signal_at(sig::Mode mode, double carrier_hz, double phase_rad = 0.3) {
    testbed::PskSignal signal;
    signal.baud = baud_of(mode);
    signal.carrier_hz = carrier_hz;
    signal.phase_rad = phase_rad;
    return signal;
}

// A transmission framed by a second of silence, with noise over all of it at snr_db (relative to
// the transmission's own power).
std::vector<float> transmission(const std::vector<float>& burst, double snr_db, unsigned seed) {
    const double power = testbed::mean_power(burst);
    std::vector<float> audio =
        testbed::concatenate(testbed::concatenate(testbed::silence(1.0), burst), testbed::silence(1.0));
    if (std::isfinite(snr_db)) testbed::add_white_noise(audio, testbed::noise_rms_for_snr(power, snr_db), seed);
    return audio;
}

constexpr double kNoNoise = std::numeric_limits<double>::infinity();

// --- Round trips -------------------------------------------------------------------------------

struct RoundTrip {
    sig::Mode mode;
    double offset_hz;  // of the signal from the frequency the modem starts on
    double snr_db;
    double max_cer;    // measured over the three seeds below, with margin (docs/modems.md)
};

void PrintTo(const RoundTrip& c, std::ostream* os) {
    *os << sig::mode_name(c.mode) << " offset " << c.offset_hz << " Hz at " << c.snr_db << " dB";
}

std::string signed_name(double value) {
    const long rounded = std::lround(value);
    return (rounded < 0 ? "minus" : "plus") + std::to_string(std::labs(rounded));
}

std::string round_trip_name(const ::testing::TestParamInfo<RoundTrip>& info) {
    const RoundTrip& c = info.param;
    return std::string(sig::mode_name(c.mode)) + "_offset_" + signed_name(c.offset_hz) + "Hz_snr_" +
           signed_name(c.snr_db) + "dB";
}

std::string mode_param_name(const ::testing::TestParamInfo<sig::Mode>& info) { return sig::mode_name(info.param); }

class PskRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(PskRoundTrip, CopiesTheTextWithinItsErrorRate) {
    const RoundTrip& c = GetParam();
    double errors = 0.0;
    for (unsigned seed = 1; seed <= 3; ++seed) {
        const auto burst = testbed::modulate_psk_text(kMessage, signal_at(c.mode, 1000.0 + c.offset_hz, 0.7 * seed));
        const auto modem = modem_at(c.mode, 1000.0);
        const testbed::ModemRun run = testbed::run_modem(*modem, transmission(burst, c.snr_db, seed));
        errors += testbed::character_error_rate(kMessage, run.text);
        if (c.snr_db >= 0.0) {
            EXPECT_EQ(run.text, kMessage) << "seed " << seed;
            // Still locked in the steady carrier after the text: the loop found the true frequency.
            const std::size_t at_end_of_burst = (12000 + burst.size()) / 1200 - 1;
            EXPECT_NEAR(run.frequency_hz[at_end_of_burst], 1000.0 + c.offset_hz, 0.3) << "seed " << seed;
        }
    }
    RecordProperty("character_error_rate", std::to_string(errors / 3.0));
    EXPECT_LE(errors / 3.0, c.max_cer);
}

INSTANTIATE_TEST_SUITE_P(
    ModesOffsetsAndSnrs, PskRoundTrip,
    ::testing::Values(RoundTrip{sig::Mode::PSK31, 0.0, 20.0, 0.0}, RoundTrip{sig::Mode::PSK31, 3.0, 0.0, 0.0},
                      RoundTrip{sig::Mode::PSK31, -7.0, 0.0, 0.0}, RoundTrip{sig::Mode::PSK31, 0.0, -5.0, 0.01},
                      RoundTrip{sig::Mode::PSK31, 4.0, -8.0, 0.02}, RoundTrip{sig::Mode::PSK31, 0.0, -10.0, 0.06},
                      RoundTrip{sig::Mode::PSK63, 0.0, 20.0, 0.0}, RoundTrip{sig::Mode::PSK63, 9.0, 0.0, 0.0},
                      RoundTrip{sig::Mode::PSK63, -4.0, 0.0, 0.0}, RoundTrip{sig::Mode::PSK63, 0.0, -5.0, 0.02},
                      RoundTrip{sig::Mode::PSK63, 4.0, -7.0, 0.05}),
    round_trip_name);

// --- Silence where there is nothing to copy ----------------------------------------------------

class PskQuietness : public ::testing::TestWithParam<sig::Mode> {};

TEST_P(PskQuietness, PureNoisePrintsNothing) {
    for (unsigned seed = 1; seed <= 3; ++seed) {
        const auto modem = modem_at(GetParam(), 1000.0);
        const testbed::ModemRun run = testbed::run_modem(*modem, testbed::white_noise(60 * 12000, 0.1, seed));
        EXPECT_EQ(run.text, "") << "seed " << seed;
        for (const float q : run.quality) ASSERT_LT(q, 0.3f) << "seed " << seed;
    }
}

TEST_P(PskQuietness, SteadyCarrierAndIdleReversalsPrintNothing) {
    const sig::Mode mode = GetParam();
    for (const int bit : {0, 1}) {
        const auto modem = modem_at(mode, 1000.0);
        const auto audio = testbed::modulate_psk_bits(std::vector<int>(400, bit), signal_at(mode, 1000.0));
        const testbed::ModemRun run = testbed::run_modem(*modem, transmission(audio, 10.0, 5));
        EXPECT_EQ(run.text, "") << (bit ? "carrier" : "idle");
        if (bit == 0) {
            EXPECT_GT(run.quality[(12000 + audio.size()) / 1200 - 1], 0.9f) << "idle reversals are a perfect lock";
        }
    }
}

// Silence is no signal: the quality must not claim a lock, neither from the start nor after a
// transmission ends, or the next transmission would begin on coherent guesses.
TEST_P(PskQuietness, DigitalSilenceReadsAsNoSignal) {
    const sig::Mode mode = GetParam();
    const auto burst = testbed::modulate_psk_text("de W1AW", signal_at(mode, 1000.0));
    const auto audio = testbed::concatenate(testbed::concatenate(testbed::silence(10.0), burst), testbed::silence(10.0));
    const auto modem = modem_at(mode, 1000.0);
    const testbed::ModemRun run = testbed::run_modem(*modem, audio);
    EXPECT_EQ(run.text, "de W1AW");
    EXPECT_LT(run.quality[99], 0.05f) << "before the transmission";
    EXPECT_GT(run.quality[(120000 + burst.size()) / 1200 - 1], 0.9f) << "during it";
    EXPECT_LT(run.last.quality, 0.05f) << "after it";
}

INSTANTIATE_TEST_SUITE_P(BothSpeeds, PskQuietness, ::testing::Values(sig::Mode::PSK31, sig::Mode::PSK63),
                         mode_param_name);

// --- Quality -----------------------------------------------------------------------------------

TEST(PskQuality, StaysWithinZeroAndOneAndRisesWithSnr) {
    const auto burst = testbed::modulate_psk_text(kMessage + kMessage, signal_at(sig::Mode::PSK31, 1000.0));
    double previous = -1.0;
    for (const double snr_db : {-14.0, -10.0, -6.0, 0.0, 20.0}) {
        const auto modem = modem_at(sig::Mode::PSK31, 1000.0);
        const testbed::ModemRun run = testbed::run_modem(*modem, transmission(burst, snr_db, 11));
        // Mean quality over the second half of the transmission, once the lock had time.
        const std::size_t first = (12000 + burst.size() / 2) / 1200;
        const std::size_t last = (12000 + burst.size()) / 1200;
        double sum = 0.0;
        for (std::size_t k = first; k < last; ++k) {
            ASSERT_GE(run.quality[k], 0.0f);
            ASSERT_LE(run.quality[k], 1.0f);
            sum += run.quality[k];
        }
        const double mean = sum / static_cast<double>(last - first);
        EXPECT_GT(mean, previous) << snr_db << " dB";
        previous = mean;
    }
    EXPECT_GT(previous, 0.95);
}

// --- Characters --------------------------------------------------------------------------------

TEST(PskCharacters, CarriageReturnIsDroppedAndLineFeedKept) {
    const auto burst = testbed::modulate_psk_text("ab\r\ncd\r\n", signal_at(sig::Mode::PSK31, 1000.0));
    const auto modem = modem_at(sig::Mode::PSK31, 1000.0);
    EXPECT_EQ(testbed::run_modem(*modem, transmission(burst, kNoNoise, 0)).text, "ab\ncd\n");
}

TEST(PskCharacters, OverlongRunsAndControlCodesPrintNothing) {
    std::vector<int> bits(64, 0);
    const auto append = [&bits](const std::vector<int>& more) { bits.insert(bits.end(), more.begin(), more.end()); };
    append(testbed::psk_text_bits("e"));
    append(std::vector<int>(12, 1));  // longer than any code
    append({0, 0});
    append(testbed::psk_text_bits("\x07"));  // a code that exists but does not print
    append({1, 0, 1, 1, 0, 1, 0, 1, 1, 0, 1, 1, 0, 0});  // eleven bits with single zeros
    append(testbed::psk_text_bits("t"));
    append(std::vector<int>(32, 1));
    const auto modem = modem_at(sig::Mode::PSK31, 1000.0);
    const auto audio = testbed::modulate_psk_bits(bits, signal_at(sig::Mode::PSK31, 1000.0));
    EXPECT_EQ(testbed::run_modem(*modem, transmission(audio, kNoNoise, 0)).text, "et");
}

// Once locked, bits come from the sign of each de-rotated symbol rather than from the phase
// step between two symbols. The difference shows when two neighbouring symbols lean apart: the
// carrier phase of "ppp" (p is 111111) turned by +50 degrees and then by -50 degrees, two symbols
// each, in the middle letter's run of steady carrier. Each symbol is still on the right side,
// so a coherent receiver reads "ppp"; the 100 degree step between the two pairs would read as a
// reversal and turn the middle p into a u (110111).
TEST(PskCharacters, LockedDecisionsComeFromTheSymbolsSign) {
    std::vector<int> bits(64, 0);
    const std::vector<int> text_bits = testbed::psk_text_bits("ppp");
    bits.insert(bits.end(), text_bits.begin(), text_bits.end());
    bits.insert(bits.end(), 32, 1);
    const double lean_rad = 50.0 * std::numbers::pi / 180.0;
    const auto straight = testbed::modulate_psk_bits(bits, signal_at(sig::Mode::PSK31, 1000.0, 0.3));
    const auto up = testbed::modulate_psk_bits(bits, signal_at(sig::Mode::PSK31, 1000.0, 0.3 + lean_rad));
    const auto down = testbed::modulate_psk_bits(bits, signal_at(sig::Mode::PSK31, 1000.0, 0.3 - lean_rad));
    // The receiver takes its symbols at the transmitter's bit boundaries, where a reversal's
    // amplitude is full: each turned stretch runs from the middle of one bit to the middle of
    // another. The middle p's ones are bits 72 to 77.
    const double bit_samples = 12000.0 / 31.25;
    const auto at = [bit_samples](double bit) { return static_cast<std::size_t>(bit * bit_samples); };
    std::vector<float> audio = straight;
    std::copy(up.begin() + at(72.5), up.begin() + at(74.5), audio.begin() + at(72.5));
    std::copy(down.begin() + at(74.5), down.begin() + at(76.5), audio.begin() + at(74.5));
    const auto modem = modem_at(sig::Mode::PSK31, 1000.0);
    EXPECT_EQ(testbed::run_modem(*modem, transmission(audio, kNoNoise, 0)).text, "ppp");
}

// --- Tracking and retuning ---------------------------------------------------------------------

TEST(PskTracking, FollowsADriftingCarrier) {
    // 40 s of text from 1000 Hz drifting up 0.15 Hz/s (6 Hz in all), at a modest SNR.
    std::string text;
    while (text.size() < 100) text += "drift test de W1AW ";
    const auto base = testbed::modulate_psk_text(text, signal_at(sig::Mode::PSK31, 1000.0));
    const auto drifting = testbed::shift_frequency(base, 0.0, 0.15);
    const auto modem = modem_at(sig::Mode::PSK31, 1000.0);
    const testbed::ModemRun run = testbed::run_modem(*modem, transmission(drifting, 3.0, 21));
    EXPECT_LE(testbed::character_error_rate(text, run.text), 0.02) << run.text;
    for (std::size_t k = 40; k < (12000 + drifting.size()) / 1200; ++k) {
        const double now_s = static_cast<double>((k + 1) * 1200 - 12000) / 12000.0;
        EXPECT_NEAR(run.frequency_hz[k], 1000.0 + 0.15 * now_s, 0.5) << "at " << now_s << " s";
    }
}

TEST(PskTracking, CopesWithASendersClockError) {
    for (const double ppm : {-300.0, 300.0}) {
        const auto burst = testbed::apply_clock_error(
            testbed::modulate_psk_text(kMessage, signal_at(sig::Mode::PSK63, 1000.0)), ppm);
        const auto modem = modem_at(sig::Mode::PSK63, 1000.0);
        EXPECT_EQ(testbed::run_modem(*modem, transmission(burst, 5.0, 3)).text, kMessage) << ppm << " ppm";
    }
}

class PskRetune : public ::testing::TestWithParam<double> {};

// The analyzer moves the modem onto the signal it tracks; the loop must not lose its place.
TEST_P(PskRetune, SetFrequencyKeepsTheReportedFrequencyOnTheSignal) {
    const double move_hz = GetParam();
    const double signal_hz = 1003.0;
    std::string text;
    while (text.size() < 120) text += "retune test ";
    const auto audio = transmission(testbed::modulate_psk_text(text, signal_at(sig::Mode::PSK31, signal_hz)), 10.0, 4);
    const std::size_t split = 8 * 12000;
    const auto modem = modem_at(sig::Mode::PSK31, 1000.0);
    const testbed::ModemRun before =
        testbed::run_modem(*modem, std::vector<float>(audio.begin(), audio.begin() + split));
    ASSERT_NEAR(before.last.frequency_hz, signal_hz, 0.3);

    modem->set_frequency(1000.0 + move_hz);
    EXPECT_NEAR(modem->take_output().frequency_hz, signal_hz, 0.3) << "right after the move";

    const testbed::ModemRun after =
        testbed::run_modem(*modem, std::vector<float>(audio.begin() + split, audio.end()));
    EXPECT_EQ(before.text + after.text, text);
    EXPECT_NEAR(after.frequency_hz[after.frequency_hz.size() - 20], signal_hz, 0.3);
}

// 0.2 Hz keeps the search bank, the others restart it.
INSTANTIATE_TEST_SUITE_P(Moves, PskRetune, ::testing::Values(0.2, 0.3, 3.0, -4.0),
                         [](const ::testing::TestParamInfo<double>& info) {
                             return signed_name(info.param * 10.0) + "_tenths_Hz";
                         });

// --- The search bank ---------------------------------------------------------------------------

// A clean signal 4 Hz above where the modem starts (on the bank's 0.25 Hz grid). Once it has been
// copied and digital silence follows, nothing but the search bank moves the loop's correction:
// the symbols, and with them every loop error, are zero.
constexpr double kBankSignalHz = 1004.0;

std::vector<float> bank_transmission(const std::string& text) {
    return transmission(testbed::modulate_psk_text(text, signal_at(sig::Mode::PSK31, kBankSignalHz)), kNoNoise, 0);
}

// The modem after copying a transmission and one more second of silence.
std::unique_ptr<sig::Modem> modem_after_transmission() {
    auto modem = modem_at(sig::Mode::PSK31, 1000.0);
    const auto audio = testbed::concatenate(bank_transmission("bank test de W1AW"), testbed::silence(1.0));
    const testbed::ModemRun run = testbed::run_modem(*modem, audio);
    EXPECT_EQ(run.text, "bank test de W1AW");
    EXPECT_NEAR(run.last.frequency_hz, kBankSignalHz, 0.3);
    EXPECT_EQ(run.last.quality, 0.0f) << "searching in the silence";
    return modem;
}

// A move of the oscillator by a quarter hertz or less keeps what the bank has seen; a larger one
// restarts it. Kept, its carrier holds the correction through the silence; restarted, it has no
// carrier to offer and the searching correction fades towards the oscillator.
TEST(PskSearchBank, SmallMovesKeepItLargerOnesRestartIt) {
    for (const double move_hz : {0.2, -0.25, 0.3, -0.3}) {
        const auto modem = modem_after_transmission();
        const double before_hz = modem->take_output().frequency_hz;
        modem->set_frequency(1000.0 + move_hz);
        const testbed::ModemRun silence = testbed::run_modem(*modem, testbed::silence(2.0));
        const double correction_hz = before_hz - (1000.0 + move_hz);
        if (std::abs(move_hz) <= 0.25) {
            EXPECT_NEAR(silence.last.frequency_hz, before_hz, 0.01) << move_hz << " Hz: kept";
        } else {
            EXPECT_LT(std::abs(silence.last.frequency_hz - (1000.0 + move_hz)), 0.5 * std::abs(correction_hz))
                << move_hz << " Hz: restarted";
        }
    }
}

// Without a clear carrier in the bank, a searching loop's frequency correction shrinks by 2 % a
// symbol: after one second of PSK31 (31.25 symbols) to 0.98^31.25 = 0.53 of itself.
TEST(PskSearchBank, WithoutACarrierTheSearchingCorrectionDecays) {
    const auto modem = modem_after_transmission();
    modem->set_frequency(1001.0);  // restarts the bank; the correction is now about +3 Hz
    const double start_hz = modem->take_output().frequency_hz - 1001.0;
    ASSERT_NEAR(start_hz, 3.0, 0.3);
    const testbed::ModemRun silence = testbed::run_modem(*modem, testbed::silence(2.0));
    const double one_second = (silence.frequency_hz[9] - 1001.0) / start_hz;
    const double two_seconds = (silence.frequency_hz[19] - 1001.0) / start_hz;
    EXPECT_NEAR(one_second, std::pow(0.98, 31.25), 0.02);
    EXPECT_NEAR(two_seconds, std::pow(0.98, 62.5), 0.02);
}

// Ten moves of 0.2 Hz each keep the bank, which then places the carrier 2 Hz away from where the
// loop, moved with the oscillator, places it. A searching loop (in the silence after a
// transmission) takes the bank's carrier beyond 1.5 Hz of disagreement; a tracking loop (during
// the transmission) keeps its own up to 8 Hz and copies on.
TEST(PskSearchBank, OverridesASearchingLoopBeyondOneAndAHalfHertzATrackingOneBeyondEight) {
    const auto step_oscillator = [](sig::Modem& modem) {
        for (int k = 1; k <= 10; ++k) modem.set_frequency(1000.0 + 0.2 * k);
    };
    {
        const auto searching = modem_after_transmission();
        step_oscillator(*searching);
        EXPECT_NEAR(searching->take_output().frequency_hz, kBankSignalHz, 0.3) << "the loop moved with the oscillator";
        const testbed::ModemRun silence = testbed::run_modem(*searching, testbed::silence(1.0));
        EXPECT_NEAR(silence.last.frequency_hz, 1002.0 + 4.0, 0.01) << "searching: the bank's carrier, 4 Hz up";
    }
    {
        std::string text;
        while (text.size() < 80) text += "tracking test ";
        const auto audio = bank_transmission(text);
        const auto split = static_cast<std::ptrdiff_t>(6 * 12000);
        const auto tracking = modem_at(sig::Mode::PSK31, 1000.0);
        const testbed::ModemRun before =
            testbed::run_modem(*tracking, std::vector<float>(audio.begin(), audio.begin() + split));
        ASSERT_GT(before.last.quality, 0.9f);
        step_oscillator(*tracking);
        const testbed::ModemRun after =
            testbed::run_modem(*tracking, std::vector<float>(audio.begin() + split, audio.end()));
        EXPECT_GT(after.quality[0], 0.9f) << "tracking: still locked";
        EXPECT_NEAR(after.frequency_hz[0], kBankSignalHz, 0.3);
        EXPECT_EQ(before.text + after.text, text);
    }
}

// --- Breaks in the audio -----------------------------------------------------------------------

// When the signal stops, the lock goes at once, not after the phase error has crept up.
TEST(PskBreaks, AbruptEndOfTheSignalDropsTheLockAtOnce) {
    const auto burst = testbed::modulate_psk_text(kMessage, signal_at(sig::Mode::PSK31, 1000.0));
    const auto modem = modem_at(sig::Mode::PSK31, 1000.0);
    const testbed::ModemRun run = testbed::run_modem(*modem, transmission(burst, 10.0, 6));
    const std::size_t last_block_with_signal = (12000 + burst.size()) / 1200 - 1;
    EXPECT_GT(run.quality[last_block_with_signal], 0.9f);
    EXPECT_EQ(run.quality[last_block_with_signal + 2], 0.0f) << "0.1 to 0.2 s after the end";
}

TEST(PskBreaks, DiscontinuityKeepsUndeliveredTextAndResetDropsIt) {
    const auto audio = transmission(testbed::modulate_psk_text("hello world ", signal_at(sig::Mode::PSK31, 1000.0)),
                                    kNoNoise, 0);
    for (const bool use_reset : {false, true}) {
        const auto modem = modem_at(sig::Mode::PSK31, 1000.0);
        sig::AudioBlock block;
        block.samples = audio;
        modem->process(block);  // no take_output: the text is still pending

        if (use_reset) {
            modem->reset();
        } else {
            block.samples.clear();
            block.discontinuity = true;
            modem->process(block);
        }
        const sig::ModemOutput out = modem->take_output();
        EXPECT_EQ(out.text, use_reset ? "" : "hello world ");
        EXPECT_EQ(out.frequency_hz, 0.0) << "no symbol decided since the break";
        EXPECT_EQ(out.quality, 0.0f);
    }
}

TEST(PskBreaks, ReacquiresAfterADiscontinuity) {
    const auto first = transmission(testbed::modulate_psk_text("first ", signal_at(sig::Mode::PSK63, 1000.0)), 10.0, 8);
    const auto second = transmission(testbed::modulate_psk_text("second", signal_at(sig::Mode::PSK63, 1002.0, 2.0)), 10.0, 9);
    const auto modem = modem_at(sig::Mode::PSK63, 1000.0);
    const testbed::ModemRun a = testbed::run_modem(*modem, first);
    const testbed::ModemRun b = testbed::run_modem(*modem, second, 1200, true);
    EXPECT_EQ(a.text + b.text, "first second");
    EXPECT_NEAR(b.frequency_hz[(12000 + second.size()) / 1200 / 2], 1002.0, 0.3);
}

TEST(PskBreaks, NonFiniteSamplesDoNotDeafenTheModem) {
    auto audio = transmission(testbed::modulate_psk_text(kMessage + kMessage, signal_at(sig::Mode::PSK31, 1000.0)),
                              10.0, 2);
    const std::size_t middle = audio.size() / 2;
    for (std::size_t k = middle; k < middle + 600; ++k)
        audio[k] = k % 2 ? std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::infinity();
    const auto modem = modem_at(sig::Mode::PSK31, 1000.0);
    const testbed::ModemRun run = testbed::run_modem(*modem, audio);
    EXPECT_TRUE(run.text.ends_with("the lazy dog 0123456789\n")) << run.text;
    const std::size_t end_of_burst = audio.size() / 1200 - 11;
    EXPECT_NEAR(run.frequency_hz[end_of_burst], 1000.0, 0.3);
    EXPECT_GT(run.quality[end_of_burst], 0.9f);
}

TEST(Psk31Modem, RefusesSettingsItCannotRun) {
    EXPECT_THROW(sig::Psk31Modem({sig::Mode::RTTY, 31.25, 24, 480, 110.0 / 12000.0}, 1000.0), std::runtime_error);
    EXPECT_THROW(sig::Psk31Modem({sig::Mode::PSK31, 31.25, 12, 480, 110.0 / 12000.0}, 1000.0), std::runtime_error);
    EXPECT_THROW(sig::Psk31Modem({sig::Mode::PSK31, 31.25, 0, 480, 110.0 / 12000.0}, 1000.0), std::runtime_error);
    EXPECT_THROW(sig::Psk31Modem({sig::Mode::PSK31, 31.25, 24, 1, 110.0 / 12000.0}, 1000.0), std::runtime_error);
}

}  // namespace
