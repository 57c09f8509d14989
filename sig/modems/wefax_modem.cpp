#include "sig/modems/wefax_modem.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numbers>
#include <string>
#include <vector>

#include "core/log_line.hpp"
#include "sig/modems/order_statistics.hpp"
#include "sig/modems/picture_file.hpp"

namespace sig {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kRateHz = 12000.0;
constexpr int kTaps = 95;
constexpr std::int64_t kRawRing = 60000;       // 5 s of raw frequency values
constexpr std::int64_t kSlowRing = 5000;       // 5 s of the 1000 Hz stream
constexpr std::size_t kWindow = 480;           // 240 ms of the 2000 Hz stream
constexpr std::int64_t kWindowRaw = 2880;      // the same window in raw samples
constexpr int kToneRun = 9;                    // windows in a row that make a tone
constexpr int kNoiseWindows = 250;             // 60 s of silence or noise
constexpr std::int64_t kPhasingTimeout = 541440;
constexpr std::int64_t kLongestFilledGap = 24000;
constexpr float kRadiansToHz = 1909.8594f;     // 12000 / 2 pi
constexpr double kEdgeOutlierSamples = 12.0;   // 1 ms: a phasing edge this far off the line is left out

constexpr int kToneBins[3] = {72, 108, 162};   // 300, 450, 675 Hz of 480 at 2000 Hz
constexpr int kRefineBins[3] = {12, 18, 27};   // the same tones of 480 at 12000 Hz
enum Tone { NONE = -1, START_576 = 0, STOP = 1, START_288 = 2 };

std::array<float, kTaps> design_taps() {
    std::array<double, kTaps> raw{};
    double sum = 0.0;
    for (int n = 0; n < kTaps; ++n) {
        const double w = 0.54 - 0.46 * std::cos(2.0 * kPi * n / 94.0);
        const int m = n - 47;
        raw[n] = m == 0 ? 0.2 * w : w * std::sin(2.0 * kPi * 1200.0 * m / kRateHz) / (kPi * m);
        sum += raw[n];
    }
    std::array<float, kTaps> taps{};
    for (int n = 0; n < kTaps; ++n) taps[n] = static_cast<float>(raw[n] / sum);
    return taps;
}

// Power of one DFT bin of a window of values.
template <typename Value>
double goertzel_power(const Value* values, std::size_t count, int bin) {
    const double w = 2.0 * kPi * bin / static_cast<double>(count);
    const double coefficient = 2.0 * std::cos(w);
    double s1 = 0.0, s2 = 0.0;
    for (std::size_t n = 0; n < count; ++n) {
        const double s0 = static_cast<double>(values[n]) + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - coefficient * s1 * s2;
}

// The share of a window's variance that one tone holds, and its amplitude.
struct ToneMeasure {
    double share = 0.0;
    double amplitude = 0.0;
};

template <typename Value>
ToneMeasure measure_tone(const Value* values, std::size_t count, double variance, int bin) {
    const double amplitude = 2.0 * std::sqrt(goertzel_power(values, count, bin)) / static_cast<double>(count);
    return {amplitude * amplitude / 2.0 / variance, amplitude};
}

struct Edge {
    int line = 0;
    double position = 0.0;   // raw samples
    std::int64_t start = 0;  // 1000 Hz index where the pulse began
    int length = 0;          // pulse length in 1000 Hz samples
};

struct PeriodCandidate {
    int lpm = 120;
    double nominal = 6000.0;
    std::vector<Edge> edges;
    int consecutive = 0;
};

}  // namespace

WefaxSettings wefax_settings(const std::string& variant, double audio_hz) {
    WefaxSettings settings;
    int lpm = 0;
    int ioc = 0;
    if (std::sscanf(variant.c_str(), "%d/%d", &lpm, &ioc) == 2 &&
        (lpm == 60 || lpm == 90 || lpm == 100 || lpm == 120 || lpm == 180 || lpm == 240) && (ioc == 288 || ioc == 576)) {
        settings.lpm = lpm;
        settings.ioc = ioc;
        settings.automatic = false;
    }
    settings.tune_hz = audio_hz >= 1000.0 && audio_hz <= 2800.0 ? audio_hz : 1900.0;
    return settings;
}

struct WefaxModem::Impl {
    ModemContext context;
    WefaxSettings settings;
    bool debug = std::getenv("SIG_WEFAX_DEBUG") != nullptr;

