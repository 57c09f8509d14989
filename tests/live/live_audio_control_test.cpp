#include "live/live_audio.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <complex>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <algorithm>

#include "core/control_address.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

constexpr double rate_hz = 51200.0;  // monitor FFT of 2048 bins, 25 Hz apart
constexpr double centre_hz = 14074000.0;

// A socket that closes itself, for the test's own clients.
struct Fd {
    int fd = -1;
    explicit Fd(int value) : fd(value) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(Fd const&) = delete;
    Fd& operator=(Fd const&) = delete;
};

int connect_control(fs::path const& path)
{
    int const fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_un const address = make_control_address(path.string());
    if (::connect(fd, reinterpret_cast<sockaddr const*>(&address), sizeof(address)) != 0) {
        int const error = errno;
        ::close(fd);
        throw std::runtime_error(std::string("connect failed: ") + std::strerror(error));
    }
    return fd;
}

// The reply the server sends on this connection (blocking until it comes), then the end of it.
std::string read_reply(int fd)
{
    std::vector<char> buffer(65536);
    ssize_t const received = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (received < 0)
        throw std::runtime_error("recv failed");
    char extra = 0;
    EXPECT_EQ(::recv(fd, &extra, 1, 0), 0) << "the server must close after one reply";
    return std::string(buffer.data(), static_cast<std::size_t>(received));
}

