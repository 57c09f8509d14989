#include "sig/modems/cw_modem.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <deque>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "sig/modems/design_lowpass.hpp"
#include "sig/modems/morse.hpp"

namespace sig {
namespace {

using cf = std::complex<float>;
using cd = std::complex<double>;

constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kAudioRateHz = 12000.0;
constexpr double kEnvelopeRateHz = 1000.0;
constexpr std::uint32_t kDecimation = 12;
constexpr std::size_t kMixedRing = 128;
constexpr std::size_t kEnvelopeRing = 64;
constexpr std::size_t kSecondTaps = 63;
constexpr std::uint32_t kRenormalisePeriod = 4096;
constexpr double kPeakDecay = 0.9996;
constexpr std::uint64_t kWarmUp = 150;
constexpr std::uint32_t kDebounce = 3;
constexpr double kShortest = 8.0;  // ms: shorter marks are clicks, shorter gaps dropouts
constexpr double kMinimumDot = 25.0;
constexpr double kMaximumDot = 300.0;
constexpr double kDotDashLimit = 1.7320508;  // sqrt(3): between one and three dots
constexpr double kWordGapLimit = 4.5825757;  // sqrt(21): between three and seven dots
constexpr std::size_t kDurationsKept = 8;
constexpr std::size_t kSymbolLimit = 8;
constexpr std::size_t kOutcomeWindow = 20;

std::vector<float> second_lowpass() {
    std::array<double, kSecondTaps> raw{};
    double sum = 0.0;
    for (std::size_t k = 0; k < kSecondTaps; ++k) {
        const double m = static_cast<double>(k) - 31.0;
        const double window = 0.42 - 0.5 * std::cos(kTwoPi * k / 62.0) + 0.08 * std::cos(2.0 * kTwoPi * k / 62.0);
        raw[k] = window * (k == 31 ? 0.1 : std::sin(0.1 * kPi * m) / (kPi * m));
        sum += raw[k];
    }
    std::vector<float> taps(kSecondTaps);
    for (std::size_t k = 0; k < kSecondTaps; ++k) taps[k] = static_cast<float>(raw[k] / sum);
    return taps;
}

double geometric_mean(const double* first, const double* last) {
    double log_sum = 0.0;
    for (const double* at = first; at != last; ++at) log_sum += std::log(*at);
    return std::exp(log_sum / static_cast<double>(last - first));
}

void push_bounded(std::deque<double>& queue, double value) {
    queue.push_back(value);
    if (queue.size() > kDurationsKept) queue.pop_front();
}

}  // namespace

struct CwModem::Impl {
    double audio_hz = 0.0;
    cd osc{1.0, 0.0};
    cd osc_step{1.0, 0.0};
    std::uint32_t osc_count = 0;
    std::vector<float> first_taps;
    std::vector<float> second_taps;
    std::vector<cf> mixed;
    std::uint64_t mixed_count = 0;
    std::uint32_t decimation_count = 0;
    std::vector<cf> filtered;
    std::uint64_t filtered_count = 0;

    double peak = 0.0;
    double floor = 0.0;
    bool initialised = false;
    bool decision = false;
    bool keyed = false;
    std::uint32_t debounce = 0;
    std::uint64_t n = 0;
    std::uint64_t key_down = 0;
    std::uint64_t key_up = 0;
    bool mark_ended = false;

    double dot_ms = 60.0;
    std::uint32_t speed_updates = 0;
    std::deque<double> marks;
    std::deque<double> gaps;
    std::string symbol;
    bool letter_done = true;
    bool word_done = true;

    cf previous{};
    double offset_hz = 0.0;
    bool has_offset = false;

    std::string text;
    char last_char = ' ';
    std::deque<bool> outcomes;

    // What the last mark changed, so that a dropout too short to be a gap can take it back: the
    // mark then continues and is classified once, whole.
    struct Undo {
        bool valid = false;
        std::size_t symbol_size = 0;
        double dot_ms = 0.0;
        std::uint32_t speed_updates = 0;
        bool dropped_mark = false;
        double dropped = 0.0;
    } undo;

    explicit Impl(double start_hz)
        : first_taps(design_blackman_lowpass(250.0)),
          second_taps(second_lowpass()),
          mixed(kMixedRing),
          filtered(kEnvelopeRing) {
        symbol.reserve(kSymbolLimit + 1);
        tune(start_hz);
    }

    void tune(double hz) {
        audio_hz = hz;
        osc_step = cd{std::cos(kTwoPi * hz / kAudioRateHz), -std::sin(kTwoPi * hz / kAudioRateHz)};
    }

