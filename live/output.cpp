#include "live/output.hpp"

#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "core/log_line.hpp"
#include "core/output_file.hpp"
#include "core/private_directory.hpp"
#include "core/private_file.hpp"
#include "core/state_directory.hpp"
#include "core/unique_fd.hpp"

namespace {

using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto poll_pause = 2ms;       // between passes of a connected delivery loop
constexpr auto idle_pause = 5ms;       // while waiting for the next connection attempt
constexpr auto setup_limit = 2s;       // PulseAudio context, stream and operation waits
constexpr auto pulse_retry = 5s;       // after any PulseAudio failure
constexpr auto socket_retry = 1s;      // between audio socket connection attempts
constexpr auto trim_period = 1s;       // PulseAudio playback rate trim
constexpr auto replay_wait = 5s;       // longest hold of the frame thread on IQ replay
constexpr int unload_rounds = 250;     // 2 ms each: an unload request at shutdown
constexpr double queue_target_s = 0.1;  // what the rate trim keeps queued for a sound server
constexpr double trim_ceiling = 0.0002; // the trim's largest change of the playback rate
// A start-up backlog the trim would need longer than this to take back is cut at once.
constexpr double trim_reach_s = 60.0;
constexpr std::uint32_t no_module = PA_INVALID_INDEX;

void pause_for(std::chrono::nanoseconds length)
{
    auto const seconds = std::chrono::duration_cast<std::chrono::seconds>(length);
    timespec rest {static_cast<time_t>(seconds.count()), static_cast<long>((length - seconds).count())};
    while (::nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

bool context_alive(pa_context_state_t state)
{
    return state == PA_CONTEXT_CONNECTING || state == PA_CONTEXT_AUTHORIZING || state == PA_CONTEXT_SETTING_NAME
           || state == PA_CONTEXT_READY;
}

// Full scale is +-32767 so the clipped extremes stay symmetric; computed in single precision and
// rounded to the nearest integer, ties to even.
std::int16_t to_pcm16(float sample)
{
    float const held = std::clamp(sample, -1.0f, 1.0f);
    return static_cast<std::int16_t>(std::nearbyintf(held * 32767.0f));
}

// Writes everything, or as much as the file takes: `done` says how many bytes went in.
bool write_all(int fd, void const* data, std::size_t size, std::size_t& done)
{
    auto const* bytes = static_cast<unsigned char const*>(data);
    done = 0;
    while (done < size) {
        ssize_t const written = ::write(fd, bytes + done, size - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// Whether a module's argument text holds exactly this word.
bool has_argument(char const* arguments, std::string const& word)
{
    if (arguments == nullptr)
        return false;
    std::istringstream words(arguments);
    for (std::string item; words >> item;) {
        if (item == word)
            return true;
    }
    return false;
}

}  // namespace

std::string audio_endpoint_name(std::string const& id)
{
    return "norvane_" + std::to_string(::geteuid()) + "_" + id;
}

std::filesystem::path audio_lock_directory()
{
    std::filesystem::path const runtime = absolute_env_path("XDG_RUNTIME_DIR");
    std::filesystem::path const directory = !runtime.empty() && is_private_directory(runtime)
                                                ? runtime / "norvane"
                                                : std::filesystem::path(state_directory("locks"));
    try {
        create_private_directories(directory);
    } catch (std::filesystem::filesystem_error const&) {
        // Reported below: a directory that could not be made is not private either.
    }
    if (!is_private_directory(directory))
        throw std::runtime_error("Audio lock directory must be private to this user: " + directory.string());
    return directory;
}

double output_rate_trim(double queued_seconds)
{
    double const excess_ms = (queued_seconds - queue_target_s) * 1000.0;
    if (excess_ms < -200.0)
        return 1.0 - trim_ceiling;
    if (excess_ms > 200.0)
        return 1.0 + trim_ceiling;
    return 1.0 + excess_ms / 1000000.0;
}

std::uint64_t output_startup_excess(std::uint64_t queued_samples, std::uint32_t audio_rate)
{
    auto const target = static_cast<std::uint64_t>(std::llround(queue_target_s * audio_rate));
    double const reach = trim_reach_s * trim_ceiling * audio_rate;
    if (queued_samples <= target || static_cast<double>(queued_samples - target) <= reach)
        return 0;
    return queued_samples - target;
}

namespace {

// Why a destination takes no blocks while it is not delivering, as its delivery thread last
// found; `none` for a recording, whose own end is counted apart.
enum class Outage : std::uint8_t { none, no_socket_listener, socket_dropped, no_audio_server };
constexpr std::size_t outage_count = 4;

char const* outage_cause(Outage outage)
{
    switch (outage) {
    case Outage::no_socket_listener:
        return "no listener on the audio socket";
    case Outage::socket_dropped:
        return "the audio socket's listener dropped the connection";
    case Outage::no_audio_server:
        return "no connection to the audio server";
    case Outage::none:
        break;
    }
    return "audio delivery fell behind";
}

}  // namespace

struct Output::Impl {
    // Samples the producer could not queue, by cause: while the destination was taking blocks
    // delivery fell behind; while it took none, they were lost to the outage the delivery thread
    // last named. The cause is read where the samples are counted, so no counting place has to
    // know it.
    struct Drops {
        explicit Drops(Impl const& owner) : out(owner) {}
        void fetch_add(std::uint64_t samples, std::memory_order order) noexcept;
        std::uint64_t load() const noexcept;

        Impl const& out;
        std::array<std::atomic<std::uint64_t>, outage_count> by_outage {};  // [none]: fell behind
    };

    AudioChannel channel;
    OutputSettings settings;
    std::string label;  // "Audio <id>: "
    std::string endpoint;
    std::atomic<bool> stop {false};
    std::atomic<std::uint32_t> reset_generation {0};
    Drops dropped {*this};
    // The destination takes blocks now (file open, stream ready, socket connected).
    std::atomic<bool> delivering {false};
    std::atomic<Outage> outage {Outage::none};  // why not, when it does not
    // A replay hold ran out; the producer no longer waits until the thread takes a block again.
    std::atomic<bool> stalled {false};
    // The recording has ended for good (its file could not be opened or written): what comes
    // later is counted apart, under the real reason. Both are written under the queue lock.
    bool ended = false;
    std::string end_cause;
    std::uint64_t dropped_after_end = 0;
    // A sound server stream has just started: what the producer pushes out of a full queue now
    // is the backlog of the start, reported with the one cut that ends it, not as a delivery
    // that fell behind. Both under the queue lock.
    bool starting = false;
    std::uint64_t dropped_at_start = 0;
    std::thread thread;
    mutable std::mutex queue_mutex;
    std::condition_variable space;  // a block left the queue
    std::deque<std::vector<float>> queue;
    std::uint64_t queued = 0;
    // Producer side only: audio that found the queue lock busy and goes in with the next block.
    std::vector<float> held;
    UniqueFd lock_fd;

    // PulseAudio objects, used by the delivery thread only.
    pa_mainloop* mainloop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    std::vector<std::uint32_t> modules;
    std::uint32_t last_module = no_module;

    // Delivery thread state.
    std::vector<float> pending;
    std::size_t position = 0;
    std::uint32_t seen_generation = 0;
    std::string last_report;  // failure line already printed in this outage

    std::uint64_t cap() const { return channel.audio_rate / 2; }

    void enqueue(std::vector<float>&& block);
    // Producer: keeps a block that could not be queued for the next offer, at most the queue's
    // half second (what goes beyond is counted as dropped).
    void hold(std::vector<float>&& block);
    void count_pushed_out(std::uint64_t samples);
    // Once per stream, a second into its audio: a backlog beyond what the rate trim can take
    // back goes at once, with one line. server_room: samples the server still asks for.
    void cut_startup_backlog(std::uint64_t server_room);
    void end_start();
    void run();
    bool begin_pass();
    bool take_block();
    bool pending_done() const { return position >= pending.size(); }
    void drop_pending()
    {
        pending.clear();
        position = 0;
    }
    void report(std::string const& text);
    // The recording will never take another block: what is queued is lost for `cause`.
    void end_recording(std::string cause);
    // Changed under the queue lock, so a producer that is about to wait cannot miss it.
    void set_delivering(bool value)
    {
        {
            std::scoped_lock lock(queue_mutex);
            delivering.store(value);
        }
        space.notify_all();
    }

    void wav_loop();
    void socket_loop();
    void stream_loop();

    void iterate();
    void wait_operation(pa_operation* operation);
    void connect_pulse();
    bool sink_exists();
    std::size_t remove_leftover_devices();
    void load_module(char const* name, std::string const& arguments);
    void deliver_to_stream();
    void unload_virtual_sinks();
};

void Output::Impl::Drops::fetch_add(std::uint64_t samples, std::memory_order order) noexcept
{
    Outage const cause = out.delivering.load() ? Outage::none : out.outage.load();
    by_outage[static_cast<std::size_t>(cause)].fetch_add(samples, order);
}

std::uint64_t Output::Impl::Drops::load() const noexcept
{
    std::uint64_t total = 0;
    for (auto const& count : by_outage)
        total += count.load();
    return total;
}

void Output::Impl::count_pushed_out(std::uint64_t samples)
{
    if (starting)
        dropped_at_start += samples;
    else
        dropped.fetch_add(samples, std::memory_order_relaxed);
}

void Output::Impl::enqueue(std::vector<float>&& block)
{
    std::uint64_t const limit = cap();
    while (queued + block.size() > limit && !queue.empty()) {
        count_pushed_out(queue.front().size());
        queued -= queue.front().size();
        queue.pop_front();
    }
    if (block.size() > limit) {
        count_pushed_out(block.size() - limit);
        block.erase(block.begin(), block.end() - static_cast<std::ptrdiff_t>(limit));
    }
    queued += block.size();
    queue.push_back(std::move(block));
}

void Output::Impl::hold(std::vector<float>&& block)
{
    if (held.empty()) {
        held = std::move(block);
    } else {
        held.insert(held.end(), block.begin(), block.end());
    }
    std::uint64_t const limit = cap();
    if (held.size() > limit) {
        dropped.fetch_add(held.size() - limit, std::memory_order_relaxed);
        held.erase(held.begin(), held.end() - static_cast<std::ptrdiff_t>(limit));
    }
}

void Output::Impl::cut_startup_backlog(std::uint64_t server_room)
{
    std::uint64_t skipped = 0;
    {
        std::scoped_lock lock(queue_mutex);
        // What stays queued once the server's buffer is full is what the trim will see.
        std::uint64_t const backlog = queued + (pending.size() - std::min(position, pending.size()));
        std::uint64_t excess = output_startup_excess(backlog - std::min(backlog, server_room), channel.audio_rate);
        skipped = dropped_at_start;
        while (excess > 0 && !queue.empty()) {
            std::vector<float>& oldest = queue.front();
            std::uint64_t const part = std::min<std::uint64_t>(excess, oldest.size());
            if (part == oldest.size())
                queue.pop_front();
            else
                oldest.erase(oldest.begin(), oldest.begin() + static_cast<std::ptrdiff_t>(part));
            queued -= part;
            excess -= part;
            skipped += part;
        }
        starting = false;
        dropped_at_start = 0;
    }
    space.notify_all();
    if (skipped > 0) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f", static_cast<double>(skipped) / channel.audio_rate);
        log_line(label + "skipped " + std::to_string(skipped) + " output samples (" + seconds
                 + " s) queued at start, to play live");
    }
}

// A stream that goes before its start was over: what it pushed out, while it was delivering,
// counts as delivery that fell behind after all.
void Output::Impl::end_start()
{
    std::scoped_lock lock(queue_mutex);
    dropped.by_outage[static_cast<std::size_t>(Outage::none)].fetch_add(dropped_at_start, std::memory_order_relaxed);
    dropped_at_start = 0;
    starting = false;
}

void Output::Impl::end_recording(std::string cause)
{
    {
        std::scoped_lock lock(queue_mutex);
        ended = true;
        end_cause = std::move(cause);
        dropped_after_end += queued + (pending.size() - std::min(position, pending.size()));
        drop_pending();
        queue.clear();
        queued = 0;
        delivering.store(false);
    }
    space.notify_all();
}

void Output::Impl::report(std::string const& text)
{
    // One line per kind of failure and outage: a server that stays away for a week must not
    // write a line every five seconds.
    if (text == last_report)
        return;
    last_report = text;
    log_line(label + text);
}

bool Output::Impl::begin_pass()
{
    if (stop.load())
        return false;
    std::uint32_t const generation = reset_generation.load();
    if (generation != seen_generation) {
        seen_generation = generation;
        drop_pending();
        {
            std::scoped_lock lock(queue_mutex);
            queue.clear();
            queued = 0;
        }
        space.notify_all();
    }
    return true;
}

bool Output::Impl::take_block()
{
    if (!pending_done())
        return true;
    drop_pending();
    {
        std::scoped_lock lock(queue_mutex);
        if (queue.empty())
            return false;
        pending = std::move(queue.front());
        queue.pop_front();
        queued -= pending.size();
    }
    stalled.store(false);
    space.notify_all();
    // One bad sample must reach no listener: not a file, not a sound card, not a socket.
    for (float& sample : pending) {
        if (!std::isfinite(sample))
            sample = 0.0f;
    }
    return true;
}

void Output::Impl::run()
{
    seen_generation = reset_generation.load();
    if (!channel.wav.empty())
        wav_loop();
    else if (!channel.socket.empty())
        socket_loop();
    else
        stream_loop();
    set_delivering(false);
}

void Output::Impl::wav_loop()
{
    OutputFile opened = open_output_file(channel.wav, O_TRUNC, 0666);
    if (opened.status != OutputFileStatus::open) {
        std::string const reason =
            opened.status == OutputFileStatus::not_regular ? "not a regular file" : std::strerror(opened.error);
        // Ended before it is said, so audio offered after the line is counted as lost to it.
        end_recording("the WAV file could not be opened");
        log_line(label + "cannot open WAV " + channel.wav + ": " + reason);
        return;
    }
    UniqueFd file = std::move(opened.fd);
    std::uint32_t data_bytes = 0;
    std::string failure;
    bool full = false;
    std::vector<unsigned char> bytes;
    std::size_t written = 0;
    auto const header = pcm16_mono_wav_header(channel.audio_rate, 0);
    if (!write_all(file.get(), header.data(), header.size(), written))
        failure = std::strerror(errno);
    set_delivering(failure.empty());

    // Writes what is pending, as far as the format allows; false once the recording has ended.
    auto const write_pending = [&]() {
        std::size_t const left = pending.size() - position;
        std::size_t const room = (settings.wav_limit_bytes - data_bytes) / 2;
        std::size_t const count = std::min(left, room);
        bytes.resize(2 * count);
        for (std::size_t i = 0; i < count; ++i) {
            auto const value = static_cast<std::uint16_t>(to_pcm16(pending[position + i]));
            bytes[2 * i] = static_cast<unsigned char>(value & 0xFF);
            bytes[2 * i + 1] = static_cast<unsigned char>(value >> 8);
        }
        if (!write_all(file.get(), bytes.data(), bytes.size(), written)) {
            failure = std::strerror(errno);
            // The header counts the whole samples that did reach the file.
            data_bytes += static_cast<std::uint32_t>(written & ~std::size_t {1});
            position += written / 2;
            return false;
        }
        data_bytes += static_cast<std::uint32_t>(2 * count);
        position += count;
        full = count < left;
        return !full;
    };

    while (failure.empty() && !full && begin_pass()) {
        while (take_block() && write_pending()) {
        }
        pause_for(poll_pause);
    }
    // A recording keeps what was queued when it ends: the file has no listener to fall behind.
    if (failure.empty() && !full) {
        while (take_block() && write_pending()) {
        }
    }
    if (!failure.empty()) {
        end_recording("the WAV recording stopped after a write error");
        log_line(label + "WAV write failed: " + failure);
    } else if (full) {
        end_recording("the WAV recording stopped at the 4 GiB limit of its format");
        log_line(label + "WAV file reached the 4 GiB limit of its format; recording stopped");
    } else {
        set_delivering(false);
    }
    // The sizes go in even after a failure, as far as the file lets them.
    auto const final_header = pcm16_mono_wav_header(channel.audio_rate, data_bytes);
    ssize_t const patched = ::pwrite(file.get(), final_header.data(), final_header.size(), 0);
    if (patched != static_cast<ssize_t>(final_header.size()) && failure.empty())
        log_line(label + "WAV write failed: " + std::strerror(patched < 0 ? errno : EIO));
}

void Output::Impl::socket_loop()
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, channel.socket.data(), std::min(channel.socket.size(), sizeof(address.sun_path) - 1));
    std::size_t const packet = std::max<std::size_t>(channel.audio_rate / 25, 1);
    UniqueFd connection;
    // One line per outage, whatever the listener does: "waiting" while it cannot be reached,
    // "ready" when it takes us, and one line when it keeps dropping connections it has just
    // accepted (a listener that is no audio listener would otherwise make a "ready" a second).
    bool waiting_reported = false;
    bool announced = false;         // "ready" said, and no outage since
    bool drops_reported = false;    // connections keep dying young; "ready" waits for one that lasts
    auto next_attempt = SteadyClock::now();
    auto connected_at = next_attempt;

    while (begin_pass()) {
        auto const now = SteadyClock::now();
        if (connection.get() < 0) {
            if (now < next_attempt) {
                pause_for(idle_pause);
                continue;
            }
            next_attempt = now + socket_retry;
            connection.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            ucred peer {};
            socklen_t peer_size = sizeof(peer);
            bool const ready =
                connection.get() >= 0
                && ::connect(connection.get(), reinterpret_cast<sockaddr const*>(&address), sizeof(address)) == 0
                && ::getsockopt(connection.get(), SOL_SOCKET, SO_PEERCRED, &peer, &peer_size) == 0
                && peer.uid == ::geteuid();
            if (!ready) {
                connection.reset();
                outage.store(Outage::no_socket_listener);
                set_delivering(false);
                announced = false;
                if (!waiting_reported) {
                    log_line(label + "waiting for socket " + channel.socket);
                    waiting_reported = true;
                }
                continue;
            }
            connected_at = now;
            waiting_reported = false;
            if (!announced && !drops_reported) {
                log_line(label + "ready; socket=" + channel.socket);
                announced = true;
            }
            set_delivering(true);
        } else if (drops_reported && now - connected_at >= socket_retry) {
            log_line(label + "ready; socket=" + channel.socket);
            drops_reported = false;
            announced = true;
        }

        take_block();
        while (!pending_done()) {
            std::size_t const count = std::min(packet, pending.size() - position);
            ssize_t const sent = ::send(connection.get(), pending.data() + position, count * sizeof(float),
                                        MSG_DONTWAIT | MSG_NOSIGNAL);
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                break;
            if (sent < 0) {
                int const error = errno;
                if (SteadyClock::now() - connected_at < socket_retry) {
                    if (!drops_reported)
                        log_line(label + "socket " + channel.socket + " drops the connection ("
                                 + std::strerror(error) + "); retrying every second");
                    drops_reported = true;
                } else {
                    announced = false;
                }
                connection.reset();
                drop_pending();
                outage.store(Outage::socket_dropped);
                set_delivering(false);
                break;
            }
            position += count;
        }
        pause_for(poll_pause);
    }
}

void Output::Impl::iterate()
{
    if (pa_mainloop_iterate(mainloop, 0, nullptr) < 0)
        throw std::runtime_error("Audio mainloop failed");
}

void Output::Impl::wait_operation(pa_operation* operation)
{
    if (operation == nullptr)
        throw std::runtime_error("Audio operation failed");
    auto const start = SteadyClock::now();
    try {
        while (!stop.load() && pa_operation_get_state(operation) == PA_OPERATION_RUNNING
               && SteadyClock::now() - start <= setup_limit) {
            iterate();
            pause_for(poll_pause);
        }
    } catch (...) {
        pa_operation_cancel(operation);
        pa_operation_unref(operation);
        throw;
    }
    if (pa_operation_get_state(operation) != PA_OPERATION_DONE) {
        pa_operation_cancel(operation);
        pa_operation_unref(operation);
        throw std::runtime_error("Audio operation cancelled/timed out");
    }
    pa_operation_unref(operation);
}

bool Output::Impl::sink_exists()
{
    bool found = false;
    auto const on_sink_info = [](pa_context*, pa_sink_info const* info, int, void* userdata) {
        if (info != nullptr)
            *static_cast<bool*>(userdata) = true;
    };
    wait_operation(pa_context_get_sink_info_by_name(context, endpoint.c_str(), on_sink_info, &found));
    return found;
}

// A sink of our naming exists while we hold the identifier's lock: a run of ours that died
// left it behind (nothing else takes that name and lock). Its modules are unloaded, so the
// channel can start instead of waiting for a device that will never go away.
std::size_t Output::Impl::remove_leftover_devices()
{
    struct Leftovers {
        std::string sink_word;
        std::string source_word;
        std::vector<std::uint32_t> indexes;
    } leftovers {"sink_name=" + endpoint, "source_name=" + endpoint + "_input", {}};
    auto const on_module_info = [](pa_context*, pa_module_info const* info, int, void* userdata) {
        auto& found = *static_cast<Leftovers*>(userdata);
        if (info == nullptr || info->name == nullptr)
            return;
        std::string const name = info->name;
        if ((name == "module-null-sink" && has_argument(info->argument, found.sink_word))
            || (name == "module-remap-source" && has_argument(info->argument, found.source_word)))
            found.indexes.push_back(info->index);
    };
    wait_operation(pa_context_get_module_info_list(context, on_module_info, &leftovers));
    // The source first: it records from the sink's monitor.
    std::reverse(leftovers.indexes.begin(), leftovers.indexes.end());
    for (std::uint32_t index : leftovers.indexes)
        wait_operation(pa_context_unload_module(context, index, nullptr, nullptr));
    return leftovers.indexes.size();
}

void Output::Impl::load_module(char const* name, std::string const& arguments)
{
    last_module = no_module;
    auto const on_module_loaded = [](pa_context*, std::uint32_t index, void* userdata) {
        static_cast<Impl*>(userdata)->last_module = index;
    };
    wait_operation(pa_context_load_module(context, name, arguments.c_str(), on_module_loaded, this));
    if (last_module == no_module)
        throw std::runtime_error("Cannot create virtual audio endpoint");
    modules.push_back(last_module);
}

void Output::Impl::connect_pulse()
{
    mainloop = pa_mainloop_new();
    if (mainloop == nullptr)
        throw std::runtime_error("No audio mainloop");
    context = pa_context_new(pa_mainloop_get_api(mainloop), "Norvane audio receiver");
    if (context == nullptr || pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        throw std::runtime_error("Audio server unavailable");
    auto start = SteadyClock::now();
    while (!stop.load()) {
        pa_context_state_t const state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY)
            break;
        if (!context_alive(state) || SteadyClock::now() - start > setup_limit)
            throw std::runtime_error("Awaiting audio server");
        iterate();
        pause_for(poll_pause);
    }
    if (stop.load())
        throw std::runtime_error("Audio stopped");

    std::string const rate = std::to_string(channel.audio_rate);
    if (channel.sink.empty()) {
        bool exists = sink_exists();
        if (exists && remove_leftover_devices() > 0) {
            log_line(label + "removed the audio devices " + endpoint + " left by an earlier run");
            // Nothing obliges a server to have taken the sink out of its list by the time it
            // acknowledges the unload: wait for it to go, as for any other operation, instead
            // of taking our own leftover for somebody else's.
            auto const unloaded = SteadyClock::now();
            while ((exists = sink_exists()) && !stop.load() && SteadyClock::now() - unloaded <= setup_limit)
                pause_for(poll_pause);
        }
        if (exists)
            throw std::runtime_error("Audio endpoint already exists; it is not owned by this process");
        load_module("module-null-sink", "sink_name=" + endpoint + " rate=" + rate
                                            + " channels=1 channel_map=mono sink_properties=device.description=Norvane_"
                                            + channel.id);
        load_module("module-remap-source",
                    "master=" + endpoint + ".monitor source_name=" + endpoint
                        + "_input channels=1 channel_map=mono master_channel_map=mono "
                          "source_properties=device.description=Norvane_"
                        + channel.id);
    }

    pa_sample_spec spec {};
    spec.format = PA_SAMPLE_FLOAT32LE;
    spec.rate = channel.audio_rate;
    spec.channels = 1;
    stream = pa_stream_new(context, channel.id.c_str(), &spec, nullptr);
    if (stream == nullptr)
        throw std::runtime_error("Audio stream failed");
    char const* device = nullptr;
    if (channel.sink.empty())
        device = endpoint.c_str();
    else if (channel.sink != "@DEFAULT_SINK@")
        device = channel.sink.c_str();
    pa_buffer_attr attributes {};
    attributes.maxlength = 2 * channel.audio_rate;
    attributes.tlength = 4 * channel.audio_rate / 10;
    attributes.prebuf = channel.audio_rate / 5;
    attributes.minreq = static_cast<std::uint32_t>(-1);
    attributes.fragsize = static_cast<std::uint32_t>(-1);
    auto const flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_VARIABLE_RATE);
    if (pa_stream_connect_playback(stream, device, &attributes, flags, nullptr, nullptr) < 0)
        throw std::runtime_error("Cannot connect audio stream");
    start = SteadyClock::now();
    while (!stop.load()) {
        pa_stream_state_t const state = pa_stream_get_state(stream);
        if (state == PA_STREAM_READY)
            break;
        if (state != PA_STREAM_CREATING || SteadyClock::now() - start > setup_limit)
            throw std::runtime_error("Audio stream unavailable");
        iterate();
        pause_for(poll_pause);
    }
    if (stop.load())
        throw std::runtime_error("Audio stopped");

    std::string where;
    if (channel.sink == "@DEFAULT_SINK@")
        where = "output=system default";
    else if (!channel.sink.empty())
        where = "output=" + channel.sink;
    else
        where = "input=" + endpoint + "_input";
    log_line(label + "ready; " + where);
    last_report.clear();
    set_delivering(true);
}

void Output::Impl::deliver_to_stream()
{
    iterate();
    if (pa_context_get_state(context) != PA_CONTEXT_READY || pa_stream_get_state(stream) != PA_STREAM_READY)
        throw std::runtime_error("Audio disconnected");
    std::size_t const writable = pa_stream_writable_size(stream);
    if (writable == static_cast<std::size_t>(-1))
        throw std::runtime_error("Audio write unavailable");
    std::size_t const count = std::min(pending.size() - position, writable / sizeof(float));
    if (count > 0) {
        if (pa_stream_write(stream, pending.data() + position, count * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE) < 0)
            throw std::runtime_error("Audio write failed");
        position += count;
    }
}

void Output::Impl::unload_virtual_sinks()
{
    set_delivering(false);
    end_start();
    if (stream != nullptr) {
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
    }
    if (context != nullptr) {
        for (std::uint32_t index : modules) {
            pa_operation* operation = pa_context_unload_module(context, index, nullptr, nullptr);
            if (operation == nullptr)
                continue;
            for (int round = 0; round < unload_rounds && pa_operation_get_state(operation) == PA_OPERATION_RUNNING;
                 ++round) {
                if (pa_mainloop_iterate(mainloop, 0, nullptr) < 0)
                    break;
                pause_for(poll_pause);
            }
            if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING)
                pa_operation_cancel(operation);
            pa_operation_unref(operation);
        }
        modules.clear();
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }
    if (mainloop != nullptr) {
        pa_mainloop_free(mainloop);
        mainloop = nullptr;
    }
}