std::string ask(fs::path const& path, std::string const& request)
{
    Fd client(connect_control(path));
    if (::send(client.fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        throw std::runtime_error("send failed");
    return read_reply(client.fd);
}

LiveAudio::RadioHook echo_hook()
{
    return [](std::string const& request) { return "OK hook:" + request; };
}

std::unique_ptr<LiveAudio> make_live(fs::path const& path, LiveAudio::RadioHook hook = {}, bool radio_only = false,
                                     std::vector<AudioChannel> const& channels = {},
                                     AnalysisSettings settings = {})
{
    return std::make_unique<LiveAudio>(rate_hz, centre_hz, rate_hz, path.string(), channels, std::move(hook),
                                       radio_only, std::move(settings), nullptr);
}

std::string construction_error(fs::path const& path, std::vector<AudioChannel> const& channels = {},
                               AnalysisSettings settings = {})
{
    try {
        make_live(path, echo_hook(), false, channels, std::move(settings));
    } catch (std::runtime_error const& error) {
        return error.what();
    }
    return "(constructed)";
}

bool lock_is_free(fs::path const& lock_path)
{
    Fd fd(::open(lock_path.c_str(), O_RDWR | O_CLOEXEC));
    return fd.fd >= 0 && ::flock(fd.fd, LOCK_EX | LOCK_NB) == 0;
}

// A socket file at path that nobody listens on any more, as a receiver that died leaves it.
void leave_dead_socket(fs::path const& path)
{
    Fd fd(::socket(AF_UNIX, SOCK_SEQPACKET, 0));
    sockaddr_un const address = make_control_address(path.string());
    ASSERT_EQ(::bind(fd.fd, reinterpret_cast<sockaddr const*>(&address), sizeof(address)), 0);
}

// ---------------------------------------------------------------------------------------------
// Requests and replies through the real socket.

struct Exchange {
    std::string name;
    bool with_hook;
    bool radio_only;
    std::string request;
    std::string reply;
};

std::ostream& operator<<(std::ostream& out, Exchange const& e) { return out << e.name; }

class ControlDispatch : public testing::TestWithParam<Exchange> {};

TEST_P(ControlDispatch, AnswersOneRequestPerConnection)
{
    Exchange const& e = GetParam();
    TempDir dir;
    auto live = make_live(dir / "control", e.with_hook ? echo_hook() : LiveAudio::RadioHook {}, e.radio_only);
    EXPECT_EQ(ask(dir / "control", e.request), e.reply);
}

std::string const expected = "ERROR Expected ADD, SET, REMOVE, CLEAR, STATUS or ANALYZE ...";
std::string const replay = "ERROR Hardware control unavailable for IQ replay";
std::string const radio_only = "ERROR This audio mode supports RADIO commands only";
std::string const status = "OK capture=14074000.000000,span=46080.000000";

INSTANTIATE_TEST_SUITE_P(
    Requests, ControlDispatch,
    testing::Values(
        Exchange {"radio_to_hook_unchanged", true, false, "RADIO SET lna=3 ", "OK hook:RADIO SET lna=3 "},
        Exchange {"meter_to_hook", true, false, "RADIO METER", "OK hook:RADIO METER"},
        Exchange {"radio_without_blank", true, false, "RADIO", expected},
        Exchange {"status_with_trailing_blank", true, false, "STATUS ", expected},
        Exchange {"unknown", true, false, "HELLO", expected},
        Exchange {"lower_case_radio", true, false, "radio status", expected},
        Exchange {"status", true, false, "STATUS", status},
        Exchange {"clear", true, false, "CLEAR", "OK"},
        Exchange {"remove_unknown", true, false, "REMOVE a", "OK"},
        Exchange {"set_unknown", true, false, "SET id=a,frequency=14074000", "ERROR Audio receiver does not exist"},
        Exchange {"add_disabled", true, false, "ADD id=a,frequency=14074000,enabled=false", "OK"},
        Exchange {"spectrum_off", true, false, "SPECTRUM OFF", "OK"},
        Exchange {"spectrum_view", true, false, "SPECTRUM a 14073000 14075000 64", "OK WAIT 14073000 14075000 64"},
        Exchange {"analyze", true, false, "ANALYZE STATUS", status},
        Exchange {"analyze_unknown", true, false, "ANALYZE LIST", "ERROR Expected ANALYZE ADD, SET, REMOVE or STATUS"},
        Exchange {"replay_radio", false, false, "RADIO STATUS", replay},
        Exchange {"replay_meter", false, false, "RADIO METER", replay},
        Exchange {"replay_status", false, false, "STATUS", status},
        Exchange {"audio_mode_radio", true, true, "RADIO STATUS", "OK hook:RADIO STATUS"},
        Exchange {"audio_mode_status", true, true, "STATUS", radio_only},
        Exchange {"audio_mode_spectrum", true, true, "SPECTRUM OFF", radio_only},
        Exchange {"audio_mode_analyze", true, true, "ANALYZE STATUS", radio_only},
        Exchange {"audio_mode_unknown", true, true, "RADIO", radio_only}),
    [](testing::TestParamInfo<Exchange> const& info) { return info.param.name; });

TEST(LiveAudioControl, HookFailureBecomesErrorReplyAndServingGoesOn)
{
    TempDir dir;
    auto live = make_live(dir / "control", [](std::string const& request) -> std::string {
        if (request == "RADIO LNA 99")
            throw std::runtime_error("LNA state must be 0..9");
        return "OK fine";
    });
    EXPECT_EQ(ask(dir / "control", "RADIO LNA 99"), "ERROR LNA state must be 0..9");
    EXPECT_EQ(ask(dir / "control", "RADIO STATUS"), "OK fine");
}

TEST(LiveAudioControl, RequestLengthIsOneTo4096Bytes)
{
    TempDir dir;
    std::string seen;
    auto live = make_live(dir / "control", [&seen](std::string const& request) {
        seen = request;
        return std::string("OK");
    });
    std::string const longest = "RADIO " + std::string(4090, 'x');
    ASSERT_EQ(longest.size(), 4096u);
    EXPECT_EQ(ask(dir / "control", longest), "OK");
    EXPECT_EQ(seen, longest);

    EXPECT_EQ(ask(dir / "control", longest + "y"), "ERROR Invalid request length");
    EXPECT_EQ(ask(dir / "control", longest + std::string(5000, 'y')), "ERROR Invalid request length");
    EXPECT_EQ(ask(dir / "control", ""), "ERROR Invalid request length");
    EXPECT_EQ(seen, longest) << "a refused request must not reach the hook";
}

TEST(LiveAudioControl, SilentClientTimesOutAndDoesNotBlockTheNext)
{
    TempDir dir;
    auto live = make_live(dir / "control", echo_hook());
    Fd silent(connect_control(dir / "control"));
    // No request: the server gives up on its own and answers.
    EXPECT_EQ(read_reply(silent.fd), "ERROR request timeout");
    EXPECT_EQ(ask(dir / "control", "RADIO STATUS"), "OK hook:RADIO STATUS");
}

TEST(LiveAudioControl, PeerOfAnotherUserIsRefusedUnread)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    TempDir dir;
    bool hook_called = false;
    auto live = make_live(dir / "control", [&hook_called](std::string const&) {
        hook_called = true;
        return std::string("OK");
    });
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    sockaddr_un const address = make_control_address((dir / "control").string());
    pid_t const child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only system calls here: the parent has other threads. The effective user becomes
        // nobody (what the peer check sees); the file-system user stays root so the private
        // directory can still be entered.
        ::close(pipe_fds[0]);
        if (::syscall(SYS_setresuid, 0, 65534, 0) != 0 || ::syscall(SYS_setfsuid, 0) < 0)
            ::_exit(2);
        int const fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr const*>(&address), sizeof(address)) != 0)
            ::_exit(3);
        if (::send(fd, "RADIO STATUS", 12, MSG_NOSIGNAL) != 12)
            ::_exit(4);
        char reply[256];
        ssize_t const n = ::recv(fd, reply, sizeof(reply), 0);
        if (n <= 0)
            ::_exit(10 + errno % 100);
        if (::write(pipe_fds[1], reply, static_cast<std::size_t>(n)) != n)
            ::_exit(5);
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string reply;
    char buffer[256];
    for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof(buffer))) > 0;)
        reply.append(buffer, static_cast<std::size_t>(n));
    ::close(pipe_fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(reply, "ERROR unauthorized");
    EXPECT_EQ(ask(dir / "control", "RADIO STATUS"), "OK");
    EXPECT_TRUE(hook_called);
}

