// The delivery of a live channel's audio to WAV files and audio sockets, its queue and its
// identifier lock. (PulseAudio delivery runs against a real server in output_pulse_e2e_test.)
#include "live/output.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.hpp"
#include "tests/support/stderr_tap.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

AudioChannel wav_channel(fs::path const& path, std::uint32_t rate = 8000)
{
    AudioChannel channel;
    channel.id = "w";
    channel.frequency = 7074000;
    channel.audio_rate = rate;
    channel.wav = path.string();
    return channel;
}

AudioChannel socket_channel(fs::path const& path, std::uint32_t rate = 48000)
{
    AudioChannel channel;
    channel.id = "s";
    channel.frequency = 7074000;
    channel.audio_rate = rate;
    channel.socket = path.string();
    return channel;
}

struct WavFile {
    std::vector<unsigned char> bytes;
    std::uint32_t u32(std::size_t at) const
    {
        return bytes[at] | (bytes[at + 1] << 8) | (bytes[at + 2] << 16) | (static_cast<std::uint32_t>(bytes[at + 3]) << 24);
    }
    std::int16_t sample(std::size_t i) const
    {
        return static_cast<std::int16_t>(bytes[44 + 2 * i] | (bytes[45 + 2 * i] << 8));
    }
    std::size_t samples() const { return (bytes.size() - 44) / 2; }
};

WavFile read_wav(fs::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    return WavFile {std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())};
}

OutputSettings replaying()
{
    OutputSettings settings;
    settings.iq_replay = true;
    return settings;
}

