#include "sig/modems/psk31_modem.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "sig/modems/design_lowpass.hpp"
#include "sig/modems/varicode.hpp"

namespace sig {
namespace {

using cd = std::complex<double>;

constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kAudioRateHz = 12000.0;
// Mean square of a phase error spread evenly over -pi/2..pi/2: what noise gives.
constexpr double kNoiseError = kPi * kPi / 12.0;
constexpr int kSymbolSamples = 16;
constexpr int kBankSize = 81;  // -20..+20 Hz on the squared signal in 0.5 Hz steps
constexpr std::uint32_t kRenormalisePeriod = 1024;
constexpr std::uint64_t kSymbolCountLimit = 1000000000;

double wrap_phase(double angle) {
    while (angle > kPi) angle -= kTwoPi;
    while (angle < -kPi) angle += kTwoPi;
    return angle;
}

// Angle from the nearer of 0 and pi: BPSK carries its data in the sign.
double half_square_angle(cd value) {
    const cd square = value * value;
    return 0.5 * std::atan2(square.imag(), square.real());
}

cd rotator(double radians) { return {std::cos(radians), std::sin(radians)}; }

enum class Varicode : std::uint32_t { IN_CHARACTER = 0, ZERO_PENDING = 1, IDLE = 2 };

}  // namespace

struct Psk31Modem::Impl {
    Mode mode;
    int decimation;
    std::size_t tap_count;
    double rate_hz;      // after decimation
    double bound;        // frequency correction limit, radians per decimated sample
    std::vector<float> taps;

    double carrier = 0.0;
    cd osc{1.0, 0.0};
    cd osc_step{1.0, 0.0};
    std::uint32_t osc_count = 0;

    std::vector<float> line_i;  // 2N entries: the newest N are always contiguous
    std::vector<float> line_q;
    std::size_t write_pos = 0;
    int decimation_count = 0;

    std::array<cd, kBankSize> bank_osc;
    std::array<cd, kBankSize> bank_step;
    std::array<cd, kBankSize> bank_avg;
    std::uint32_t bank_count = 0;

    double theta = 0.0;
    double omega = 0.0;

    std::array<cd, kSymbolSamples> symbols;
    std::size_t symbol_write = 0;
    std::size_t phase_index = 0;
    std::array<cd, kSymbolSamples> twiddle;
    std::array<double, kSymbolSamples> weights;

    cd timing{0.0, 0.0};
    double clock = 0.0;
    double clock_rate = 0.0;

    cd previous{0.0, 0.0};
    int previous_sign = 0;
    double psi = 0.0;

    double error = kNoiseError;
    double fast_amplitude = 0.0;
    double slow_amplitude = 0.0;
    std::uint64_t symbol_count = 0;

    std::uint32_t bits = 1;
    std::uint32_t bit_count = 0;
    Varicode state = Varicode::IDLE;

    std::string text;

    Impl(const Settings& settings, double audio_hz)
        : mode(settings.mode),
          decimation(settings.decimation),
          tap_count(static_cast<std::size_t>(settings.taps)),
          rate_hz(kAudioRateHz / settings.decimation),
          bound(kTwoPi * 10.0 / rate_hz),
          taps(design_kaiser_lowpass(settings.taps, settings.cutoff)),
          line_i(2 * tap_count, 0.0f),
          line_q(2 * tap_count, 0.0f) {
        for (int k = 0; k < kBankSize; ++k)
            bank_step[static_cast<std::size_t>(k)] = rotator(kTwoPi * (0.5 * k - 20.0) / rate_hz);
        for (int k = 0; k < kSymbolSamples; ++k) {
            twiddle[static_cast<std::size_t>(k)] = rotator(-kTwoPi * k / kSymbolSamples);
            weights[static_cast<std::size_t>(k)] = (1.0 - std::cos(kTwoPi * (k + 0.5) / kSymbolSamples)) / kSymbolSamples;
        }
        tune(audio_hz);
        clear_demodulator();
    }

    double quality() const { return std::clamp(1.0 - error / 0.4, 0.0, 1.0); }

    void tune(double audio_hz) {
        carrier = audio_hz;
        osc_step = rotator(-kTwoPi * audio_hz / kAudioRateHz);
    }

    void restart_bank() {
        bank_osc.fill(cd{1.0, 0.0});
        bank_avg.fill(cd{0.0, 0.0});
        bank_count = 0;
    }

    void restart_varicode() {
        bits = 1;
        bit_count = 0;
        state = Varicode::IDLE;
    }