void Output::Impl::stream_loop()
{
    auto next_attempt = SteadyClock::now();
    auto last_trim = SteadyClock::now();
    bool backlog_check = false;  // this stream's start-up backlog is still to be looked at
    std::optional<SteadyClock::time_point> audio_since;
    while (begin_pass()) {
        if (stream == nullptr) {
            if (SteadyClock::now() < next_attempt) {
                pause_for(idle_pause);
                continue;
            }
            try {
                connect_pulse();
            } catch (std::exception const& error) {
                if (!stop.load())
                    report(std::string(error.what()) + "; retrying");
                unload_virtual_sinks();
                next_attempt = SteadyClock::now() + pulse_retry;
                continue;
            }
            // On a replay the producer waits for the stream: nothing queues up that is not
            // played, and nothing may be skipped.
            backlog_check = !settings.iq_replay;
            audio_since.reset();
            if (backlog_check) {
                std::scoped_lock lock(queue_mutex);
                starting = true;
            }
        }
        try {
            if (take_block() && !audio_since)
                audio_since = SteadyClock::now();
            deliver_to_stream();
        } catch (std::exception const& error) {
            report(error.what());
            unload_virtual_sinks();
            drop_pending();
            next_attempt = SteadyClock::now() + pulse_retry;
            continue;
        }
        auto const now = SteadyClock::now();
        if (now - last_trim > trim_period) {
            // The trim moves the rate by at most 200 parts per million: a backlog of the start
            // (the capture's first second arriving in a burst, say) would take it half an hour.
            if (backlog_check && audio_since && now - *audio_since >= trim_period) {
                std::size_t const room = pa_stream_writable_size(stream);
                cut_startup_backlog(room == static_cast<std::size_t>(-1) ? 0 : room / sizeof(float));
                backlog_check = false;
            }
            std::uint64_t waiting = 0;
            {
                std::scoped_lock lock(queue_mutex);
                waiting = queued;
            }
            double const factor = output_rate_trim(static_cast<double>(waiting) / channel.audio_rate);
            auto const rate = static_cast<std::uint32_t>(std::llround(channel.audio_rate * factor));
            if (pa_operation* operation = pa_stream_update_sample_rate(stream, rate, nullptr, nullptr))
                pa_operation_unref(operation);
            last_trim = now;
        }
        pause_for(poll_pause);
    }
    unload_virtual_sinks();
}

