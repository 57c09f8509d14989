#include "live/live_audio.hpp"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "core/control_address.hpp"
#include "core/private_directory.hpp"
#include "core/private_file.hpp"
#include "core/unique_fd.hpp"
#include "live/spectrum_monitor.hpp"
#include "radio/radio_replies.hpp"
#include "sig/known_channels.hpp"

namespace {

constexpr std::size_t max_request_bytes = 4096;
constexpr int accept_poll_ms = 50;
constexpr int request_wait_ms = 200;
constexpr int listen_backlog = 4;

bool begins_with(std::string const& text, std::string_view prefix)
{
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// The directory the control socket lives in; a bare file name lives in the working directory,
// which must then be just as private.
std::filesystem::path control_directory(std::string const& path)
{
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    return parent.empty() ? std::filesystem::path(".") : parent;
}

}  // namespace

struct LiveAudio::Impl {
    std::shared_ptr<SpectrumRows> engine;
    RadioHook radio_hook;
    bool radio_only = false;
    // Replaced whole at a retune commit while the control thread may be answering a meter request.
    std::atomic<std::shared_ptr<SpectrumMonitor>> monitor;
    double capture_rate_hz = 0.0;
    std::atomic<double> capture_centre_hz {0.0};
    double capture_width_hz = 0.0;
    std::mutex decoder_mutex;
    std::string decoders;
    std::string control_path;
    UniqueFd listen_fd;
    UniqueFd lock_fd;
    bool bound = false;
    std::atomic<bool> stop {false};
    std::thread control_thread;
    // Objects a command or a retune replaced, kept until nothing else holds them, so their last
    // release (and any thread join it implies) happens here rather than on the frame thread.
    std::mutex retired_mutex;
    std::vector<std::shared_ptr<void>> retired;
    AnalysisSettings settings;

    Impl(double rate_hz, double centre_hz, double width_hz, std::string path, RadioHook hook, bool only_radio,
         AnalysisSettings analysis, std::shared_ptr<SpectrumRows> receive_engine);
    ~Impl();