    // Front end.
    std::array<float, kTaps> taps = design_taps();
    std::complex<double> oscillator{1.0, 0.0};
    std::complex<double> rotation{1.0, 0.0};
    int oscillator_count = 0;
    std::array<float, 2 * kTaps> line_re{};
    std::array<float, 2 * kTaps> line_im{};
    int line_index = 0;
    std::complex<float> previous{};
    double power_sum = 0.0;

    // Frequency streams.
    std::vector<float> raw = std::vector<float>(kRawRing, 0.0f);
    std::int64_t count = 0;
    double six_sum = 0.0;
    int six_count = 0;
    double pair_sum = 0.0;
    int pair_count = 0;
    std::vector<float> slow = std::vector<float>(kSlowRing, 0.0f);
    std::int64_t slow_count = 0;
    std::vector<float> window;

    int tone = NONE;
    int tone_count = 0;
    std::int64_t tone_start = 0;
    int noise_count = 0;
    std::int64_t noise_start = 0;
    bool in_pulse = false;
    std::int64_t pulse_start = 0;
    std::int64_t since_pulse = 0;

    int state = 0;  // 0 idle, 1 phasing, 2 image
    int lpm = 120;
    int ioc = 576;
    double tune = 1900.0;
    double image_time = 0.0;
    bool locked = false;
    double lo = 1500.0;
    double hi = 2300.0;
    std::int64_t phasing_began = 0;
    float quality = 0.0f;

    std::vector<PeriodCandidate> candidates;
    bool established = false;
    double period = 6000.0;
    double phase = 0.0;
    int last_line = 0;
    std::vector<Edge> edges;
    std::vector<std::uint8_t> fitted;  // per edge: 1 while it counts in the period fit
    std::vector<float> blacks;
    std::vector<float> whites;

    int width = 1810;
    double line_start = 0.0;
    int lines = 0;
    int line_limit = 1800;
    double image_start = 0.0;
    std::vector<std::uint8_t> pixels;
    std::string last_path;

    bool time_known = false;
    double block_time = 0.0;
    std::int64_t block_raw = 0;
    double expected_time = 0.0;

    std::vector<Event> events;

    Impl(const WefaxSettings& s, const ModemContext& c) : context(c), settings(s) {
        lpm = s.lpm;
        ioc = s.ioc;
        set_tune(s.tune_hz);
        unlock();
        window.reserve(kWindow);
    }

    double centre() const { return (lo + hi) / 2.0; }

    void set_tune(double hz) {
        tune = hz;
        rotation = std::polar(1.0, 2.0 * kPi * hz / kRateHz);
    }

    void unlock() {
        locked = false;
        lo = tune - 400.0;
        hi = tune + 400.0;
    }

    double nominal_period(int lines_per_minute) const { return 60.0 / lines_per_minute * kRateHz; }

    float raw_at(std::int64_t position) const {
        if (position < 0 || position < count - kRawRing || position >= count) return static_cast<float>(tune);
        return raw[static_cast<std::size_t>(position % kRawRing)];
    }

    float slow_at(std::int64_t index) const {
        if (index < 0 || index < slow_count - kSlowRing || index >= slow_count) return static_cast<float>(tune);
        return slow[static_cast<std::size_t>(index % kSlowRing)];
    }

    std::int64_t oldest_raw() const { return std::max<std::int64_t>(0, count - kRawRing); }
    std::int64_t oldest_slow() const { return std::max<std::int64_t>(0, slow_count - kSlowRing); }

