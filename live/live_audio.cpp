#include "live/live_audio.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

#include "core/control_address.hpp"
#include "core/log_line.hpp"
#include "core/private_directory.hpp"
#include "core/private_file.hpp"
#include "core/run_file.hpp"
#include "core/unique_fd.hpp"
#include "core/capture_fit_error.hpp"
#include "live/analysis_dsp.hpp"
#include "live/audio_dsp.hpp"
#include "live/channel_team.hpp"
#include "live/make_analysis_channel.hpp"
#include "live/output.hpp"
#include "live/spectrum_monitor.hpp"
#include "radio/radio_replies.hpp"
#include "live/track_text.hpp"
#include "sig/known_channels.hpp"

namespace {

constexpr std::size_t max_request_bytes = 4096;
constexpr std::size_t max_reply_bytes = 16000;
constexpr int accept_poll_ms = 50;
constexpr int request_wait_ms = 200;
constexpr int listen_backlog = 4;
constexpr std::size_t max_counted_channels = 16;
constexpr std::size_t max_socket_channels = 24;
constexpr std::size_t inline_channel_limit = 3;
constexpr std::size_t max_analysis_status_bytes = 15000;

using AudioSet = std::vector<std::shared_ptr<AudioDSP>>;
using AnalysisSet = std::vector<std::shared_ptr<AnalysisDSP>>;

// Whether SET changes what the channel's analyzer does; `enabled` alone does not.
bool same_analysis(AnalysisChannel const& a, AnalysisChannel const& b)
{
    AnalysisChannel left = a;
    left.enabled = b.enabled;
    return left == b;
}

bool begins_with(std::string const& text, std::string_view prefix)
{
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

std::string fixed(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%f", value);
    return text;
}

// A relative path names a file in the current directory, now and for the whole run.
std::string absolute_control_path(std::string const& path)
{
    std::filesystem::path const given(path);
    if (given.empty() || given.is_absolute())
        return path;
    return (std::filesystem::current_path() / given).lexically_normal().string();
}

// Cut at a line so the reply fits one packet of the client's size, and say so.
std::string capped_reply(std::string reply)
{
    if (reply.size() <= max_reply_bytes)
        return reply;
    std::string_view const marker = "\n...";
    std::size_t cut = reply.rfind('\n', max_reply_bytes - marker.size());
    if (cut == std::string::npos)
        cut = max_reply_bytes - marker.size();
    reply.resize(cut);
    reply += marker;
    return reply;
}

}  // namespace

struct LiveAudio::Impl {
    std::shared_ptr<SpectrumRows> engine;
    RadioHook radio_hook;
    bool radio_only = false;
    // Replaced whole at a retune commit while the control thread may be answering a request.
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
    bool reply_failure_reported = false;  // control thread only
    std::atomic<std::shared_ptr<AudioSet const>> audio;
    std::atomic<std::shared_ptr<AnalysisSet const>> analysis;
    // Objects a command or a retune replaced, kept until nothing else holds them, so their last
    // release (and any thread join it implies) happens on the control thread rather than on the
    // frame thread.
    std::mutex retired_mutex;
    std::vector<std::shared_ptr<void const>> retired;
    AnalysisSettings settings;
    // The last sink of every analyzer built here; read by ANALYZE STATUS.
    std::shared_ptr<TrackText> track_text;
    // Created by the first frame that needs it; destroyed first, before the sets its workers use.
    std::unique_ptr<ChannelTeam> team;
    std::atomic<unsigned> team_workers {0};

    Impl(double rate_hz, double centre_hz, double width_hz, std::string path, RadioHook hook, bool only_radio,
         AnalysisSettings analysis, std::shared_ptr<SpectrumRows> receive_engine);
    ~Impl();

    void replay_start_up_channels(std::vector<AudioChannel> const& channels);
    void open_control_socket();
    void serve_control(LiveAudio& live);
    void stop_control();
    std::string answer_connection(LiveAudio& live, int connection);
    void send_reply(int connection, std::string const& reply);
    void retire(std::shared_ptr<void const> object);
    void prune_retired();

