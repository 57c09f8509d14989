#include "testbed/lib/cpu_receive_engine.hpp"

#include <fftw3.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <map>
#include <mutex>
#include <stdexcept>

#include "core/fft_planner.hpp"
#include "decode/fft.hpp"

namespace testbed {

namespace {

struct Row {
    bool complex = true;
    std::int64_t centre_bin = 0;
    std::vector<std::int64_t> offsets;
    std::vector<float> weights;
    std::vector<std::uint64_t> bounds;
};

// A row as one frame computes it: absolute bins (-1 outside 0..L/2).
struct TableRow {
    int id = 0;
    std::int64_t centre_bin = 0;
    std::vector<std::int64_t> bins;
    std::vector<std::complex<float>> weights;
    std::vector<std::uint64_t> bounds;
};

struct Peak {
    bool valid = false;
    std::int64_t bin = 0;
    float value = 0.0f;
};

}  // namespace

struct CpuReceiveEngine::State {
    std::uint64_t frame_length;
    std::uint64_t decimation;
    std::uint64_t length;  // L
    double bin_width;

    mutable std::mutex mutex;  // rows, window and dirty flag: written from any thread
    std::map<int, Row> rows;
    int next_id = 1;
    bool tables_dirty = true;
    std::int64_t window_centre = 0;
    std::int64_t window_half = 0;
    std::int64_t window_exclusion = 0;
    std::chrono::steady_clock::time_point window_time{};
    bool window_set = false;

    std::vector<TableRow> complex_table;
    std::vector<TableRow> real_table;
    std::map<int, std::size_t> complex_offsets;  // floats from the frame start
    std::map<int, std::size_t> real_offsets;
    std::size_t real_base = 0;
    std::size_t frame_floats = 0;
    std::vector<float> results;  // one frame per input slot
    Peak peaks[2];
    std::map<std::size_t, std::unique_ptr<ComplexFft>> inverses;
    FftBuffer scratch;

    std::vector<std::int16_t> input;  // slot 0: first L/2 words, slot 1: the rest
    unsigned slot = 0;
    bool in_flight = false;
    unsigned in_flight_slot = 0;
    bool failed = false;

    float* real_in = nullptr;
    FftBuffer spectrum;
    fftwf_plan plan = nullptr;

    State(std::uint64_t n, std::uint64_t d, double adc_rate_hz)
        : frame_length(n), decimation(d), length(n * d), bin_width(adc_rate_hz / static_cast<double>(n * d)),
          input(length, 0), spectrum(length / 2 + 1)
    {
        real_in = static_cast<float*>(fftwf_malloc(length * sizeof(float)));
        if (real_in == nullptr) {
            throw std::bad_alloc();
        }
        std::scoped_lock lock(fft_planner_mutex());
        plan = fftwf_plan_dft_r2c_1d(static_cast<int>(length), real_in,
                                     reinterpret_cast<fftwf_complex*>(spectrum.data()), FFTW_ESTIMATE);
        if (plan == nullptr) {
            fftwf_free(real_in);
            throw std::runtime_error("CPU receive engine: FFTW could not plan its transform");
        }
    }

    ~State()
    {
        std::scoped_lock lock(fft_planner_mutex());
        fftwf_destroy_plan(plan);
        fftwf_free(real_in);
    }

    std::int64_t absolute_bin(std::int64_t centre_bin, std::int64_t offset) const
    {
        std::int64_t const bin = centre_bin + offset;
        return bin < 0 || bin > static_cast<std::int64_t>(length / 2) ? -1 : bin;
    }

    void rebuild()  // under mutex
    {
        complex_table.clear();
        real_table.clear();
        complex_offsets.clear();
        real_offsets.clear();
        std::size_t complex_total = 0;
        std::size_t largest = 0;
        for (auto const& [id, row] : rows) {
            TableRow table{id, row.centre_bin, {}, {}, row.bounds};
            for (std::int64_t offset : row.offsets) {
                table.bins.push_back(absolute_bin(row.centre_bin, offset));
            }
            if (row.complex) {
                for (std::size_t i = 0; i + 1 < row.weights.size(); i += 2) {
                    table.weights.emplace_back(row.weights[i], row.weights[i + 1]);
                }
                table.weights.resize(table.bins.size());
                complex_offsets[id] = 2 * complex_total;
                complex_total += table.bins.size() / 2;
                std::size_t const size = table.bins.size();
                if (size > 0 && inverses.count(size) == 0) {
                    inverses[size] = std::make_unique<ComplexFft>(size, ComplexFft::Direction::backward);
                }
                largest = std::max(largest, size);
                complex_table.push_back(std::move(table));
            } else {
                real_table.push_back(std::move(table));
            }
        }
        real_base = 2 * complex_total;
        std::size_t segments = 0;
        for (TableRow const& table : real_table) {
            real_offsets[table.id] = segments;
            segments += table.bounds.size() > 1 ? table.bounds.size() - 1 : 0;
        }
        frame_floats = real_base + segments;
        results.assign(2 * frame_floats, 0.0f);
        if (scratch.size() < largest) {
            scratch = FftBuffer(largest);
        }
        tables_dirty = false;
    }

