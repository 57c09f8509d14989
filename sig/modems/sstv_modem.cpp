#include "sig/modems/sstv_modem.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <ctime>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "sig/modems/picture_file.hpp"
#include "sig/modems/sstv_sync_fit.hpp"

namespace sig {
namespace {

using cf = std::complex<float>;

constexpr double kPi = std::numbers::pi;
constexpr double kRateHz = 12000.0;
constexpr double kMixerHz = 1750.0;
constexpr double kMixerStep = 2.0 * kPi * kMixerHz / kRateHz;
constexpr int kTaps = 33;

constexpr std::int64_t kHeaderSamples = 10920;  // leaders, break, start bit, 8 bits, stop bit: 910 ms
constexpr std::int64_t kVisStep = 12;            // one candidate per millisecond
constexpr std::size_t kHistoryTrimAbove = 26640;
constexpr std::size_t kHistoryKept = 13320;

enum Family { MARTIN = 0, SCOTTIE = 1, PD = 2 };

constexpr std::array<SstvModeSpec, 12> kModeTable{{
    {"M1", 44, MARTIN, 320, 256, 146.432},
    {"M2", 40, MARTIN, 320, 256, 73.216},
    {"S1", 60, SCOTTIE, 320, 256, 138.24},
    {"S2", 56, SCOTTIE, 320, 256, 88.064},
    {"SDX", 76, SCOTTIE, 320, 256, 345.6},
    {"PD50", 93, PD, 320, 256, 91.52},
    {"PD90", 99, PD, 320, 256, 170.24},
    {"PD120", 95, PD, 640, 496, 121.6},
    {"PD160", 98, PD, 512, 400, 195.584},
    {"PD180", 96, PD, 640, 496, 183.04},
    {"PD240", 97, PD, 640, 496, 244.48},
    {"PD290", 94, PD, 800, 616, 228.8},
}};

// The list the receiver searches: copied once from the fixed table.
const std::vector<SstvModeSpec>& mode_list() {
    static const std::vector<SstvModeSpec> list(kModeTable.begin(), kModeTable.end());
    return list;
}

// One period of the mode's line structure, in ms.
double period_ms(const SstvModeSpec& m) {
    switch (m.family) {
    case MARTIN: return 3.0 * (m.scan_ms + 0.572) + 4.862 + 0.572;
    case SCOTTIE: return 3.0 * m.scan_ms + 4.5 + 9.0;
    default: return 4.0 * m.scan_ms + 22.08;
    }
}

int periods_of(const SstvModeSpec& m) { return m.family == PD ? m.height / 2 : m.height; }
int lines_per_period(const SstvModeSpec& m) { return m.family == PD ? 2 : 1; }

double sync_samples(const SstvModeSpec& m) {
    switch (m.family) {
    case MARTIN: return 58.344;
    case SCOTTIE: return 108.0;
    default: return 240.0;
    }
}

// Where the sync of period k lies after the nominal start of the period, in ms.
double sync_lead_ms(const SstvModeSpec& m) { return m.family == SCOTTIE ? 2.0 * m.scan_ms + 12.0 : 0.0; }

std::array<float, kTaps> design_taps() {
    std::array<double, kTaps> raw{};
    double sum = 0.0;
    for (int n = 0; n < kTaps; ++n) {
        const double w = 0.54 - 0.46 * std::cos(2.0 * kPi * n / 32.0);
        const int m = n - 16;
        raw[n] = m == 0 ? w * 0.15 : w * std::sin(2.0 * kPi * 900.0 / kRateHz * m) / (kPi * m);
        sum += raw[n];
    }
    std::array<float, kTaps> taps{};
    for (int n = 0; n < kTaps; ++n) taps[n] = static_cast<float>(raw[n] / sum);
    return taps;
}

std::uint8_t level_byte(double v) {
    if (v < 0.0) return 0;
    if (v > 1.0) return 255;
    return static_cast<std::uint8_t>(std::lround(255.0 * v));
}

std::uint8_t clamp_byte(double v) {
    return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
}

}  // namespace

std::span<const SstvModeSpec> sstv_modes() { return mode_list(); }

struct SstvModem::Impl {
    ModemContext context;

    std::array<float, kTaps> taps = design_taps();
    std::array<cf, kTaps> ring{};
    int write_index = 0;
    cf previous{1.0f, 0.0f};
    double phase = 0.0;

    // Running sum of the instantaneous frequency: entry j is the sum over the samples before
    // relative position j, so any span's mean costs two look-ups.
    std::vector<double> history{0.0};
    std::int64_t base = 0;
    std::int64_t scan_pos = 0;
    double t0 = 0.0;

