#include "sig/modems/modem_factory.hpp"

#include "sig/modems/cw_modem.hpp"
#include "sig/modems/jtty_modem.hpp"
#include "sig/modems/olivia_modem.hpp"
#include "sig/modems/psk31_modem.hpp"
#include "sig/modems/resolve_variant.hpp"
#include "sig/modems/rtty_modem.hpp"
#include "sig/modems/sstv_modem.hpp"
#include "sig/modems/wefax_modem.hpp"

namespace sig {
namespace {

using Builder = std::unique_ptr<Modem> (*)(const Candidate&, const ModemSettings&, const ModemContext&);

struct ModemEntry {
    Mode mode;
    Builder build;
};

// One line per mode. Modes not listed have no modem.
constexpr ModemEntry kModems[] = {
    {Mode::PSK31, [](const Candidate& c, const ModemSettings&, const ModemContext&) -> std::unique_ptr<Modem> {
         return std::make_unique<Psk31Modem>(Psk31Modem::Settings{Mode::PSK31, 31.25, 24, 480, 110.0 / 12000.0},
                                             c.audio_hz);
     }},
    {Mode::PSK63, [](const Candidate& c, const ModemSettings&, const ModemContext&) -> std::unique_ptr<Modem> {
         return std::make_unique<Psk31Modem>(Psk31Modem::Settings{Mode::PSK63, 62.5, 12, 240, 220.0 / 12000.0},
                                             c.audio_hz);
     }},
    {Mode::RTTY, [](const Candidate& c, const ModemSettings& s, const ModemContext&) -> std::unique_ptr<Modem> {
         return std::make_unique<RttyModem>(rtty_decoder_plan(resolve_variant(Mode::RTTY, c, s), c.variant), c.audio_hz);
     }},
    // The candidate's own variant, as it is: one that does not parse is refused by the modem.
    {Mode::OLIVIA, [](const Candidate& c, const ModemSettings&, const ModemContext&) -> std::unique_ptr<Modem> {
         return std::make_unique<OliviaModem>(c, c.variant, 100.0);
     }},
    {Mode::CW, [](const Candidate& c, const ModemSettings&, const ModemContext&) -> std::unique_ptr<Modem> {
         return std::make_unique<CwModem>(c.audio_hz);
     }},
    {Mode::WEFAX, [](const Candidate& c, const ModemSettings& s, const ModemContext& x) -> std::unique_ptr<Modem> {
         return std::make_unique<WefaxModem>(wefax_settings(resolve_variant(Mode::WEFAX, c, s), c.audio_hz), x);
     }},
    {Mode::SSTV, [](const Candidate&, const ModemSettings&, const ModemContext& x) -> std::unique_ptr<Modem> {
         return std::make_unique<SstvModem>(x);
     }},
    {Mode::JTTY, [](const Candidate&, const ModemSettings&, const ModemContext& x) -> std::unique_ptr<Modem> {
         return std::make_unique<JttyModem>(x, jtty_passband(x.bandwidth_hz));
     }},
};

}  // namespace

std::unique_ptr<Modem> make_modem(Mode mode, const Candidate& candidate, const ModemSettings& settings,
                                  const ModemContext& context) {
    for (const ModemEntry& entry : kModems)
        if (entry.mode == mode) return entry.build(candidate, settings, context);
    return nullptr;
}

}  // namespace sig