    void replay_start_up_channels(LiveAudio& live, std::vector<AudioChannel> const& channels);
    void open_control_socket();
    void serve_control(LiveAudio& live);
    void stop_control();
    std::string answer_connection(LiveAudio& live, int connection);
    void retire(std::shared_ptr<void> object);
    void prune_retired();
};

LiveAudio::Impl::Impl(double rate_hz, double centre_hz, double width_hz, std::string path, RadioHook hook,
                      bool only_radio, AnalysisSettings analysis, std::shared_ptr<SpectrumRows> receive_engine)
    : engine(std::move(receive_engine)),
      radio_hook(std::move(hook)),
      radio_only(only_radio),
      monitor(std::make_shared<SpectrumMonitor>(rate_hz, centre_hz, width_hz, engine)),
      capture_rate_hz(rate_hz),
      capture_centre_hz(centre_hz),
      capture_width_hz(width_hz),
      control_path(std::move(path)),
      settings(std::move(analysis))
{
}

void LiveAudio::Impl::stop_control()
{
    stop.store(true);
    if (control_thread.joinable())
        control_thread.join();
}

LiveAudio::Impl::~Impl()
{
    stop_control();
    listen_fd.reset();
    // Unlinked while the lock is still held, so no other receiver can have bound it meanwhile.
    if (bound)
        ::unlink(control_path.c_str());
    lock_fd.reset();
}

void LiveAudio::Impl::replay_start_up_channels(LiveAudio& live, std::vector<AudioChannel> const& channels)
{
    auto replay = [&live](std::string const& request) {
        std::string const reply = live.handle_command(request);
        if (!begins_with(reply, "OK"))
            throw std::runtime_error(reply);
    };
    for (AudioChannel const& channel : channels)
        replay("ADD " + format_audio_channel(channel));
    for (AnalysisChannel const& channel : settings.channels)
        replay("ANALYZE ADD " + format_analysis_channel(channel));
    std::scoped_lock lock(retired_mutex);
    retired.clear();
}

void LiveAudio::Impl::open_control_socket()
{
    sockaddr_un const address = make_control_address(control_path);

    std::filesystem::path const directory = control_directory(control_path);
    try {
        create_private_parent(control_path);
    } catch (std::filesystem::filesystem_error const&) {
        // Reported by the privacy check below: a directory that could not be made is not private.
    }
    if (!is_private_directory(directory))
        throw std::runtime_error("Audio control directory must be private to this user");

    std::string const lock_path = control_path + ".lock";
    lock_fd.reset(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    struct stat status {};
    if (lock_fd.get() < 0 || ::fstat(lock_fd.get(), &status) != 0 || !is_owned_regular_file(status)
        || ::flock(lock_fd.get(), LOCK_EX | LOCK_NB) != 0)
        throw std::runtime_error("Audio control socket is already owned by a receiver");

    // A socket file left by a receiver that died refuses connections; anything else at the path
    // belongs to someone and is left alone.
    if (::lstat(control_path.c_str(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode) || status.st_uid != geteuid())
            throw std::runtime_error("Unsafe existing audio control path");
        UniqueFd probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (probe.get() < 0)
            throw std::runtime_error("Cannot inspect existing audio control socket");
        int const result = ::connect(probe.get(), reinterpret_cast<sockaddr const*>(&address), sizeof(address));
        int const error = result == 0 ? 0 : errno;
        probe.reset();
        if (result == 0 || error != ECONNREFUSED)
            throw std::runtime_error("Existing audio control socket is active or inaccessible");
        ::unlink(control_path.c_str());
    }

    listen_fd.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (listen_fd.get() < 0)
        throw std::runtime_error("Cannot create audio control socket");
    if (::bind(listen_fd.get(), reinterpret_cast<sockaddr const*>(&address), sizeof(address)) != 0)
        throw std::runtime_error("Cannot bind audio control socket (another receiver may own it)");
    bound = true;
    if (::listen(listen_fd.get(), listen_backlog) != 0)
        throw std::runtime_error("Cannot listen on audio control socket");
    (void)::chmod(control_path.c_str(), 0600);
}

std::string LiveAudio::Impl::answer_connection(LiveAudio& live, int connection)
{
    ucred peer {};
    socklen_t peer_size = sizeof(peer);
    bool const authorized =
        ::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &peer_size) == 0 && peer.uid == geteuid();

    pollfd readable {connection, POLLIN, 0};
    bool const arrived = ::poll(&readable, 1, request_wait_ms) > 0;
    if (!authorized) {
        // The stranger's request is taken off the socket unlooked-at: closing a connection with
        // unread data resets it, and the refusal would never reach the client.
        if (arrived) {
            char discard = 0;
            (void)::recv(connection, &discard, 1, MSG_DONTWAIT);
        }
        return "ERROR unauthorized";
    }
    if (!arrived)
        return "ERROR request timeout";

    try {
        // One byte more than allowed: a longer packet is cut there and shows as too long.
        std::string request(max_request_bytes + 1, '\0');
        ssize_t const received = ::recv(connection, request.data(), request.size(), 0);
        if (received < 1 || static_cast<std::size_t>(received) > max_request_bytes)
            throw std::runtime_error("Invalid request length");
        request.resize(static_cast<std::size_t>(received));
        return live.handle_command(request);
    } catch (std::exception const& error) {
        return std::string("ERROR ") + error.what();
    } catch (...) {
        // The control thread outlives any one request, whatever a hook throws.
        return "ERROR Unexpected failure";
    }
}

void LiveAudio::Impl::serve_control(LiveAudio& live)
{
    while (!stop.load()) {
        pollfd listening {listen_fd.get(), POLLIN, 0};
        if (::poll(&listening, 1, accept_poll_ms) > 0) {
            UniqueFd connection(::accept4(listen_fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (connection.get() >= 0) {
                std::string const reply = answer_connection(live, connection.get());
                (void)::send(connection.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
                connection.reset();
            }
        }
        prune_retired();
    }
}

void LiveAudio::Impl::retire(std::shared_ptr<void> object)
{
    std::scoped_lock lock(retired_mutex);
    retired.push_back(std::move(object));
}

void LiveAudio::Impl::prune_retired()
{
    std::vector<std::shared_ptr<void>> released;
    {
        std::scoped_lock lock(retired_mutex);
        auto kept = retired.begin();
        for (auto& entry : retired) {
            if (entry.use_count() == 1)
                released.push_back(std::move(entry));
            else
                *kept++ = std::move(entry);
        }
        retired.erase(kept, retired.end());
    }
    // released goes here, outside the lock: a destructor that joins a thread never holds it.
}

LiveAudio::LiveAudio(double capture_rate_hz, double capture_centre_hz, double capture_width_hz,
                     std::string control_path, std::vector<AudioChannel> const& channels, RadioHook radio_hook,
                     bool radio_only, AnalysisSettings settings, std::shared_ptr<SpectrumRows> engine)
    : impl_(std::make_unique<Impl>(capture_rate_hz, capture_centre_hz, capture_width_hz, std::move(control_path),
                                   std::move(radio_hook), radio_only, std::move(settings), std::move(engine)))
{
    // A throw from here on destroys impl_, which closes and removes whatever was made so far.
    impl_->replay_start_up_channels(*this, channels);
    if (impl_->control_path.empty())
        return;
    impl_->open_control_socket();
    Impl* const impl = impl_.get();
    impl->control_thread = std::thread([impl, this] { impl->serve_control(*this); });
}

LiveAudio::~LiveAudio()
{
    // The control thread calls back into this object: it ends before anything is torn down.
    impl_->stop_control();
}

std::string LiveAudio::handle_command(std::string const& request)
{
    Impl& live = *impl_;
    if (request == "RADIO METER" && live.radio_hook) {
        std::string reply = live.radio_hook(request);
        if (begins_with(reply, "OK LEVELS")) {
            std::shared_ptr<SpectrumMonitor> const monitor = live.monitor.load();
            monitor->note_meter_request();
            std::uint64_t const packed = monitor->strongest();
            if ((packed & level_report_present) != 0) {
                StrongestSignal strongest;
                strongest.present = true;
                strongest.frequency_hz = static_cast<double>(packed & 0xffffffffu);
                strongest.level_db = static_cast<double>((packed >> 32) & 0xffu) - 160.0;
                reply += '\n';
                reply += format_strongest_reply(strongest);
            }
        }
        return reply;
    }
    if (begins_with(request, "RADIO ")) {
        if (!live.radio_hook)
            throw std::runtime_error("Hardware control unavailable for IQ replay");
        return live.radio_hook(request);
    }
    if (live.radio_only)
        throw std::runtime_error("This audio mode supports RADIO commands only");
    if (request == "SPECTRUM OFF" || begins_with(request, "SPECTRUM "))
        throw std::runtime_error("Waterfall views are not built yet");
    if (begins_with(request, "ANALYZE "))
        throw std::runtime_error("Analysis channels are not built yet");
    if (request == "STATUS" || request == "CLEAR" || begins_with(request, "REMOVE ") || begins_with(request, "SET ")
        || begins_with(request, "ADD "))
        throw std::runtime_error("Live audio channels are not built yet");
    throw std::runtime_error("Expected ADD, SET, REMOVE, CLEAR, STATUS or ANALYZE ...");
}

void LiveAudio::process(SpectrumFrame const& frame)
{
    // No live channel runs yet, so the frame only feeds the capture monitor.
    impl_->monitor.load()->update_strongest(frame);
}

void LiveAudio::reset_audio()
{
    // Nothing in this engine keeps history across a discontinuity: no channels, no views.
}

void LiveAudio::set_decoder_frequencies(std::vector<double> const& dial_frequencies_hz)
{
    std::string text;
    for (double const frequency : dial_frequencies_hz) {
        if (!text.empty())
            text += '/';
        text += std::to_string(std::llround(frequency));
    }
    std::scoped_lock lock(impl_->decoder_mutex);
    impl_->decoders = std::move(text);
}

void LiveAudio::check_retune(double)
{
    // Every running channel fits any centre: there are none yet.
}

std::function<void()> LiveAudio::prepare_retune(double centre_hz)
{
    check_retune(centre_hz);
    Impl& live = *impl_;
    if (live.settings.known_channels && !known_channels_in_range(centre_hz, live.capture_width_hz).empty())
        throw std::runtime_error("Analysis channels are not built yet");
    auto monitor =
        std::make_shared<SpectrumMonitor>(live.capture_rate_hz, centre_hz, live.capture_width_hz, live.engine);
    return [&live, centre_hz, monitor = std::move(monitor)] {
        live.retire(live.monitor.exchange(monitor));
        live.capture_centre_hz.store(centre_hz);
    };
}