Output::Output(AudioChannel channel, OutputSettings settings) : impl_(std::make_unique<Impl>())
{
    Impl& out = *impl_;
    out.channel = std::move(channel);
    out.settings = settings;
    // A recording counts as taking blocks from the start, and so does, on a replay, a sound
    // server or socket until its first connection attempt has failed: a replay that begins
    // before the destination is ready waits for it rather than dropping its first blocks.
    out.delivering.store(!out.channel.wav.empty() || out.settings.iq_replay);
    out.label = "Audio " + out.channel.id + ": ";
    if (!out.channel.socket.empty())
        out.outage.store(Outage::no_socket_listener);
    else if (out.channel.wav.empty())
        out.outage.store(Outage::no_audio_server);
    out.endpoint = audio_endpoint_name(out.channel.id);
    if (out.channel.wav.empty() && out.channel.socket.empty()) {
        // The identifier's lock keeps two receivers of this user from sharing one endpoint. It
        // lives in a directory only this user can write, where nobody else can plant the file.
        std::filesystem::path const path = audio_lock_directory() / (out.endpoint + ".lock");
        out.lock_fd.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        struct stat status {};
        if (out.lock_fd.get() < 0 || ::fstat(out.lock_fd.get(), &status) != 0 || !is_owned_regular_file(status)
            || ::flock(out.lock_fd.get(), LOCK_EX | LOCK_NB) != 0)
            throw std::runtime_error("Audio receiver ID is already in use");
    }
    out.thread = std::thread([impl = impl_.get()] {
        try {
            impl->run();
        } catch (...) {
            // Nothing may end the process from here; the channel simply falls silent.
            impl->set_delivering(false);
        }
    });
}