    OutputSettings output_settings() const
    {
        OutputSettings output;
        output.iq_replay = settings.iq_replay;
        return output;
    }
    std::shared_ptr<AudioDSP> build_chain(AudioChannel const& channel, double centre_hz,
                                          std::shared_ptr<Output> output) const;
    void publish(std::shared_ptr<AudioSet const> const& previous, AudioSet&& next);
    std::string meter(std::string const& request);
    std::string status();
    void add(AudioChannel const& channel);
    void set(AudioChannel const& channel);
    void remove(std::string const& id);
    void commit_retune(double centre_hz, std::shared_ptr<AudioSet const> const& next,
                       std::shared_ptr<AnalysisSet const> const& next_analysis,
                       std::shared_ptr<SpectrumMonitor> const& next_monitor);

    std::size_t counted_channels(AudioSet const& audio_set, AnalysisSet const& analysis_set) const;
    void refuse_shared_output(AudioChannel const& channel, AudioSet const& audio_set) const;
    AnalysisOrigin start_up_origin(AnalysisChannel const& channel) const;
    std::shared_ptr<sig::Analyzer> build_analyzer(AnalysisChannel const& channel) const;
    std::shared_ptr<AnalysisDSP> build_front_end(AnalysisChannel const& channel, AnalysisOrigin origin,
                                                 double centre_hz, std::shared_ptr<sig::Analyzer> analyzer,
                                                 bool discontinuity) const;
    void publish_analysis(std::shared_ptr<AnalysisSet const> const& previous, AnalysisSet&& next);
    std::string analyze(std::string const& request);
    std::string analysis_status() const;
    void add_analysis(AnalysisChannel const& channel, AnalysisOrigin origin);
    void set_analysis(AnalysisChannel const& channel);
    void remove_analysis(std::string const& id);
};

LiveAudio::Impl::Impl(double rate_hz, double centre_hz, double width_hz, std::string path, RadioHook hook,
                      bool only_radio, AnalysisSettings analysis_settings,
                      std::shared_ptr<SpectrumRows> receive_engine)
    : engine(std::move(receive_engine)),
      radio_hook(std::move(hook)),
      radio_only(only_radio),
      monitor(std::make_shared<SpectrumMonitor>(rate_hz, centre_hz, width_hz, engine)),
      capture_rate_hz(rate_hz),
      capture_centre_hz(centre_hz),
      capture_width_hz(width_hz),
      control_path(absolute_control_path(path)),
      audio(std::make_shared<AudioSet const>()),
      analysis(std::make_shared<AnalysisSet const>()),
      settings(std::move(analysis_settings)),
      track_text(std::make_shared<TrackText>())
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

void LiveAudio::Impl::replay_start_up_channels(std::vector<AudioChannel> const& channels)
{
    // The parsed records themselves: a channel the option parser took must not fail here
    // because its spec text, written out, would be longer than a request may be.
    for (AudioChannel const& channel : channels)
        add(channel);
    for (AnalysisChannel const& channel : settings.channels) {
        AnalysisOrigin const origin = start_up_origin(channel);
        if (origin == AnalysisOrigin::known_channel) {
            // The option layer chose the windows around the requested frequency; the capture's
            // own centre decides which of them this receiver really covers.
            try {
                check_passband_in_capture(channel, capture_centre_hz.load(), capture_width_hz);
            } catch (CaptureFitError const&) {
                continue;
            }
        }
        add_analysis(channel, origin);
    }
    std::vector<std::shared_ptr<void const>> released;
    {
        std::scoped_lock lock(retired_mutex);
        released.swap(retired);
    }
}

void LiveAudio::Impl::open_control_socket()
{
    sockaddr_un const address = make_control_address(control_path);

    std::filesystem::path const directory = std::filesystem::path(control_path).parent_path();
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

void LiveAudio::Impl::send_reply(int connection, std::string const& reply)
{
    std::string const packet = capped_reply(reply);
    ssize_t const sent = ::send(connection, packet.data(), packet.size(), MSG_NOSIGNAL);
    if (sent == static_cast<ssize_t>(packet.size()))
        return;
    // A client that went away is its own business, but a reply that never leaves should be
    // seen once in the log rather than never.
    if (!reply_failure_reported) {
        reply_failure_reported = true;
        log_line(std::string("Audio control: a reply could not be sent: ")
                 + (sent < 0 ? std::strerror(errno) : "short send"));
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
                send_reply(connection.get(), reply);
                connection.reset();
            }
        }
        try {
            monitor.load()->expire();
        } catch (std::exception const& error) {
            log_line(std::string("Audio control: ") + error.what());
        }
        prune_retired();
    }
}