    const SstvModeSpec* current = nullptr;
    std::int64_t start = 0;
    double offset = 0.0;
    int last_reported = 0;

    std::string last_name;
    std::string last_path;
    int last_width = 0;
    int last_height = 0;
    std::vector<std::uint8_t> pixels;

    std::vector<Event> events;

    explicit Impl(const ModemContext& c) : context(c) {}

    std::int64_t newest() const { return base + static_cast<std::int64_t>(history.size()) - 1; }

    double sum_at(double position) const {
        const double relative = position - static_cast<double>(base);
        const auto index = static_cast<std::size_t>(std::floor(relative));
        if (index + 1 >= history.size()) return history.back();
        const double fraction = relative - static_cast<double>(index);
        return history[index] + fraction * (history[index + 1] - history[index]);
    }

    double span_mean(double a, double b) const {
        if (a < static_cast<double>(base) || b > static_cast<double>(newest()) || a >= b) return 0.0;
        return (sum_at(b) - sum_at(a)) / (b - a);
    }

    void front_end(const std::vector<float>& samples) {
        for (const float x : samples) {
            ring[static_cast<std::size_t>(write_index)] =
                cf(x * static_cast<float>(std::cos(phase)), -x * static_cast<float>(std::sin(phase)));
            write_index = write_index + 1 == kTaps ? 0 : write_index + 1;
            phase += kMixerStep;
            if (phase > 2.0 * kPi) phase -= 2.0 * kPi;
            float re = 0.0f;
            float im = 0.0f;
            int slot = write_index;
            for (int j = 0; j < kTaps; ++j) {
                re += taps[static_cast<std::size_t>(j)] * ring[static_cast<std::size_t>(slot)].real();
                im += taps[static_cast<std::size_t>(j)] * ring[static_cast<std::size_t>(slot)].imag();
                slot = slot + 1 == kTaps ? 0 : slot + 1;
            }
            const cf y(re, im);
            const float d_re = y.real() * previous.real() + y.imag() * previous.imag();
            const float d_im = y.imag() * previous.real() - y.real() * previous.imag();
            const double f = std::atan2(static_cast<double>(d_im), static_cast<double>(d_re)) * kRateHz / (2.0 * kPi) +
                             kMixerHz;
            previous = y;
            history.push_back(history.back() + f);
        }
    }

    void trim_history() {
        if (history.size() <= kHistoryTrimAbove) return;
        const std::size_t dropped = history.size() - kHistoryKept;
        history.erase(history.begin(), history.begin() + static_cast<std::ptrdiff_t>(dropped));
        base += static_cast<std::int64_t>(dropped);
    }

    void emit_event(EventKind kind, std::int64_t position, int lines, std::string text = {}) {
        Event event;
        event.kind = kind;
        event.t = t0 + static_cast<double>(position) / kRateHz;
        event.mode = Mode::SSTV;
        event.variant = current ? current->name : "";
        event.audio_hz = 1900.0 + offset;
        event.bw_hz = 1200.0;
        event.lines = lines;
        event.text = std::move(text);
        events.push_back(std::move(event));
    }

    bool vis_at(std::int64_t end) {
        const auto t = static_cast<double>(end);
        if (base > end - kHeaderSamples) return false;
        if (std::abs(span_mean(t - 300, t - 60) - 1200.0) > 210.0) return false;
        const double leader = span_mean(t - 6960, t - 3840);
        if (std::abs(leader - 1900.0) > 150.0) return false;
        offset = leader - 1900.0;
        for (int i = 1; i <= 8; ++i) {
            const double second = t - 7200 + 360.0 * i;
            const double first = t - 10920 + 360.0 * i;
            if (std::abs(span_mean(second, second + 360) - leader) > 40.0) return false;
            if (std::abs(span_mean(first, first + 360) - leader) > 40.0) return false;
        }
        if (std::abs(span_mean(t - 3540, t - 3300) - offset - 1200.0) > 60.0) return false;
        if (std::abs(span_mean(t - 300, t - 60) - offset - 1200.0) > 60.0) return false;
        int code = 0;
        int ones = 0;
        for (int j = 0; j < 8; ++j) {
            const double b = t - 3600 + 360.0 * (j + 1);
            const double f = span_mean(b + 60, b + 300) - offset;
            int bit = 0;
            if (f >= 1200.0) {
                if (std::abs(f - 1300.0) > 60.0) return false;
            } else {
                if (std::abs(f - 1100.0) > 60.0) return false;
                bit = 1;
            }
            ones += bit;
            if (j < 7) code |= bit << j;
        }
        if (ones % 2 != 0) return false;
        for (const SstvModeSpec& m : mode_list()) {
            if (m.vis_code != code) continue;
            current = &m;
            start = end;
            last_reported = 0;
            emit_event(EventKind::WEFAX_START, end, 0);
            return true;
        }
        return false;
    }

