#include "rx888/gpu_receiver.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "core/log_line.hpp"
#include "rx888/gpu_library.hpp"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr auto window_lifetime = std::chrono::seconds(3);
constexpr std::uint64_t peak_pairs = 512;

struct Row {
    bool complex = true;
    std::int64_t centre_bin = 0;
    std::vector<std::int64_t> offsets;
    std::vector<float> weights;        // complex rows: re, im per offset
    std::vector<std::uint64_t> bounds;  // real rows: segment boundaries
};

}  // namespace

struct GpuReceiver::State {
    GpuLibrary const* library = nullptr;
    void* handle = nullptr;
    double bin_width = 0;
    std::uint64_t transform_length = 0;  // L
    std::uint64_t frame_length = 0;      // N
    std::uint32_t decimation = 0;
    GpuReceiver::Clock clock;

    std::mutex mutex;  // rows, window and the dirty flag
    std::map<int, Row> rows;
    int next_id = 1;
    bool tables_dirty = true;
    std::int64_t window_centre = 0;
    std::int64_t window_half = 0;
    std::int64_t window_radius = 0;
    bool window_set = false;
    SteadyClock::time_point window_time{};

    // The tables the plug-in holds, and where their rows sit in a frame.
    std::map<int, std::uint64_t> complex_offsets;  // complex values from the frame start
    std::map<int, std::uint64_t> real_offsets;     // floats from the real part's start
    std::uint64_t real_base = 0;
    std::uint64_t frame_floats = 0;
    std::vector<float> results;  // one frame per input slot

    class Results final : public SpectrumResults {
    public:
        explicit Results(State const& owner) : owner_(owner) {}
        float const* complex_row(int id) const override
        {
            auto const found = owner_.complex_offsets.find(id);
            if (found == owner_.complex_offsets.end())
                return nullptr;
            return owner_.results.data() + frame_offset + 2 * found->second;
        }
        float const* real_row(int id) const override
        {
            auto const found = owner_.real_offsets.find(id);
            if (found == owner_.real_offsets.end())
                return nullptr;
            return owner_.results.data() + owner_.real_base + frame_offset + found->second;
        }
        bool window_peak(std::int64_t& bin_offset, float& value) const override
        {
            if (!peak_valid)
                return false;
            bin_offset = peak_bin;
            value = peak_value;
            return true;
        }

        std::uint64_t frame_offset = 0;
        bool peak_valid = false;
        std::int64_t peak_bin = 0;
        float peak_value = 0;

    private:
        State const& owner_;
    };
    Results frame{*this};

    bool in_flight = false;
    bool in_flight_window = false;
    std::uint32_t in_flight_slot = 0;
    std::int64_t in_flight_centre = 0;
    std::uint32_t slot = 0;
    std::string error;
    std::vector<std::int16_t> input;  // slot 0: the first L/2 words, slot 1: the rest

    ~State()
    {
        // Whatever is still in flight is the plug-in's to drop.
        if (handle != nullptr)
            library->rx_destroy(handle);
    }

    // The transform bin a row offset reads: the offset wrapped into -N/2..N/2-1 like a bin of
    // the N-point transform, from the row's centre; -1 outside 0..L/2.
    std::int64_t table_bin(std::int64_t centre_bin, std::int64_t offset) const
    {
        auto const n = static_cast<std::int64_t>(frame_length);
        std::int64_t wrapped = ((offset % n) + n) % n;
        if (wrapped >= n / 2)
            wrapped -= n;
        std::int64_t const bin = centre_bin + wrapped;
        return bin < 0 || bin > static_cast<std::int64_t>(transform_length / 2) ? -1 : bin;
    }

    // Records the first failure; false for the caller to return.
    bool fail(std::string text)
    {
        if (error.empty())
            error = text.empty() ? std::string("the GPU failed") : std::move(text);
        log_line("RX-888 GPU receive: " + error);
        return false;
    }

    bool wait(std::uint32_t s)
    {
        GpuErrorBuffer<512> buffer;
        if (library->rx_wait(handle, s, buffer.data, buffer.size) != 0)
            return fail(buffer.text());
        return true;
    }

    void publish(std::uint32_t s, bool window, std::int64_t centre, ResultsCallback const& callback)
    {
        frame.frame_offset = s * frame_floats;
        frame.peak_valid = false;
        if (window) {
            float const* pairs = results.data() + frame.frame_offset + frame_floats - 2 * peak_pairs;
            float best = -1.0f;
            std::int64_t best_bin = -1;
            for (std::uint64_t p = 0; p < peak_pairs; ++p) {
                float const value = pairs[2 * p];
                auto const bin = static_cast<std::int64_t>(pairs[2 * p + 1]);
                if (bin < 0)
                    continue;
                if (value > best || (value == best && bin < best_bin)) {
                    best = value;
                    best_bin = bin;
                }
            }
            if (best_bin >= 0 && best > 0.0f) {
                frame.peak_valid = true;
                frame.peak_bin = best_bin - centre;
                frame.peak_value = best;
            }
        }
        callback(frame);
    }

