#include "sig/modems/olivia_modem.hpp"

#include <fftw3.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/fft_planner.hpp"
#include "core/sig/olivia_variants.hpp"

namespace sig {
namespace {

using cf = std::complex<float>;

constexpr double kPi = std::numbers::pi;
constexpr double kAudioRateHz = 12000.0;
constexpr int kAudioRate = 12000;
constexpr int kBlockSymbols = 64;
constexpr int kMaxBits = 6;
constexpr std::uint64_t kScrambler = 0xE257E6D0291574ECull;
constexpr int kScramblerStep = 13;           // rotation of the scrambler between the characters of a block
constexpr float kAcquireScore = 4.6f;        // a block this clear starts (and confirms) a lock
constexpr float kKeepScore = 3.6f;           // below this a locked block counts as weak
constexpr int kWeakBlocksToLeave = 3;
constexpr float kNeighbourMargin = 1.03f;    // a neighbour must beat the expected block by this much
constexpr int kFalseAlignmentWait = 60;      // symbols the best block so far waits for a better one
constexpr std::uint32_t kRenormalisePeriod = 4096;
constexpr double kDefaultCentreHz = 1500.0;
constexpr int kDefaultBandwidthHz = 1000;
constexpr double kKaiserBeta = 5.65326;      // about 60 dB of stopband
constexpr double kKaiserAttenuationTerm = 52.0;
// Offsets are decoded side by side in groups of this many, as vectors: the same arithmetic for
// each offset as one at a time, so the results do not depend on the grouping.
constexpr int kLanes = 4;  // one SSE register of floats
using Lanes = float __attribute__((vector_size(kLanes * sizeof(float))));
using LaneInts = std::int32_t __attribute__((vector_size(kLanes * sizeof(std::int32_t))));
using LaneDoubles = double __attribute__((vector_size(kLanes * sizeof(double))));

Lanes load_lanes(const float* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store_lanes(float* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

Lanes absolute(Lanes v) { return reinterpret_cast<Lanes>(reinterpret_cast<LaneInts>(v) & 0x7fffffff); }

std::string unsupported(const std::string& variant) {
    return "Unsupported Olivia variant '" + variant + "' (want tones/bandwidth such as 32/1000)";
}

// Modified Bessel function of order 0, summed as its power series.
double bessel_i0(double x) {
    const double y = (x / 2.0) * (x / 2.0);
    double sum = 1.0 + y;
    double term = y;
    for (int k = 4; k <= 398; k += 2) {
        term *= (x / k) * (x / k);
        sum += term;
        if (term < 1e-14 * sum) break;
    }
    return sum;
}

std::vector<float> design_lowpass(int decimated_rate_hz, double half_width_hz) {
    const double rate = decimated_rate_hz;
    const double transition_hz = std::max(0.1 * rate, rate - 2.0 * half_width_hz);
    const double cutoff_hz = rate / 2.0;
    const auto n0 = static_cast<int>(
        std::ceil(kKaiserAttenuationTerm / (transition_hz * 2.0 * kPi / kAudioRateHz * 2.285)));
    const int count = std::max(n0 + (n0 % 2) + 1, 7);
    const double i0_beta = bessel_i0(kKaiserBeta);
    std::vector<float> taps(static_cast<std::size_t>(count));
    double sum = 0.0;
    for (int n = 0; n < count; ++n) {
        const double m = n - (count - 1) / 2.0;
        const double sinc =
            m == 0.0 ? 2.0 * cutoff_hz / kAudioRateHz : std::sin(2.0 * kPi * cutoff_hz * m / kAudioRateHz) / (kPi * m);
        const double r = 2.0 * m / (count - 1);
        const double inside = 1.0 - r * r;
        const double window = inside > 0.0 ? bessel_i0(kKaiserBeta * std::sqrt(inside)) / i0_beta : 1.0 / i0_beta;
        taps[static_cast<std::size_t>(n)] = static_cast<float>(sinc * window);
    }
    for (const float tap : taps) sum += tap;
    for (float& tap : taps) tap = static_cast<float>(tap / sum);
    return taps;
}

int inverse_gray(int t) {
    int v = t;
    v ^= v >> 1;
    v ^= v >> 2;
    v ^= v >> 4;
    v ^= v >> 8;
    return v;
}

// A forward transform of the analysis frame, out of place between two buffers of its own: made
// and destroyed under the process-wide planner lock, executed freely.
class FrameTransform {
public:
    explicit FrameTransform(int size) : size_(size) {
        in_ = fftwf_alloc_complex(static_cast<std::size_t>(size));
        out_ = fftwf_alloc_complex(static_cast<std::size_t>(size));
        if (in_ && out_) {
            std::scoped_lock lock(fft_planner_mutex());
            plan_ = fftwf_plan_dft_1d(size, in_, out_, FFTW_FORWARD, FFTW_ESTIMATE);
        }
        if (!plan_) {
            release();
            throw std::bad_alloc();
        }
        std::memset(in_, 0, sizeof(fftwf_complex) * static_cast<std::size_t>(size));
    }
    ~FrameTransform() { release(); }
    FrameTransform(const FrameTransform&) = delete;
    FrameTransform& operator=(const FrameTransform&) = delete;

    float* input() { return reinterpret_cast<float*>(in_); }  // interleaved re, im
    const float* output() const { return reinterpret_cast<const float*>(out_); }
    void run() { fftwf_execute(plan_); }

private:
    void release() {
        if (plan_) {
            std::scoped_lock lock(fft_planner_mutex());
            fftwf_destroy_plan(plan_);
            plan_ = nullptr;
        }
        fftwf_free(in_);
        fftwf_free(out_);
        in_ = out_ = nullptr;
    }

    int size_;
    fftwf_complex* in_ = nullptr;
    fftwf_complex* out_ = nullptr;
    fftwf_plan plan_ = nullptr;
};

struct OliviaBlock {
    float score = 0.0f;
    std::int64_t frame = 0;
    int offset = 0;
    int count = 0;
    std::array<int, kMaxBits> characters{};
    std::array<float, kMaxBits> confidences{};
};

}  // namespace

bool parse_olivia_variant(const std::string& text, int* tones, int* bandwidth_hz) {
    const std::size_t slash = text.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == text.size()) return false;
    const char* begin = text.c_str();
    char* end = nullptr;
    const long tone_count = std::strtol(begin, &end, 10);
    if (end != begin + slash) return false;
    const char* second = begin + slash + 1;
    const long bandwidth = std::strtol(second, &end, 10);
    if (end != begin + text.size()) return false;
    if (tone_count < 2 || tone_count > 1024 || bandwidth < 1 || bandwidth > 100000) return false;
    if (!is_olivia_variant(static_cast<int>(tone_count), static_cast<int>(bandwidth))) return false;
    if (tones) *tones = static_cast<int>(tone_count);
    if (bandwidth_hz) *bandwidth_hz = static_cast<int>(bandwidth);
    return true;
}

std::string resolve_olivia_variant(const Candidate& candidate, const std::string& variant) {
    if (!variant.empty() && variant != "auto") {
        if (!parse_olivia_variant(variant)) throw std::invalid_argument(unsupported(variant));
        return variant;
    }
    if (!candidate.variant.empty() && candidate.variant != "auto" && parse_olivia_variant(candidate.variant))
        return candidate.variant;
    int bandwidth = kDefaultBandwidthHz;
    if (candidate.bandwidth_hz > 0.0) {
        double nearest = 0.0;
        bool first = true;
        for (const int b : olivia_bandwidths_hz) {
            const double distance = std::fabs(std::log(candidate.bandwidth_hz / b));
            if (first || distance < nearest) {
                bandwidth = b;
                nearest = distance;
                first = false;
            }
        }
    }
    const auto estimate = static_cast<std::int64_t>(candidate.tones);
    const int tones = estimate <= 1024 && is_olivia_variant(static_cast<int>(estimate), bandwidth)
                          ? static_cast<int>(estimate)
                          : olivia_default_tones(bandwidth);
    return std::to_string(tones) + "/" + std::to_string(bandwidth);
}

OliviaSetup olivia_setup(int tones, int bandwidth_hz, double search_range_hz, const std::string& variant_text) {
    OliviaSetup s;
    s.tones = tones;
    s.bandwidth_hz = bandwidth_hz;
    s.bits = 0;
    while ((1 << s.bits) < tones) ++s.bits;
    s.tone_spacing_hz = static_cast<double>(bandwidth_hz) / tones;
    s.bin_hz = s.tone_spacing_hz / 4.0;
    const double range = std::isnan(search_range_hz) || search_range_hz <= 0.0 ? 0.0 : search_range_hz;
    const double wanted_bins = std::ceil(range / s.bin_hz);
    // Far beyond any spectrum a variant can have: refused below without overflowing an int.
    if (wanted_bins > 1e6) throw std::invalid_argument("Olivia search range too wide for variant " + variant_text);
    s.search_bins = std::max(1, static_cast<int>(wanted_bins));
    s.span = s.search_bins + 2 * tones - 1;
    const double half_width_hz = (s.search_bins + 2 * tones) * s.bin_hz;
    s.oversampling = 1;
    while (2.5 * half_width_hz > 2.0 * bandwidth_hz * s.oversampling && kAudioRate % (4 * bandwidth_hz * s.oversampling) == 0)
        s.oversampling *= 2;
    s.decimated_rate_hz = 2 * bandwidth_hz * s.oversampling;
    s.decimation = kAudioRate / s.decimated_rate_hz;
    s.symbol_samples = 2 * tones * s.oversampling;
    s.frame_step = s.symbol_samples > 15 ? s.symbol_samples / 8 : 1;
    s.steps_per_symbol = s.symbol_samples / s.frame_step;
    s.fft_size = 8 * tones * s.oversampling;
    if (kAudioRate % s.decimated_rate_hz != 0)
        throw std::invalid_argument("Olivia variant " + variant_text + " has no integer decimation from 12 kHz");
    if (s.span >= s.fft_size / 2)
        throw std::invalid_argument("Olivia search range too wide for variant " + variant_text);
    s.taps = design_lowpass(s.decimated_rate_hz, half_width_hz);
    return s;
}

struct OliviaModem::Impl {
    OliviaSetup setup;
    double range_hz;
    int offsets;      // 2 x search bins + 1
    int slots;        // soft-bit history, in frames
    int S;            // frames per symbol

