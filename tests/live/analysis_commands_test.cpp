// ANALYZE ADD, SET, REMOVE and STATUS through the live engine's command dispatch, the channel
// limit shared with audio channels, and analysis channels across a retune.

#include "live/live_audio.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <thread>
#include <atomic>
#include <string>
#include <vector>

#include "core/capture_fit_error.hpp"
#include "decode/channelizer.hpp"
#include "sig/known_channels.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

constexpr double rate = 64000;
constexpr double centre = 7100000;
std::string const header = "OK capture=7100000.000000,span=57600.000000";

std::string reply_to(LiveAudio& live, std::string const& request)
{
    try {
        return live.handle_command(request);
    } catch (std::exception const& error) {
        return std::string("ERROR ") + error.what();
    }
}

AnalysisSettings replay()
{
    AnalysisSettings settings;
    settings.iq_replay = true;
    settings.replay_origin = 1765000000.0;
    return settings;
}

std::unique_ptr<LiveAudio> make_live(AnalysisSettings settings = replay())
{
    return std::make_unique<LiveAudio>(rate, centre, rate, "", std::vector<AudioChannel> {}, LiveAudio::RadioHook {},
                                       false, std::move(settings), nullptr);
}

// One second of a tone through a channelizer into the engine.
void feed(LiveAudio& live, double rf_hz, double seconds = 0.5)
{
    auto const count = static_cast<std::size_t>(seconds * rate);
    std::vector<std::complex<float>> iq(count);
    for (std::size_t n = 0; n < count; ++n) {
        double const phase = 2 * std::numbers::pi * std::fmod((rf_hz - centre) * static_cast<double>(n) / rate, 1.0);
        iq[n] = {0.05f * static_cast<float>(std::cos(phase)), 0.05f * static_cast<float>(std::sin(phase))};
    }
    Channelizer::Impl channelizer(rate, centre, 2500, 1.0, {}, nullptr);
    channelizer.set_spectrum_hook([&live](SpectrumFrame const& frame) { live.process(frame); });
    Channelizer::Impl::Rows rows;
    channelizer.push_iq(iq.data(), iq.size(), rows);
}

std::vector<std::string> track_lines(std::string const& status)
{
    std::vector<std::string> result;
    for (std::string const& line : lines_of(status)) {
        if (line.rfind("track ", 0) == 0)
            result.push_back(line);
    }
    return result;
}

// ---------------------------------------------------------------------------------------------
// Requests and replies.

struct Request {
    std::string name;
    std::vector<std::string> before;  // each answered "OK"
    std::string request;
    std::string reply;
};

std::ostream& operator<<(std::ostream& out, Request const& r) { return out << r.name; }

class AnalyzeRequests : public testing::TestWithParam<Request> {};

TEST_P(AnalyzeRequests, Reply)
{
    Request const& r = GetParam();
    testing::internal::CaptureStderr();
    auto live = make_live();
    for (std::string const& before : r.before)
        ASSERT_EQ(reply_to(*live, before), "OK") << before;
    EXPECT_EQ(reply_to(*live, r.request), r.reply);
    testing::internal::GetCapturedStderr();
}

std::string const a = "ANALYZE ADD id=a,frequency=7100500,modes=psk31";
std::string const a_line =
    "id=a,frequency=7100500,modulation=USB,bandwidth=3000,modes=psk31,rtty=auto,wefax=auto,report=on,enabled=true";
std::string const expected = "ERROR Expected ANALYZE ADD, SET, REMOVE or STATUS";
std::string const outside = "ERROR Analysis passband is outside the running capture; receiver restart required";

