#include "testbed/lib/paced_iq_stream.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <thread>

#include "core/wall_clock.hpp"

namespace testbed {

namespace {

// 128 is the byte closest to zero; a constant offset of 1/256 lands at the capture centre, far
// from any channel a test listens to.
constexpr std::uint8_t kQuiet = 128;

struct PacedState {
    PacedIqStream stream;
    bool started = false;
    std::chrono::steady_clock::time_point start;
    std::uint64_t sent_pairs = 0;
    std::uint64_t recording_first_pair = 0;
};

}  // namespace

std::vector<std::uint8_t> rtl_tcp_bytes(std::vector<std::complex<float>> const& iq)
{
    std::vector<std::uint8_t> bytes;
    bytes.reserve(iq.size() * 2);
    auto const convert = [](float v) {
        double const scaled = std::round(static_cast<double>(v) * 128.0 + 127.5);
        return static_cast<std::uint8_t>(std::clamp(scaled, 0.0, 255.0));
    };
    for (std::complex<float> const& sample : iq) {
        bytes.push_back(convert(sample.real()));
        bytes.push_back(convert(sample.imag()));
    }
    return bytes;
}

std::function<void(std::vector<std::uint8_t>&)> paced_iq_generator(PacedIqStream stream)
{
    if (stream.rate_hz <= 0 || stream.recording.size() % 2 != 0)
        throw std::invalid_argument("paced IQ stream needs a positive rate and whole I,Q pairs");
    auto state = std::make_shared<PacedState>();
    state->stream = std::move(stream);
    return [state](std::vector<std::uint8_t>& out) {
        PacedState& s = *state;
        double const rate = s.stream.rate_hz;
        if (!s.started) {
            s.started = true;
            s.start = std::chrono::steady_clock::now();
            if (s.stream.align_s > 0) {
                double const now_s = wall_clock_seconds();
                double const begin_s = std::ceil((now_s + 0.5) / s.stream.align_s) * s.stream.align_s;
                s.recording_first_pair = static_cast<std::uint64_t>(std::llround((begin_s - now_s) * rate));
            }
        }
        // Pacing the stream itself, not synchronising with anyone: a real receiver delivers at
        // its sample rate and the client stamps blocks by its own clock on arrival.
        std::uint64_t const step = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(rate / 100));
        auto const due_at = s.start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                          std::chrono::duration<double>((s.sent_pairs + step) / rate));
        std::this_thread::sleep_until(due_at);
        auto const elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - s.start).count();
        auto const due = static_cast<std::uint64_t>(elapsed * rate);
        std::uint64_t const count = std::max(due, s.sent_pairs + step) - s.sent_pairs;

        out.assign(count * 2, kQuiet);
        std::uint64_t const recording_pairs = s.stream.recording.size() / 2;
        for (std::uint64_t k = 0; k < count; ++k) {
            std::uint64_t const pair = s.sent_pairs + k;
            if (recording_pairs == 0 || pair < s.recording_first_pair)
                continue;
            std::uint64_t into = pair - s.recording_first_pair;
            if (s.stream.loop)
                into %= recording_pairs;
            else if (into >= recording_pairs)
                continue;
            std::uint64_t const at = 2 * into;
            out[2 * k] = s.stream.recording[at];
            out[2 * k + 1] = s.stream.recording[at + 1];
        }
        s.sent_pairs += count;
    };
}

}  // namespace testbed