    bool search_vis() {
        const std::int64_t last = newest();
        for (std::int64_t t = std::max(base + kHeaderSamples + 1, scan_pos); t <= last; t += kVisStep) {
            scan_pos = t + kVisStep;
            if (vis_at(t)) return true;
        }
        trim_history();
        return false;
    }

    // The position of the darkest sync-length span in [from, to], when it is dark enough to be
    // a sync; the first position wins ties.
    bool find_sync(double from, double to, double length, double threshold, std::int64_t& found) const {
        double best = 1e9;
        std::int64_t best_position = 0;
        for (auto p = static_cast<std::int64_t>(std::floor(from)); static_cast<double>(p) <= to; ++p) {
            const double m = span_mean(static_cast<double>(p), static_cast<double>(p) + length);
            if (m > 0.0 && m < best) {
                best = m;
                best_position = p;
            }
        }
        if (!(best < threshold)) return false;
        found = best_position;
        return true;
    }

    void sample_row(double from, double pixel_length, int width, std::uint8_t* out) const {
        for (int i = 0; i < width; ++i) {
            const double mean = span_mean(from + i * pixel_length, from + (i + 1) * pixel_length);
            out[i] = level_byte((mean - offset - 1500.0) / 800.0);
        }
    }

    bool sample_picture(const std::vector<SstvSync>& pairs) {
        const SstvModeSpec& m = *current;
        const double period = period_ms(m);
        const int minimum = periods_of(m) > 44 ? periods_of(m) / 5 : 8;
        const std::optional<SstvSyncFit> fitted = fit_sstv_syncs(pairs, minimum);
        if (!fitted) return false;
        const double slope = fitted->slope;
        const double intercept = fitted->intercept;

        const double q = slope / (period / 1000.0 * kRateHz) * 12.0;  // samples per ms
        const double scan = m.scan_ms * q;
        const double pixel_length = scan / m.width;
        const auto width = static_cast<std::size_t>(m.width);
        pixels.assign(width * static_cast<std::size_t>(m.height) * 3, 0);
        std::vector<std::uint8_t> a(width), b(width), c(width), d(width);
        for (int k = 0; k < periods_of(m); ++k) {
            double line = slope * k + intercept;
            switch (m.family) {
            case MARTIN: {
                line += 5.434 * q;
                sample_row(line, pixel_length, m.width, a.data());                               // G
                sample_row(line + scan + 0.572 * q, pixel_length, m.width, b.data());            // B
                sample_row(line + 2.0 * scan + 2.0 * 0.572 * q, pixel_length, m.width, c.data());  // R
                std::uint8_t* row = pixels.data() + static_cast<std::size_t>(k) * width * 3;
                for (std::size_t i = 0; i < width; ++i) {
                    row[3 * i] = c[i];
                    row[3 * i + 1] = a[i];
                    row[3 * i + 2] = b[i];
                }
                break;
            }
            case SCOTTIE: {
                sample_row(line - (2.0 * scan + 1.5 * q), pixel_length, m.width, a.data());  // G
                sample_row(line - scan, pixel_length, m.width, b.data());                    // B
                sample_row(line + 10.5 * q, pixel_length, m.width, c.data());                // R
                std::uint8_t* row = pixels.data() + static_cast<std::size_t>(k) * width * 3;
                for (std::size_t i = 0; i < width; ++i) {
                    row[3 * i] = c[i];
                    row[3 * i + 1] = a[i];
                    row[3 * i + 2] = b[i];
                }
                break;
            }
            default: {
                line += 22.08 * q;
                sample_row(line, pixel_length, m.width, a.data());               // Y, even line
                sample_row(line + scan, pixel_length, m.width, b.data());        // R-Y
                sample_row(line + 2.0 * scan, pixel_length, m.width, c.data());  // B-Y
                sample_row(line + 3.0 * scan, pixel_length, m.width, d.data());  // Y, odd line
                for (int half = 0; half < 2; ++half) {
                    const std::vector<std::uint8_t>& luma = half == 0 ? a : d;
                    std::uint8_t* row = pixels.data() + static_cast<std::size_t>(2 * k + half) * width * 3;
                    for (std::size_t i = 0; i < width; ++i) {
                        const double y = luma[i];
                        const double cr = b[i] - 128.0;
                        const double cb = c[i] - 128.0;
                        row[3 * i] = clamp_byte(y + 1.402 * cr);
                        row[3 * i + 1] = clamp_byte(y - 0.344136 * cb - 0.714136 * cr);
                        row[3 * i + 2] = clamp_byte(y + 1.772 * cb);
                    }
                }
                break;
            }
            }
        }
        return true;
    }