    void emit_event(EventKind kind, double position, int line_count, std::string text = {}) {
        Event event;
        event.kind = kind;
        event.t = time_known ? block_time + (position - static_cast<double>(block_raw)) / kRateHz : 0.0;
        event.mode = Mode::WEFAX;
        event.variant = std::to_string(lpm) + "/" + std::to_string(ioc);
        event.audio_hz = locked ? centre() : tune;
        event.bw_hz = 800.0;
        event.lines = line_count;
        event.lpm = lpm;
        event.ioc = ioc;
        event.text = std::move(text);
        events.push_back(std::move(event));
    }

    // --- Phasing -----------------------------------------------------------------------------

    void clear_phasing() {
        candidates.clear();
        if (settings.automatic) {
            for (const int l : {60, 90, 120, 240}) candidates.push_back({l, nominal_period(l), {}, 0});
        } else {
            candidates.push_back({settings.lpm, nominal_period(settings.lpm), {}, 0});
        }
        edges.clear();
        established = false;
        last_line = 0;
        blacks.clear();
        whites.clear();
        in_pulse = false;
        since_pulse = 0;
    }

    void begin_phasing(std::int64_t s) {
        state = 1;
        lpm = settings.automatic ? 120 : settings.lpm;
        image_time = time_known ? block_time + static_cast<double>(s - block_raw) / kRateHz : 0.0;
        unlock();
        pixels.clear();
        lines = 0;
        clear_phasing();
        phasing_began = count;
        emit_event(EventKind::WEFAX_START, static_cast<double>(s), 0);
    }

    // Least-squares line through the edges still marked for the fit.
    bool fit_line(double& slope, double& intercept) const {
        double n = 0.0, sk = 0.0, sp = 0.0, skk = 0.0, skp = 0.0;
        for (std::size_t i = 0; i < edges.size(); ++i) {
            if (!fitted[i]) continue;
            const Edge& e = edges[i];
            n += 1.0;
            sk += e.line;
            sp += e.position;
            skk += static_cast<double>(e.line) * e.line;
            skp += e.line * e.position;
        }
        const double denominator = n * skk - sk * sk;
        if (n < 2.0 || denominator == 0.0) return false;
        slope = (n * skp - sk * sp) / denominator;
        intercept = (sp - slope * sk) / n;
        return true;
    }

    // The period and phase from the edges. A pulse cut short (a sender that starts phasing
    // partway into one) or a noise spike still falls inside the 4 % window that admits an edge,
    // and taken into a plain least-squares fit among the first few edges it tilts the period by
    // samples per line. So, as the SSTV receiver does with its syncs, edges off the line are left
    // out and the line is fitted again: the edge lying farthest from the line through the others
    // goes while that distance exceeds kEdgeOutlierSamples, as long as more than half of the
    // edges (and at least three) stay.
    void fit_period() {
        const double nominal = nominal_period(lpm);
        fitted.assign(edges.size(), 1);
        std::size_t kept = edges.size();
        double slope = nominal;
        double intercept = 0.0;
        bool have = fit_line(slope, intercept);
        while (have && kept > 3 && 2 * (kept - 1) > edges.size()) {
            double mean = 0.0;
            for (std::size_t i = 0; i < edges.size(); ++i)
                if (fitted[i]) mean += edges[i].line;
            mean /= static_cast<double>(kept);
            double spread = 0.0;
            for (std::size_t i = 0; i < edges.size(); ++i)
                if (fitted[i]) spread += (edges[i].line - mean) * (edges[i].line - mean);
            std::size_t worst = edges.size();
            double worst_distance = kEdgeOutlierSamples;
            for (std::size_t i = 0; i < edges.size(); ++i) {
                if (!fitted[i]) continue;
                // Distance from the line fitted without this edge: its residual over 1 - leverage.
                const double leverage = 1.0 / static_cast<double>(kept) + (edges[i].line - mean) * (edges[i].line - mean) / spread;
                const double residual = edges[i].position - (slope * edges[i].line + intercept);
                const double distance = std::abs(residual) / (1.0 - leverage);
                if (distance > worst_distance) {
                    worst = i;
                    worst_distance = distance;
                }
            }
            if (worst == edges.size()) break;
            fitted[worst] = 0;
            --kept;
            have = fit_line(slope, intercept);
        }
        if (have) {
            period = slope;
            phase = intercept;
        }
        if (!have || std::abs(period / nominal - 1.0) > 0.02) {
            period = nominal;
            double sum = 0.0;
            double count = 0.0;
            for (std::size_t i = 0; i < edges.size(); ++i) {
                if (!fitted[i]) continue;
                sum += edges[i].position - edges[i].line * nominal;
                count += 1.0;
            }
            phase = count > 0.0 ? sum / count : 0.0;
        }
        if (!debug) return;
        char line[160];
        std::snprintf(line, sizeof line, "wefax fit: %zu edges period %.3f (nominal %.3f, %+.1f ppm)\n", edges.size(),
                      period, nominal, (period / nominal - 1.0) * 1e6);
        std::string text = line;
        for (const Edge& e : edges) {
            std::snprintf(line, sizeof line, "  idx %d pos %.2f residual %+.2f len %d\n", e.line, e.position,
                          e.position - (e.line * period + phase), e.length);
            text += line;
        }
        log_line(text);
    }