INSTANTIATE_TEST_SUITE_P(
    Commands, AnalyzeRequests,
    testing::Values(
        Request {"status_without_channels", {}, "ANALYZE STATUS", header},
        Request {"status_lists_channels_in_order",
                 {a, "ANALYZE ADD id=b,frequency=7090000,modulation=LSB,modes=auto,enabled=false"},
                 "ANALYZE STATUS",
                 header + "\n" + a_line
                     + "\nid=b,frequency=7090000,modulation=LSB,bandwidth=3000,modes=auto,rtty=auto,wefax=auto,"
                       "report=on,enabled=false"},
        Request {"status_with_more_text", {}, "ANALYZE STATUS ", expected},
        Request {"remove_without_blank", {}, "ANALYZE REMOVE", expected},
        Request {"lower_case", {}, "ANALYZE status", expected},
        Request {"remove_absent_id", {}, "ANALYZE REMOVE zz", "OK"},
        Request {"remove_invalid_id", {}, "ANALYZE REMOVE a.b", "ERROR Invalid analysis ID"},
        Request {"removed_is_gone", {a, "ANALYZE REMOVE a"}, "ANALYZE STATUS", header},
        Request {"add_duplicate", {a}, a, "ERROR Analysis ID already exists; remove it before replacing it"},
        Request {"add_outside", {}, "ANALYZE ADD id=far,frequency=7140000,modes=cw", outside},
        Request {"add_disabled_outside", {}, "ANALYZE ADD id=far,frequency=7140000,enabled=false", "OK"},
        Request {"add_malformed", {}, "ANALYZE ADD id=x", "ERROR Analysis channel frequency is required"},
        Request {"add_auto", {}, "ANALYZE ADD id=auto,frequency=7100500,modes=auto", "OK"},
        Request {"add_every_fixed_mode", {}, "ANALYZE ADD id=all,frequency=7100500,modes=psk31+qpsk31+psk63+rtty+cw",
                 "OK"},
        Request {"set_absent", {}, "ANALYZE SET id=a,frequency=7100500", "ERROR Analysis channel does not exist"},
        Request {"set_malformed_before_lookup", {}, "ANALYZE SET id=a", "ERROR Analysis channel frequency is required"},
        Request {"set_outside", {a}, "ANALYZE SET id=a,frequency=7140000,modes=psk31", outside},
        Request {"set_keeps_position",
                 {a, "ANALYZE ADD id=b,frequency=7090000,modes=cw", "ANALYZE SET id=a,frequency=7101000,modes=cw"},
                 "ANALYZE STATUS",
                 header
                     + "\nid=a,frequency=7101000,modulation=USB,bandwidth=3000,modes=cw,rtty=auto,wefax=auto,"
                       "report=on,enabled=true"
                     + "\nid=b,frequency=7090000,modulation=USB,bandwidth=3000,modes=cw,rtty=auto,wefax=auto,"
                       "report=on,enabled=true"},
        Request {"audio_status_leaves_them_out", {a}, "STATUS", header},
        Request {"clear_leaves_them", {a, "CLEAR"}, "ANALYZE STATUS", header + "\n" + a_line}),
    [](testing::TestParamInfo<Request> const& info) { return info.param.name; });

TEST(AnalyzeLimits, SixteenAudioAndAnalysisChannelsKnownWindowsExempt)
{
    TempDir dir;
    testing::internal::CaptureStderr();
    auto live = make_live();
    for (int i = 0; i < 12; ++i)
        ASSERT_EQ(reply_to(*live, "ADD id=w" + std::to_string(i) + ",frequency=7095000,wav="
                                      + (dir / ("w" + std::to_string(i) + ".wav")).string()),
                  "OK");
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(reply_to(*live, "ANALYZE ADD id=a" + std::to_string(i) + ",frequency=7100500,modes=cw"), "OK");
    std::string const limit = "ERROR At most 16 audio and analysis channels per SDR";
    EXPECT_EQ(reply_to(*live, "ANALYZE ADD id=a4,frequency=7100500,modes=cw"), limit);
    EXPECT_EQ(reply_to(*live, "ANALYZE ADD id=a5,frequency=7100500,modes=cw,enabled=false"), limit)
        << "a disabled channel counts too";
    EXPECT_EQ(reply_to(*live, "ADD id=w12,frequency=7095000,wav=" + (dir / "w12.wav").string()), limit);
    // A known-channel window does not count, and does not make room either.
    EXPECT_EQ(reply_to(*live, "ANALYZE ADD id=w1aw40,frequency=7093500,bandwidth=5000"), "OK");
    EXPECT_EQ(reply_to(*live, "ANALYZE ADD id=a4,frequency=7100500,modes=cw"), limit);
    // SET is never refused for the count.
    EXPECT_EQ(reply_to(*live, "ANALYZE SET id=a0,frequency=7101500,modes=cw"), "OK");
    EXPECT_EQ(reply_to(*live, "ANALYZE REMOVE a0"), "OK");
    EXPECT_EQ(reply_to(*live, "ANALYZE ADD id=a4,frequency=7100500,modes=cw"), "OK");
    testing::internal::GetCapturedStderr();
}