    // Finds the syncs of a complete picture and samples it; false when they cannot be found.
    bool decode_picture() {
        const SstvModeSpec& m = *current;
        const double period = period_ms(m);
        const int periods = periods_of(m);
        const double threshold = offset + 1300.0;
        const double length = sync_samples(m);
        const double lead = sync_lead_ms(m) / 1000.0;
        auto nominal = [&](int k) { return (period / 1000.0 * k + lead) * kRateHz + static_cast<double>(start); };

        std::vector<double> deviations;
        for (int k = 0; k < periods && deviations.size() < 24; ++k) {
            std::int64_t p = 0;
            if (find_sync(nominal(k) - 180.0, nominal(k) + 180.0, length, threshold, p))
                deviations.push_back(static_cast<double>(p) - nominal(k));
        }
        if (deviations.empty()) return false;
        const auto middle = deviations.begin() + static_cast<std::ptrdiff_t>(deviations.size() / 2);
        std::nth_element(deviations.begin(), middle, deviations.end());
        double dev = *middle;

        std::vector<SstvSync> pairs;
        for (int k = 0; k < periods; ++k) {
            const double expected = nominal(k) + dev;
            std::int64_t p = 0;
            if (!find_sync(expected - 36.0, expected + 36.0, length, threshold, p)) continue;
            pairs.emplace_back(k, p);
            dev += 0.3 * ((static_cast<double>(p) - nominal(k)) - dev);
        }
        return sample_picture(pairs);
    }

    void check_picture() {
        const SstvModeSpec& m = *current;
        const double period = period_ms(m);
        const auto period_samples = static_cast<std::int64_t>(period / 1000.0 * kRateHz);
        const int periods = periods_of(m);
        const std::int64_t e = newest() - start;

        const int lines = static_cast<int>(e / period_samples) * lines_per_period(m);
        if (lines < m.height && lines > last_reported + 31) {
            last_reported = lines / 32 * 32;
            emit_event(EventKind::WEFAX_PROGRESS, newest(), last_reported);
        }

        double needed = 0.0;
        if (m.family == SCOTTIE)
            needed = (period / 1000.0 * (m.height - 1) + (2.0 * m.scan_ms + 12.0) / 1000.0) * kRateHz +
                     (m.scan_ms + 10.5) / 1000.0 * kRateHz + 240.0;
        else
            needed = period / 1000.0 * (periods - 1) * kRateHz + static_cast<double>(period_samples) + 240.0;
        if (static_cast<double>(e) < needed) return;

        const auto end = start + static_cast<std::int64_t>(periods * period / 1000.0 * kRateHz);
        if (decode_picture()) {
            last_name = m.name;
            last_width = m.width;
            last_height = m.height;
            last_path = save_image();
            if (!last_path.empty()) emit_event(EventKind::WEFAX_IMAGE, end, m.height, last_path);
            emit_event(EventKind::WEFAX_STOP, end, m.height);
        } else {
            emit_event(EventKind::WEFAX_STOP, end, 0);
        }
        current = nullptr;
        scan_pos = newest();
        trim_history();
    }

    std::string save_image() {
        const auto seconds = static_cast<std::time_t>(std::floor(static_cast<double>(start) / kRateHz + t0));
        return save_picture(context.image_dir, "sstv", seconds,
                            std::to_string(std::llround(context.dial_hz / 1000.0)) + "-" + last_name, last_width,
                            last_height, 3, pixels.data());
    }

    void clear() {
        const std::int64_t position = newest();
        history.assign(1, 0.0);
        base = position;
        scan_pos = position;
        current = nullptr;
        ring.fill(cf{});
        write_index = 0;
        previous = cf(1.0f, 0.0f);
    }
};

SstvModem::SstvModem(const ModemContext& context) : impl_(std::make_unique<Impl>(context)) {}

SstvModem::~SstvModem() = default;

Mode SstvModem::mode() const { return Mode::SSTV; }

void SstvModem::process(const AudioBlock& block) {
    Impl& s = *impl_;
    if (block.discontinuity) s.clear();
    s.t0 = block.time - static_cast<double>(s.newest()) / kRateHz;
    s.front_end(block.samples);
    if (!s.current && !s.search_vis()) return;
    s.check_picture();
}

void SstvModem::set_frequency(double) {}

void SstvModem::reset() { impl_->clear(); }

ModemOutput SstvModem::take_output() {
    ModemOutput out;
    out.events = std::move(impl_->events);
    impl_->events.clear();
    out.frequency_hz = impl_->current ? 1900.0 + impl_->offset : 0.0;
    return out;
}

}  // namespace sig