    void restart() {
        std::fill(mixed.begin(), mixed.end(), cf{});
        std::fill(filtered.begin(), filtered.end(), cf{});
        mixed_count = 0;
        filtered_count = 0;
        decimation_count = 0;
        peak = 0.0;
        floor = 0.0;
        initialised = false;
        decision = false;
        keyed = false;
        debounce = 0;
        n = 0;
        key_down = 0;
        key_up = 0;
        mark_ended = false;
        speed_updates = 0;
        marks.clear();
        gaps.clear();
        symbol.clear();
        letter_done = true;
        word_done = true;
        previous = cf{};
        offset_hz = 0.0;
        has_offset = false;
        undo.valid = false;
    }

    double quality() const {
        if (outcomes.empty()) return 0.0;
        const auto count = std::count(outcomes.begin(), outcomes.end(), true);
        return static_cast<double>(count) / static_cast<double>(outcomes.size());
    }

    void hold_dot() { dot_ms = std::clamp(dot_ms, kMinimumDot, kMaximumDot); }

    void consume(float x) {
        // A non-finite sample would leave the noise floor undefined for good: the modem would
        // never key again.
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
        for (std::size_t k = 0; k < first_taps.size(); ++k)
            y += first_taps[k] * mixed[(mixed_count - 1 - k) % kMixedRing];
        filtered[filtered_count % kEnvelopeRing] = y;
        ++filtered_count;
        cf v{};
        for (std::size_t k = 0; k < kSecondTaps; ++k)
            v += second_taps[k] * filtered[(filtered_count - 1 - k) % kEnvelopeRing];
        envelope_sample(v);
    }

    void envelope_sample(cf v) {
        const double e = std::abs(cd(v));
        if (!initialised) {
            floor = e;
            peak = kPeakDecay * e;
            initialised = true;
        } else {
            peak = e > peak ? e : kPeakDecay * peak;
        }

        if (n < kWarmUp) {
            floor += 0.02 * (e - floor);
            decision = false;
        } else if (decision) {
            decision = peak >= 4.0 * floor + 1e-6 && e > floor + 0.35 * (peak - floor);
        } else {
            floor += (n < 1000 ? 0.02 : 0.005) * (e - floor);
            decision = peak >= 4.0 * floor + 1e-6 && e > floor + 0.5 * (peak - floor);
        }

        if (!keyed)
            while_up(v);
        else
            while_down(v);

        if (!keyed && mark_ended) letters_and_words();
    }

    void while_up(cf v) {
        previous = v;
        const std::uint64_t index = n++;
        debounce = decision ? debounce + 1 : 0;
        if (debounce < kDebounce) return;
        const std::uint64_t t = index - 2;
        keyed = true;
        debounce = 0;
        if (!mark_ended) {
            key_down = t;
            return;
        }
        const double g = static_cast<double>(t - key_up);
        if (g < kShortest) {
            take_back_last_mark();
            return;
        }
        const double rho = g / dot_ms;
        if (rho < kDotDashLimit) {
            dot_ms *= std::pow(rho, speed_updates < 8 ? 0.5 : 0.3);
            hold_dot();
            ++speed_updates;
        } else if (rho < kWordGapLimit) {
            dot_ms *= std::pow(rho / 3.0, speed_updates < 8 ? 0.25 : 0.15);
            hold_dot();
            ++speed_updates;
        }
        push_bounded(gaps, g);
        key_down = t;
        undo.valid = false;
    }

    void while_down(cf v) {
        const cf w = v * std::conj(previous);
        if (std::abs(w) > 0.0f) {
            const double phi = std::atan2(static_cast<double>(w.imag()), static_cast<double>(w.real())) *
                               kEnvelopeRateHz / kTwoPi;
            if (!has_offset) {
                offset_hz = phi;
                has_offset = true;
            } else {
                offset_hz += 0.02 * (phi - offset_hz);
            }
        }
        previous = v;
        const std::uint64_t index = n++;
        debounce = decision ? 0 : debounce + 1;
        if (debounce < kDebounce) return;
        const std::uint64_t t = index - 2;
        keyed = false;
        debounce = 0;
        const double d = static_cast<double>(t - key_down);
        if (d < kShortest) return;
        update_timing(d);
        key_up = t;
        mark_ended = true;
        letter_done = false;
        word_done = false;
    }

    // The dropout did not end the mark: forget how its first part was classified; the mark is
    // measured on from its own key-down.
    void take_back_last_mark() {
        if (!undo.valid) return;
        symbol.resize(undo.symbol_size);
        dot_ms = undo.dot_ms;
        speed_updates = undo.speed_updates;
        marks.pop_back();
        if (undo.dropped_mark) marks.push_front(undo.dropped);
        undo.valid = false;
    }