    double centre_hz = kDefaultCentreHz;
    double osc_re = 1.0, osc_im = 0.0;
    double step_re = 1.0, step_im = 0.0;
    std::uint32_t osc_count = 0;

    std::vector<float> line_re, line_im;  // twice the taps, so the newest taps samples are contiguous
    std::size_t write_index = 0;
    int decimation_count = 0;

    std::vector<cf> ring;
    std::uint64_t ring_mask = 0;
    std::uint64_t sample_count = 0;

    std::vector<float> window;
    std::unique_ptr<FrameTransform> transform;  // the window's second half stays zero
    std::vector<float> magnitude;      // 2 x span + 1 (and zeros for the last lanes), index 0 is bin -span
    std::vector<int> tone_value;       // inverse Gray code of each tone
    int lanes = 0;                     // offsets rounded up to whole groups of lanes
    std::vector<float> soft;           // per frame slot and bit, one value per offset (lane)
    std::int64_t frame = 0;
    std::array<Lanes, kBlockSymbols> walsh{};
    // Per character of a block and chip: which bit of the symbol carries it, and its scrambling.
    std::array<std::array<int, kBlockSymbols>, kMaxBits> chip_bit{};
    std::array<std::array<float, kBlockSymbols>, kMaxBits> chip_sign{};
    std::vector<OliviaBlock> search_blocks;