Output::~Output()
{
    Impl& out = *impl_;
    // Nobody offers any more: what waited for the lock joins the queue (a recording keeps it).
    if (!out.held.empty()) {
        std::scoped_lock lock(out.queue_mutex);
        if (out.ended)
            out.dropped_after_end += out.held.size();
        else
            out.enqueue(std::exchange(out.held, {}));
    }
    out.stop.store(true);
    out.space.notify_all();
    if (out.thread.joinable())
        out.thread.join();
    out.lock_fd.reset();
    for (std::size_t cause = 0; cause < outage_count; ++cause) {
        std::uint64_t const dropped = out.dropped.by_outage[cause].load();
        if (dropped != 0)
            log_line(out.label + "dropped " + std::to_string(dropped) + " output samples ("
                     + outage_cause(static_cast<Outage>(cause)) + ")");
    }
    if (out.dropped_after_end != 0)
        log_line(out.label + "dropped " + std::to_string(out.dropped_after_end) + " output samples (" + out.end_cause
                 + ")");
}

void Output::offer(std::vector<float>&& block) noexcept
{
    Impl& out = *impl_;
    if (block.empty())
        return;
    try {
        if (!out.settings.iq_replay) {
            std::unique_lock lock(out.queue_mutex, std::try_to_lock);
            if (!lock.owns_lock()) {
                // The delivery thread holds the lock for a moment (or was descheduled holding
                // it): the block waits for the next one instead of being lost. The frame
                // thread still never waits.
                out.hold(std::move(block));
                return;
            }
            if (out.ended) {
                out.dropped_after_end += out.held.size() + block.size();
                out.held.clear();
                return;
            }
            if (!out.held.empty())
                out.enqueue(std::exchange(out.held, {}));
            out.enqueue(std::move(block));
            return;
        }
        // A recording is replayed whole: while the destination takes blocks, wait for room.
        std::unique_lock lock(out.queue_mutex);
        auto const deadline = SteadyClock::now() + replay_wait;
        while (!out.ended && out.queued + block.size() > out.cap() && !out.queue.empty() && out.delivering.load()
               && !out.stalled.load() && !out.stop.load()) {
            if (out.space.wait_until(lock, deadline) == std::cv_status::timeout) {
                out.stalled.store(true);
                break;
            }
        }
        // The recording may have ended while this block waited for room.
        if (out.ended) {
            out.dropped_after_end += block.size();
            return;
        }
        out.enqueue(std::move(block));
    } catch (...) {
        out.dropped.fetch_add(block.size(), std::memory_order_relaxed);
    }
}

void Output::reset() noexcept
{
    Impl& out = *impl_;
    // A recording has no listener waiting for fresh audio: what it holds is part of it, and a
    // band change or a gap must not cut a hole into the file.
    if (!out.channel.wav.empty())
        return;
    out.reset_generation.fetch_add(1);
    out.held.clear();
    std::unique_lock lock(out.queue_mutex, std::try_to_lock);
    if (lock.owns_lock()) {
        out.queue.clear();
        out.queued = 0;
    }
}

AudioChannel const& Output::channel() const { return impl_->channel; }

std::uint64_t Output::dropped_samples() const
{
    std::scoped_lock lock(impl_->queue_mutex);
    return impl_->dropped.load() + impl_->dropped_after_end;
}

std::uint64_t Output::queued_samples() const
{
    std::scoped_lock lock(impl_->queue_mutex);
    return impl_->queued;
}
