#include "sig/modems/rtty_modem.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "sig/modems/design_lowpass.hpp"
#include "sig/modems/ita2.hpp"

namespace sig {
namespace {

using cf = std::complex<float>;
using cd = std::complex<double>;

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kAudioRateHz = 12000.0;
constexpr double kDecimatedRateHz = 2000.0;
constexpr std::uint32_t kDecimation = 6;
constexpr std::size_t kMixedRing = 128;
constexpr std::size_t kMinimumHistory = 64;
constexpr std::uint32_t kRenormalisePeriod = 4096;
constexpr std::size_t kOutcomeWindow = 20;
constexpr std::size_t kTextKept = 256;
constexpr std::uint32_t kLockLossErrors = 15;

constexpr double kShifts[] = {170.0, 450.0, 850.0};
constexpr double kRates[] = {45.45, 50.0, 75.0};

std::optional<double> read_decimal(const char*& first, const char* last) {
    double value = 0.0;
    const auto result = std::from_chars(first, last, value, std::chars_format::fixed);
    if (result.ec != std::errc() || result.ptr == first) return std::nullopt;
    first = result.ptr;
    return value;
}

}  // namespace

std::optional<RttyDecoderSpec> parse_rtty_variant(const std::string& text) {
    const char* at = text.data();
    const char* const end = text.data() + text.size();
    const auto rate = read_decimal(at, end);
    if (!rate || at == end || *at != '/') return std::nullopt;
    ++at;
    const auto shift = read_decimal(at, end);
    if (!shift || at != end) return std::nullopt;
    if (!(*rate >= 20.0 && *rate <= 300.0) || !(*shift >= 50.0 && *shift <= 2000.0)) return std::nullopt;
    RttyDecoderSpec spec;
    spec.rate_baud = std::abs(*rate - 45.45) <= 0.5 ? 45.45 : *rate;
    spec.shift_hz = *shift;
    return spec;
}

std::vector<RttyDecoderSpec> rtty_decoder_plan(const std::string& variant, const std::string& candidate_variant) {
    if (const auto configured = parse_rtty_variant(variant)) {
        RttyDecoderSpec spec = *configured;
        spec.preferred = true;
        return {spec};
    }
    std::vector<RttyDecoderSpec> plan;
    if (const auto estimate = parse_rtty_variant(candidate_variant)) {
        for (const double shift : kShifts) {
            if (std::abs(shift - estimate->shift_hz) > 0.5) continue;
            for (const double rate : kRates)
                plan.push_back({rate, shift, std::abs(rate - estimate->rate_baud) <= 0.5});
            break;
        }
        return plan;
    }
    for (const double shift : kShifts)
        for (const double rate : kRates) plan.push_back({rate, shift, false});
    return plan;
}

// Finds the characters in one discriminator stream: a mark-to-space edge starts a character,
// the bits are read at their centres on a clock that the edges inside the character correct.
struct RttyFramer {
    std::uint32_t state = 0;  // 0 idle, 1 start edge seen, 2 reading the character
    double nominal_period = 0.0;
    double period = 0.0;
    double start = 0.0;
    double previous = 0.0;
    bool has_previous = false;
    std::uint32_t bit_index = 0;
    std::uint32_t accumulator = 0;
    double smallest_contrast = 0.0;
    double edge_offsets = 0.0;
    double edge_bits = 0.0;
    std::uint32_t good = 0;
    std::uint32_t errors = 0;
    std::uint32_t consecutive_errors = 0;
    double period_error_sum = 0.0;
    std::uint32_t period_error_count = 0;
    std::deque<bool> outcomes;
    bool figures = false;
    bool line_end = false;
    bool unshift_on_space = false;
    std::string text;

    RttyFramer(double rate_baud, double shift_hz)
        : nominal_period(kDecimatedRateHz / rate_baud),
          period(nominal_period),
          unshift_on_space(std::abs(shift_hz - 170.0) < 20.0) {}

    // After a break in the audio: the character under way is lost, the statistics are not.
    void restart() {
        state = 0;
        has_previous = false;
        bit_index = 0;
        accumulator = 0;
        figures = false;
        line_end = false;
        consecutive_errors = 0;
        period = nominal_period;
    }

    void clear_statistics() {
        good = 0;
        errors = 0;
        consecutive_errors = 0;
        period_error_sum = 0.0;
        period_error_count = 0;
        outcomes.clear();
        text.clear();
    }