// ---------------------------------------------------------------------------------------------
// SET and the analyzer: STATUS lists a channel's tracks only once its analyzer has processed
// audio, so the track lines show whether the analyzer went on or was built anew.

TEST(AnalyzeSet, KeepsTheAnalyzerOnlyWhenNothingChanges)
{
    testing::internal::CaptureStderr();
    auto live = make_live();
    ASSERT_EQ(reply_to(*live, "ANALYZE ADD id=a,frequency=7100500,modes=psk31+cw"), "OK");
    EXPECT_TRUE(track_lines(reply_to(*live, "ANALYZE STATUS")).empty()) << "nothing processed yet";
    feed(*live, 7101500);
    std::vector<std::string> const tracks = track_lines(reply_to(*live, "ANALYZE STATUS"));
    ASSERT_EQ(tracks.size(), 2u);
    EXPECT_EQ(tracks[0].rfind("track id=a mode=PSK31 hz=7102000 bw=3000 snr=", 0), 0u) << tracks[0];
    EXPECT_EQ(tracks[1].rfind("track id=a mode=CW hz=", 0), 0u) << tracks[1];

    ASSERT_EQ(reply_to(*live, "ANALYZE SET id=a,frequency=7100500,modes=psk31+cw"), "OK");
    EXPECT_EQ(track_lines(reply_to(*live, "ANALYZE STATUS")).size(), 2u) << "same settings: same analyzer";

    ASSERT_EQ(reply_to(*live, "ANALYZE SET id=a,frequency=7100500,modes=psk31+cw,enabled=false"), "OK");
    std::string const off = reply_to(*live, "ANALYZE STATUS");
    EXPECT_TRUE(track_lines(off).empty());
    EXPECT_NE(off.find("enabled=false"), std::string::npos);
    feed(*live, 7101500);
    EXPECT_TRUE(track_lines(reply_to(*live, "ANALYZE STATUS")).empty()) << "a disabled channel processes nothing";

    ASSERT_EQ(reply_to(*live, "ANALYZE SET id=a,frequency=7100500,modes=psk31+cw"), "OK");
    EXPECT_TRUE(track_lines(reply_to(*live, "ANALYZE STATUS")).empty()) << "enabled again: a new analyzer";
    feed(*live, 7101500);
    EXPECT_EQ(track_lines(reply_to(*live, "ANALYZE STATUS")).size(), 2u);

    ASSERT_EQ(reply_to(*live, "ANALYZE SET id=a,frequency=7100500,modes=psk31+cw,report=off"), "OK");
    EXPECT_TRUE(track_lines(reply_to(*live, "ANALYZE STATUS")).empty()) << "changed settings: a new analyzer";
    testing::internal::GetCapturedStderr();
}

// Many tracks: the track lines stop before the reply passes 15000 bytes and a "..." line says
// so; every channel line is there and no line is cut.
TEST(AnalyzeStatus, ManyTracksEndWithAnEllipsisLine)
{
    testing::internal::CaptureStderr();
    auto live = make_live();
    std::string const olivia = "olivia=8/250@300+8/250@600+8/250@900+8/250@1200+8/250@1500+8/250@1800+8/250@2100"
                               "+8/250@2400";
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(reply_to(*live, "ANALYZE ADD id=channel" + std::to_string(i)
                                      + ",frequency=7100500,modes=psk31+psk63+rtty+cw," + olivia),
                  "OK");
    feed(*live, 7101500, 0.1);
    std::string const status = reply_to(*live, "ANALYZE STATUS");
    testing::internal::GetCapturedStderr();
    EXPECT_LE(status.size(), 15000u + 4u);
    std::vector<std::string> const all = lines_of(status);
    ASSERT_GT(all.size(), 17u);
    EXPECT_EQ(all.back(), "...");
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(all[1 + static_cast<std::size_t>(i)].rfind("id=channel" + std::to_string(i) + ",", 0), 0u);
    std::vector<std::string> const tracks = track_lines(status);
    EXPECT_GT(tracks.size(), 100u);
    EXPECT_LT(tracks.size(), 16u * 12u);
    for (std::string const& line : tracks)
        EXPECT_TRUE(line.find(" text=\"") != std::string::npos && line.back() == '"') << line;
    EXPECT_EQ(tracks.front().rfind("track id=channel0 mode=PSK31 hz=7102000 ", 0), 0u) << tracks.front();
}