// ---------------------------------------------------------------------------------------------
// RADIO METER and the strongest signal of the capture.

// One CPU frame of the monitor's geometry (2048 bins, stored transposed with step 2) holding a
// single tone at signed bin `bin` with power fraction `power_of_full` of a full-scale bin.
struct ToneFrame {
    static constexpr std::uint64_t n = 2048;
    static constexpr std::uint64_t step = 2;
    std::vector<std::complex<float>> bins = std::vector<std::complex<float>>(n);
    SpectrumFrame frame;

    ToneFrame(std::int64_t bin, double power_of_full, double centre = centre_hz)
    {
        auto const natural = static_cast<std::uint64_t>((bin + static_cast<std::int64_t>(n)) % static_cast<std::int64_t>(n));
        bins[(natural % step) * (n / step) + natural / step] =
            std::complex<float>(static_cast<float>(static_cast<double>(n) * std::sqrt(power_of_full)), 0.0f);
        frame.bins = bins.data();
        frame.fft_size = n;
        frame.bin_step = step;
        frame.rate = rate_hz;
        frame.centre = centre;
    }
};

TEST(LiveAudioControl, MeterAddsStrongestSignalOnceFramesWereWatched)
{
    TempDir dir;
    std::string radio_reply = "OK LEVELS rms=-30.0";
    auto live = make_live(dir / "control", [&radio_reply](std::string const&) { return radio_reply; });

    // Frames before any meter request are not searched: nobody is looking.
    ToneFrame tone(500, 0.01);  // 12500 Hz above the centre, -20 dB
    live->process(tone.frame);
    EXPECT_EQ(ask(dir / "control", "RADIO METER"), "OK LEVELS rms=-30.0");

    live->process(tone.frame);
    EXPECT_EQ(ask(dir / "control", "RADIO METER"), "OK LEVELS rms=-30.0\nOK STRONGEST 14086500 -20");

    // Only a levels reply gets the extra line; other RADIO requests never do.
    radio_reply = "OK OVERLOAD state=clear,events=0";
    EXPECT_EQ(ask(dir / "control", "RADIO METER"), "OK OVERLOAD state=clear,events=0");
    radio_reply = "OK LEVELS rms=-30.0";
    EXPECT_EQ(ask(dir / "control", "RADIO STATUS"), "OK LEVELS rms=-30.0");
}