    bool candidate = false;
    OliviaBlock candidate_block;
    bool confirming = false;
    OliviaBlock confirmed_block;
    bool locked = false;
    std::int64_t locked_frame = 0;
    int locked_offset = 0;
    int weak_blocks = 0;

    std::string text;
    bool carriage_return = false;
    float quality = 0.0f;

    Impl(const Candidate& c, const std::string& variant, double search_range_hz);
    void clear();
    void tune(double audio_hz);
    void demodulate(cf sample);
    void spectrum_frame(std::int64_t f);
    void decode_lanes(std::int64_t f, int first_lane, OliviaBlock* out);
    OliviaBlock decode_plain(std::int64_t f, int offset);
    OliviaBlock decode_olivia_block(std::int64_t f, int offset);
    void acquire_and_track(std::int64_t f);
    void accept(const OliviaBlock& block);

    // The soft values of bit 0 of frame f, lane 0 (offset -search bins); bit b follows b x lanes later.
    float* soft_frame(std::int64_t f) {
        const auto slot = static_cast<std::size_t>(f % slots);
        return soft.data() + slot * static_cast<std::size_t>(setup.bits) * static_cast<std::size_t>(lanes);
    }
};

OliviaModem::Impl::Impl(const Candidate& c, const std::string& variant, double search_range_hz) {
    const std::string chosen = resolve_olivia_variant(c, variant);
    int tones = 0;
    int bandwidth = 0;
    parse_olivia_variant(chosen, &tones, &bandwidth);
    setup = olivia_setup(tones, bandwidth, search_range_hz, chosen);
    range_hz = std::isnan(search_range_hz) || search_range_hz <= 0.0 ? 0.0 : search_range_hz;
    offsets = 2 * setup.search_bins + 1;
    S = setup.steps_per_symbol;
    slots = S * 66 + 4;

    const std::size_t tap_count = setup.taps.size();
    line_re.assign(2 * tap_count, 0.0f);
    line_im.assign(2 * tap_count, 0.0f);

    std::size_t ring_size = 1;
    while (ring_size < static_cast<std::size_t>(setup.frame_step + 2 * setup.symbol_samples + 1)) ring_size *= 2;
    ring.assign(ring_size, cf{});
    ring_mask = ring_size - 1;

    const int length = 2 * setup.symbol_samples;
    window.resize(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i)
        window[static_cast<std::size_t>(i)] = static_cast<float>((1.0 - std::cos(2.0 * kPi * i / length)) / length);
    transform = std::make_unique<FrameTransform>(setup.fft_size);
    lanes = (offsets + kLanes - 1) / kLanes * kLanes;
    magnitude.assign(static_cast<std::size_t>(2 * setup.span + 1 + kLanes), 0.0f);
    tone_value.resize(static_cast<std::size_t>(setup.tones));
    for (int t = 0; t < setup.tones; ++t) tone_value[static_cast<std::size_t>(t)] = inverse_gray(t);
    soft.assign(static_cast<std::size_t>(lanes) * static_cast<std::size_t>(slots) * static_cast<std::size_t>(setup.bits),
                0.0f);
    for (int j = 0; j < setup.bits; ++j) {
        for (int k = 0; k < kBlockSymbols; ++k) {
            // Character j takes chip k from bit (k + j) mod bits of symbol k, inverted where the
            // scrambling sequence, rotated by 13 bits per character, has a 1.
            chip_bit[static_cast<std::size_t>(j)][static_cast<std::size_t>(k)] = (k + j) % setup.bits;
            const bool inverted = (kScrambler >> ((k + kScramblerStep * j) % 64)) & 1u;
            chip_sign[static_cast<std::size_t>(j)][static_cast<std::size_t>(k)] = inverted ? -1.0f : 1.0f;
        }
    }
    search_blocks.resize(static_cast<std::size_t>(lanes));

    // A centre that is no usable frequency gets the usual Olivia calling centre.
    tune(std::isfinite(c.audio_hz) && c.audio_hz > 0.0 ? c.audio_hz : kDefaultCentreHz);
    clear();
}

void OliviaModem::Impl::tune(double audio_hz) {
    centre_hz = audio_hz;
    const double w = -2.0 * kPi * audio_hz / kAudioRateHz;
    step_re = std::cos(w);
    step_im = std::sin(w);
}

void OliviaModem::Impl::clear() {
    osc_re = 1.0;
    osc_im = 0.0;
    osc_count = 0;
    std::fill(line_re.begin(), line_re.end(), 0.0f);
    std::fill(line_im.begin(), line_im.end(), 0.0f);
    write_index = 0;
    decimation_count = 0;
    sample_count = 0;
    frame = 0;
    candidate = false;
    confirming = false;
    locked = false;
    weak_blocks = 0;
    quality = 0.0f;
    carriage_return = false;
}

void OliviaModem::Impl::demodulate(cf sample) {
    ring[sample_count & ring_mask] = sample;
    ++sample_count;
    while (sample_count >= static_cast<std::uint64_t>(2 * setup.symbol_samples) +
                              static_cast<std::uint64_t>(setup.frame_step) * static_cast<std::uint64_t>(frame)) {
        const std::int64_t f = frame;
        spectrum_frame(f);
        ++frame;
        if (f >= static_cast<std::int64_t>(kBlockSymbols - 1) * S) acquire_and_track(f);
    }
}

void OliviaModem::Impl::spectrum_frame(std::int64_t f) {
    const int n = setup.fft_size;
    const int length = 2 * setup.symbol_samples;
    const std::uint64_t first = static_cast<std::uint64_t>(f) * static_cast<std::uint64_t>(setup.frame_step);
    float* in = transform->input();
    for (int i = 0; i < length; ++i) {
        const cf x = ring[(first + static_cast<std::uint64_t>(i)) & ring_mask];
        const float w = window[static_cast<std::size_t>(i)];
        in[2 * i] = x.real() * w;
        in[2 * i + 1] = x.imag() * w;
    }
    transform->run();
    const float* out = transform->output();
    const int span = setup.span;
    for (int k = -span; k <= span; ++k) {
        const int bin = (n + k) % n;
        const float re = out[2 * bin];
        const float im = out[2 * bin + 1];
        magnitude[static_cast<std::size_t>(k + span)] = std::sqrt(re * re + im * im);
    }

    // Soft bits, for every offset d: tone t is read at bin d + 4t - 2T + 1 (four bins per tone
    // spacing, the lowest tone 2T - 1 bins below the centre). Lane e is offset e - search bins.
    const int tones = setup.tones;
    float* soft_out = soft_frame(f);
    const float* lowest = magnitude.data() + (span - setup.search_bins - 2 * tones + 1);
    for (int b = 0; b < setup.bits; ++b, soft_out += lanes) {
        for (int group = 0; group < lanes; group += kLanes) {
            Lanes max0 = {};
            Lanes max1 = {};
            for (int t = 0; t < tones; ++t) {
                const Lanes m = load_lanes(lowest + group + 4 * t);
                Lanes& best = (tone_value[static_cast<std::size_t>(t)] >> b) & 1 ? max1 : max0;
                best = best < m ? m : best;
            }
            store_lanes(soft_out + group, max0 - max1);  // positive favours 0
        }
    }
}

// Decodes the blocks whose last symbol lies at frame f for the lanes first_lane ..
// first_lane + kLanes - 1 (offsets lane - search bins) side by side.
void OliviaModem::Impl::decode_lanes(std::int64_t f, int first_lane, OliviaBlock* out) {
    const int bits = setup.bits;
    const std::int64_t first = f - static_cast<std::int64_t>(kBlockSymbols - 1) * S;
    std::array<const float*, kBlockSymbols> symbols;
    const std::size_t frame_size = static_cast<std::size_t>(bits) * static_cast<std::size_t>(lanes);
    std::int64_t slot = first % slots;
    for (int k = 0; k < kBlockSymbols; ++k) {
        symbols[static_cast<std::size_t>(k)] = soft.data() + static_cast<std::size_t>(slot) * frame_size + first_lane;
        slot += S;
        if (slot >= slots) slot -= slots;
    }
    float total[kLanes] = {};
    for (int j = 0; j < bits; ++j) {
        const auto& bit_of = chip_bit[static_cast<std::size_t>(j)];
        const auto& sign_of = chip_sign[static_cast<std::size_t>(j)];
        for (int k = 0; k < kBlockSymbols; ++k) {
            const auto i = static_cast<std::size_t>(k);
            walsh[i] = sign_of[i] * load_lanes(symbols[i] + bit_of[i] * lanes);
        }
        // Fast Walsh-Hadamard transform: pairs (a, b) h apart become (a + b, b - a).
        for (std::size_t h = 1; h < kBlockSymbols; h *= 2) {
            for (std::size_t i = 0; i < kBlockSymbols; i += 2 * h) {
                for (std::size_t k = i; k < i + h; ++k) {
                    const Lanes a = walsh[k];
                    const Lanes b = walsh[k + h];
                    walsh[k] = a + b;
                    walsh[k + h] = b - a;
                }
            }
        }
        Lanes peak_size = absolute(walsh[0]);
        LaneInts peak = {};
        LaneDoubles energy = {};
        for (int k = 0; k < kBlockSymbols; ++k) {
            const Lanes w = walsh[static_cast<std::size_t>(k)];
            const LaneDoubles wide = __builtin_convertvector(w, LaneDoubles);
            energy += wide * wide;
            const Lanes size = absolute(w);
            const LaneInts larger = size > peak_size;  // the first of equal peaks stays
            peak_size = larger ? size : peak_size;
            peak = larger ? LaneInts{} + k : peak;
        }
        for (int e = 0; e < kLanes; ++e) {
            const double noise = (energy[e] - static_cast<double>(peak_size[e]) * peak_size[e]) / (kBlockSymbols - 1);
            float score = 100.0f;
            float confidence = 1.0f;
            if (noise > 1e-20) {
                const double ratio = peak_size[e] / std::sqrt(noise);
                if (!(ratio > 100.0)) {
                    score = static_cast<float>(ratio);
                    confidence = std::clamp((score - 3.0f) / 6.0f, 0.0f, 1.0f);
                }
            }
            const bool negative = walsh[static_cast<std::size_t>(peak[e])][e] < 0.0f;
            out[e].characters[static_cast<std::size_t>(j)] = peak[e] + (negative ? 64 : 0);
            out[e].confidences[static_cast<std::size_t>(j)] = confidence;
            total[e] += score;
        }
    }
    for (int e = 0; e < kLanes; ++e) {
        out[e].score = total[e] / static_cast<float>(bits);
        out[e].frame = f;
        out[e].offset = first_lane + e - setup.search_bins;
        out[e].count = bits;
    }
}

OliviaBlock OliviaModem::Impl::decode_plain(std::int64_t f, int offset) {
    const int lane = offset + setup.search_bins;
    const int first_lane = lane / kLanes * kLanes;
    OliviaBlock group[kLanes];
    decode_lanes(f, first_lane, group);
    return group[lane - first_lane];
}

OliviaBlock OliviaModem::Impl::decode_olivia_block(std::int64_t f, int offset) {
    const OliviaBlock nominal = decode_plain(f, offset);
    const int sb = setup.search_bins;
    // Only neighbours whose symbols are all in the history: the frame before the first symbol
    // exists once the stream is that long, the frame after the block once it has been taken.
    const bool earlier = f - 1 - static_cast<std::int64_t>(kBlockSymbols - 1) * S >= 0;
    const bool later = f + 1 < frame;
    std::array<std::pair<std::int64_t, int>, 4> neighbours{};
    int count = 0;
    if (offset >= -sb && offset <= sb) {
        if (earlier) neighbours[static_cast<std::size_t>(count++)] = {f - 1, offset};
        if (later) neighbours[static_cast<std::size_t>(count++)] = {f + 1, offset};
    }
    if (offset - 1 >= -sb && offset - 1 <= sb) neighbours[static_cast<std::size_t>(count++)] = {f, offset - 1};
    if (offset + 1 >= -sb && offset + 1 <= sb) neighbours[static_cast<std::size_t>(count++)] = {f, offset + 1};
    OliviaBlock best;
    bool have = false;
    for (int i = 0; i < count; ++i) {
        const auto [nf, nd] = neighbours[static_cast<std::size_t>(i)];
        OliviaBlock b = decode_plain(nf, nd);
        if (!have || b.score > best.score) {
            best = b;
            have = true;
        }
    }
    if (have && best.score > kNeighbourMargin * nominal.score) return best;
    return nominal;
}

void OliviaModem::Impl::acquire_and_track(std::int64_t f) {
    const std::int64_t block_frames = static_cast<std::int64_t>(kBlockSymbols) * S;
    if (locked) {
        if (locked_frame + block_frames < f) {
            const OliviaBlock next = decode_olivia_block(locked_frame + block_frames, locked_offset);
            locked_frame = next.frame;
            locked_offset = next.offset;
            if (next.score >= kKeepScore) {
                weak_blocks = 0;
                accept(next);
            } else if (++weak_blocks >= kWeakBlocksToLeave) {
                locked = false;
                weak_blocks = 0;
                quality = 0.0f;
            }
        }
        return;
    }
    if (confirming) {
        if (confirmed_block.frame + block_frames < f) {
            confirming = false;
            const OliviaBlock next = decode_olivia_block(confirmed_block.frame + block_frames, confirmed_block.offset);
            if (next.score >= kAcquireScore) {
                locked = true;
                locked_frame = next.frame;
                locked_offset = next.offset;
                weak_blocks = 0;
                accept(confirmed_block);
                accept(next);
            }
        }
        return;
    }
    for (int lane = 0; lane < lanes; lane += kLanes) decode_lanes(f, lane, search_blocks.data() + lane);
    const OliviaBlock* best = &search_blocks[0];
    for (int lane = 1; lane < offsets; ++lane)
        if (search_blocks[static_cast<std::size_t>(lane)].score > best->score) best = &search_blocks[static_cast<std::size_t>(lane)];
    if (!candidate) {
        if (best->score >= kAcquireScore) {
            candidate = true;
            candidate_block = *best;
        }
        return;
    }
    if (best->score > candidate_block.score) candidate_block = *best;
    // Where the bits per symbol divide 12, a block seen about 13 symbols off its true start
    // still decodes in part (scrambler and interleave line up again). A modem that began to
    // listen just after a block began has missed that block's true alignment and finds such a
    // false one first, with the next true one up to 52 symbols after it: so the best block
    // found so far waits 60 symbols (short of the next block's own alignment) for a better one.
    const std::int64_t extra = 12 % setup.bits == 0 ? static_cast<std::int64_t>(kFalseAlignmentWait) * S : 0;
    if (candidate_block.frame + S / 2 + extra <= f) {
        confirmed_block = candidate_block;
        candidate = false;
        confirming = true;
    }
}

void OliviaModem::Impl::accept(const OliviaBlock& block) {
    float sum = 0.0f;
    for (int j = 0; j < block.count; ++j) {
        const int c = block.characters[static_cast<std::size_t>(j)];
        sum += block.confidences[static_cast<std::size_t>(j)];
        if ((c & 0x78) == 0) continue;  // control codes 0..7: idle filler
        if (c == 13) {
            text.push_back('\n');
            carriage_return = true;
        } else if (c == 10) {
            if (!carriage_return) text.push_back('\n');
            carriage_return = false;
        } else {
            carriage_return = false;
            if (c >= 32 && c != 127) text.push_back(static_cast<char>(c));
        }
    }
    float q = sum / static_cast<float>(block.count);
    if (quality != 0.0f) q = 0.3f * q + 0.7f * quality;
    quality = q;
}

OliviaModem::OliviaModem(const Candidate& candidate, const std::string& variant, double search_range_hz)
    : impl_(std::make_unique<Impl>(candidate, variant, search_range_hz)) {}

OliviaModem::~OliviaModem() = default;

Mode OliviaModem::mode() const { return Mode::OLIVIA; }

void OliviaModem::process(const AudioBlock& block) {
    Impl& s = *impl_;
    if (block.discontinuity) s.clear();
    const std::size_t taps = s.setup.taps.size();
    const float* coefficients = s.setup.taps.data();
    for (const float x : block.samples) {
        const auto re = static_cast<float>(x * s.osc_re);
        const auto im = static_cast<float>(x * s.osc_im);
        const double next_re = s.osc_re * s.step_re - s.osc_im * s.step_im;
        const double next_im = s.osc_re * s.step_im + s.osc_im * s.step_re;
        s.osc_re = next_re;
        s.osc_im = next_im;
        if (++s.osc_count >= kRenormalisePeriod) {
            const double size = std::sqrt(s.osc_re * s.osc_re + s.osc_im * s.osc_im);
            s.osc_re /= size;
            s.osc_im /= size;
            s.osc_count = 0;
        }
        s.line_re[s.write_index] = re;
        s.line_re[s.write_index + taps] = re;
        s.line_im[s.write_index] = im;
        s.line_im[s.write_index + taps] = im;
        if (++s.write_index == taps) s.write_index = 0;
        if (++s.decimation_count < s.setup.decimation) continue;
        s.decimation_count = 0;
        const float* line_re = s.line_re.data() + s.write_index;
        const float* line_im = s.line_im.data() + s.write_index;
        float sum_re = 0.0f;
        float sum_im = 0.0f;
        for (std::size_t k = 0; k < taps; ++k) {
            sum_re += coefficients[k] * line_re[k];
            sum_im += coefficients[k] * line_im[k];
        }
        s.demodulate(cf(sum_re, sum_im));
    }
}

void OliviaModem::set_frequency(double audio_hz) {
    Impl& s = *impl_;
    if (!std::isfinite(audio_hz)) return;
    const double move = std::fabs(audio_hz - s.centre_hz);
    if (move < s.setup.bin_hz / 2.0) return;
    if (s.locked && move < s.range_hz / 2.0) return;
    s.tune(audio_hz);
    s.clear();
}

void OliviaModem::reset() { impl_->clear(); }

ModemOutput OliviaModem::take_output() {
    Impl& s = *impl_;
    ModemOutput out;
    out.text = std::move(s.text);
    s.text.clear();
    if (s.locked) {
        out.frequency_hz = s.locked_offset * s.setup.bin_hz + s.centre_hz;
        out.quality = s.quality;
    }
    return out;
}

}  // namespace sig