// ---------------------------------------------------------------------------------------------
// Live frames on the ChannelTeam while the control side changes the analysis channels: each
// analyzer runs its own worker. Under ThreadSanitizer this is where shared state shows.

TEST(AnalysisFrames, CommandsWhileFramesRunOnTheTeam)
{
    TempDir dir;
    testing::internal::CaptureStderr();
    auto live = make_live(AnalysisSettings {});
    ASSERT_EQ(reply_to(*live, "ADD id=w,frequency=7095000,wav=" + (dir / "w.wav").string()), "OK");
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(reply_to(*live, "ANALYZE ADD id=a" + std::to_string(i) + ",frequency=710" + std::to_string(i)
                                      + "000,modes=psk31+cw"),
                  "OK");
    std::atomic<bool> done {false};
    std::vector<std::string> failures;
    std::thread client([&] {
        std::vector<std::string> const requests = {
            "ANALYZE ADD id=x,frequency=7105000,modes=auto", "ANALYZE STATUS",
            "ANALYZE SET id=a1,frequency=7101500,modes=psk31+cw", "ANALYZE SET id=x,frequency=7105000,enabled=false",
            "ANALYZE SET id=a1,frequency=7101000,modes=psk31+cw", "ANALYZE REMOVE x"};
        for (std::size_t round = 0; !done.load(); ++round) {
            std::string const& request = requests[round % requests.size()];
            std::string const reply = reply_to(*live, request);
            if (reply.rfind("OK", 0) != 0)
                failures.push_back(request + " -> " + reply);
        }
    });
    for (int i = 0; i < 3; ++i) {
        feed(*live, 7101500, 0.25);
        live->reset_audio();
    }
    done = true;
    client.join();
    std::string const err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(failures.empty()) << failures.front();
    EXPECT_GE(live->channel_team_workers(), 1u);
    EXPECT_EQ(err.find("disabled"), std::string::npos) << err;
}

// ---------------------------------------------------------------------------------------------
// Retune: a user's channel goes along or refuses the retune, whatever its identifier; the
// known-channel windows are chosen anew for the new capture.

std::vector<std::string> channel_ids(LiveAudio& live)
{
    std::vector<std::string> ids;
    for (std::string const& line : lines_of(reply_to(live, "ANALYZE STATUS"))) {
        if (line.rfind("id=", 0) == 0)
            ids.push_back(line.substr(3, line.find(',') - 3));
    }
    return ids;
}

std::string channel_line(LiveAudio& live, std::string const& id)
{
    for (std::string const& line : lines_of(reply_to(live, "ANALYZE STATUS"))) {
        if (line.rfind("id=" + id + ",", 0) == 0)
            return line;
    }
    return {};
}

// Start-up channels as the option layer hands them over with --known-channels: the user's
// channels, then the windows that fit and whose identifier the user has not taken.
AnalysisSettings known_run(std::vector<std::string> const& user_specs, bool report)
{
    AnalysisSettings settings = replay();
    settings.known_channels = true;
    settings.known_channels_report = report;
    for (std::string const& spec : user_specs)
        settings.channels.push_back(parse_analysis_channel(spec));
    for (AnalysisChannel const& window : known_channel_windows(centre, rate, report)) {
        bool taken = false;
        for (AnalysisChannel const& channel : settings.channels)
            taken = taken || channel.id == window.id;
        if (!taken)
            settings.channels.push_back(window);
    }
    return settings;
}