    // As new, statistics and text included.
    void clear() {
        restart();
        clear_statistics();
        start = 0.0;
        previous = 0.0;
        smallest_contrast = 0.0;
        edge_offsets = 0.0;
        edge_bits = 0.0;
    }

    double quality() const {
        if (outcomes.empty()) return 0.0;
        const auto count = std::count(outcomes.begin(), outcomes.end(), true);
        return static_cast<double>(count) / static_cast<double>(outcomes.size());
    }

    void record(bool outcome) {
        outcomes.push_back(outcome);
        if (outcomes.size() > kOutcomeWindow) outcomes.pop_front();
    }

    void decode(std::uint32_t code) {
        if (code == static_cast<std::uint32_t>(kIta2LettersShift)) {
            figures = false;
            return;
        }
        if (code == static_cast<std::uint32_t>(kIta2FiguresShift)) {
            figures = true;
            return;
        }
        const char ch = (figures ? ita2_figures() : ita2_letters())[code];
        if (code == 4 && unshift_on_space) figures = false;
        if (ch == '\r' || ch == '\n') {
            if (!line_end) text.push_back('\n');
            line_end = true;
        } else if (ch != 0 && ch != kIta2Bell) {
            text.push_back(ch);
            line_end = false;
        }
    }

    // One 2000 Hz sample: time t, discriminator d (positive: mark), tone contrast rho.
    bool step(double t, double d, double rho) {
        bool finished = false;
        if (has_previous && (d > 0.0) != (previous > 0.0)) {
            const double p = previous;
            const double crossing =
                (t - 1.0) + (std::abs(p - d) <= 1e-12 ? 0.5 : std::clamp(p / (p - d), 0.0, 1.0));
            if (state == 0 && p > 0.0 && d <= 0.0) {
                state = 1;
                start = crossing;
            } else if (state == 2) {
                const double delta = crossing - start;
                const double m = std::round(delta / period);
                if (m >= 1.0 && std::abs(delta - m * period) < 0.3 * period) {
                    start += 0.25 * (delta - m * period);
                    edge_offsets += delta;
                    edge_bits += m;
                }
            }
        }
        if (state == 1) {
            if (t >= start + 0.5 * period) {
                if (d < 0.0) {
                    state = 2;
                    bit_index = 0;
                    accumulator = 0;
                    smallest_contrast = rho;
                    edge_offsets = 0.0;
                    edge_bits = 0.0;
                } else {
                    state = 0;
                }
            }
        } else if (state == 2 && t >= start + (bit_index + 1.5) * period) {
            smallest_contrast = std::min(smallest_contrast, rho);
            if (bit_index <= 4) {
                if (d > 0.0) accumulator |= 1u << bit_index;
                ++bit_index;
            } else {
                const bool ok = d > 0.0 && smallest_contrast >= 2.0;
                record(ok);
                if (!ok) {
                    ++errors;
                    ++consecutive_errors;
                } else {
                    ++good;
                    consecutive_errors = 0;
                    if (edge_bits >= 2.0) {
                        const double measured = edge_offsets / edge_bits;
                        period_error_sum += measured / nominal_period - 1.0;
                        ++period_error_count;
                        period = std::clamp(period + 0.15 * (measured - period), 0.94 * nominal_period,
                                            1.06 * nominal_period);
                    }
                    decode(accumulator);
                }
                state = 0;
                finished = true;
            }
        }
        previous = d;
        has_previous = true;
        return finished;
    }
};

namespace {

struct RttyDecoder {
    double rate;
    double shift;
    std::uint32_t n;
    bool preferred;
    std::vector<cf> lower_reference;
    std::vector<cf> upper_reference;
    double peak_lower = 0.0;
    double peak_upper = 0.0;
    double decay;
    RttyFramer normal;
    RttyFramer inverted;

    explicit RttyDecoder(const RttyDecoderSpec& spec)
        : rate(spec.rate_baud),
          shift(spec.shift_hz),
          n(static_cast<std::uint32_t>(std::max(2.0, std::round(kDecimatedRateHz / spec.rate_baud)))),
          preferred(spec.preferred),
          decay(std::exp(-1.0 / (20.0 * kDecimatedRateHz / spec.rate_baud))),
          normal(spec.rate_baud, spec.shift_hz),
          inverted(spec.rate_baud, spec.shift_hz) {
        for (std::uint32_t k = 0; k < n; ++k) {
            const double angle = kTwoPi * (shift / 2.0) * k / kDecimatedRateHz;
            lower_reference.emplace_back(static_cast<float>(std::cos(angle)), static_cast<float>(-std::sin(angle)));
            upper_reference.emplace_back(static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle)));
        }
    }

