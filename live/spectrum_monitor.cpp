#include "live/spectrum_monitor.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <locale>
#include <map>
#include <mutex>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "core/fft_bins.hpp"
#include "core/capture_usable_fraction.hpp"
#include "core/complex_fft.hpp"
#include "core/spec_text.hpp"
#include "live/audio_dsp.hpp"

namespace {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

constexpr auto meter_hold = std::chrono::seconds(3);
constexpr auto strongest_period = std::chrono::milliseconds(200);
constexpr auto view_life = std::chrono::seconds(3);
constexpr double centre_exclusion_hz = 12000.0;
constexpr double two_pi = 2.0 * std::numbers::pi;
constexpr std::size_t max_views = 48;
constexpr std::uint64_t gather_budget = 1048576;
constexpr std::uint64_t max_direct_bins = 256;
constexpr float floor_db = -160.0f;
constexpr float ceiling_db = 20.0f;

char const* const malformed_view = "SPECTRUM needs ID, a range inside the capture and 16..1024 bins";

std::uint64_t monitor_fft_size(double sample_rate_hz)
{
    double const wanted = 0.04 * sample_rate_hz;
    std::uint64_t n = 1;
    while (static_cast<double>(n) < wanted)
        n *= 2;
    return n;
}

// Largest finite power over the gathered positions, in dB of a full-scale tone.
float gathered_level(std::complex<float> const* values, std::uint64_t const* positions, std::uint64_t count,
                     double scale)
{
    float const largest_finite = std::numeric_limits<float>::max();
    float best = 0.0f;
    for (std::uint64_t j = 0; j < count; ++j) {
        std::complex<float> const v = values[positions[j]];
        float const power = v.real() * v.real() + v.imag() * v.imag();
        if (power <= largest_finite && power > best)
            best = power;
    }
    if (!(best > 0.0f))
        return floor_db;
    return static_cast<float>(std::clamp(10.0 * std::log10(best * scale), -160.0, 20.0));
}

std::string general(double value)
{
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text.precision(17);
    text << value;
    return text.str();
}

// A row of the receive engine that goes when the last view holding it goes.
struct Registered {
    std::shared_ptr<SpectrumRows> engine;
    int id = -1;
    Registered(std::shared_ptr<SpectrumRows> rows, int row) : engine(std::move(rows)), id(row) {}
    ~Registered() { engine->remove(id); }
    Registered(Registered const&) = delete;
    Registered& operator=(Registered const&) = delete;
};

using Response = std::vector<std::complex<float>>;

struct Zoom {
    std::uint64_t m = 0;
    std::uint64_t r = 0;
    std::uint64_t position = 0;
    std::uint64_t fill = 0;
    std::int64_t centre_bin = 0;
    std::uint64_t last_frame = 0;
    bool started = false;
    std::shared_ptr<Response const> response;
    std::vector<std::uint32_t> frame_indexes;
    FftBuffer work;
    std::vector<std::complex<float>> ring;
    FftBuffer spectrum;
    std::vector<float> window;
    std::unique_ptr<ComplexFft> inverse;
    std::unique_ptr<ComplexFft> forward;
};

struct View {
    TimePoint expiry {};
    std::uint64_t sequence = 0;
    double low = 0.0;
    double high = 0.0;
    std::vector<float> levels;
    bool ready = false;
    std::uint64_t frame = 0;
    std::vector<std::uint64_t> starts;
    std::vector<std::uint64_t> indexes;
    std::unique_ptr<Zoom> zoom;
    std::shared_ptr<Registered> registration;
};

}  // namespace

std::uint64_t pack_level_report(double frequency_hz, double level_db)
{
    double const frequency = std::clamp(frequency_hz, 0.0, 4000000000.0);
    // The level is rounded in dB and only then offset: rounding after the offset would turn a
    // negative half-way level (-20.5) toward zero instead of away from it. The bound before the
    // rounding only keeps llround within range; the byte's own clamp decides.
    std::int64_t const rounded_db = std::llround(std::clamp(level_db, -1000.0, 1000.0));
    auto const hz = static_cast<std::uint64_t>(std::llround(frequency));
    auto const byte = static_cast<std::uint64_t>(std::clamp<std::int64_t>(rounded_db + 160, 0, 255));
    return hz | (byte << 32) | level_report_present;
}