void LiveAudio::Impl::retire(std::shared_ptr<void const> object)
{
    std::scoped_lock lock(retired_mutex);
    retired.push_back(std::move(object));
}

void LiveAudio::Impl::prune_retired()
{
    std::vector<std::shared_ptr<void const>> released;
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

std::shared_ptr<AudioDSP> LiveAudio::Impl::build_chain(AudioChannel const& channel, double centre_hz,
                                                       std::shared_ptr<Output> output) const
{
    auto chain = std::make_shared<AudioDSP>(AudioChannel(channel), capture_rate_hz, centre_hz, engine);
    if (!output)
        output = std::make_shared<Output>(channel, output_settings());
    chain->set_output(std::move(output));
    return chain;
}

void LiveAudio::Impl::publish(std::shared_ptr<AudioSet const> const& previous, AudioSet&& next)
{
    retire(previous);
    audio.store(std::make_shared<AudioSet const>(std::move(next)));
}

std::string LiveAudio::Impl::meter(std::string const& request)
{
    std::string reply = radio_hook(request);
    if (!begins_with(reply, "OK LEVELS"))
        return reply;
    std::shared_ptr<SpectrumMonitor> const current = monitor.load();
    current->note_meter_request();
    std::uint64_t const packed = current->strongest();
    if ((packed & level_report_present) != 0) {
        StrongestSignal strongest;
        strongest.present = true;
        strongest.frequency_hz = static_cast<double>(packed & 0xffffffffu);
        strongest.level_db = static_cast<double>((packed >> 32) & 0xffu) - 160.0;
        reply += '\n';
        reply += format_strongest_reply(strongest);
    }
    return reply;
}

std::string LiveAudio::Impl::status()
{
    std::string text = "OK capture=" + fixed(capture_centre_hz.load()) + ",span=" + fixed(0.9 * capture_width_hz);
    {
        std::scoped_lock lock(decoder_mutex);
        if (!decoders.empty())
            text += ",decoders=" + decoders;
    }
    for (auto const& chain : *audio.load()) {
        text += '\n';
        text += format_audio_channel(chain->channel());
    }
    return text;
}

void LiveAudio::Impl::add(AudioChannel const& channel)
{
    double const centre = capture_centre_hz.load();
    require_passband_in_capture(channel, centre, capture_width_hz);
    std::shared_ptr<AudioSet const> const current = audio.load();
    AudioSet next = *current;
    for (auto const& chain : next) {
        if (chain->channel().id == channel.id)
            throw std::runtime_error("Audio ID already exists; remove it before replacing it");
    }
    auto const with_socket = [](auto const& chain) { return !chain->channel().socket.empty(); };
    auto const sockets = static_cast<std::size_t>(std::count_if(next.begin(), next.end(), with_socket));
    if (!channel.socket.empty()) {
        if (sockets > max_socket_channels - 1)
            throw std::runtime_error("At most " + std::to_string(max_socket_channels)
                                     + " web listener channels per SDR");
    } else if (counted_channels(next, *analysis.load()) > max_counted_channels - 1) {
        throw std::runtime_error("At most 16 audio and analysis channels per SDR");
    }
    if (channel.enabled) {
        refuse_shared_output(channel, next);
        next.push_back(build_chain(channel, centre, nullptr));
    }
    publish(current, std::move(next));
}

void LiveAudio::Impl::set(AudioChannel const& channel)
{
    double const centre = capture_centre_hz.load();
    require_passband_in_capture(channel, centre, capture_width_hz);
    std::shared_ptr<AudioSet const> const current = audio.load();
    AudioSet next = *current;
    auto const found = std::find_if(next.begin(), next.end(),
                                    [&](auto const& chain) { return chain->channel().id == channel.id; });
    if (found == next.end())
        throw std::runtime_error("Audio receiver does not exist");
    refuse_shared_output(channel, next);
    AudioChannel const& old = (*found)->channel();
    if (!channel.enabled || channel.audio_rate != old.audio_rate || channel.sink != old.sink
        || channel.wav != old.wav || channel.socket != old.socket)
        throw std::runtime_error(
            "Live tuning preserves output rate, sink, socket and WAV; remove/re-add to change them");
    if (channel.frequency == old.frequency && channel.modulation == old.modulation
        && channel.bandwidth == old.bandwidth && channel.low_cut == old.low_cut && channel.agc == old.agc) {
        (*found)->set_gain(channel.audio_gain);
        return;
    }
    *found = build_chain(channel, centre, (*found)->output());
    publish(current, std::move(next));
}

void LiveAudio::Impl::remove(std::string const& id)
{
    if (!is_valid_channel_id(id))
        throw std::runtime_error("Invalid audio ID");
    std::shared_ptr<AudioSet const> const current = audio.load();
    AudioSet next = *current;
    std::erase_if(next, [&](auto const& chain) { return chain->channel().id == id; });
    publish(current, std::move(next));
}

void LiveAudio::Impl::commit_retune(double centre_hz, std::shared_ptr<AudioSet const> const& next,
                                    std::shared_ptr<AnalysisSet const> const& next_analysis,
                                    std::shared_ptr<SpectrumMonitor> const& next_monitor)
{
    retire(audio.exchange(next));
    std::shared_ptr<AnalysisSet const> const previous = analysis.exchange(next_analysis);
    // Known-channel windows were built anew: what their old analyzers read is gone with them.
    for (auto const& front : *previous) {
        if (front->origin() == AnalysisOrigin::known_channel)
            track_text->forget(front->spec().id);
    }
    retire(previous);
    retire(monitor.exchange(next_monitor));
    capture_centre_hz.store(centre_hz);
}

std::size_t LiveAudio::Impl::counted_channels(AudioSet const& audio_set, AnalysisSet const& analysis_set) const
{
    auto const socketless = [](auto const& chain) { return chain->channel().socket.empty(); };
    auto const counted = [](auto const& front) { return !is_known_channel_id(front->spec().id); };
    return static_cast<std::size_t>(std::count_if(audio_set.begin(), audio_set.end(), socketless)
                                    + std::count_if(analysis_set.begin(), analysis_set.end(), counted));
}

// An audio channel's WAV file or socket may be no file of the run, nor lie in its picture
// directory, nor be another channel's output (channels may share a listener's socket); refused
// before anything is opened.
void LiveAudio::Impl::refuse_shared_output(AudioChannel const& channel, AudioSet const& audio_set) const
{
    if (channel.wav.empty() && channel.socket.empty())
        return;
    using Kind = RunFile::Kind;
    std::vector<RunFile> files;
    for (RunFile const& file : settings.run_files) {
        // The channels as they run now stand for the start-up ones.
        if (file.kind != Kind::channel_wav && file.kind != Kind::channel_socket)
            files.push_back(file);
    }
    for (RunFile& file : control_socket_files(control_path))
        files.push_back(std::move(file));
    for (auto const& chain : audio_set) {
        AudioChannel const& other = chain->channel();
        if (other.id == channel.id)
            continue;
        if (!other.wav.empty())
            files.push_back(channel_wav_file(other));
        if (!other.socket.empty())
            files.push_back(channel_socket_file(other));
    }
    for (RunFile const& output : {channel_wav_file(channel), channel_socket_file(channel)}) {
        if (output.path.empty())
            continue;
        if (std::optional<std::string> const refusal = same_file_refusal(files, output))
            throw std::runtime_error(*refusal);
    }
}

AnalysisOrigin LiveAudio::Impl::start_up_origin(AnalysisChannel const& channel) const
{
    // The option layer appends the windows it chose after the user's channels, exactly as the
    // table gives them; a user's channel that merely shares an identifier stays the user's.
    if (!settings.known_channels)
        return AnalysisOrigin::user;
    std::optional<AnalysisChannel> const window = known_channel_window(channel.id, settings.known_channels_report);
    return window && *window == channel ? AnalysisOrigin::known_channel : AnalysisOrigin::user;
}

std::shared_ptr<sig::Analyzer> LiveAudio::Impl::build_analyzer(AnalysisChannel const& channel) const
{
    if (!channel.enabled)
        return nullptr;
    return make_analysis_channel(channel, settings, track_text);
}

std::shared_ptr<AnalysisDSP> LiveAudio::Impl::build_front_end(AnalysisChannel const& channel, AnalysisOrigin origin,
                                                              double centre_hz,
                                                              std::shared_ptr<sig::Analyzer> analyzer,
                                                              bool discontinuity) const
{
    return std::make_shared<AnalysisDSP>(channel, origin, capture_rate_hz, centre_hz, std::move(analyzer),
                                         settings.iq_replay ? settings.replay_origin : 0.0, settings.iq_replay,
                                         discontinuity, engine);
}

void LiveAudio::Impl::publish_analysis(std::shared_ptr<AnalysisSet const> const& previous, AnalysisSet&& next)
{
    retire(previous);
    analysis.store(std::make_shared<AnalysisSet const>(std::move(next)));
}

std::string LiveAudio::Impl::analyze(std::string const& request)
{
    if (request == "STATUS")
        return analysis_status();
    if (begins_with(request, "REMOVE ")) {
        remove_analysis(request.substr(7));
        return "OK";
    }
    if (begins_with(request, "SET ")) {
        set_analysis(parse_analysis_channel(std::string_view(request).substr(4)));
        return "OK";
    }
    if (begins_with(request, "ADD ")) {
        add_analysis(parse_analysis_channel(std::string_view(request).substr(4)), AnalysisOrigin::user);
        return "OK";
    }
    throw std::runtime_error("Expected ANALYZE ADD, SET, REMOVE or STATUS");
}

std::string LiveAudio::Impl::analysis_status() const
{
    std::string text = "OK capture=" + fixed(capture_centre_hz.load()) + ",span=" + fixed(0.9 * capture_width_hz);
    std::shared_ptr<AnalysisSet const> const current = analysis.load();
    for (auto const& front : *current) {
        text += '\n';
        text += format_analysis_channel(front->spec());
    }
    for (auto const& front : *current) {
        if (!front->analyzer())
            continue;
        sig::Analyzer::Config const& config = front->analyzer()->config();
        for (sig::Candidate const& track : front->analyzer()->snapshot()) {
            std::string const line = format_track_line(config.channel, config.dial_hz, config.usb, track,
                                                       track_text->text(config.channel, track.track));
            if (text.size() + line.size() + 1 > max_analysis_status_bytes) {
                text += "\n...";
                return text;
            }
            text += '\n';
            text += line;
        }
    }
    return text;
}

void LiveAudio::Impl::add_analysis(AnalysisChannel const& channel, AnalysisOrigin origin)
{
    double const centre = capture_centre_hz.load();
    check_passband_in_capture(channel, centre, capture_width_hz);
    std::shared_ptr<AnalysisSet const> const current = analysis.load();
    AnalysisSet next = *current;
    for (auto const& front : next) {
        if (front->spec().id == channel.id)
            throw std::runtime_error("Analysis ID already exists; remove it before replacing it");
    }
    if (!is_known_channel_id(channel.id) && counted_channels(*audio.load(), next) > max_counted_channels - 1)
        throw std::runtime_error("At most 16 audio and analysis channels per SDR");
    next.push_back(build_front_end(channel, origin, centre, build_analyzer(channel), false));
    publish_analysis(current, std::move(next));
}

void LiveAudio::Impl::set_analysis(AnalysisChannel const& channel)
{
    double const centre = capture_centre_hz.load();
    check_passband_in_capture(channel, centre, capture_width_hz);
    std::shared_ptr<AnalysisSet const> const current = analysis.load();
    AnalysisSet next = *current;
    auto const found = std::find_if(next.begin(), next.end(),
                                    [&](auto const& front) { return front->spec().id == channel.id; });
    if (found == next.end())
        throw std::runtime_error("Analysis channel does not exist");
    AnalysisDSP const& old = **found;
    bool const same = same_analysis(channel, old.spec());
    std::shared_ptr<sig::Analyzer> analyzer;
    if (channel.enabled)
        analyzer = same && old.analyzer() ? old.analyzer() : build_analyzer(channel);
    // A window the user has reconfigured is the user's from now on: a retune keeps it as set.
    AnalysisOrigin const origin = channel == old.spec() ? old.origin() : AnalysisOrigin::user;
    *found = build_front_end(channel, origin, centre, analyzer, true);
    if (!channel.enabled || !same)
        track_text->forget(channel.id);
    publish_analysis(current, std::move(next));
}

void LiveAudio::Impl::remove_analysis(std::string const& id)
{
    if (!is_valid_channel_id(id))
        throw std::runtime_error("Invalid analysis ID");
    std::shared_ptr<AnalysisSet const> const current = analysis.load();
    AnalysisSet next = *current;
    std::erase_if(next, [&](auto const& front) { return front->spec().id == id; });
    track_text->forget(id);
    publish_analysis(current, std::move(next));
}

LiveAudio::LiveAudio(double capture_rate_hz, double capture_centre_hz, double capture_width_hz,
                     std::string control_path, std::vector<AudioChannel> const& channels, RadioHook radio_hook,
                     bool radio_only, AnalysisSettings settings, std::shared_ptr<SpectrumRows> engine)
    : impl_(std::make_unique<Impl>(capture_rate_hz, capture_centre_hz, capture_width_hz, std::move(control_path),
                                   std::move(radio_hook), radio_only, std::move(settings), std::move(engine)))
{
    // A throw from here on destroys impl_, which closes and removes whatever was made so far.
    impl_->replay_start_up_channels(channels);
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
    if (request == "RADIO METER" && live.radio_hook)
        return live.meter(request);
    if (begins_with(request, "RADIO ")) {
        if (!live.radio_hook)
            throw std::runtime_error("Hardware control unavailable for IQ replay");
        return live.radio_hook(request);
    }
    if (live.radio_only)
        throw std::runtime_error("This audio mode supports RADIO commands only");
    if (request == "SPECTRUM OFF" || begins_with(request, "SPECTRUM "))
        return live.monitor.load()->handle_command(request).text;
    if (begins_with(request, "ANALYZE "))
        return live.analyze(request.substr(8));
    if (request == "STATUS")
        return live.status();
    if (request == "CLEAR") {
        std::shared_ptr<AudioSet const> const current = live.audio.load();
        live.publish(current, AudioSet {});
        return "OK";
    }
    if (begins_with(request, "REMOVE ")) {
        live.remove(request.substr(7));
        return "OK";
    }
    if (begins_with(request, "SET ")) {
        live.set(parse_audio_channel(std::string_view(request).substr(4)));
        return "OK";
    }
    if (begins_with(request, "ADD ")) {
        live.add(parse_audio_channel(std::string_view(request).substr(4)));
        return "OK";
    }
    throw std::runtime_error("Expected ADD, SET, REMOVE, CLEAR, STATUS or ANALYZE ...");
}

void LiveAudio::process(SpectrumFrame const& frame)
{
    Impl& live = *impl_;
    // Both references are held to the end of the frame: a set replaced meanwhile stays alive.
    std::shared_ptr<AudioSet const> const audio = live.audio.load();
    std::shared_ptr<AnalysisSet const> const analysis = live.analysis.load();
    AudioSet const& channels = *audio;
    AnalysisSet const& fronts = *analysis;
    std::size_t const total = channels.size() + fronts.size();
    if (live.settings.iq_replay || total <= inline_channel_limit) {
        for (auto const& chain : channels)
            chain->process(frame);
        for (auto const& front : fronts)
            front->process(frame);
    } else {
        if (!live.team) {
            live.team = std::make_unique<ChannelTeam>(ChannelTeam::threads_for(std::thread::hardware_concurrency()));
            live.team_workers.store(live.team->worker_count());
        }
        ChannelTeam::Job const job = [&channels, &fronts, &frame](std::uint64_t i) {
            if (i < channels.size())
                channels[i]->process(frame);
            else
                fronts[i - channels.size()]->process(frame);
        };
        live.team->run(total, job);
    }
    std::shared_ptr<SpectrumMonitor> const monitor = live.monitor.load();
    monitor->update_strongest(frame);
    monitor->update_views(frame);
}

void LiveAudio::reset_audio()
{
    Impl& live = *impl_;
    std::shared_ptr<AudioSet const> const audio = live.audio.load();
    for (auto const& chain : *audio) {
        chain->reset();
        if (chain->output())
            chain->output()->reset();
    }
    for (auto const& front : *live.analysis.load())
        front->reset();
    live.monitor.load()->reset();
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

void LiveAudio::check_retune(double centre_hz)
{
    Impl& live = *impl_;
    // Every channel, the audio socket ones included: a check must refuse what the retune itself
    // would refuse.
    for (auto const& chain : *live.audio.load())
        require_passband_in_capture(chain->channel(), centre_hz, live.capture_width_hz);
    // A user's channel goes along or refuses the retune, whatever its identifier; known-channel
    // windows are chosen anew for the new capture.
    for (auto const& front : *live.analysis.load()) {
        if (front->origin() == AnalysisOrigin::user)
            check_passband_in_capture(front->spec(), centre_hz, live.capture_width_hz);
    }
}

std::function<void()> LiveAudio::prepare_retune(double centre_hz)
{
    check_retune(centre_hz);
    Impl& live = *impl_;
    AudioSet next;
    for (auto const& chain : *live.audio.load())
        next.push_back(live.build_chain(chain->channel(), centre_hz, chain->output()));
    AnalysisSet next_analysis;
    for (auto const& front : *live.analysis.load()) {
        if (front->origin() == AnalysisOrigin::user)
            next_analysis.push_back(
                live.build_front_end(front->spec(), AnalysisOrigin::user, centre_hz, front->analyzer(), true));
    }
    if (live.settings.known_channels) {
        for (AnalysisChannel const& window :
             known_channel_windows(centre_hz, live.capture_width_hz, live.settings.known_channels_report)) {
            // A user's channel of the same identifier stays and the window gives way, as at start.
            bool const taken = std::any_of(next_analysis.begin(), next_analysis.end(),
                                           [&](auto const& front) { return front->spec().id == window.id; });
            if (!taken)
                next_analysis.push_back(live.build_front_end(window, AnalysisOrigin::known_channel, centre_hz,
                                                             live.build_analyzer(window), false));
        }
    }
    auto next_set = std::make_shared<AudioSet const>(std::move(next));
    auto next_analysis_set = std::make_shared<AnalysisSet const>(std::move(next_analysis));
    auto next_monitor =
        std::make_shared<SpectrumMonitor>(live.capture_rate_hz, centre_hz, live.capture_width_hz, live.engine);
    return [&live, centre_hz, next_set = std::move(next_set), next_analysis_set = std::move(next_analysis_set),
            next_monitor = std::move(next_monitor)] {
        live.commit_retune(centre_hz, next_set, next_analysis_set, next_monitor);
    };
}

unsigned LiveAudio::channel_team_workers() const { return impl_->team_workers.load(); }

LiveAudio::OutputCounts LiveAudio::output_counts() const
{
    OutputCounts counts;
    for (auto const& chain : *impl_->audio.load()) {
        if (chain->output()) {
            counts.queued += chain->output()->queued_samples();
            counts.dropped += chain->output()->dropped_samples();
        }
    }
    return counts;
}
