#include "sig/modems/resolve_variant.hpp"

namespace sig {
namespace {

bool configured(const std::string& variant) { return !variant.empty() && variant != "auto"; }

}  // namespace

std::string resolve_variant(Mode mode, const Candidate& candidate, const ModemSettings& settings) {
    switch (mode) {
    case Mode::RTTY:
        return configured(settings.rtty) ? settings.rtty : "auto";
    case Mode::WEFAX:
        if (configured(settings.wefax)) return settings.wefax;
        return candidate.variant.empty() ? "auto" : candidate.variant;
    default:
        return candidate.variant;
    }
}

}  // namespace sig