struct SpectrumMonitor::Impl {
    double sample_rate_hz = 0.0;
    double centre_hz = 0.0;
    double usable_rate_hz = 0.0;
    std::uint64_t fft_size = 1;
    std::uint64_t bins_cap = 1;
    std::uint64_t bin_step = 1;
    std::shared_ptr<SpectrumRows> engine;
    Clock clock;
    std::atomic<bool> views_present {false};
    std::mutex mutex;
    // Written by one thread each and read by the other: atomics, so neither sees a torn value.
    std::atomic<std::uint64_t> strongest {0};
    TimePoint strongest_time {};  // capture thread only
    bool strongest_seen = false;  // capture thread only
    std::atomic<std::int64_t> meter_time {std::numeric_limits<std::int64_t>::min()};
    std::map<std::uint64_t, std::shared_ptr<Response const>> zoom_designs;  // control thread only
    std::map<std::string, View> views;
    std::uint64_t sequence = 0;

    bool cpu_strongest(SpectrumFrame const& frame, std::int64_t& best_bin, float& best_power) const;
    std::shared_ptr<Response const> zoom_design(std::uint64_t m);
    void compute_direct(View& view, SpectrumFrame const& frame, bool& computed);
    void compute_zoom(View& view, SpectrumFrame const& frame, bool& computed);
    void rebuild(View& view, double lo, double hi, std::uint64_t bins, std::uint64_t zoom_size,
                 std::shared_ptr<Response const> design, std::uint64_t others);
    std::string view_request(std::string const& request);
};

SpectrumMonitor::SpectrumMonitor(double sample_rate_hz, double centre_hz, double nominal_rate_hz,
                                 std::shared_ptr<SpectrumRows> engine, Clock clock)
    : impl_(std::make_unique<Impl>())
{
    Impl& m = *impl_;
    m.sample_rate_hz = sample_rate_hz;
    m.centre_hz = centre_hz;
    m.usable_rate_hz = std::min(nominal_rate_hz, sample_rate_hz);
    m.fft_size = monitor_fft_size(sample_rate_hz);
    m.bins_cap = std::min<std::uint64_t>(m.fft_size, 1024);
    m.bin_step = m.fft_size / m.bins_cap;
    m.engine = std::move(engine);
    m.clock = clock ? std::move(clock) : Clock([] { return SteadyClock::now(); });
}

SpectrumMonitor::~SpectrumMonitor() = default;

std::uint64_t SpectrumMonitor::fft_size() const { return impl_->fft_size; }

std::uint64_t SpectrumMonitor::bin_step() const { return impl_->bin_step; }

bool SpectrumMonitor::views_present() const { return impl_->views_present.load(); }

std::uint64_t SpectrumMonitor::strongest() const { return impl_->strongest.load(std::memory_order_relaxed); }

void SpectrumMonitor::note_meter_request()
{
    impl_->meter_time.store(impl_->clock().time_since_epoch().count(), std::memory_order_relaxed);
}

bool SpectrumMonitor::Impl::cpu_strongest(SpectrumFrame const& frame, std::int64_t& best_bin,
                                          float& best_power) const
{
    auto const n = static_cast<std::int64_t>(fft_size);
    std::int64_t const exclusion = std::llround(static_cast<double>(fft_size) * centre_exclusion_hz / frame.rate);
    float const largest = std::numeric_limits<float>::max();
    bool found = false;
    for (std::uint64_t i = 0; i < fft_size; ++i) {
        auto b = static_cast<std::int64_t>(i / bins_cap + (i % bins_cap) * bin_step);
        if (b >= n / 2)
            b -= n;
        if (std::llabs(b) < exclusion)
            continue;
        std::complex<float> const value = frame.bins[i];
        float const power = value.real() * value.real() + value.imag() * value.imag();
        if (!(power <= largest))
            continue;
        if (!found || power > best_power || (power == best_power && b < best_bin)) {
            best_power = power;
            best_bin = b;
            found = true;
        }
    }
    return found;
}