    // Everything reset() clears except the text not yet taken.
    void clear_demodulator() {
        std::fill(line_i.begin(), line_i.end(), 0.0f);
        std::fill(line_q.begin(), line_q.end(), 0.0f);
        write_pos = 0;
        decimation_count = 0;
        osc_count = 0;
        osc = cd{1.0, 0.0};
        restart_bank();
        theta = 0.0;
        omega = 0.0;
        symbols.fill(cd{0.0, 0.0});
        symbol_write = 0;
        phase_index = 0;
        timing = cd{0.0, 0.0};
        clock = 0.0;
        clock_rate = 0.0;
        previous = cd{0.0, 0.0};
        previous_sign = 0;
        psi = 0.0;
        fast_amplitude = 0.0;
        slow_amplitude = 0.0;
        symbol_count = 0;
        error = kNoiseError;
        restart_varicode();
    }

    void consume(float x) {
        // A non-finite sample would poison every average for good; treat it as silence.
        if (!std::isfinite(x)) x = 0.0f;
        const float in_phase = static_cast<float>(x * osc.real());
        const float quadrature = static_cast<float>(x * osc.imag());
        osc *= osc_step;
        if (++osc_count == kRenormalisePeriod) {
            osc /= std::abs(osc);
            osc_count = 0;
        }
        line_i[write_pos] = line_i[write_pos + tap_count] = in_phase;
        line_q[write_pos] = line_q[write_pos + tap_count] = quadrature;

        if (++decimation_count == decimation) {
            decimation_count = 0;
            const float* newest_i = &line_i[write_pos + 1];
            const float* newest_q = &line_q[write_pos + 1];
            float sum_i = 0.0f;
            float sum_q = 0.0f;
            for (std::size_t k = 0; k < tap_count; ++k) {
                sum_i += taps[k] * newest_i[k];
                sum_q += taps[k] * newest_q[k];
            }
            decimated(cd{sum_i, sum_q});
        }
        write_pos = write_pos + 1 == tap_count ? 0 : write_pos + 1;
    }

    void decimated(cd z) {
        // Squaring strips the BPSK modulation and leaves a line at twice the carrier offset.
        const cd squared = z * z;
        for (std::size_t k = 0; k < kBankSize; ++k) {
            bank_avg[k] += 0.002 * (std::conj(bank_osc[k]) * squared - bank_avg[k]);
            bank_osc[k] *= bank_step[k];
        }
        if (++bank_count == kRenormalisePeriod) {
            for (cd& phasor : bank_osc) phasor /= std::abs(phasor);
            bank_count = 0;
        }

        const cd y = z * rotator(-theta);
        theta = wrap_phase(theta + omega);

        timing += (twiddle[phase_index] * std::norm(y) - timing) / 512.0;
        symbols[symbol_write] = y;
        symbol_write = (symbol_write + 1) % kSymbolSamples;

        clock += 1.0 + clock_rate / kSymbolSamples;
        if (clock >= kSymbolSamples) {
            clock -= kSymbolSamples;
            symbol_instant();
        }
        phase_index = (phase_index + 1) % kSymbolSamples;
    }

    void symbol_instant() {
        cd s{0.0, 0.0};
        for (std::size_t k = 0; k < kSymbolSamples; ++k) s += weights[k] * symbols[(symbol_write + k) % kSymbolSamples];

        if (std::abs(timing) > 0.0) {
            const double phi = std::atan2(timing.imag(), timing.real());
            double e = -kSymbolSamples * phi / kTwoPi - ((static_cast<double>(phase_index) - 7.5) - clock);
            e -= kSymbolSamples * std::round(e / kSymbolSamples);
            clock_rate = std::clamp(clock_rate - 0.01 * e, -0.05, 0.05);
            clock -= 0.3 * e;
        }

        const double phase_error = half_square_angle(s);
        const cd d = s * std::conj(previous) * rotator(psi);
        const double differential_error = half_square_angle(d);

        const double q = 1.0 - error / 0.4;  // as it stood before this symbol
        const double gain = q < 0.0 ? 0.1 : (q > 1.0 ? 0.02 : 0.02 + 0.08 * (1.0 - q));

        psi = 0.15 * phase_error;
        theta = wrap_phase(theta + 0.15 * phase_error);
        omega = std::clamp(omega + (gain * differential_error + 0.005 * phase_error) / kSymbolSamples, -bound, bound);

        const double amplitude = std::abs(s);
        fast_amplitude += 0.5 * (amplitude - fast_amplitude);
        // A zero symbol (digital silence) has no phase at all: count it as noise, or silence
        // would read as a perfect lock and the next signal would start on coherent guesses.
        const double squared_error = amplitude > 0.0 ? phase_error * phase_error : kNoiseError;
        error += (squared_error - error) / 16.0;
        if (q < 0.3) {
            slow_amplitude += (amplitude - slow_amplitude) / 256.0;
        } else {
            slow_amplitude += (amplitude - slow_amplitude) / 64.0;
            if (fast_amplitude < 0.3 * slow_amplitude) {
                // Faded: whatever character was under way is lost, and the lock must be earned again.
                restart_varicode();
                error = kNoiseError;
            }
        }

        search_check(q);

        const int sign = s.real() < 0.0 ? -1 : 1;
        int bit;
        if (q > 0.6 && previous_sign != 0)
            bit = sign != previous_sign ? 0 : 1;
        else
            bit = d.real() < 0.0 ? 0 : 1;
        previous_sign = sign;
        previous = s;
        if (symbol_count < kSymbolCountLimit) ++symbol_count;

        varicode_bit(bit);
    }