    // Sends the rows to the plug-in as tables; under `mutex`.
    bool rebuild()
    {
        std::vector<std::pair<std::size_t, int>> order;
        for (auto const& [id, row] : rows)
            if (row.complex)
                order.emplace_back(row.offsets.size(), id);
        std::stable_sort(order.begin(), order.end(),
                         [](auto const& a, auto const& b) { return a.first < b.first; });
        std::vector<std::uint32_t> bins_per_row;
        std::vector<std::uint32_t> parity;
        std::vector<std::int64_t> complex_bins;
        std::vector<float> weights;
        std::map<int, std::uint64_t> new_complex;
        std::uint64_t total = 0;
        for (auto const& [count, id] : order) {
            Row const& row = rows.at(id);
            bins_per_row.push_back(static_cast<std::uint32_t>(count));
            parity.push_back(static_cast<std::uint32_t>(row.centre_bin & 1));
            for (std::int64_t const offset : row.offsets)
                complex_bins.push_back(table_bin(row.centre_bin, offset));
            std::size_t const first = weights.size();
            weights.insert(weights.end(), row.weights.begin(), row.weights.end());
            weights.resize(first + 2 * count, 0.0f);  // a short weight list weighs the rest 0
            new_complex[id] = total;
            total += count / 2;
        }
        std::vector<std::uint32_t> starts;
        std::vector<std::int64_t> real_bins;
        std::map<int, std::uint64_t> new_real;
        for (auto const& [id, row] : rows) {
            if (row.complex)
                continue;
            new_real[id] = starts.size();
            if (row.bounds.size() < 2)
                continue;  // no segment: its bins must not join another row's last one
            auto const base = static_cast<std::uint64_t>(real_bins.size());
            for (std::size_t k = 0; k + 1 < row.bounds.size(); ++k)
                starts.push_back(static_cast<std::uint32_t>(base + row.bounds[k] - row.bounds.front()));
            for (std::uint64_t i = row.bounds.front(); i < row.bounds.back(); ++i)
                real_bins.push_back(table_bin(row.centre_bin, row.offsets[i]));
        }
        auto const segments = static_cast<std::uint32_t>(starts.size());
        starts.push_back(static_cast<std::uint32_t>(real_bins.size()));

        GpuErrorBuffer<512> buffer;
        if (library->rx_tables(handle, static_cast<std::uint32_t>(bins_per_row.size()), bins_per_row.data(),
                               parity.data(), complex_bins.data(), weights.data(), segments, starts.data(),
                               real_bins.data(), buffer.data, buffer.size) != 0)
            return fail(buffer.text());
        frame_floats = 2 * total + segments + 2 * peak_pairs;
        if (2 * frame_floats > results.capacity())
            library->rx_unpin(handle);  // the pinned frames are about to move
        results.assign(2 * frame_floats, 0.0f);
        complex_offsets = std::move(new_complex);
        real_offsets = std::move(new_real);
        real_base = 2 * total;
        tables_dirty = false;
        return true;
    }
};

std::shared_ptr<GpuReceiver> GpuReceiver::create(GpuLibrary const& library, std::uint64_t frame_length,
                                                 std::uint32_t decimation, double adc_clock_hz, std::string& reason,
                                                 Clock clock)
{
    if (!library.loaded) {
        reason = library.error;
        return {};
    }
    if (frame_length < 2 || frame_length % 2 != 0 || decimation == 0 || !(adc_clock_hz > 0)) {
        reason = "GPU receive engine could not start";
        return {};
    }
    auto state = std::make_unique<State>();
    state->library = &library;
    state->clock = clock ? std::move(clock) : Clock([] { return SteadyClock::now(); });
    state->frame_length = frame_length;
    state->decimation = decimation;
    state->transform_length = frame_length * decimation;
    state->bin_width = adc_clock_hz / static_cast<double>(state->transform_length);
    state->input.assign(state->transform_length, 0);
    GpuErrorBuffer<256> buffer;
    state->handle = library.rx_create(state->transform_length, buffer.data, buffer.size,
                                      2.0f / static_cast<float>(decimation), static_cast<float>(decimation));
    if (state->handle == nullptr) {
        std::string const text = buffer.text();
        reason = text.empty() ? "GPU receive engine could not start" : text;
        return {};
    }
    reason = "GPU (" + gpu_device_name(library.rx_name(state->handle)) + ")";
    return std::shared_ptr<GpuReceiver>(new GpuReceiver(std::move(state)));
}

GpuReceiver::GpuReceiver(std::unique_ptr<State> state) : state_(std::move(state)) {}

GpuReceiver::~GpuReceiver() = default;

int GpuReceiver::add_complex_row(std::vector<std::int64_t> offsets, std::vector<float> weights, double frequency_hz)
{
    State& s = *state_;
    std::scoped_lock lock(s.mutex);
    int const id = s.next_id++;
    s.rows[id] = Row{true, std::llround(frequency_hz / s.bin_width), std::move(offsets), std::move(weights), {}};
    s.tables_dirty = true;
    return id;
}