void SpectrumMonitor::update_strongest(SpectrumFrame const& frame)
{
    Impl& m = *impl_;
    if (frame.fft_size != m.fft_size || frame.bin_step != m.bin_step)
        return;
    TimePoint const now = m.clock();
    std::int64_t const meter = m.meter_time.load(std::memory_order_relaxed);
    std::int64_t const hold = std::chrono::duration_cast<SteadyClock::duration>(meter_hold).count();
    // Compared as differences from the last event, so the "never" sentinel cannot overflow.
    if (meter == std::numeric_limits<std::int64_t>::min() || now.time_since_epoch().count() - meter > hold)
        return;
    if (m.strongest_seen && now - m.strongest_time < strongest_period)
        return;
    m.strongest_time = now;
    m.strongest_seen = true;

    std::int64_t bin = 0;
    float power = 0.0f;
    if (frame.results == nullptr) {
        if (frame.bins == nullptr || !m.cpu_strongest(frame, bin, power))
            return;
    } else {
        if (!m.engine)
            return;
        m.engine->set_window(frame.centre, m.usable_rate_hz, centre_exclusion_hz);
        if (!frame.results->window_peak(bin, power))
            return;
    }
    if (!(power > 0.0f))
        return;
    double const n = static_cast<double>(m.fft_size);
    double const level = std::clamp(10.0 * std::log10(static_cast<double>(power) / (n * n)), -160.0, 20.0);
    double const frequency = static_cast<double>(bin) * frame.rate / n + frame.centre;
    m.strongest.store(pack_level_report(frequency, level), std::memory_order_relaxed);
}

void SpectrumMonitor::Impl::compute_direct(View& view, SpectrumFrame const& frame, bool& computed)
{
    if (view.ready && view.frame == frame.sample_index)
        return;
    std::uint64_t const levels = view.levels.size();
    double const n = static_cast<double>(fft_size);
    double const scale = 1.0 / (n * n);
    if (frame.results != nullptr) {
        float const* row = view.registration ? frame.results->real_row(view.registration->id) : nullptr;
        if (row == nullptr)
            return;
        for (std::uint64_t i = 0; i < levels; ++i) {
            view.levels[i] = row[i] > 0.0f && row[i] <= std::numeric_limits<float>::max()
                                 ? static_cast<float>(std::clamp(10.0 * std::log10(row[i] * scale), -160.0, 20.0))
                                 : floor_db;
        }
    } else {
        if (frame.bins == nullptr)
            return;
        for (std::uint64_t i = 0; i < levels; ++i) {
            std::uint64_t const first = view.starts[i];
            view.levels[i] = gathered_level(frame.bins, view.indexes.data() + first, view.starts[i + 1] - first, scale);
        }
    }
    computed = true;
}

void SpectrumMonitor::Impl::compute_zoom(View& view, SpectrumFrame const& frame, bool& computed)
{
    Zoom& z = *view.zoom;
    std::uint64_t const hop = fft_size / 2;
    bool const repeated = z.started && frame.sample_index == z.last_frame;
    if (!repeated) {
        if (z.started && frame.sample_index != z.last_frame + hop) {
            z.fill = 0;
            view.ready = false;
        }
        z.last_frame = frame.sample_index;
        z.started = true;
        // As for an audio channel: the sign refers the centre bin to sample 0.
        bool const even_hop = (frame.sample_index / hop) % 2 == 0;
        float const sign = even_hop && (z.centre_bin & 1) != 0 ? -1.0f : 1.0f;
        std::uint64_t const half = z.m / 2;
        std::complex<float> const* fresh = nullptr;
        if (frame.results == nullptr) {
            if (frame.bins == nullptr)
                return;
            std::complex<float>* work = z.work.data();
            Response const& response = *z.response;
            for (std::uint64_t k = 0; k < z.m; ++k)
                work[k] = frame.bins[z.frame_indexes[k]] * response[k] * sign;
            z.inverse->execute(work);
            fresh = work + half;
            for (std::uint64_t k = 0; k < half; ++k)
                z.ring[(z.position + k) % z.r] = fresh[k];
        } else {
            float const* row = view.registration ? frame.results->complex_row(view.registration->id) : nullptr;
            if (row == nullptr) {
                z.started = false;
                return;
            }
            fresh = reinterpret_cast<std::complex<float> const*>(row);
            for (std::uint64_t k = 0; k < half; ++k)
                z.ring[(z.position + k) % z.r] = fresh[k] * sign;
        }
        z.position = (z.position + half) % z.r;
        z.fill = std::min(z.fill + half, z.r);
    } else if (view.ready) {
        return;
    }
    if (z.fill < z.r)
        return;
    for (std::uint64_t j = 0; j < z.r; ++j)
        z.spectrum[j] = z.ring[(z.position + j) % z.r] * z.window[j];
    z.forward->execute(z.spectrum.data());
    double const n = static_cast<double>(fft_size);
    double const r = static_cast<double>(z.r);
    double const scale = 4.0 / (n * n * r * r);
    for (std::uint64_t i = 0; i + 1 < view.starts.size(); ++i) {
        std::uint64_t const first = view.starts[i];
        view.levels[i] = gathered_level(z.spectrum.data(), view.indexes.data() + first, view.starts[i + 1] - first, scale);
    }
    computed = true;
}

