#include "radio/audio_mode.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/daemon.hpp"
#include "core/log_line.hpp"
#include "core/options.hpp"
#include "core/stop_flag.hpp"
#include "radio/audio_output.hpp"
#include "radio/demodulator.hpp"
#include "radio/iq_block.hpp"
#include "radio/radio.hpp"
#include "radio/sample_queue.hpp"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t replay_block_pairs = 4096;
constexpr std::size_t drain_samples = 2049;  // one filter length of silence flushes the FIR
constexpr float pcm16_scale = 1.0f / 32768.0f;

bool stopping() { return stop_requested.load() != 0; }

double level_dbfs(double energy, std::uint64_t count)
{
    if (count > 0 && energy > 0.0)
        return 10.0 * std::log10(energy / static_cast<double>(count));
    return -std::numeric_limits<double>::infinity();
}

void print_line(std::ostringstream const& text) { log_line(text.str()); }

// Stops the radio and closes the queue however the loop ends, so that an error never leaves the
// stream thread pushing into a queue nobody reads.
class StreamGuard {
public:
    StreamGuard(Radio& radio, SampleQueue& queue) : radio_(radio), queue_(queue) {}
    ~StreamGuard() { release(); }
    StreamGuard(StreamGuard const&) = delete;
    StreamGuard& operator=(StreamGuard const&) = delete;

    void release() noexcept
    {
        if (released_)
            return;
        released_ = true;
        try {
            radio_.stop();
        } catch (...) {
            // The loop's own error (or its clean end) is what the caller must hear about.
        }
        try {
            queue_.close();
        } catch (...) {
        }
    }

private:
    Radio& radio_;
    SampleQueue& queue_;
    bool released_ = false;
};

struct Statistics {
    std::uint64_t input = 0;
    std::uint64_t output = 0;
    double iq_energy = 0.0;
    double audio_energy = 0.0;
};

}  // namespace

void receive(Options const& options, Radio& radio, Demodulator& demodulator, AudioOutput& output,
             SampleQueue& queue, Daemon& daemon, ControlServerFactory const& control_server)
{
    std::shared_ptr<void> control;
    if (!options.audio_control.empty()) {
        if (!control_server)
            throw std::logic_error("receive: --audio-control given without a control server");
        control = control_server(radio);
    }

    double const rate = radio.sample_rate();
    IqResampler resampler(rate);

    queue.configure(rate, options.buffer_seconds);
    StreamGuard guard(radio, queue);
    radio.start(queue);
    daemon.ready();

    auto const t0 = SteadyClock::now();
    auto last_overload = t0 - std::chrono::seconds(1);
    auto last_discontinuity_message = t0 - std::chrono::seconds(5);
    auto last_block = t0;
    auto last_statistics = t0;
    std::uint64_t discontinuities = 0;
    Statistics statistics;
    auto const duration = std::chrono::duration<double>(options.duration);

    IqBlock block;
    std::vector<float> audio;
    while (!stopping()) {
        auto const now = SteadyClock::now();
        if (options.duration > 0 && now - t0 >= duration)
            break;
        if (now - last_overload >= std::chrono::seconds(1)) {
            radio.report_overload();
            last_overload = now;
        }
        if (std::string failure = queue.failure(); !failure.empty())
            throw std::runtime_error(failure);

        if (!queue.pop(block)) {
            if (now - last_block > std::chrono::seconds(5))
                throw std::runtime_error("Receiver stopped delivering samples for five seconds");
            continue;
        }
        last_block = SteadyClock::now();

        if (block.discontinuity) {
            resampler.reset();
            demodulator.reset();
            ++discontinuities;
            if (now - last_discontinuity_message >= std::chrono::seconds(5)) {
                std::ostringstream line;
                line << "IQ discontinuity: reset receive filters (resets=" << discontinuities
                     << ", dropped input samples=" << queue.dropped() << ")";
                print_line(line);
                last_discontinuity_message = now;
            }
        }

        demodulator.process(resample_iq(resampler, block.samples), audio);

        if (options.stats) {
            statistics.input += block.samples.size();
            statistics.output += audio.size();
            for (std::complex<float> const& x : block.samples)
                statistics.iq_energy += static_cast<double>(x.real()) * x.real() + static_cast<double>(x.imag()) * x.imag();
            for (float const x : audio)
                statistics.audio_energy += static_cast<double>(x) * x;
        }

        output.write(audio);

        if (options.stats) {
            auto const reading = SteadyClock::now();
            if (reading - last_statistics >= std::chrono::seconds(1)) {
                std::ostringstream line;
                line << "Levels: IQ=" << level_dbfs(statistics.iq_energy, statistics.input)
                     << " dBFS, audio=" << level_dbfs(statistics.audio_energy, statistics.output)
                     << " dBFS; input=" << statistics.input << ", output=" << statistics.output
                     << ", dropped=" << queue.dropped();
                print_line(line);
                statistics = Statistics{};
                last_statistics = reading;
            }
        }
    }

    guard.release();
    if (std::uint64_t const dropped = queue.dropped(); dropped > 0) {
        std::ostringstream line;
        line << "Dropped " << dropped << " input samples: processing/audio did not keep up";
        print_line(line);
    }
}

void replay_iq_file(Options const& options, Demodulator& demodulator, AudioOutput& output, Daemon& daemon)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(options.iq_file.c_str(), "rb"), &std::fclose);
    if (!file)
        throw std::runtime_error("Cannot open IQ file: " + options.iq_file);
    daemon.ready();

    std::uint64_t limit = std::numeric_limits<std::uint64_t>::max();
    if (options.duration > 0)
        limit = static_cast<std::uint64_t>(options.duration * demodulator_iq_rate_hz);

    std::vector<unsigned char> bytes(replay_block_pairs * 4);
    std::vector<std::complex<float>> iq;
    std::vector<float> audio;
    std::uint64_t done = 0;
    if (stopping())
        return;
    while (done < limit) {
        std::size_t const wanted = static_cast<std::size_t>(std::min<std::uint64_t>(limit - done, replay_block_pairs));
        std::size_t const got = std::fread(bytes.data(), 1, wanted * 4, file.get());
        if (got < wanted * 4 && std::ferror(file.get()))
            throw std::runtime_error("Failed to read IQ input");
        if (got % 4 != 0)
            throw std::runtime_error("IQ file ends with an incomplete PCM16 I,Q pair");
        if (got == 0)
            break;
        std::size_t const pairs = got / 4;
        iq.resize(pairs);
        for (std::size_t i = 0; i < pairs; ++i) {
            unsigned char const* at = bytes.data() + 4 * i;
            auto const in_phase = static_cast<std::int16_t>(at[0] | at[1] << 8);
            auto const quadrature = static_cast<std::int16_t>(at[2] | at[3] << 8);
            iq[i] = {static_cast<float>(in_phase) * pcm16_scale, static_cast<float>(quadrature) * pcm16_scale};
        }
        done += pairs;
        demodulator.process(iq, audio);
        output.write(audio);
        if (stopping())
            return;
    }

    iq.assign(drain_samples, std::complex<float>{});
    demodulator.process(iq, audio);
    demodulator.resample({}, true, audio);
    output.write(audio);
}