// The identifier locks go to a private runtime directory of the test's own.
class OutputTest : public testing::Test {
protected:
    void SetUp() override
    {
        char const* runtime = std::getenv("XDG_RUNTIME_DIR");
        saved_runtime_ = runtime != nullptr ? runtime : "";
        had_runtime_ = runtime != nullptr;
        fs::create_directory(dir / "runtime");
        fs::permissions(dir / "runtime", fs::perms(0700));
        ::setenv("XDG_RUNTIME_DIR", (dir / "runtime").c_str(), 1);
    }
    void TearDown() override
    {
        if (had_runtime_)
            ::setenv("XDG_RUNTIME_DIR", saved_runtime_.c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }

    TempDir dir;
    std::string saved_runtime_;
    bool had_runtime_ = false;
};

// ---------------------------------------------------------------------------------------------
// WAV

TEST_F(OutputTest, OneSecondOfWavAt8000Hz)
{
    fs::path const path = dir / "one.wav";
    {
        Output output(wav_channel(path), replaying());
        std::vector<float> first(800, 0.25f);
        first[0] = 1.5f;
        first[1] = -1.5f;
        first[2] = std::numeric_limits<float>::quiet_NaN();
        first[3] = std::numeric_limits<float>::infinity();
        first[4] = 0.5f;  // 16383.5: ties go to the even 16384
        first[5] = -0.5f;
        output.offer(std::move(first));
        for (int block = 1; block < 10; ++block)
            output.offer(std::vector<float>(800, 0.25f));
    }
    WavFile const wav = read_wav(path);
    ASSERT_EQ(wav.bytes.size(), 44u + 16000u);
    EXPECT_EQ(std::string(wav.bytes.begin(), wav.bytes.begin() + 4), "RIFF");
    EXPECT_EQ(wav.u32(4), 16036u);
    EXPECT_EQ(std::string(wav.bytes.begin() + 8, wav.bytes.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(wav.u32(24), 8000u);
    EXPECT_EQ(wav.u32(28), 16000u);
    EXPECT_EQ(wav.u32(40), 16000u);
    EXPECT_EQ(wav.sample(0), 32767);
    EXPECT_EQ(wav.sample(1), -32767);
    EXPECT_EQ(wav.sample(2), 0);
    EXPECT_EQ(wav.sample(3), 0);
    EXPECT_EQ(wav.sample(4), 16384);
    EXPECT_EQ(wav.sample(5), -16384);
    EXPECT_EQ(wav.sample(7999), 8192);  // 0.25 x 32767 = 8191.75
}

TEST_F(OutputTest, WavMustBeARegularFileReachedWithoutALink)
{
    fs::create_symlink(dir / "target.wav", dir / "link.wav");
    ASSERT_EQ(::mkfifo((dir / "fifo.wav").c_str(), 0600), 0);
    struct Refused {
        char const* name;
        char const* reason;
    };
    for (Refused const refused : {Refused {"link.wav", "Too many levels of symbolic links"},
                                  Refused {"fifo.wav", "not a regular file"}}) {
        std::string const line =
            "Audio w: cannot open WAV " + (dir / refused.name).string() + ": " + refused.reason + "\n";
        StderrTap tap;
        {
            Output output(wav_channel(dir / refused.name));
            EXPECT_TRUE(tap.wait_for(line, 10s)) << tap.text();
        }
        EXPECT_EQ(tap.text(), line);
    }
    EXPECT_FALSE(fs::exists(dir / "target.wav"));
}

// Audio that reaches a recording which never began is lost for that reason, not because
// delivery fell behind.
TEST_F(OutputTest, WavThatCannotBeOpenedNamesItAsTheCauseOfItsDrops)
{
    fs::path const path = dir / "missing" / "w.wav";
    std::string const refused = "Audio w: cannot open WAV " + path.string() + ": No such file or directory\n";
    StderrTap tap;
    {
        Output output(wav_channel(path));
        ASSERT_TRUE(tap.wait_for(refused, 10s)) << tap.text();
        for (int block = 0; block < 5; ++block)
            output.offer(std::vector<float>(800, 0.5f));
        EXPECT_EQ(output.dropped_samples(), 4000u);
        EXPECT_EQ(output.queued_samples(), 0u);
    }
    std::string const drops = "Audio w: dropped 4000 output samples (the WAV file could not be opened)\n";
    ASSERT_TRUE(tap.wait_for(drops, 10s)) << tap.text();
    EXPECT_EQ(tap.text(), refused + drops);
}

TEST_F(OutputTest, FailedWavWriteSaysWhyAndKeepsAValidHeader)
{
    fs::path const path = dir / "full.wav";
    rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 44 + 3000;  // like a disk that fills up after 1500 samples
    auto const previous = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    StderrTap tap;
    {
        Output output(wav_channel(path), replaying());
        for (int block = 0; block < 5; ++block)
            output.offer(std::vector<float>(800, 0.5f));
        EXPECT_TRUE(tap.wait_for("Audio w: WAV write failed: File too large\n", 10s));
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    ::signal(SIGXFSZ, previous);
    EXPECT_EQ(tap.count("WAV write failed"), 1u) << tap.text();
    // What the file did not take is lost for that reason, every sample of it.
    EXPECT_TRUE(tap.wait_for(
        "Audio w: dropped 2500 output samples (the WAV recording stopped after a write error)\n", 10s))
        << tap.text();
    WavFile const wav = read_wav(path);
    ASSERT_GE(wav.bytes.size(), 44u);
    EXPECT_EQ(wav.u32(40), wav.bytes.size() - 44) << "the header counts what the file holds";
    EXPECT_EQ(wav.u32(4), wav.bytes.size() - 8);
}

TEST_F(OutputTest, WavStopsAtTheLimitOfItsFormatWithAValidHeader)
{
    fs::path const path = dir / "long.wav";
    OutputSettings settings = replaying();
    settings.wav_limit_bytes = 1000;  // stands for the 4 GiB of a real file
    StderrTap tap;
    {
        Output output(wav_channel(path), settings);
        for (int block = 0; block < 3; ++block)
            output.offer(std::vector<float>(400, 0.5f));
        EXPECT_TRUE(tap.wait_for("Audio w: WAV file reached the 4 GiB limit of its format; recording stopped\n", 10s));
    }
    EXPECT_EQ(tap.count("recording stopped\n"), 1u) << tap.text();
    EXPECT_TRUE(tap.wait_for(
        "Audio w: dropped 700 output samples (the WAV recording stopped at the 4 GiB limit of its format)\n", 10s))
        << tap.text();
    WavFile const wav = read_wav(path);
    ASSERT_EQ(wav.bytes.size(), 1044u);
    EXPECT_EQ(wav.u32(40), 1000u);
    EXPECT_EQ(wav.u32(4), 1036u);
}

TEST_F(OutputTest, ReplayKeepsEveryBlockWhileLiveReceptionDropsWhatDoesNotFit)
{
    fs::path const path = dir / "replay.wav";
    {
        Output output(wav_channel(path), replaying());
        for (int block = 0; block < 200; ++block)
            output.offer(std::vector<float>(1000, 0.1f));
        EXPECT_EQ(output.dropped_samples(), 0u);
    }
    EXPECT_EQ(read_wav(path).samples(), 200000u);
}

// The frame thread only tries the queue's lock. Another thread that takes it again and again
// (as the delivery thread does for a moment every 2 ms) must not cost audio: a block that finds
// the lock busy goes in with the next one, and the recording has every sample.
TEST_F(OutputTest, BlockThatFindsTheQueueBusyGoesInWithTheNext)
{
    fs::path const path = dir / "busy.wav";
    std::size_t const blocks = 4000;
    std::size_t const length = 8;
    StderrTap tap;
    {
        Output output(wav_channel(path));
        std::atomic<bool> done {false};
        std::jthread busy([&] {
            while (!done.load())
                static_cast<void>(output.queued_samples());
        });
        for (std::size_t block = 0; block + 1 < blocks; ++block) {
            output.offer(std::vector<float>(length, 0.5f));
            while (output.queued_samples() > 2000) {
            }
        }
        done.store(true);
        busy.join();
        output.offer(std::vector<float>(length, 0.5f));
    }
    WavFile const wav = read_wav(path);
    EXPECT_EQ(wav.samples(), blocks * length);
    EXPECT_EQ(tap.text(), "");
}

// ---------------------------------------------------------------------------------------------
// The queue, seen through an audio socket nobody listens on: nothing is ever taken out.

TEST_F(OutputTest, QueueHoldsHalfASecondAndCountsWhatGaveWay)
{
    StderrTap tap;
    {
        Output output(socket_channel(dir / "nobody", 8000));
        output.offer(std::vector<float>(3000, 0.1f));
        EXPECT_EQ(output.queued_samples(), 3000u);
        output.offer(std::vector<float>(3000, 0.1f));  // the older block gives way
        EXPECT_EQ(output.queued_samples(), 3000u);
        EXPECT_EQ(output.dropped_samples(), 3000u);
        output.offer(std::vector<float>(5000, 0.1f));  // longer than the queue: its newest 4000
        EXPECT_EQ(output.queued_samples(), 4000u);
        EXPECT_EQ(output.dropped_samples(), 3000u + 3000u + 1000u);
        output.reset();  // a discontinuity: discarded, not counted
        EXPECT_EQ(output.queued_samples(), 0u);
        EXPECT_EQ(output.dropped_samples(), 7000u);
    }
    EXPECT_TRUE(tap.wait_for("Audio s: dropped 7000 output samples (no listener on the audio socket)\n", 10s))
        << tap.text();
}

// ---------------------------------------------------------------------------------------------
// Audio sockets

class Listener {
public:
    explicit Listener(fs::path const& path) : path_(path), fd_(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        if (::bind(fd_.get(), reinterpret_cast<sockaddr const*>(&address), sizeof(address)) != 0
            || ::listen(fd_.get(), 4) != 0)
            throw std::runtime_error("listener failed");
    }
    ~Listener() { ::unlink(path_.c_str()); }

    // The next connection, within the timeout; -1 when none came.
    int accept(std::chrono::milliseconds timeout)
    {
        pollfd entry {fd_.get(), POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0)
            return -1;
        return ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    }

private:
    fs::path path_;
    UniqueFd fd_;
};

// One packet, or an empty vector after the timeout.
std::vector<float> receive_packet(int fd, std::chrono::milliseconds timeout)
{
    pollfd entry {fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0)
        return {};
    std::vector<float> packet(65536);
    ssize_t const n = ::recv(fd, packet.data(), packet.size() * sizeof(float), 0);
    packet.resize(n > 0 ? static_cast<std::size_t>(n) / sizeof(float) : 0);
    return packet;
}

TEST_F(OutputTest, SocketPacketsHoldAFortiethOfASecond)
{
    fs::path const path = dir / "listener";
    Listener listener(path);
    StderrTap tap;
    Output output(socket_channel(path, 48000));
    UniqueFd connection(listener.accept(10s));
    ASSERT_GE(connection.get(), 0);
    EXPECT_TRUE(tap.wait_for("Audio s: ready; socket=" + path.string() + "\n", 10s));
    std::vector<float> block(5000);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<float>(i) / 5000.0f;
    block[7] = std::numeric_limits<float>::quiet_NaN();
    output.offer(std::vector<float>(block));
    std::vector<std::size_t> sizes;
    std::vector<float> received;
    while (received.size() < block.size()) {
        std::vector<float> const packet = receive_packet(connection.get(), 10s);
        ASSERT_FALSE(packet.empty());
        sizes.push_back(packet.size() * sizeof(float));
        received.insert(received.end(), packet.begin(), packet.end());
    }
    // 1920 samples (7680 bytes) at 48000 Hz, and the rest of the block in a shorter one.
    EXPECT_EQ(sizes, (std::vector<std::size_t> {7680, 7680, 4640}));
    block[7] = 0.0f;
    EXPECT_EQ(received, block);
}

TEST_F(OutputTest, SocketIsWaitedForOnceAndReconnectedEverySecond)
{
    fs::path const path = dir / "later";
    StderrTap tap;
    Output output(socket_channel(path, 8000));
    EXPECT_TRUE(tap.wait_for("Audio s: waiting for socket " + path.string() + "\n", 10s));
    auto const appeared = std::chrono::steady_clock::now();
    {
        Listener listener(path);
        UniqueFd connection(listener.accept(10s));
        ASSERT_GE(connection.get(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - appeared, 3s) << "retried every second";
        EXPECT_TRUE(tap.wait_for("Audio s: ready; socket=" + path.string() + "\n", 10s));
        output.offer(std::vector<float>(100, 0.5f));
        EXPECT_EQ(receive_packet(connection.get(), 10s).size(), 100u);
    }
    // The listener went: the next send fails and a new listener is found again.
    Listener again(path);
    for (int i = 0; i < 50; ++i)
        output.offer(std::vector<float>(100, 0.5f));
    UniqueFd connection(again.accept(10s));
    ASSERT_GE(connection.get(), 0);
    EXPECT_TRUE(tap.wait_for("Audio s: ready; socket=", 10s, 2));
    EXPECT_EQ(tap.count("waiting for socket"), 1u) << "one line for the first outage:\n" << tap.text();
}

// A listener that takes each connection and drops it at once (another receiver's control
// socket does so) is one outage: one line, and "ready" again only for a connection that lasts.
TEST_F(OutputTest, ListenerThatDropsEveryConnectionIsReportedOnce)
{
    fs::path const path = dir / "dropper";
    Listener listener(path);
    StderrTap tap;
    Output output(socket_channel(path, 8000));
    for (int attempt = 0; attempt < 3; ++attempt) {
        UniqueFd connection(listener.accept(10s));
        ASSERT_GE(connection.get(), 0) << tap.text();
        connection.reset();
        output.offer(std::vector<float>(100, 0.5f));  // its send finds the connection gone
    }
    UniqueFd kept(listener.accept(10s));
    ASSERT_GE(kept.get(), 0) << tap.text();
    std::string const ready = "Audio s: ready; socket=" + path.string() + "\n";
    ASSERT_TRUE(tap.wait_for(ready, 10s, 2)) << tap.text();
    output.offer(std::vector<float>(100, 0.5f));
    EXPECT_EQ(receive_packet(kept.get(), 10s).size(), 100u);
    std::string const text = tap.text();
    std::string const dropped = "Audio s: socket " + path.string() + " drops the connection (";
    ASSERT_EQ(text.rfind(ready + dropped, 0), 0u) << text;
    EXPECT_EQ(tap.count(dropped), 1u) << text;
    EXPECT_EQ(text.substr(text.size() - ready.size()), ready) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;
}

// ---------------------------------------------------------------------------------------------
// What could not be queued is reported under its real cause: a destination that took blocks and
// fell behind, or the outage that kept it from taking any.

// 5000 samples at 8000 Hz into an empty queue of half a second: 1000 give way.
constexpr std::size_t overflowing = 5000;
std::string const overflow_dropped = "dropped 1000 output samples (";

TEST_F(OutputTest, DropsWithoutAListenerAreBlamedOnIt)
{
    fs::path const path = dir / "absent";
    StderrTap tap;
    {
        Output output(socket_channel(path, 8000));
        ASSERT_TRUE(tap.wait_for("Audio s: waiting for socket " + path.string() + "\n", 10s)) << tap.text();
        output.offer(std::vector<float>(overflowing, 0.1f));
    }
    EXPECT_TRUE(tap.wait_for("Audio s: " + overflow_dropped + "no listener on the audio socket)\n", 10s)) << tap.text();
    EXPECT_EQ(tap.count("output samples"), 1u) << tap.text();
}

TEST_F(OutputTest, DropsAfterTheListenerDroppedTheConnectionAreBlamedOnIt)
{
    fs::path const path = dir / "dropper";
    Listener listener(path);
    StderrTap tap;
    {
        Output output(socket_channel(path, 8000));
        UniqueFd connection(listener.accept(10s));
        ASSERT_GE(connection.get(), 0) << tap.text();
        connection.reset();
        output.offer(std::vector<float>(100, 0.5f));  // its send finds the connection gone
        ASSERT_TRUE(tap.wait_for("Audio s: socket " + path.string() + " drops the connection (", 10s)) << tap.text();
        output.offer(std::vector<float>(overflowing, 0.1f));  // before the next attempt, a second on
    }
    EXPECT_TRUE(tap.wait_for(
        "Audio s: " + overflow_dropped + "the audio socket's listener dropped the connection)\n", 10s))
        << tap.text();
    EXPECT_EQ(tap.count("output samples"), 1u) << tap.text();
}

TEST_F(OutputTest, DropsWhileTheAudioServerIsAwayAreBlamedOnIt)
{
    char const* server = std::getenv("PULSE_SERVER");
    std::string const saved_server = server != nullptr ? server : "";
    ::setenv("PULSE_SERVER", ("unix:" + (dir / "no-server").string()).c_str(), 1);
    StderrTap tap;
    {
        AudioChannel pulse;
        pulse.id = "voice";
        pulse.frequency = 7074000;
        pulse.audio_rate = 8000;
        Output output(pulse);
        ASSERT_TRUE(tap.wait_for("; retrying\n", 10s)) << tap.text();
        output.offer(std::vector<float>(overflowing, 0.1f));
    }
    if (server != nullptr)
        ::setenv("PULSE_SERVER", saved_server.c_str(), 1);
    else
        ::unsetenv("PULSE_SERVER");
    EXPECT_TRUE(tap.wait_for("Audio voice: " + overflow_dropped + "no connection to the audio server)\n", 10s))
        << tap.text();
    EXPECT_EQ(tap.count("output samples"), 1u) << tap.text();
}

// A listener that is connected but reads nothing: the destination takes blocks until the
// socket is full, and what then gives way fell behind.
TEST_F(OutputTest, DropsOfAConnectedListenerThatDoesNotReadFellBehind)
{
    fs::path const path = dir / "slow";
    Listener listener(path);
    StderrTap tap;
    std::uint64_t dropped = 0;
    {
        Output output(socket_channel(path, 8000));
        UniqueFd connection(listener.accept(10s));
        ASSERT_GE(connection.get(), 0) << tap.text();
        output.offer(std::vector<float>(100, 0.5f));
        ASSERT_EQ(receive_packet(connection.get(), 10s).size(), 100u);  // delivering
        while (output.dropped_samples() == 0)
            output.offer(std::vector<float>(4000, 0.1f));
        dropped = output.dropped_samples();
    }
    EXPECT_TRUE(tap.wait_for(
        "Audio s: dropped " + std::to_string(dropped) + " output samples (audio delivery fell behind)\n", 10s))
        << tap.text();
    EXPECT_EQ(tap.count("output samples"), 1u) << tap.text();
}

// ---------------------------------------------------------------------------------------------
// The identifier lock of PulseAudio channels

TEST_F(OutputTest, OneIdentifierPerUserForPulseAudioChannels)
{
    // No server: the channels only take their locks and retry their connection quietly.
    char const* server = std::getenv("PULSE_SERVER");
    std::string const saved_server = server != nullptr ? server : "";
    ::setenv("PULSE_SERVER", ("unix:" + (dir / "no-server").string()).c_str(), 1);
    StderrTap tap;
    {
        AudioChannel pulse;
        pulse.id = "voice";
        pulse.frequency = 7074000;
        Output first(pulse);
        fs::path const lock = dir / "runtime" / "norvane" / (audio_endpoint_name("voice") + ".lock");
        EXPECT_TRUE(fs::is_regular_file(lock));
        EXPECT_EQ(fs::status(lock.parent_path()).permissions(), fs::perms(0700));
        try {
            Output second(pulse);
            FAIL() << "two channels share one endpoint";
        } catch (std::runtime_error const& error) {
            EXPECT_STREQ(error.what(), "Audio receiver ID is already in use");
        }
        // WAV and socket channels have no endpoint and no lock.
        AudioChannel file = wav_channel(dir / "voice.wav");
        file.id = "voice";
        Output recording(file);
        EXPECT_TRUE(tap.wait_for("Audio voice: Audio server unavailable; retrying\n", 10s)
                    || tap.wait_for("Audio voice: Awaiting audio server; retrying\n", 1s))
            << tap.text();
    }
    if (server != nullptr)
        ::setenv("PULSE_SERVER", saved_server.c_str(), 1);
    else
        ::unsetenv("PULSE_SERVER");
}

TEST_F(OutputTest, LockFilePlantedAsALinkIsRefused)
{
    fs::create_directories(dir / "runtime" / "norvane");
    fs::permissions(dir / "runtime" / "norvane", fs::perms(0700));
    fs::create_symlink(dir / "elsewhere", dir / "runtime" / "norvane" / (audio_endpoint_name("voice") + ".lock"));
    AudioChannel pulse;
    pulse.id = "voice";
    pulse.frequency = 7074000;
    EXPECT_THROW(Output output(pulse), std::runtime_error);
    EXPECT_FALSE(fs::exists(dir / "elsewhere"));
}

TEST_F(OutputTest, LockDirectoryOpenToOthersIsRefused)
{
    fs::create_directories(dir / "runtime" / "norvane");
    fs::permissions(dir / "runtime" / "norvane", fs::perms(0777));
    try {
        audio_lock_directory();
        FAIL() << "a shared lock directory lets others block a channel";
    } catch (std::runtime_error const& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Audio lock directory must be private to this user: " + (dir / "runtime" / "norvane").string());
    }
}

TEST(OutputRateTrim, KeepsTheQueueNearATenthOfASecond)
{
    EXPECT_DOUBLE_EQ(output_rate_trim(0.1), 1.0);
    EXPECT_DOUBLE_EQ(output_rate_trim(0.15), 1.00005);
    EXPECT_DOUBLE_EQ(output_rate_trim(0.3), 1.0002);
    EXPECT_DOUBLE_EQ(output_rate_trim(2.0), 1.0002);
    EXPECT_DOUBLE_EQ(output_rate_trim(0.0), 0.9999);
}

// A second into a stream, the trim's 200 parts per million take 12 ms back per minute (576
// samples at 48 kHz): a backlog beyond that goes at once, down to the 100 ms (4800 samples) the
// trim aims for; a smaller one is left to the trim.
TEST(OutputStartupExcess, CutsWhatTheTrimCannotTakeBackWithinAMinute)
{
    struct Case {
        std::uint64_t queued;
        std::uint32_t rate;
        std::uint64_t excess;
    };
    for (Case const c : {Case {0, 48000, 0}, Case {4800, 48000, 0}, Case {4800 + 576, 48000, 0},
                         Case {4800 + 577, 48000, 4800 + 577 - 4800}, Case {24000, 48000, 19200},
                         Case {4000, 8000, 3200}, Case {800 + 96, 8000, 0}, Case {800 + 97, 8000, 97}})
        EXPECT_EQ(output_startup_excess(c.queued, c.rate), c.excess) << c.queued << " at " << c.rate;
}

}  // namespace