    // The bank overrides the loop when it sees a clear carrier somewhere the loop is not.
    void search_check(double q) {
        std::size_t best = 0;
        double peak = std::norm(bank_avg[0]);
        double total = 0.0;
        for (std::size_t k = 0; k < kBankSize; ++k) {
            const double power = std::norm(bank_avg[k]);
            total += power;
            if (power > peak) {
                peak = power;
                best = k;
            }
        }
        const double bank_hz = (0.5 * static_cast<double>(best) - 20.0) * 0.5;
        const double loop_hz = omega * rate_hz / kTwoPi;
        if (peak > 0.0 && peak > 8.0 * (total - peak) / 80.0) {
            const double tolerance_hz = q >= 0.3 ? 8.0 : 1.5;
            if (std::abs(bank_hz - loop_hz) > tolerance_hz) {
                error = kNoiseError;
                omega = std::clamp(kTwoPi * bank_hz / rate_hz, -bound, bound);
            }
        } else if (q < 0.3) {
            omega *= 0.98;
        }
    }

    // Bits are counted even when they can no longer be stored, so an overlong run can never end
    // in a valid-looking index.
    void count_bit() {
        if (bit_count < UINT32_MAX) ++bit_count;
    }

    void varicode_bit(int bit) {
        if (bit == 1) {
            if (state == Varicode::ZERO_PENDING) {
                if (bit_count < 10) bits = 2 * bits;
                count_bit();
            }
            if (bit_count < 10) bits = 2 * bits + 1;
            count_bit();
            state = Varicode::IN_CHARACTER;
            return;
        }
        if (state == Varicode::IN_CHARACTER) {
            state = Varicode::ZERO_PENDING;
            return;
        }
        if (state == Varicode::ZERO_PENDING) {
            if (bit_count >= 1 && bit_count <= 10) {
                const int c = psk_varicode_lookup(bits);
                const bool shown = (c >= 0x20 && c <= 0x7E) || c == '\n';
                if (c != -1 && quality() >= 0.05 && shown) text.push_back(static_cast<char>(c));
            }
            restart_varicode();
        }
    }
};

Psk31Modem::Psk31Modem(const Settings& settings, double audio_hz) {
    if (settings.mode != Mode::PSK31 && settings.mode != Mode::PSK63)
        throw std::runtime_error(std::string("PSK modem cannot decode ") + mode_name(settings.mode));
    if (settings.decimation < 1) throw std::runtime_error("PSK modem decimation must be at least 1");
    if (!(settings.baud > 0.0) || std::abs(kAudioRateHz / settings.decimation / settings.baud - kSymbolSamples) > 1e-9)
        throw std::runtime_error("PSK modem needs 16 decimated samples per symbol");
    if (!std::isfinite(audio_hz)) throw std::runtime_error("PSK modem audio frequency must be a finite number");
    impl_ = std::make_unique<Impl>(settings, audio_hz);
}

Psk31Modem::~Psk31Modem() = default;

Mode Psk31Modem::mode() const { return impl_->mode; }

void Psk31Modem::process(const AudioBlock& block) {
    if (block.discontinuity) impl_->clear_demodulator();
    for (const float x : block.samples) impl_->consume(x);
}

void Psk31Modem::set_frequency(double audio_hz) {
    Impl& m = *impl_;
    if (!std::isfinite(audio_hz)) return;
    const double move_hz = audio_hz - m.carrier;
    m.tune(audio_hz);
    // Keep the correction the loop found, relative to the signal rather than the oscillator.
    m.omega = std::clamp((m.omega * m.rate_hz / kTwoPi - move_hz) * kTwoPi / m.rate_hz, -m.bound, m.bound);
    if (std::abs(move_hz) > 0.25) m.restart_bank();
}

void Psk31Modem::reset() {
    impl_->clear_demodulator();
    impl_->text.clear();
}

ModemOutput Psk31Modem::take_output() {
    Impl& m = *impl_;
    ModemOutput out;
    out.text = std::move(m.text);
    m.text.clear();
    out.frequency_hz = m.symbol_count > 0 ? m.carrier + m.omega * m.rate_hz / kTwoPi : 0.0;
    out.quality = static_cast<float>(m.quality());
    return out;
}

}  // namespace sig