TEST(AnalysisRetune, UserChannelWithAKnownIdentifierStaysTheUsers)
{
    testing::internal::CaptureStderr();
    // w1aw40 is a window of the table (7093500 Hz, 5000 Hz wide); the user's channel of that name
    // watches something else.
    std::string const user = "id=w1aw40,frequency=7088000,bandwidth=2000,modes=cw";
    auto live = make_live(known_run({user}, false));
    auto const named = [&](std::string const& id) {
        std::vector<std::string> const ids = channel_ids(*live);
        return std::count(ids.begin(), ids.end(), id);
    };
    ASSERT_EQ(channel_ids(*live).front(), "w1aw40");
    ASSERT_EQ(named("w1aw40"), 1);
    ASSERT_EQ(named("jtty40"), 1) << "the other windows in range are watched";
    std::string const user_line = channel_line(*live, "w1aw40");
    EXPECT_NE(user_line.find("frequency=7088000,"), std::string::npos) << user_line;

    // Still in range, and the window of the same name fits too: the user's channel stays as it is.
    live->prepare_retune(7095000)();
    EXPECT_EQ(channel_line(*live, "w1aw40"), user_line);
    EXPECT_EQ(named("w1aw40"), 1);

    // Where the window no longer fits, the user's channel does not vanish with it.
    live->prepare_retune(7070000)();
    EXPECT_EQ(channel_line(*live, "w1aw40"), user_line);

    // Where the user's channel does not fit, the retune is refused and nothing changes.
    std::vector<std::string> const before = channel_ids(*live);
    EXPECT_THROW(live->check_retune(7130000), CaptureFitError);
    EXPECT_THROW(live->prepare_retune(7130000), CaptureFitError);
    EXPECT_EQ(reply_to(*live, "ANALYZE STATUS").rfind("OK capture=7070000.000000,", 0), 0u);
    EXPECT_EQ(channel_ids(*live), before);

    // Once the user removes it, the window of that name comes back with the next retune.
    ASSERT_EQ(reply_to(*live, "ANALYZE REMOVE w1aw40"), "OK");
    live->prepare_retune(7095000)();
    EXPECT_NE(channel_line(*live, "w1aw40").find("frequency=7093500,"), std::string::npos);
    testing::internal::GetCapturedStderr();
}

TEST(AnalysisRetune, UserChannelsAddedLaterGoAlongAndRefuseAlike)
{
    testing::internal::CaptureStderr();
    auto live = make_live(known_run({}, false));
    ASSERT_EQ(reply_to(*live, "ANALYZE ADD id=jtty40,frequency=7105000,modes=cw"), "ERROR Analysis ID already exists; "
                                                                                   "remove it before replacing it");
    ASSERT_EQ(reply_to(*live, "ANALYZE ADD id=mine,frequency=7110000,modes=cw"), "OK");
    ASSERT_EQ(reply_to(*live, "ANALYZE ADD id=off,frequency=7300000,modes=cw,enabled=false"), "OK");
    auto const mine = [&] {
        std::vector<std::string> const tracks = track_lines(reply_to(*live, "ANALYZE STATUS"));
        return std::count_if(tracks.begin(), tracks.end(),
                             [](std::string const& line) { return line.rfind("track id=mine ", 0) == 0; });
    };
    feed(*live, 7111000);
    ASSERT_EQ(mine(), 1);

    // The windows leave with the band; the user's channels go along, the analyzer with its
    // tracks included, and a disabled one needs no room.
    live->prepare_retune(7125000)();
    EXPECT_EQ(channel_ids(*live), (std::vector<std::string> {"mine", "off"}));
    EXPECT_EQ(mine(), 1) << "the analyzer carried over";

    EXPECT_THROW(live->prepare_retune(7200000), CaptureFitError);
    EXPECT_EQ(channel_ids(*live), (std::vector<std::string> {"mine", "off"}));
    testing::internal::GetCapturedStderr();
}

TEST(AnalysisRetune, KnownWindowsReportAsTheSwitchSays)
{
    testing::internal::CaptureStderr();
    for (bool const report : {false, true}) {
        auto live = make_live(known_run({}, report));
        live->prepare_retune(7075000)();  // jtty40 and psk40 fit here
        std::string const psk = channel_line(*live, "psk40");
        std::string const jtty = channel_line(*live, "jtty40");
        ASSERT_FALSE(psk.empty());
        ASSERT_FALSE(jtty.empty());
        EXPECT_NE(psk.find(report ? ",report=on," : ",report=off,"), std::string::npos) << psk;
        EXPECT_NE(jtty.find(",report=on,"), std::string::npos) << "JTTY windows always report: " << jtty;
    }
    testing::internal::GetCapturedStderr();
}

}  // namespace