TEST(LiveAudioControl, StrongestSignalBelowTheCentreAndAfterRetune)
{
    TempDir dir;
    auto live = make_live(dir / "control", [](std::string const&) { return std::string("OK LEVELS"); });
    ASSERT_EQ(ask(dir / "control", "RADIO METER"), "OK LEVELS");

    live->check_retune(7074000.0);
    auto commit = live->prepare_retune(7074000.0);
    commit();
    // The retuned capture starts a fresh monitor: no level until it has seen a frame.
    ASSERT_EQ(ask(dir / "control", "RADIO METER"), "OK LEVELS");
    ToneFrame tone(-600, 0.001, 7074000.0);  // 15000 Hz below the new centre, -30 dB
    live->process(tone.frame);
    EXPECT_EQ(ask(dir / "control", "RADIO METER"), "OK LEVELS\nOK STRONGEST 7059000 -30");
}

TEST(LiveAudioControl, RetuneIntoKnownChannelsWatchesTheirWindows)
{
    AnalysisSettings settings;
    settings.known_channels = true;
    LiveAudio live(rate_hz, 1000000.0, rate_hz, "", {}, echo_hook(), false, settings, nullptr);
    live.prepare_retune(14069500.0)();
    std::string const reply = live.handle_command("ANALYZE STATUS");
    EXPECT_NE(reply.find("\nid=psk20,frequency=14069500,"), std::string::npos) << reply;
}

// ---------------------------------------------------------------------------------------------
// Setting up and tearing down the socket.