void SpectrumMonitor::update_views(SpectrumFrame const& frame)
{
    Impl& m = *impl_;
    if (!m.views_present.load())
        return;
    std::unique_lock lock(m.mutex, std::try_to_lock);
    if (!lock.owns_lock())
        return;
    if (frame.fft_size != m.fft_size || frame.bin_step != m.bin_step)
        return;
    TimePoint const now = m.clock();
    bool any = false;
    for (auto& [id, view] : m.views) {
        if (now >= view.expiry) {
            view.ready = false;
            continue;
        }
        any = true;
        bool computed = false;
        if (view.zoom)
            m.compute_zoom(view, frame, computed);
        else
            m.compute_direct(view, frame, computed);
        if (computed) {
            view.sequence = ++m.sequence;
            view.ready = true;
            view.frame = frame.sample_index;
        }
    }
    m.views_present.store(any);
}

void SpectrumMonitor::reset() noexcept
{
    Impl& m = *impl_;
    std::unique_lock lock(m.mutex, std::try_to_lock);
    if (!lock.owns_lock())
        return;
    for (auto& [id, view] : m.views) {
        view.ready = false;
        if (view.zoom) {
            view.zoom->fill = 0;
            view.zoom->started = false;
        }
    }
}

void SpectrumMonitor::expire()
{
    Impl& m = *impl_;
    std::scoped_lock lock(m.mutex);
    TimePoint const now = m.clock();
    std::erase_if(m.views, [now](auto const& entry) { return entry.second.expiry <= now; });
    m.views_present.store(!m.views.empty());
}

std::shared_ptr<Response const> SpectrumMonitor::Impl::zoom_design(std::uint64_t m)
{
    if (auto const found = zoom_designs.find(m); found != zoom_designs.end())
        return found->second;
    std::uint64_t const n = fft_size;
    std::uint64_t const taps = n / 2 + 1;
    double const fc = 0.4 * static_cast<double>(m) / static_cast<double>(n);
    std::vector<double> h(taps);
    double sum = 0.0;
    for (std::uint64_t i = 0; i < taps; ++i) {
        double const t = static_cast<double>(i) - static_cast<double>(n) / 4.0;
        double const sinc = t == 0.0 ? 2.0 * fc : std::sin(two_pi * fc * t) / (std::numbers::pi * t);
        double const x = static_cast<double>(i);
        double const window = 0.42 - 0.5 * std::cos(2.0 * two_pi * x / static_cast<double>(n))
                              + 0.08 * std::cos(4.0 * two_pi * x / static_cast<double>(n));
        h[i] = sinc * window;
        sum += h[i];
    }
    FftBuffer filter(n);
    for (std::uint64_t i = 0; i < taps; ++i)
        filter[i] = {static_cast<float>(h[i] / sum), 0.0f};
    ComplexFft(n, ComplexFft::Direction::forward).execute(filter.data());
    auto response = std::make_shared<Response>(m);
    for (std::uint64_t k = 0; k < m; ++k)
        (*response)[k] = filter[natural_bin(fft_order_offset(k, m), n)];
    zoom_designs.emplace(m, response);
    return response;
}