int GpuReceiver::add_real_row(std::vector<std::int64_t> offsets, std::vector<std::uint64_t> bounds,
                              double frequency_hz)
{
    for (std::size_t k = 0; k < bounds.size(); ++k)
        if (bounds[k] > offsets.size() || (k > 0 && bounds[k] < bounds[k - 1]))
            throw std::invalid_argument("Spectrum row segments must rise within the row's bins");
    State& s = *state_;
    std::scoped_lock lock(s.mutex);
    int const id = s.next_id++;
    s.rows[id] = Row{false, std::llround(frequency_hz / s.bin_width), std::move(offsets), {}, std::move(bounds)};
    s.tables_dirty = true;
    return id;
}

void GpuReceiver::remove(int id)
{
    State& s = *state_;
    std::scoped_lock lock(s.mutex);
    if (s.rows.erase(id) > 0)
        s.tables_dirty = true;
}

void GpuReceiver::set_window(double centre_hz, double width_hz, double radius_hz)
{
    State& s = *state_;
    std::scoped_lock lock(s.mutex);
    s.window_centre = std::llround(centre_hz / s.bin_width);
    s.window_half = std::llround(width_hz * 0.5 / s.bin_width);
    s.window_radius = std::llround(radius_hz / s.bin_width);
    s.window_time = s.clock();
    s.window_set = true;
}

std::uint64_t GpuReceiver::block_samples() const { return state_->transform_length / 2; }

std::uint64_t GpuReceiver::decimation() const { return state_->decimation; }

double GpuReceiver::bin_width_hz() const { return state_->bin_width; }

std::int16_t* GpuReceiver::input_slot() { return state_->input.data() + state_->slot * (state_->transform_length / 2); }

void GpuReceiver::reset()
{
    State& s = *state_;
    // The first frame after a reset must see no history: not the host's two slots, not the
    // previous hop the plug-in keeps.
    std::fill(s.input.begin(), s.input.end(), std::int16_t{0});
    s.slot = 0;
    bool const was_in_flight = std::exchange(s.in_flight, false);
    if (!s.error.empty())
        return;
    // A failure here is reported by the next process(), which the caller makes anyway.
    GpuErrorBuffer<256> buffer;
    if ((was_in_flight && s.library->rx_wait(s.handle, s.in_flight_slot, buffer.data, buffer.size) != 0) ||
        s.library->rx_reset(s.handle, buffer.data, buffer.size) != 0) {
        std::string const text = buffer.text();
        s.error = text.empty() ? "the GPU failed" : text;
    }
}

bool GpuReceiver::process(std::uint64_t frame, ResultsCallback const& callback)
{
    State& s = *state_;
    if (!s.error.empty())
        return s.fail(s.error);
    bool dirty = false;
    {
        std::scoped_lock lock(s.mutex);
        dirty = s.tables_dirty;
    }
    if (dirty) {
        // The frame in flight was launched with the old tables: it goes out before they change.
        if (s.in_flight) {
            s.in_flight = false;
            if (!s.wait(s.in_flight_slot))
                return false;
            s.publish(s.in_flight_slot, s.in_flight_window, s.in_flight_centre, callback);
        }
        std::scoped_lock lock(s.mutex);
        if (s.tables_dirty && !s.rebuild())
            return false;
    }

    std::uint32_t const launched = s.slot;
    bool window = false;
    std::int64_t centre = 0;
    std::int64_t bounds[4] = {0, -1, 0, -1};
    {
        std::scoped_lock lock(s.mutex);
        if (s.window_set && s.clock() - s.window_time < window_lifetime) {
            window = true;
            centre = s.window_centre;
            bounds[0] = s.window_centre - s.window_half;
            bounds[1] = s.window_centre + s.window_half;
            bounds[2] = s.window_centre - s.window_radius;
            bounds[3] = s.window_centre + s.window_radius;
        }
    }
    GpuErrorBuffer<512> buffer;
    if (s.library->rx_launch(s.handle, s.input.data(), launched, frame, bounds[0], bounds[1], bounds[2], bounds[3],
                             s.results.data(), s.frame_floats, buffer.data, buffer.size) != 0)
        return s.fail(buffer.text());
    s.slot ^= 1u;

    if (!s.in_flight) {
        s.in_flight = true;
        s.in_flight_slot = launched;
        s.in_flight_window = window;
        s.in_flight_centre = centre;
        return true;
    }
    std::uint32_t const finished = s.in_flight_slot;
    bool const finished_window = s.in_flight_window;
    std::int64_t const finished_centre = s.in_flight_centre;
    s.in_flight = false;
    if (!s.wait(finished))
        return false;
    s.in_flight = true;
    s.in_flight_slot = launched;
    s.in_flight_window = window;
    s.in_flight_centre = centre;
    s.publish(finished, finished_window, finished_centre, callback);
    return true;
}