    void compute(std::uint64_t frame, unsigned s)
    {
        // The frame covers the previous block and the one just written, oldest first.
        std::size_t const half = length / 2;
        std::int16_t const* previous = input.data() + (s ^ 1U) * half;
        std::int16_t const* current = input.data() + s * half;
        for (std::size_t i = 0; i < half; ++i) {
            real_in[i] = static_cast<float>(previous[i]) / 32768.0f;
            real_in[half + i] = static_cast<float>(current[i]) / 32768.0f;
        }
        fftwf_execute(plan);
        float const gain = 2.0f / static_cast<float>(decimation);
        auto const bin_value = [this, gain](std::int64_t bin) {
            return bin < 0 ? std::complex<float>{} : spectrum[static_cast<std::size_t>(bin)] * gain;
        };

        float* out = results.data() + s * frame_floats;
        for (TableRow const& row : complex_table) {
            std::size_t const size = row.bins.size();
            if (size == 0) {
                continue;
            }
            // The frame starts (frame - 1) half-lengths into the stream: refer the row's centre
            // bin to word 0, so a channel's phase does not depend on the frame it lands in.
            float const sign = (frame % 2 == 0 && (row.centre_bin & 1) != 0) ? -1.0f : 1.0f;
            for (std::size_t j = 0; j < size; ++j) {
                scratch[j] = row.weights[j] * bin_value(row.bins[j]) * sign;
            }
            inverses.at(size)->execute(scratch.data());
            float* destination = out + complex_offsets.at(row.id);
            for (std::size_t j = 0; j < size / 2; ++j) {
                destination[2 * j] = scratch[size / 2 + j].real();
                destination[2 * j + 1] = scratch[size / 2 + j].imag();
            }
        }
        auto const power = [&](std::int64_t bin) { return std::norm(bin_value(bin)); };
        for (TableRow const& row : real_table) {
            float* destination = out + real_base + real_offsets.at(row.id);
            for (std::size_t k = 0; k + 1 < row.bounds.size(); ++k) {
                float largest = 0.0f;
                std::uint64_t const first = row.bounds[k];
                std::uint64_t const last = std::min<std::uint64_t>(row.bounds[k + 1], row.bins.size());
                for (std::uint64_t b = first; b < last; ++b) {
                    largest = std::max(largest, power(row.bins[b]));
                }
                destination[k] = largest;
            }
        }

        Peak peak;
        std::int64_t centre = 0;
        std::int64_t half_width = 0;
        std::int64_t exclusion = 0;
        bool window = false;
        {
            std::scoped_lock lock(mutex);
            window = window_set && std::chrono::steady_clock::now() - window_time < std::chrono::seconds(3);
            centre = window_centre;
            half_width = window_half;
            exclusion = window_exclusion;
        }
        if (window) {
            float best = 0.0f;
            for (std::int64_t bin = centre - half_width; bin <= centre + half_width; ++bin) {
                if (absolute_bin(bin, 0) < 0 || std::abs(bin - centre) < exclusion) {
                    continue;
                }
                auto const value = static_cast<float>(power(bin));
                if (value > best) {
                    best = value;
                    peak = Peak{true, bin - centre, value};
                }
            }
        }
        peaks[s] = peak;
    }
};

namespace {

class Results final : public SpectrumResults {
public:
    Results(std::map<int, std::size_t> const& complex_offsets, std::map<int, std::size_t> const& real_offsets,
            float const* frame, std::size_t real_base, Peak peak)
        : complex_offsets_(complex_offsets), real_offsets_(real_offsets), frame_(frame), real_base_(real_base),
          peak_(peak)
    {
    }
    float const* complex_row(int id) const override
    {
        auto const found = complex_offsets_.find(id);
        return found == complex_offsets_.end() ? nullptr : frame_ + found->second;
    }
    float const* real_row(int id) const override
    {
        auto const found = real_offsets_.find(id);
        return found == real_offsets_.end() ? nullptr : frame_ + real_base_ + found->second;
    }
    bool window_peak(std::int64_t& bin_offset, float& value) const override
    {
        if (!peak_.valid) {
            return false;
        }
        bin_offset = peak_.bin;
        value = peak_.value;
        return true;
    }

private:
    std::map<int, std::size_t> const& complex_offsets_;
    std::map<int, std::size_t> const& real_offsets_;
    float const* frame_;
    std::size_t real_base_;
    Peak peak_;
};

}  // namespace

CpuReceiveEngine::CpuReceiveEngine(std::uint64_t frame_length, std::uint64_t decimation, double adc_rate_hz)
{
    if (frame_length < 2 || frame_length % 2 != 0 || decimation == 0 || !(adc_rate_hz > 0.0)) {
        throw std::invalid_argument("CPU receive engine needs an even frame length, a decimation and a rate");
    }
    state_ = std::make_unique<State>(frame_length, decimation, adc_rate_hz);
}

CpuReceiveEngine::~CpuReceiveEngine() = default;

int CpuReceiveEngine::add_complex_row(std::vector<std::int64_t> offsets, std::vector<float> weights,
                                      double frequency_hz)
{
    std::scoped_lock lock(state_->mutex);
    int const id = state_->next_id++;
    state_->rows[id] = Row{true, std::llround(frequency_hz / state_->bin_width), std::move(offsets),
                           std::move(weights), {}};
    state_->tables_dirty = true;
    return id;
}

int CpuReceiveEngine::add_real_row(std::vector<std::int64_t> offsets, std::vector<std::uint64_t> bounds,
                                   double frequency_hz)
{
    std::scoped_lock lock(state_->mutex);
    int const id = state_->next_id++;
    state_->rows[id] = Row{false, std::llround(frequency_hz / state_->bin_width), std::move(offsets), {},
                           std::move(bounds)};
    state_->tables_dirty = true;
    return id;
}

void CpuReceiveEngine::remove(int id)
{
    std::scoped_lock lock(state_->mutex);
    if (state_->rows.erase(id) > 0) {
        state_->tables_dirty = true;
    }
}

void CpuReceiveEngine::set_window(double centre_hz, double width_hz, double radius_hz)
{
    std::scoped_lock lock(state_->mutex);
    state_->window_centre = std::llround(centre_hz / state_->bin_width);
    state_->window_half = std::llround(width_hz * 0.5 / state_->bin_width);
    state_->window_exclusion = std::llround(radius_hz / state_->bin_width);
    state_->window_time = std::chrono::steady_clock::now();
    state_->window_set = true;
}

std::uint64_t CpuReceiveEngine::block_samples() const { return state_->length / 2; }

std::uint64_t CpuReceiveEngine::decimation() const { return state_->decimation; }

double CpuReceiveEngine::bin_width_hz() const { return state_->bin_width; }

void CpuReceiveEngine::fail() { state_->failed = true; }

std::size_t CpuReceiveEngine::row_count() const
{
    std::scoped_lock lock(state_->mutex);
    return state_->rows.size();
}

void CpuReceiveEngine::reset()
{
    State& s = *state_;
    s.in_flight = false;
    s.slot = 0;
    std::fill(s.input.begin(), s.input.end(), std::int16_t{0});
}

std::int16_t* CpuReceiveEngine::input_slot() { return state_->input.data() + state_->slot * (state_->length / 2); }

bool CpuReceiveEngine::process(std::uint64_t frame, ResultsCallback const& callback)
{
    State& s = *state_;
    if (s.failed) {
        return false;
    }
    auto const publish = [&s, &callback](unsigned slot) {
        Results const results(s.complex_offsets, s.real_offsets, s.results.data() + slot * s.frame_floats,
                              s.real_base, s.peaks[slot]);
        callback(results);
    };
    {
        std::unique_lock lock(s.mutex);
        if (s.tables_dirty) {
            // The frame in flight was computed with the old tables: deliver it before they go.
            if (s.in_flight) {
                s.in_flight = false;
                lock.unlock();
                publish(s.in_flight_slot);
                lock.lock();
            }
            if (s.tables_dirty) {
                s.rebuild();
            }
        }
    }
    unsigned const launched = s.slot;
    s.compute(frame, launched);
    s.slot ^= 1U;
    if (s.in_flight) {
        unsigned const finished = s.in_flight_slot;
        s.in_flight_slot = launched;
        publish(finished);
    } else {
        s.in_flight = true;
        s.in_flight_slot = launched;
    }
    return true;
}

}  // namespace testbed