    void sample_levels(const Edge& before, double position) {
        const auto first = std::max(static_cast<std::int64_t>(std::ceil((before.position + 0.1 * period) / 12.0)), oldest_slow());
        const auto last = static_cast<std::int64_t>(std::floor((position - 0.03 * period) / 12.0));
        if (last - first + 1 > 19) {
            std::vector<float> values;
            for (std::int64_t i = first; i <= last; ++i) values.push_back(slow_at(i));
            blacks.push_back(static_cast<float>(median(values)));
        }
        if (before.length >= 5) {
            const int fifth = before.length / 5;
            std::vector<float> values;
            for (std::int64_t i = before.start + fifth; i < before.start + before.length - fifth; ++i)
                values.push_back(slow_at(i));
            if (!values.empty()) whites.push_back(static_cast<float>(median(values)));
        }
    }

    double edge_position(std::int64_t index) const {
        const double c = centre();
        const std::int64_t from = std::max(12 * index - 24, oldest_raw() + 1);
        const std::int64_t to = std::min(12 * index + 24, count - 2);
        auto mean3 = [&](std::int64_t j) { return (raw_at(j - 1) + raw_at(j) + raw_at(j + 1)) / 3.0; };
        for (std::int64_t j = from + 1; j <= to; ++j) {
            const double below = mean3(j - 1);
            const double above = mean3(j);
            if (below < c && above >= c) {
                const double fraction = std::clamp((c - below) / (above - below), 0.0, 1.0);
                return static_cast<double>(j - 1) + fraction;
            }
        }
        return static_cast<double>(12 * index + 6);
    }

    void fit_line_period(std::int64_t index, int length) {
        const Edge edge{0, edge_position(index), index, length};
        if (!established) {
            for (PeriodCandidate& candidate : candidates) {
                if (candidate.edges.empty()) {
                    candidate.edges.push_back(edge);
                    continue;
                }
                const Edge& last = candidate.edges.back();
                const double d = edge.position - last.position;
                const double k = std::round(d / candidate.nominal);
                if (k >= 1 && k <= 3 && std::abs(d - k * candidate.nominal) <= 0.04 * candidate.nominal) {
                    Edge added = edge;
                    added.line = last.line + static_cast<int>(k);
                    candidate.edges.push_back(added);
                    if (k == 1) ++candidate.consecutive;
                } else if (d >= 0.9 * candidate.nominal) {
                    candidate.edges.assign(1, edge);
                    candidate.consecutive = 0;
                }
            }
            const std::size_t need_edges = settings.automatic ? 6 : 4;
            const int need_consecutive = settings.automatic ? 4 : 2;
            const PeriodCandidate* best = nullptr;
            for (const PeriodCandidate& candidate : candidates)
                if (candidate.edges.size() >= need_edges && candidate.consecutive >= need_consecutive &&
                    (!best || candidate.consecutive > best->consecutive))
                    best = &candidate;
            if (!best) return;
            established = true;
            lpm = best->lpm;
            edges = best->edges;
            fit_period();
            last_line = edges.back().line;
            for (std::size_t i = 1; i < edges.size(); ++i)
                if (edges[i].line - edges[i - 1].line == 1) sample_levels(edges[i - 1], edges[i].position);
            return;
        }
        const Edge& last = edges.back();
        const double d = edge.position - last.position;
        const double k = std::round(d / period);
        if (!(k >= 1 && k <= 3 && std::abs(d - k * period) <= 0.04 * period)) return;
        if (k == 1) sample_levels(last, edge.position);
        Edge added = edge;
        added.line = last.line + static_cast<int>(k);
        edges.push_back(added);
        last_line = added.line;
        fit_period();
    }