void SpectrumMonitor::Impl::rebuild(View& view, double lo, double hi, std::uint64_t bins, std::uint64_t zoom_size,
                                    std::shared_ptr<Response const> design, std::uint64_t others)
{
    std::uint64_t const n = fft_size;
    double const per_bin = static_cast<double>(n) / sample_rate_hz;
    std::vector<double> edges(bins + 1);
    for (std::uint64_t i = 0; i <= bins; ++i)
        edges[i] = lo + static_cast<double>(i) * (hi - lo) / static_cast<double>(bins);

    std::vector<std::uint64_t> starts;
    std::vector<std::uint64_t> indexes;
    std::vector<std::int64_t> signed_bins;
    std::unique_ptr<Zoom> zoom;
    starts.reserve(bins + 1);
    if (zoom_size == 0) {
        for (std::uint64_t i = 0; i < bins; ++i) {
            starts.push_back(indexes.size());
            auto const b0 = static_cast<std::int64_t>(std::ceil((edges[i] - centre_hz) * per_bin));
            auto const b1 = static_cast<std::int64_t>(std::ceil((edges[i + 1] - centre_hz) * per_bin));
            auto const take = [&](std::int64_t b) {
                indexes.push_back(frame_position(natural_bin(b, n), n));
                if (engine)
                    signed_bins.push_back(wrap_signed_bin(b, n));
            };
            if (b0 < b1) {
                auto const count = static_cast<std::uint64_t>(b1 - b0);
                std::uint64_t const k = std::min(count, max_direct_bins);
                for (std::uint64_t j = 0; j < k; ++j)
                    take(b0 + static_cast<std::int64_t>(j * count / k));
            } else {
                take(std::llround(((edges[i] + edges[i + 1]) / 2.0 - centre_hz) * per_bin));
            }
        }
    } else {
        zoom = std::make_unique<Zoom>();
        Zoom& z = *zoom;
        z.m = zoom_size;
        double const decimated = static_cast<double>(zoom_size) * sample_rate_hz / static_cast<double>(n);
        std::uint64_t r = zoom_size;
        while (static_cast<double>(r) < static_cast<double>(bins) * decimated / (hi - lo)) {
            if (r > 16383 || 2.0 * static_cast<double>(r) > decimated)
                break;
            r *= 2;
        }
        z.r = r;
        z.centre_bin = std::llround(((lo + hi) / 2.0 - centre_hz) * per_bin);
        double const view_centre = centre_hz + static_cast<double>(z.centre_bin) / per_bin;
        z.response = std::move(design);
        z.frame_indexes.resize(zoom_size);
        for (std::uint64_t k = 0; k < zoom_size; ++k) {
            std::int64_t const d = fft_order_offset(k, zoom_size);
            z.frame_indexes[k] = static_cast<std::uint32_t>(frame_position(natural_bin(z.centre_bin + d, n), n));
        }
        z.window.resize(r);
        for (std::uint64_t i = 0; i < r; ++i)
            z.window[i] = static_cast<float>(0.5 - 0.5 * std::cos(two_pi * static_cast<double>(i) / static_cast<double>(r)));
        z.ring.assign(r, {});
        z.spectrum = FftBuffer(r);
        z.work = FftBuffer(zoom_size);
        z.inverse = std::make_unique<ComplexFft>(zoom_size, ComplexFft::Direction::backward);
        z.forward = std::make_unique<ComplexFft>(r, ComplexFft::Direction::forward);
        double const zoom_bin = decimated / static_cast<double>(r);
        auto const ring_bin = [r](std::int64_t k) {
            auto const size = static_cast<std::int64_t>(r);
            return static_cast<std::uint64_t>(((k % size) + size) % size);
        };
        for (std::uint64_t i = 0; i < bins; ++i) {
            starts.push_back(indexes.size());
            auto k0 = static_cast<std::int64_t>(std::ceil((edges[i] - view_centre) / zoom_bin));
            auto k1 = static_cast<std::int64_t>(std::ceil((edges[i + 1] - view_centre) / zoom_bin));
            if (k1 <= k0) {
                k0 = std::llround(((edges[i] + edges[i + 1]) / 2.0 - view_centre) / zoom_bin);
                k1 = k0 + 1;
            }
            for (std::int64_t k = k0; k < k1; ++k)
                indexes.push_back(ring_bin(k));
        }
    }
    starts.push_back(indexes.size());

    if (indexes.size() + others > gather_budget)
        throw std::runtime_error("Waterfall gather budget exceeded; reduce spans");

    view.registration.reset();
    if (engine) {
        int id = -1;
        if (!zoom) {
            id = engine->add_real_row(std::move(signed_bins), starts, centre_hz);
        } else {
            std::vector<std::int64_t> row_bins(zoom->m);
            std::vector<float> weights(2 * zoom->m);
            for (std::uint64_t k = 0; k < zoom->m; ++k) {
                row_bins[k] = wrap_signed_bin(zoom->centre_bin + fft_order_offset(k, zoom->m), n);
                weights[2 * k] = (*zoom->response)[k].real();
                weights[2 * k + 1] = (*zoom->response)[k].imag();
            }
            id = engine->add_complex_row(std::move(row_bins), std::move(weights), centre_hz);
        }
        view.registration = std::make_shared<Registered>(engine, id);
    }
    view.indexes = std::move(indexes);
    view.starts = std::move(starts);
    view.zoom = std::move(zoom);
    view.low = lo;
    view.high = hi;
    view.levels.assign(bins, floor_db);
    view.ready = false;
}