    void restart() {
        peak_lower = 0.0;
        peak_upper = 0.0;
        normal.restart();
        inverted.restart();
    }

    void clear() {
        peak_lower = 0.0;
        peak_upper = 0.0;
        normal.clear();
        inverted.clear();
    }

    RttyFramer& framer(int polarity) { return polarity == 0 ? normal : inverted; }
};

struct Tones {
    double d;    // positive when the lower tone dominates
    double rho;  // contrast of the stronger tone over the weaker
};

}  // namespace

struct RttyModem::Impl {
    double audio_hz = 0.0;
    cd osc{1.0, 0.0};
    cd osc_step{1.0, 0.0};
    std::uint32_t osc_count = 0;
    std::vector<float> taps;
    std::vector<cf> mixed;  // kMixedRing
    std::uint64_t mixed_count = 0;
    std::uint32_t decimation_count = 0;
    std::vector<cf> history;  // power of two, at least the longest correlation
    std::size_t history_mask = 0;
    std::uint64_t t = 0;
    std::vector<RttyDecoder> decoders;
    int selected = -1;
    int polarity = 0;
    std::uint64_t loss_time = 0;
    std::string text;
    std::string variant;

    Impl(const std::vector<RttyDecoderSpec>& specs, double start_hz)
        : taps(design_blackman_lowpass(1000.0)), mixed(kMixedRing) {
        std::size_t longest = kMinimumHistory;
        decoders.reserve(specs.size());
        for (const RttyDecoderSpec& spec : specs) {
            decoders.emplace_back(spec);
            longest = std::max<std::size_t>(longest, decoders.back().n);
        }
        std::size_t size = kMinimumHistory;
        while (size < longest) size *= 2;
        history.assign(size, cf{});
        history_mask = size - 1;
        tune(start_hz);
    }

    void tune(double hz) {
        audio_hz = hz;
        osc_step = cd{std::cos(kTwoPi * hz / kAudioRateHz), -std::sin(kTwoPi * hz / kAudioRateHz)};
    }

    void restart() {
        std::fill(mixed.begin(), mixed.end(), cf{});
        std::fill(history.begin(), history.end(), cf{});
        decimation_count = 0;
        for (RttyDecoder& decoder : decoders) decoder.restart();
    }

    void consume(float x) {
        // One non-finite sample would leave a framer waiting for a bit time that never comes.
        if (!std::isfinite(x)) x = 0.0f;
        mixed[mixed_count % kMixedRing] = cf(static_cast<double>(x) * osc);
        ++mixed_count;
        osc *= osc_step;
        if (++osc_count == kRenormalisePeriod) {
            osc /= std::abs(osc);
            osc_count = 0;
        }
        if (++decimation_count < kDecimation) return;
        decimation_count = 0;
        cf y{};
        for (std::size_t k = 0; k < taps.size(); ++k) y += taps[k] * mixed[(mixed_count - 1 - k) % kMixedRing];
        history[t & history_mask] = y;
        ++t;
        if (selected < 0)
            search();
        else
            locked();
    }

    Tones correlate(RttyDecoder& decoder) const {
        cf lower{};
        cf upper{};
        for (std::uint32_t k = 0; k < decoder.n; ++k) {
            const cf sample = history[(t - 1 - k) & history_mask];
            lower += sample * decoder.lower_reference[k];
            upper += sample * decoder.upper_reference[k];
        }
        const double magnitude_lower = std::abs(cd(lower));
        const double magnitude_upper = std::abs(cd(upper));
        decoder.peak_lower = std::max(decoder.peak_lower * decoder.decay, magnitude_lower);
        decoder.peak_upper = std::max(decoder.peak_upper * decoder.decay, magnitude_upper);
        const double d = ((magnitude_lower - magnitude_upper) - (decoder.peak_lower - decoder.peak_upper) / 2.0) /
                         ((decoder.peak_lower + decoder.peak_upper) / 2.0 + 1e-9);
        const double rho = (std::max(magnitude_lower, magnitude_upper) + 1e-9) /
                           (std::min(magnitude_lower, magnitude_upper) + 1e-9);
        return {d, rho};
    }