TEST(LiveAudioControl, DestructionRemovesSocketAndReleasesLock)
{
    TempDir dir;
    fs::path const path = dir / "control";
    {
        auto live = make_live(path, echo_hook());
        struct stat status {};
        ASSERT_EQ(::lstat(path.c_str(), &status), 0);
        EXPECT_TRUE(S_ISSOCK(status.st_mode));
        EXPECT_EQ(status.st_mode & 0777, 0600u);
        EXPECT_FALSE(lock_is_free(dir / "control.lock"));
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
    EXPECT_TRUE(fs::is_regular_file(dir / "control.lock"));
    EXPECT_TRUE(lock_is_free(dir / "control.lock"));
}

TEST(LiveAudioControl, SecondReceiverOnTheSamePathIsRefusedBeforeTouchingTheSocket)
{
    TempDir dir;
    auto first = make_live(dir / "control", echo_hook());
    EXPECT_EQ(construction_error(dir / "control"), "Audio control socket is already owned by a receiver");
    EXPECT_EQ(ask(dir / "control", "RADIO STATUS"), "OK hook:RADIO STATUS");
}

TEST(LiveAudioControl, SocketLeftByADeadReceiverIsReplaced)
{
    TempDir dir;
    leave_dead_socket(dir / "control");
    auto live = make_live(dir / "control", echo_hook());
    EXPECT_EQ(ask(dir / "control", "RADIO STATUS"), "OK hook:RADIO STATUS");
}

TEST(LiveAudioControl, ActiveSocketOfAnotherServerIsLeftAlone)
{
    TempDir dir;
    Fd other(::socket(AF_UNIX, SOCK_SEQPACKET, 0));
    sockaddr_un const address = make_control_address((dir / "control").string());
    ASSERT_EQ(::bind(other.fd, reinterpret_cast<sockaddr const*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(other.fd, 4), 0);
    EXPECT_EQ(construction_error(dir / "control"), "Existing audio control socket is active or inaccessible");
    EXPECT_TRUE(fs::is_socket(dir / "control"));
    EXPECT_TRUE(lock_is_free(dir / "control.lock"));
}

TEST(LiveAudioControl, OtherFilesAtThePathAreLeftAlone)
{
    TempDir dir;
    fs::path const file = dir.write_file("control", "precious");
    EXPECT_EQ(construction_error(file), "Unsafe existing audio control path");
    std::ifstream in(file);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "precious");

    fs::create_symlink(dir / "elsewhere", dir / "link");
    EXPECT_EQ(construction_error(dir / "link"), "Unsafe existing audio control path");
    EXPECT_FALSE(fs::exists(dir / "elsewhere"));
}

TEST(LiveAudioControl, LockFileMustBeTheUsersOwnRegularFile)
{
    TempDir dir;
    fs::create_symlink(dir / "target", dir / "control.lock");
    EXPECT_EQ(construction_error(dir / "control"), "Audio control socket is already owned by a receiver");
    EXPECT_FALSE(fs::exists(dir / "target"));
    fs::remove(dir / "control.lock");
    fs::create_directory(dir / "control.lock");
    EXPECT_EQ(construction_error(dir / "control"), "Audio control socket is already owned by a receiver");
}

TEST(LiveAudioControl, DirectoryMustBePrivate)
{
    TempDir dir;
    fs::create_directory(dir / "shared");
    fs::permissions(dir / "shared", fs::perms(0750));
    EXPECT_EQ(construction_error(dir / "shared" / "control"), "Audio control directory must be private to this user");
    EXPECT_FALSE(fs::exists(dir / "shared" / "control.lock")) << "refused before the lock is made";

    fs::path const made = dir / "new" / "deeper" / "control";
    auto live = make_live(made, echo_hook());
    EXPECT_EQ(fs::status(made.parent_path()).permissions(), fs::perms(0700));
    EXPECT_EQ(ask(made, "RADIO STATUS"), "OK hook:RADIO STATUS");
}

TEST(LiveAudioControl, PathMustFitTheSocketAddress)
{
    TempDir dir;
    std::string base = (dir / "").string();
    fs::create_directory(base + std::string(60, 'd'));
    fs::permissions(base + std::string(60, 'd'), fs::perms(0700));
    base += std::string(60, 'd') + "/";
    std::string const longest = base + std::string(107 - base.size(), 'c');
    ASSERT_EQ(longest.size(), 107u);
    {
        auto live = make_live(longest, echo_hook());
        EXPECT_EQ(ask(longest, "RADIO STATUS"), "OK hook:RADIO STATUS");
    }
    EXPECT_EQ(construction_error(longest + "c"), "Audio control path is too long");
    EXPECT_THROW(make_control_address(""), std::runtime_error);
}

TEST(LiveAudioControl, NoPathMeansNoSocketButRequestsStillWork)
{
    auto live = std::make_unique<LiveAudio>(rate_hz, centre_hz, rate_hz, "", std::vector<AudioChannel> {},
                                            echo_hook(), false, AnalysisSettings {}, nullptr);
    EXPECT_EQ(live->handle_command("RADIO STATUS"), "OK hook:RADIO STATUS");
    EXPECT_EQ(live->handle_command("STATUS"), status);
}

TEST(LiveAudioControl, FailingStartUpChannelLeavesNothingBehind)
{
    TempDir dir;
    AudioChannel first;
    first.id = "a";
    first.frequency = centre_hz;
    first.wav = (dir / "first.wav").string();
    AudioChannel second = first;
    second.wav = (dir / "second.wav").string();
    EXPECT_EQ(construction_error(dir / "control", {first, second}),
              "Audio ID already exists; remove it before replacing it");

    AnalysisSettings settings;
    settings.channels.push_back(parse_analysis_channel("id=psk,frequency=14070000"));
    settings.channels.push_back(parse_analysis_channel("id=psk,frequency=14071000"));
    EXPECT_EQ(construction_error(dir / "control", {}, settings),
              "Analysis ID already exists; remove it before replacing it");

    EXPECT_FALSE(fs::exists(fs::symlink_status(dir / "control")));
    EXPECT_TRUE(lock_is_free(dir / "control.lock") || !fs::exists(dir / "control.lock"));
    // The first channel's recording was started and stopped again: a header and nothing else.
    EXPECT_EQ(fs::file_size(dir / "first.wav"), 44u);
    auto live = make_live(dir / "control", echo_hook());
    EXPECT_EQ(ask(dir / "control", "STATUS"), status);
}

// A reply longer than one packet of the client's would be cut by the kernel without a word: it is
// cut at a line instead, and says so.
TEST(LiveAudioControl, LongRepliesEndWithAnEllipsisLine)
{
    TempDir dir;
    std::vector<AudioChannel> channels;
    for (int i = 0; i < 16; ++i) {
        AudioChannel channel;
        channel.id = "c" + std::to_string(i);
        channel.frequency = centre_hz;
        channel.wav = (dir / (std::string(200, 'w') + std::to_string(i))).string() + "/" + std::string(900, 'x');
        channels.push_back(channel);
    }
    testing::internal::CaptureStderr();  // none of these recordings can be opened
    {
        auto live = make_live(dir / "control", echo_hook(), false, channels);
        std::string const reply = ask(dir / "control", "STATUS");
        EXPECT_LE(reply.size(), 16000u);
        EXPECT_EQ(reply.substr(reply.size() - 4), "\n...");
        std::string const full = live->handle_command("STATUS");
        ASSERT_GT(full.size(), 16000u);
        EXPECT_EQ(reply.substr(0, reply.size() - 3), full.substr(0, reply.size() - 3)) << "cut at a line";
        EXPECT_EQ(full[reply.size() - 4], '\n');
    }
    testing::internal::GetCapturedStderr();
}

// The start-up channels are replayed as the records the option parser made: a spec whose text
// is longer than a control request may be still starts.
TEST(LiveAudioControl, StartUpChannelLongerThanARequestStarts)
{
    TempDir dir;
    AudioChannel channel;
    channel.id = "long";
    channel.frequency = centre_hz;
    channel.wav = (dir / std::string(250, 'd') / std::string(250, 'd')).string();
    for (int i = 0; i < 15; ++i)
        channel.wav += "/" + std::string(250, 'd');
    ASSERT_GT(format_audio_channel(channel).size(), 4096u);
    testing::internal::CaptureStderr();
    {
        auto live = make_live(dir / "control", echo_hook(), false, {channel});
        EXPECT_NE(live->handle_command("STATUS").find("id=long,"), std::string::npos);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Audio long: cannot open WAV " + channel.wav + ": File name too long\n");
}

// A relative control path lives in the current directory, which must then be private too.
TEST(LiveAudioControl, RelativePathIsTakenFromTheCurrentDirectory)
{
    TempDir dir;
    fs::path const before = fs::current_path();
    fs::create_directory(dir / "work");
    fs::permissions(dir / "work", fs::perms(0755));
    fs::current_path(dir / "work");
    std::string const open_directory = construction_error("control");
    {
        auto live = make_live("private/control", echo_hook());
        fs::current_path(dir.path());  // the socket stays where it was made
        EXPECT_TRUE(fs::is_socket(dir / "work" / "private" / "control"));
        EXPECT_EQ(ask(dir / "work" / "private" / "control", "RADIO STATUS"), "OK hook:RADIO STATUS");
    }
    fs::current_path(before);
    EXPECT_EQ(open_directory, "Audio control directory must be private to this user");
    EXPECT_FALSE(fs::exists(dir / "work" / "private" / "control"));
}

// A client that leaves before its reply: one line says a reply was lost, and only once.
TEST(LiveAudioControl, LostReplyIsLoggedOnce)
{
    TempDir dir;
    std::mutex gate;
    gate.lock();
    auto live = make_live(dir / "control", [&gate](std::string const&) {
        std::scoped_lock wait(gate);  // until the client has gone
        return std::string("OK");
    });
    testing::internal::CaptureStderr();
    for (int i = 0; i < 2; ++i) {
        {
            Fd client(connect_control(dir / "control"));
            ASSERT_EQ(::send(client.fd, "RADIO X", 7, MSG_NOSIGNAL), 7);
        }  // gone before the hook may answer
        gate.unlock();
        EXPECT_EQ(ask(dir / "control", "RADIO Y"), "OK");
        gate.lock();
    }
    gate.unlock();
    std::string const err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("Audio control: a reply could not be sent: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

}  // namespace