std::string SpectrumMonitor::Impl::view_request(std::string const& request)
{
    std::istringstream words(request.substr(9));
    words.imbue(std::locale::classic());
    std::string id;
    double lo = 0.0;
    double hi = 0.0;
    long long bins = 0;
    std::string extra;
    if (!(words >> id >> lo >> hi >> bins) || (words >> extra) || !is_valid_channel_id(id) || !std::isfinite(lo)
        || !std::isfinite(hi) || !(hi > lo) || bins < 16 || bins > 1024 || lo < centre_hz - capture_usable_fraction * usable_rate_hz
        || hi > centre_hz + capture_usable_fraction * usable_rate_hz)
        throw std::runtime_error(malformed_view);
    auto const levels = static_cast<std::uint64_t>(bins);

    double const bin_hz = sample_rate_hz / static_cast<double>(fft_size);
    std::uint64_t zoom_size = 0;
    if (bin_hz > (hi - lo) / static_cast<double>(levels)) {
        std::uint64_t m = 64;
        while (static_cast<double>(m) * bin_hz * 0.4 < (hi - lo) / 2.0 + bin_hz / 2.0)
            m *= 2;
        if (m <= fft_size / 2)
            zoom_size = m;
    }
    std::shared_ptr<Response const> design = zoom_size > 0 ? zoom_design(zoom_size) : nullptr;

    std::scoped_lock lock(mutex);
    TimePoint const now = clock();
    std::erase_if(views, [now](auto const& entry) { return entry.second.expiry <= now; });
    auto found = views.find(id);
    bool const created = found == views.end();
    if (created) {
        if (views.size() >= max_views)
            throw std::runtime_error("At most 48 waterfall views per SDR");
        found = views.emplace(id, View {}).first;
    }
    View& view = found->second;
    if (created || view.low != lo || view.high != hi || view.levels.size() != levels) {
        std::uint64_t others = 0;
        for (auto const& [other_id, other] : views) {
            if (other_id != id)
                others += other.indexes.size();
        }
        try {
            rebuild(view, lo, hi, levels, zoom_size, std::move(design), others);
        } catch (...) {
            if (created)
                views.erase(found);
            views_present.store(!views.empty());
            throw;
        }
    }
    view.expiry = now + view_life;
    views_present.store(true);

    std::string text;
    if (!view.ready) {
        text = "OK WAIT " + general(lo) + " " + general(hi) + " " + std::to_string(levels);
    } else {
        text = "OK SPECTRUM " + std::to_string(view.sequence) + " " + general(lo) + " " + general(hi) + " "
               + std::to_string(levels);
        text.reserve(text.size() + 7 * levels);
        char number[32];
        for (float const level : view.levels) {
            std::snprintf(number, sizeof number, " %.1f", static_cast<double>(level));
            text += number;
        }
    }
    return text;
}

SpectrumMonitor::Reply SpectrumMonitor::handle_command(std::string const& request)
{
    Impl& m = *impl_;
    if (request == "SPECTRUM OFF") {
        std::scoped_lock lock(m.mutex);
        m.views_present.store(false);
        m.views.clear();
        return {true, "OK"};
    }
    if (request.rfind("SPECTRUM OFF ", 0) == 0) {
        std::string const id = request.substr(13);
        if (!is_valid_channel_id(id))
            throw std::runtime_error("Invalid spectrum view ID");
        std::scoped_lock lock(m.mutex);
        m.views.erase(id);
        m.views_present.store(!m.views.empty());
        return {true, "OK"};
    }
    if (request.rfind("SPECTRUM ", 0) != 0)
        return {false, {}};
    return {true, m.view_request(request)};
}