    void update_timing(double d) {
        undo.valid = true;
        undo.symbol_size = symbol.size();
        undo.dot_ms = dot_ms;
        undo.speed_updates = speed_updates;
        undo.dropped_mark = marks.size() == kDurationsKept;
        undo.dropped = undo.dropped_mark ? marks.front() : 0.0;

        const double rho = d / dot_ms;
        if (symbol.size() < kSymbolLimit)
            symbol.push_back(rho <= kDotDashLimit ? '.' : '-');
        else if (symbol.size() == kSymbolLimit)
            symbol.push_back('x');  // it can no longer decode; one marker is enough

        if (rho <= 6.0) {
            const double k = rho <= kDotDashLimit ? 1.0 : 3.0;
            dot_ms *= std::pow(d / (k * dot_ms), speed_updates < 8 ? 0.5 : 0.3);
            hold_dot();
            ++speed_updates;
        }

        push_bounded(marks, d);
        if (marks.size() < 4) return;
        // The queues never hold more than kDurationsKept; the bound is spelled out so that the
        // optimiser sees the copies and sorts stay inside the arrays (g++ 12 warns otherwise).
        std::array<double, kDurationsKept> sorted{};
        const std::size_t count = std::min(marks.size(), kDurationsKept);
        std::copy_n(marks.begin(), count, sorted.begin());
        std::sort(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(count));
        std::size_t split = 1;
        double largest = sorted[1] / sorted[0];
        for (std::size_t i = 2; i < count; ++i) {
            const double ratio = sorted[i] / sorted[i - 1];
            if (ratio > largest) {
                largest = ratio;
                split = i;
            }
        }
        double estimate = 0.0;
        if (largest >= 2.0) {
            const double dots = geometric_mean(sorted.data(), sorted.data() + split);
            const double dashes = geometric_mean(sorted.data() + split, sorted.data() + count);
            const double ratio = dashes / dots;
            if (ratio >= 2.0 && ratio <= 4.5) estimate = std::sqrt(dots * dashes / 3.0);
        } else if (gaps.size() >= 2) {
            std::array<double, kDurationsKept> shortest{};
            const std::size_t gap_count = std::min(gaps.size(), kDurationsKept);
            std::copy_n(gaps.begin(), gap_count, shortest.begin());
            std::sort(shortest.begin(), shortest.begin() + static_cast<std::ptrdiff_t>(gap_count));
            const std::size_t half = (gap_count + 1) / 2;
            const double gap_mean = geometric_mean(shortest.data(), shortest.data() + half);
            const double mark_mean = geometric_mean(sorted.data(), sorted.data() + count);
            const double q = mark_mean / gap_mean;
            if (q > 0.6 && q < 1.6)
                estimate = std::sqrt(mark_mean * gap_mean);
            else if (q > 2.0 && q < 4.5)
                estimate = std::sqrt(mark_mean * gap_mean / 3.0);
        }
        if (estimate > 0.0 && (estimate > 1.4 * dot_ms || estimate < dot_ms / 1.4)) {
            dot_ms = estimate;
            hold_dot();
        }
    }

    void letters_and_words() {
        const double s = static_cast<double>(n - key_up);
        if (!letter_done && s >= 2.0 * dot_ms) {
            if (!symbol.empty()) {
                const std::string_view decoded = morse_decode(symbol);
                if (!decoded.empty()) {
                    text.append(decoded);
                    last_char = decoded.back();
                }
                outcomes.push_back(!decoded.empty());
                if (outcomes.size() > kOutcomeWindow) outcomes.pop_front();
                symbol.clear();
            }
            letter_done = true;
            undo.valid = false;
        }
        if (letter_done && !word_done && s >= 5.0 * dot_ms) {
            if (last_char != ' ') {
                text.push_back(' ');
                last_char = ' ';
            }
            word_done = true;
        }
    }
};

CwModem::CwModem(double audio_hz) {
    if (!std::isfinite(audio_hz)) throw std::runtime_error("CW modem audio frequency must be a finite number");
    impl_ = std::make_unique<Impl>(audio_hz);
}

CwModem::~CwModem() = default;

Mode CwModem::mode() const { return Mode::CW; }

void CwModem::process(const AudioBlock& block) {
    if (block.discontinuity) impl_->restart();
    for (const float x : block.samples) impl_->consume(x);
}

void CwModem::set_frequency(double audio_hz) {
    if (std::isfinite(audio_hz)) impl_->tune(audio_hz);
}

void CwModem::reset() { impl_->restart(); }

ModemOutput CwModem::take_output() {
    Impl& m = *impl_;
    ModemOutput out;
    out.text = std::move(m.text);
    m.text.clear();
    out.frequency_hz = m.has_offset ? m.audio_hz + m.offset_hz : m.audio_hz;
    out.quality = static_cast<float>(m.quality());
    return out;
}

}  // namespace sig