    void lock_levels() {
        if (blacks.size() < 2 || whites.size() < 2) return;
        std::vector<float> b = blacks;
        std::vector<float> w = whites;
        double black = median(b);
        double white = median(w);
        if (std::abs(black - (tune - 400.0)) > 150.0 || std::abs(white - (tune + 400.0)) > 150.0) return;
        if (std::abs(white - black - 800.0) > 150.0) {
            const double shift = ((black - (tune - 400.0)) + (white - (tune + 400.0))) / 2.0;
            black = tune - 400.0 + shift;
            white = tune + 400.0 + shift;
        }
        locked = true;
        lo = black;
        hi = white;
    }

    void begin_image(double start) {
        lock_levels();
        state = 2;
        width = static_cast<int>(std::lround(ioc * kPi));
        line_start = start;
        image_start = start;
        lines = 0;
        line_limit = lpm * 15;
        pixels.clear();
    }

    void check_phasing() {
        if (!established) {
            if (count - phasing_began > kPhasingTimeout && noise_count == 0) {
                period = nominal_period(lpm);
                begin_image(static_cast<double>(count));
            }
            return;
        }
        const int j = last_line + 1;
        const double start = j * period + phase;
        if (static_cast<double>(count) < start + period + 48.0) return;
        const auto first = std::max(static_cast<std::int64_t>(std::ceil((start + 0.1 * period) / 12.0)), oldest_slow());
        const auto last = static_cast<std::int64_t>(std::floor((start + 0.97 * period) / 12.0));
        const double c = centre();
        std::int64_t values = 0;
        std::int64_t dark = 0;
        for (std::int64_t i = first; i <= last; ++i) {
            ++values;
            if (slow_at(i) < c) ++dark;
        }
        if (values >= 10 && static_cast<double>(dark) >= 0.85 * static_cast<double>(values)) {
            last_line = j;
            return;
        }
        begin_image(start);
    }

    // --- Image -------------------------------------------------------------------------------

    double despiked(std::int64_t n) const {
        float a = raw_at(n - 1), b = raw_at(n), c = raw_at(n + 1);
        return std::max(std::min(a, b), std::min(std::max(a, b), c));
    }

