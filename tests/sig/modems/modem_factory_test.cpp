#include "sig/modems/modem_factory.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "sig/modems/resolve_variant.hpp"

namespace {

sig::Candidate candidate_at(double audio_hz, std::string variant = {}) {
    sig::Candidate c;
    c.audio_hz = audio_hz;
    c.variant = std::move(variant);
    return c;
}

enum class Built { NONE, MODEM };

struct FactoryCase {
    std::uint32_t mode;
    Built built;
    double start_hz = 0.0;  // PSK decides its frequency itself, SSTV reports none until a picture comes;
                            // RTTY, CW and WEFAX start on the candidate's
};

void PrintTo(const FactoryCase& c, std::ostream* os) { *os << "mode " << c.mode; }

class MakeModem : public ::testing::TestWithParam<FactoryCase> {};

TEST_P(MakeModem, BuildsOrDeclinesEachMode) {
    const auto mode = static_cast<sig::Mode>(GetParam().mode);
    const sig::ModemContext context{{"ch1", "rx", 14070000.0, true, 3000.0}, "/tmp"};
    switch (GetParam().built) {
    case Built::NONE:
        EXPECT_EQ(sig::make_modem(mode, candidate_at(1000.0), {}, context), nullptr);
        break;
    case Built::MODEM: {
        const auto modem = sig::make_modem(mode, candidate_at(1000.0), {}, context);
        ASSERT_NE(modem, nullptr);
        EXPECT_EQ(modem->mode(), mode);
        const sig::ModemOutput out = modem->take_output();
        EXPECT_EQ(out.text, "");
        EXPECT_EQ(out.frequency_hz, GetParam().start_hz);
        EXPECT_EQ(out.quality, 0.0f);
        EXPECT_EQ(out.variant, "");
        EXPECT_TRUE(out.events.empty());
        EXPECT_TRUE(out.lines.empty());
        break;
    }
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryMode, MakeModem,
    ::testing::Values(FactoryCase{0, Built::NONE}, FactoryCase{1, Built::MODEM}, FactoryCase{2, Built::NONE},
                      FactoryCase{3, Built::MODEM}, FactoryCase{4, Built::MODEM, 1000.0}, FactoryCase{5, Built::MODEM},
                      FactoryCase{6, Built::MODEM, 1000.0}, FactoryCase{7, Built::MODEM, 1000.0}, FactoryCase{8, Built::MODEM},
                      FactoryCase{9, Built::MODEM}, FactoryCase{10, Built::NONE}, FactoryCase{200, Built::NONE}));

TEST(ModemFactory, RefusesAFrequencyThatIsNoNumber) {
    EXPECT_THROW((void)sig::make_modem(sig::Mode::PSK31, candidate_at(std::nan("")), {}, {}), std::runtime_error);
}

struct VariantCase {
    sig::Mode mode;
    std::string configured_rtty;
    std::string configured_wefax;
    std::string candidate_variant;
    std::string expected;
};

void PrintTo(const VariantCase& c, std::ostream* os) {
    *os << sig::mode_name(c.mode) << " rtty=\"" << c.configured_rtty << "\" wefax=\"" << c.configured_wefax
        << "\" candidate=\"" << c.candidate_variant << '"';
}

class ResolveVariant : public ::testing::TestWithParam<VariantCase> {};

TEST_P(ResolveVariant, ChannelSettingWinsThenTheCandidate) {
    const VariantCase& c = GetParam();
    sig::ModemSettings settings;
    settings.rtty = c.configured_rtty;
    settings.wefax = c.configured_wefax;
    EXPECT_EQ(sig::resolve_variant(c.mode, candidate_at(1500.0, c.candidate_variant), settings), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResolveVariant,
    ::testing::Values(
        // RTTY never takes the classifier's estimate.
        VariantCase{sig::Mode::RTTY, "auto", "auto", "50/170", "auto"},
        VariantCase{sig::Mode::RTTY, "", "auto", "50/170", "auto"},
        VariantCase{sig::Mode::RTTY, "75/850", "auto", "50/170", "75/850"},
        VariantCase{sig::Mode::RTTY, "AUTO", "auto", "", "AUTO"},  // only lower-case "auto" means unset
        // WEFAX takes the channel's setting, else the candidate's, else "auto".
        VariantCase{sig::Mode::WEFAX, "auto", "auto", "120/576", "120/576"},
        VariantCase{sig::Mode::WEFAX, "auto", "60/288", "120/576", "60/288"},
        VariantCase{sig::Mode::WEFAX, "auto", "", "", "auto"},
        VariantCase{sig::Mode::WEFAX, "75/850", "auto", "", "auto"},
        // Every other mode keeps the candidate's variant, empty or not.
        VariantCase{sig::Mode::PSK31, "75/850", "60/288", "", ""},
        VariantCase{sig::Mode::OLIVIA, "auto", "auto", "32/1000", "32/1000"},
        VariantCase{sig::Mode::CW, "50/170", "auto", "x", "x"}));

}  // namespace