    void search() {
        const double now = static_cast<double>(t);
        bool finished = false;
        for (RttyDecoder& decoder : decoders) {
            const Tones tones = correlate(decoder);
            for (const int pol : {0, 1}) {
                RttyFramer& framer = decoder.framer(pol);
                if (!framer.step(now, pol == 0 ? tones.d : -tones.d, tones.rho)) continue;
                finished = true;
                // A framer's figures describe one run of signal: a run of failures as long as the
                // one that ends a lock starts them afresh, or minutes of noise would outweigh the
                // first seconds of a real signal.
                if (framer.consecutive_errors > kLockLossErrors) framer.clear_statistics();
            }
        }
        if (finished) choose();
    }

    void choose() {
        const double limit = t - loss_time > static_cast<std::uint64_t>(8.0 * kDecimatedRateHz) ? 0.07 : 0.04;
        int best_decoder = -1;
        int best_polarity = 0;
        double best_score = -1e9;
        for (std::size_t index = 0; index < decoders.size(); ++index) {
            RttyDecoder& decoder = decoders[index];
            for (const int pol : {0, 1}) {
                RttyFramer& framer = decoder.framer(pol);
                if (framer.text.size() > kTextKept) framer.text.erase(0, framer.text.size() - kTextKept);
                if (framer.good <= 6 || framer.good < 3u * static_cast<std::uint64_t>(framer.errors) ||
                    framer.period_error_count < 1)
                    continue;
                const double mean_error = framer.period_error_sum / framer.period_error_count;
                if (!(std::abs(mean_error) <= limit)) continue;
                double score = static_cast<double>(framer.good) - 2.0 * framer.errors - 25.0 * std::abs(mean_error);
                if (decoder.preferred) score += 1.0;
                if (pol == 0) score += 0.5;
                if (score > best_score) {
                    best_score = score;
                    best_decoder = static_cast<int>(index);
                    best_polarity = pol;
                }
            }
        }
        if (best_decoder < 0) return;
        selected = best_decoder;
        polarity = best_polarity;
        RttyDecoder& winner = decoders[static_cast<std::size_t>(selected)];
        RttyFramer& framer = winner.framer(polarity);
        text += framer.text;
        framer.text.clear();
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%g/%g", winner.rate, winner.shift);
        variant = buffer;
        for (std::size_t index = 0; index < decoders.size(); ++index)
            if (static_cast<int>(index) != selected) decoders[index].clear();
    }

    void locked() {
        RttyDecoder& decoder = decoders[static_cast<std::size_t>(selected)];
        const Tones tones = correlate(decoder);
        RttyFramer& framer = decoder.framer(polarity);
        if (!framer.step(static_cast<double>(t), polarity == 0 ? tones.d : -tones.d, tones.rho)) return;
        text += framer.text;
        framer.text.clear();
        if (framer.consecutive_errors > kLockLossErrors) {
            selected = -1;
            for (RttyDecoder& each : decoders) each.clear();
            loss_time = t;
        }
    }
};

RttyModem::RttyModem(const std::vector<RttyDecoderSpec>& decoders, double audio_hz) {
    if (!std::isfinite(audio_hz)) throw std::runtime_error("RTTY modem audio frequency must be a finite number");
    for (const RttyDecoderSpec& spec : decoders)
        if (!(spec.rate_baud >= 20.0 && spec.rate_baud <= 300.0) || !(spec.shift_hz >= 50.0 && spec.shift_hz <= 2000.0))
            throw std::runtime_error("RTTY modem needs rates of 20 to 300 Bd and shifts of 50 to 2000 Hz");
    impl_ = std::make_unique<Impl>(decoders, audio_hz);
}

RttyModem::~RttyModem() = default;

Mode RttyModem::mode() const { return Mode::RTTY; }

void RttyModem::process(const AudioBlock& block) {
    if (block.discontinuity) impl_->restart();
    for (const float x : block.samples) impl_->consume(x);
}

void RttyModem::set_frequency(double audio_hz) {
    if (std::isfinite(audio_hz)) impl_->tune(audio_hz);
}

void RttyModem::reset() { impl_->restart(); }

ModemOutput RttyModem::take_output() {
    Impl& m = *impl_;
    ModemOutput out;
    out.text = std::move(m.text);
    m.text.clear();
    out.frequency_hz = m.audio_hz;
    if (m.selected >= 0) {
        out.variant = m.variant;
        out.quality = static_cast<float>(m.decoders[static_cast<std::size_t>(m.selected)].framer(m.polarity).quality());
    }
    return out;
}

}  // namespace sig