    void assemble_lines() {
        while (static_cast<double>(count) > std::ceil(line_start + period) + 1.0) {
            const std::size_t row = pixels.size();
            pixels.resize(row + static_cast<std::size_t>(width));
            const double step = period / width;
            const double span = hi - lo;
            for (int i = 0; i < width; ++i) {
                const double a = line_start + i * step;
                const double b = line_start + (i + 1) * step;
                double sum = 0.0;
                double weight = 0.0;
                for (auto n = static_cast<std::int64_t>(std::floor(a)); static_cast<double>(n) < b; ++n) {
                    const double overlap = std::min(b, static_cast<double>(n + 1)) - std::max(a, static_cast<double>(n));
                    if (overlap <= 0.0) continue;
                    sum += overlap * despiked(n);
                    weight += overlap;
                }
                const double value = weight > 0.0 ? sum / weight : centre();
                const double level = std::round((value - lo) / span * 255.0);
                pixels[row + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(std::clamp(level, 0.0, 255.0));
            }
            ++lines;
            line_start += period;
            if (lines % 50 == 0 && noise_count == 0) emit_event(EventKind::WEFAX_PROGRESS, line_start, lines);
            if (lines >= line_limit) {
                finish_image(static_cast<double>(count));
                return;
            }
        }
    }

    void abort_image(double position) {
        emit_event(EventKind::WEFAX_STOP, position, 0);
        state = 0;
        pixels.clear();
        lines = 0;
    }

    void finish_image(double end) {
        const int kept = std::clamp(static_cast<int>(std::floor((0.15 * period + end - image_start) / period)), 0, lines);
        pixels.resize(static_cast<std::size_t>(kept) * static_cast<std::size_t>(width));
        if (kept >= 1) {
            const std::string path = save_image(kept);
            if (!path.empty()) {
                last_path = path;
                emit_event(EventKind::WEFAX_IMAGE, end, kept, path);
            }
        }
        emit_event(EventKind::WEFAX_STOP, end, kept);
        state = 0;
        pixels.clear();
        lines = 0;
    }

    std::string save_image(int rows) {
        const std::time_t seconds = image_time > 0.0 ? static_cast<std::time_t>(std::floor(image_time))
                                                     : std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
        const double audio = locked ? centre() : tune;
        const double rf = context.usb ? context.dial_hz + audio : context.dial_hz - audio;
        return save_picture(context.image_dir, "wefax", seconds, std::to_string(std::llround(rf / 1000.0)), width, rows,
                            1, pixels.data());
    }

    // --- Tones -------------------------------------------------------------------------------

    // Where a tone detected from S on really began: 40 ms windows around S are tested for it,
    // walking back from the last one; one window without the tone (a fade, a burst of noise) is
    // passed over, the second ends the walk. The earliest window that held the tone is the start.
    double refine_start(std::int64_t s, int tone_index) const {
        const std::int64_t first = std::max({s - kWindowRaw, count - 59999, std::int64_t{0}});
        const std::int64_t last = std::min(count - 480, s + kWindowRaw);
        if (last < first) return static_cast<double>(s);
        std::vector<std::int64_t> starts;
        for (std::int64_t w = first; w <= last; w += 480) starts.push_back(w);
        std::int64_t refined = -1;
        int misses = 0;
        std::array<float, 480> values{};
        for (auto it = starts.rbegin(); it != starts.rend(); ++it) {
            double sum = 0.0;
            for (std::size_t n = 0; n < values.size(); ++n) {
                values[n] = raw_at(*it + static_cast<std::int64_t>(n));
                sum += values[n];
            }
            const double mean = sum / 480.0;
            double variance = 0.0;
            for (const float v : values) variance += (v - mean) * (v - mean);
            variance /= 480.0;
            bool held = false;
            if (variance > 0.0) {
                const ToneMeasure m = measure_tone(values.data(), values.size(), variance, kRefineBins[tone_index]);
                held = m.share >= 0.4 && m.amplitude >= 120.0;
            }
            if (held) {
                refined = *it;
            } else if (++misses == 2) {
                break;
            }
        }
        return refined < 0 ? static_cast<double>(s) : static_cast<double>(refined);
    }

    void on_tone(int found, std::int64_t s) {
        if (found == STOP) {
            if (state == 2)
                finish_image(refine_start(s, STOP));
            else if (state == 1)
                abort_image(static_cast<double>(s));
            return;
        }
        const int index = settings.automatic ? (found == START_288 ? 288 : 576) : settings.ioc;
        if (state == 2) {
            finish_image(refine_start(s, found));
            ioc = index;
            begin_phasing(s);
        } else if (state == 1) {
            ioc = index;
            clear_phasing();
            phasing_began = count;
        } else {
            ioc = index;
            begin_phasing(s);
        }
    }

    void analyse_window() {
        const double n = static_cast<double>(window.size());
        double mean = 0.0;
        for (const float v : window) mean += v;
        mean /= n;
        double variance = 0.0;
        double steps = 0.0;
        std::size_t in_band = 0;
        for (std::size_t i = 0; i < window.size(); ++i) {
            const double v = window[i];
            variance += (v - mean) * (v - mean);
            if (v >= lo - 300.0 && v <= hi + 300.0) ++in_band;
            if (i > 0) steps += std::abs(v - window[i - 1]);
        }
        variance /= n;
        const double share = static_cast<double>(in_band) / n;
        const double mean_step = steps / (n - 1.0);
        const std::int64_t window_start = count - kWindowRaw;

        int found = NONE;
        if (std::abs(mean - tune) <= 250.0 && variance > 0.0) {
            double best = 0.0;
            for (int t = 0; t < 3; ++t) {
                const ToneMeasure m = measure_tone(window.data(), window.size(), variance, kToneBins[t]);
                if (m.share >= 0.45 && m.amplitude >= 120.0 && (found == NONE || m.share > best)) {
                    found = t;
                    best = m.share;
                }
            }
        }
        if (found != NONE && found == tone) {
            ++tone_count;
        } else {
            tone = found;
            tone_count = found == NONE ? 0 : 1;
            tone_start = window_start;
        }
        if (found != NONE && tone_count == kToneRun) on_tone(found, tone_start);

        // Signal check.
        const double mean_power = power_sum / static_cast<double>(kWindowRaw);
        power_sum = 0.0;
        const bool silent = mean_power < 1e-8;
        quality = silent ? 0.0f : static_cast<float>(share);
        const bool noisy = mean_step > 500.0 && share < 0.75;
        if (!silent && !noisy) {
            noise_count = 0;
            return;
        }
        if (noise_count == 0) noise_start = window_start;
        if (++noise_count < kNoiseWindows) return;
        if (state == 2)
            finish_image(static_cast<double>(noise_start));
        else if (state == 1)
            abort_image(static_cast<double>(noise_start));
        noise_count = 0;
    }

    void pulse_detector(float w) {
        const double c = centre();
        const std::int64_t index = slow_count - 1;
        if (w > c) {
            if (!in_pulse) {
                in_pulse = true;
                pulse_start = index;
            }
            return;
        }
        if (!in_pulse) {
            ++since_pulse;
            return;
        }
        in_pulse = false;
        const auto length = static_cast<int>(index - pulse_start);
        if (length <= 2) {
            since_pulse += length + 1;  // too short to be a pulse: its samples count as black
            return;
        }
        if (state == 1 && length >= 6 && length <= 100 && since_pulse >= 150) {
            double sum = 0.0;
            for (std::int64_t i = pulse_start; i < index; ++i) sum += slow_at(i);
            if (sum / length >= c + 200.0) fit_line_period(pulse_start, length);
        }
        since_pulse = 1;
    }

    void step(float f) {
        raw[static_cast<std::size_t>(count % kRawRing)] = f;
        ++count;
        six_sum += f;
        if (++six_count == 6) {
            const double v = six_sum / 6.0;
            six_sum = 0.0;
            six_count = 0;
            window.push_back(static_cast<float>(v));
            pair_sum += v;
            if (++pair_count == 2) {
                const auto w = static_cast<float>(pair_sum / 2.0);
                pair_sum = 0.0;
                pair_count = 0;
                slow[static_cast<std::size_t>(slow_count % kSlowRing)] = w;
                ++slow_count;
                pulse_detector(w);
            }
            if (window.size() == kWindow) {
                analyse_window();
                window.clear();
            }
        }
        if (state == 2)
            assemble_lines();
        else if (state == 1)
            check_phasing();
    }

    void clear_front_end() {
        line_re.fill(0.0f);
        line_im.fill(0.0f);
        line_index = 0;
        previous = {};
    }

    void mix(const std::vector<float>& samples) {
        for (const float x : samples) {
            oscillator *= rotation;
            if (++oscillator_count == 1024) {
                oscillator /= std::abs(oscillator);
                oscillator_count = 0;
            }
            line_index = line_index + 1 == kTaps ? 0 : line_index + 1;
            const auto re = static_cast<float>(x * oscillator.real());
            const auto im = static_cast<float>(-x * oscillator.imag());
            line_re[static_cast<std::size_t>(line_index)] = re;
            line_re[static_cast<std::size_t>(line_index + kTaps)] = re;
            line_im[static_cast<std::size_t>(line_index)] = im;
            line_im[static_cast<std::size_t>(line_index + kTaps)] = im;
            const float* delayed_re = line_re.data() + line_index + 1;
            const float* delayed_im = line_im.data() + line_index + 1;
            float y_re = 0.0f;
            float y_im = 0.0f;
            for (int k = 0; k < kTaps; ++k) {
                y_re += taps[static_cast<std::size_t>(k)] * delayed_re[k];
                y_im += taps[static_cast<std::size_t>(k)] * delayed_im[k];
            }
            power_sum += static_cast<double>(y_re) * y_re + static_cast<double>(y_im) * y_im;
            const float d_re = y_re * previous.real() + y_im * previous.imag();
            const float d_im = y_im * previous.real() - y_re * previous.imag();
            previous = {y_re, y_im};
            step(std::atan2(d_im, d_re) * kRadiansToHz + static_cast<float>(tune));
        }
    }

    void process(const AudioBlock& block) {
        if (block.discontinuity) {
            std::int64_t gap = -1;
            const bool gap_known = block.time > 0.0 && time_known;
            if (gap_known) gap = std::llround((block.time - expected_time) * kRateHz);
            clear_front_end();
            if (state == 0) {
                tone = NONE;
                tone_count = 0;
            } else if (gap_known && gap == 0) {
            } else if (gap_known && gap >= 1 && gap <= kLongestFilledGap) {
                const auto grey = static_cast<float>(centre());
                for (std::int64_t i = 0; i < gap; ++i) step(grey);
            } else if (state == 2) {
                finish_image(static_cast<double>(count));
            } else {
                abort_image(static_cast<double>(count));
            }
        }
        if (block.time > 0.0) {
            time_known = true;
            block_time = block.time;
            block_raw = count;
            expected_time = block.time + static_cast<double>(block.samples.size()) / kRateHz;
        }
        mix(block.samples);
    }

    void reset() {
        if (state == 2)
            finish_image(static_cast<double>(count));
        else if (state == 1)
            abort_image(static_cast<double>(count));
        clear_front_end();
        six_sum = 0.0;
        six_count = 0;
        pair_sum = 0.0;
        pair_count = 0;
        window.clear();
        power_sum = 0.0;
        noise_count = 0;
        in_pulse = false;
        since_pulse = 0;
        tone = NONE;
        tone_count = 0;
        time_known = false;
        unlock();
    }
};

WefaxModem::WefaxModem(const WefaxSettings& settings, const ModemContext& context)
    : impl_(std::make_unique<Impl>(settings, context)) {}

WefaxModem::~WefaxModem() = default;

Mode WefaxModem::mode() const { return Mode::WEFAX; }

void WefaxModem::process(const AudioBlock& block) { impl_->process(block); }

void WefaxModem::set_frequency(double audio_hz) {
    Impl& s = *impl_;
    if (!(audio_hz >= 1000.0 && audio_hz <= 2800.0)) return;
    s.set_tune(audio_hz);
    if (!s.locked) s.unlock();
}

void WefaxModem::reset() { impl_->reset(); }

ModemOutput WefaxModem::take_output() {
    ModemOutput out;
    out.events = std::move(impl_->events);
    impl_->events.clear();
    out.frequency_hz = impl_->locked ? impl_->centre() : impl_->tune;
    out.quality = impl_->quality;
    return out;
}

}  // namespace sig
