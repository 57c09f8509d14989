// Spot reporting and history through the whole program: norvane receives a generated recording
// live from an rtl_tcp stand-in (replayed IQ files are never published), the real jt9 and wsprd
// decode it, and the spots go to a PSK Reporter collector and a WSPRnet endpoint that this test
// runs on loopback.
//
// Nothing may leave the machine. The test moves itself, and so every program it starts, into
// a network namespace of its own in which only loopback exists, and into a mount namespace in
// which a private hosts file points the services' fixed host names where the test wants them.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/paced_iq_stream.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/rtl_tcp_server.hpp"
#include "testbed/lib/wsjt_recordings.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/form_server.hpp"
#include "tests/support/ipfix_reader.hpp"
#include "tests/support/private_network.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/sqlite_probe.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/udp_collector.hpp"
#include "tests/support/utc_stamp.hpp"

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::Not;

namespace {

// The host names norvane reaches the two services by.
constexpr char kCollectorHost[] = "report.pskreporter.info";
constexpr char kWsprnetHost[] = "wsprnet.org";
constexpr int kCollectorPort = 4739;
// An address with no route in the private namespace: a collector that cannot be reached.
constexpr char kNoRouteAddress[] = "192.0.2.1";

constexpr int kRateHz = 240000;  // the smallest rtl_tcp rate that divides into 12 kHz audio
constexpr char kCall[] = "W1AW";
constexpr char kGrid[] = "FN31";

// Why the test cannot run safely; empty once the namespaces are in place.
std::string isolation_failure = "not isolated";

std::string isolate()
{
    if (std::string failure = enter_private_network(); !failure.empty())
        return failure;
    auto const sources = host_lookup_sources();
    if (sources && (sources->empty() || sources->front() != "files"))
        return "/etc/nsswitch.conf does not look host names up in files first";

    // The names must be the ones the program uses, or redirecting them proves nothing.
    std::string const program = file_text(NORVANE_EXE);
    for (char const* host : {kCollectorHost, kWsprnetHost}) {
        if (program.find(host) == std::string::npos)
            return std::string("norvane does not name ") + host + "; the test cannot redirect it";
    }
    return "";
}

class PrivateNetwork : public testing::Environment {
public:
    void SetUp() override
    {
        isolation_failure = isolate();
        // A proxy in the environment must not carry curl's posts anywhere.
        ::setenv("no_proxy", "*", 1);
        ::setenv("NO_PROXY", "*", 1);
    }
};

testing::Environment* const private_network = testing::AddGlobalTestEnvironment(new PrivateNetwork);

// Points the two host names at the given addresses for as long as it lives.
PrivateHosts service_hosts(std::string const& collector_address, std::string const& wsprnet_address)
{
    return PrivateHosts({{kCollectorHost, collector_address}, {kWsprnetHost, wsprnet_address}});
}

#define SKIP_UNLESS_PRIVATE(hosts)                                                   \
    do {                                                                             \
        if (!isolation_failure.empty())                                              \
            GTEST_SKIP() << isolation_failure;                                       \
        if (!(hosts).failure().empty())                                              \
            GTEST_SKIP() << (hosts).failure();                                       \
    } while (false)

// A recording on the air: the stand-in sends it from the next UTC multiple of period_s on.
struct Transmission {
    std::vector<std::uint8_t> bytes;  // as the stand-in sends them
    double period_s = 0;
    double length_s = 0;
};

Transmission transmission(std::vector<testbed::IqSynthSignal> const& signals, double period_s, double length_s,
                          double snr_db)
{
    testbed::IqSynthConfig config;
    config.center_hz = 14080000;
    config.rate_hz = kRateHz;
    config.duration_s = length_s;
    config.add_noise = true;
    config.snr_db = snr_db;
    // The noise stays where it fills the 8-bit range without clipping whatever the SNR.
    config.gain_db = -32 + std::min(snr_db, 0.0);
    return {testbed::rtl_tcp_bytes(testbed::synthesize_iq(config, signals)), period_s, length_s};
}

// Runs norvane in decoder mode against a stand-in serving the transmission. It runs until the
// transmission has passed: the stand-in starts it at the first period boundary at least half a
// second after norvane connects; counting from three seconds ahead leaves room for start-up,
// and should the stand-in pick the boundary before, one more (empty) interval is decoded.
// linger_s: how long the run goes on after the transmission. WSPRnet uploads still queued when
// the run ends are dropped, so a WSPR run waits for wsprd and the uploads before it stops.
ProcessResult receive(Transmission const& on_air, std::vector<std::string> const& options, fs::path const& state,
                      double linger_s = 2.0)
{
    testbed::RtlTcpServerScript script;
    script.generator = testbed::paced_iq_generator({on_air.bytes, kRateHz, on_air.period_s});
    testbed::RtlTcpServer server(std::move(script));

    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    double const now_s = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
    double const boundary_s = std::ceil((now_s + 3.0) / on_air.period_s) * on_air.period_s;
    double const duration_s = boundary_s - now_s + on_air.length_s + linger_s;

    ProcessRun run;
    run.argv = {NORVANE_EXE, "--mode", "decoder", "--backend", "rtl-sdr", "--rtl-port", std::to_string(server.port()),
                "--sample-rate", std::to_string(kRateHz), "--center-frequency", "14.08M", "--decoder-timeout", "60",
                "--wspr-timeout", "110", "--duration", std::to_string(static_cast<int>(std::ceil(duration_s)))};
    run.argv.insert(run.argv.end(), options.begin(), options.end());
    run.env = environment_with({"XDG_STATE_HOME=" + state.string()});
    run.timeout_ms = static_cast<int>(duration_s * 1000) + 180000;
    return run_process(run);
}

// One ALL.TXT line: "yymmdd_hhmmss dial Rx MODE snr dt audio message".
struct AllTxtSpot {
    std::string utc;
    std::string mode;
    int snr = 0;
    double dt = 0;
    int audio_hz = 0;
    std::string message;
};

std::vector<AllTxtSpot> all_txt_spots(fs::path const& path)
{
    std::vector<AllTxtSpot> spots;
    for (std::string const& line : file_lines(path)) {
        std::istringstream fields(line);
        AllTxtSpot spot;
        std::string dial, rx;
        fields >> spot.utc >> dial >> rx >> spot.mode >> spot.snr >> spot.dt >> spot.audio_hz >> std::ws;
        std::getline(fields, spot.message);
        EXPECT_FALSE(fields.fail()) << line;
        spots.push_back(spot);
    }
    return spots;
}

// The decoder pool's statistics line, the last it prints.
std::string statistics_line(std::string const& err)
{
    std::string found;
    for (std::string const& line : lines_of(err)) {
        if (line.rfind("Decoder jobs: ", 0) == 0)
            found = line;
    }
    return found;
}

// The decoder pool's summary lines: interval start (UNIX seconds) to spot count.
std::map<std::int64_t, std::uint64_t> summary_counts(std::string const& err, std::string const& mode)
{
    static std::regex const summary(R"(^(\S+) (\d{6}_\d{6}) \S+ MHz: (\d+) spots; callsigns=.*$)");
    std::map<std::int64_t, std::uint64_t> counts;
    for (std::string const& line : lines_of(err)) {
        std::smatch m;
        if (std::regex_match(line, m, summary) && m[1] == mode)
            counts[utc_stamp_seconds(m[2])] = std::stoull(m[3]);
    }
    return counts;
}

// Every decoded interval of the run, and nothing else, has its count in the history: slot by
// slot, the counts the summary lines printed.
void expect_history_holds(fs::path const& db, std::string const& mode, int dial_hz, int period_s,
                          std::map<std::int64_t, std::uint64_t> const& decoded)
{
    std::map<std::int64_t, std::uint64_t> stored;
    for (MinutesRow const& row : SqliteProbe(db).rows()) {
        EXPECT_EQ(row.receiver, "");
        EXPECT_EQ(row.mode, mode);
        EXPECT_EQ(row.frequency, dial_hz);
        EXPECT_EQ(row.counts.size(), 64u);
        for (int slot = 0; slot < 8; ++slot) {
            if ((row.mask >> slot & 1) != 0)
                stored[row.minute * 60 + slot * period_s] = slot_count(row.counts, slot);
        }
    }
    EXPECT_EQ(stored, decoded);
}

std::string listing(std::vector<PskSpot> const& spots)
{
    std::ostringstream text;
    for (PskSpot const& s : spots)
        text << s.sender_call << ' ' << s.sender_grid << ' ' << s.frequency_hz << ' ' << s.snr << ' ' << s.mode << ' '
             << s.time << '\n';
    return text.str();
}

// The calls on the air and what PSK Reporter should hear of each.
struct OnAir {
    std::string message;
    double audio_hz;
    std::string call;
    std::string grid;
};

class PskReporterRun : public testing::Test {
protected:
    void SetUp() override
    {
        auto const cq = testbed::ft8sim_audio(tmp.path(), stations[0].message, stations[0].audio_hz);
        auto const dx = testbed::ft8sim_audio(tmp.path(), stations[1].message, stations[1].audio_hz);
        auto const reply = testbed::ft8sim_audio(tmp.path(), stations[2].message, stations[2].audio_hz);
        // Two stations in the first interval, one answering in the second.
        ft8_signals = {{cq, 14074000, 0}, {testbed::scaled_audio(dx, -3), 14074000, 0}, {reply, 14074000, 15}};
        on_air = transmission(ft8_signals, 15, 30, -6);
    }

    std::vector<std::string> options(fs::path const& all_txt) const
    {
        return {"--frequencies", "14.074M", "--all-txt", all_txt.string(), "--pskreporter", "--callsign",
                kCall, "--grid", kGrid, "--history-db", history.string()};
    }

    std::vector<OnAir> const stations = {{"CQ K1ABC FN42", 700, "K1ABC", "FN42"},
                                         {"CQ DX G4XYZ IO91", 2100, "G4XYZ", "IO91"},
                                         {"K1ABC W9XYZ EN37", 1400, "W9XYZ", "EN37"}};
    TempDir tmp;
    fs::path const state = tmp / "state";
    fs::path const history = tmp / "history.sqlite3";
    std::vector<testbed::IqSynthSignal> ft8_signals;
    Transmission on_air;
};

TEST_F(PskReporterRun, SpotsReachTheCollectorOnceAndEveryIntervalIsInTheHistory)
{
    PrivateHosts const hosts = service_hosts("127.0.0.1", "127.0.0.1");
    SKIP_UNLESS_PRIVATE(hosts);
    UdpCollector collector(kCollectorPort);

    std::time_t const began = std::time(nullptr);
    fs::path const all_txt = tmp / "ALL.TXT";
    ProcessResult const first = receive(on_air, options(all_txt), state);
    std::time_t const ended = std::time(nullptr);
    ASSERT_EQ(first.exit_status, 0) << first.err;
    EXPECT_THAT(first.err, Not(HasSubstr("Clipped")));
    EXPECT_THAT(first.err,
                HasSubstr("\nPSK Reporter enabled: receiver=W1AW, grid=FN31; batched live decoder reports\n"));

    // Every station decoded once; what PSK Reporter hears is built from these lines.
    std::vector<AllTxtSpot> const decoded = all_txt_spots(all_txt);
    ASSERT_EQ(decoded.size(), stations.size()) << file_text(all_txt) << first.err;
    std::vector<PskSpot> expected;
    for (OnAir const& station : stations) {
        auto const spot = std::find_if(decoded.begin(), decoded.end(),
                                       [&](AllTxtSpot const& s) { return s.message == station.message; });
        ASSERT_NE(spot, decoded.end()) << station.message << " missing from\n" << file_text(all_txt);
        EXPECT_EQ(spot->mode, "FT8");
        EXPECT_NEAR(spot->audio_hz, station.audio_hz, 3) << station.message;
        PskSpot psk;
        psk.sender_call = station.call;
        psk.sender_grid = station.grid;
        psk.frequency_hz = static_cast<std::uint32_t>(14074000 + spot->audio_hz);
        psk.time = static_cast<std::uint32_t>(utc_stamp_seconds(spot->utc));
        psk.snr = spot->snr;
        psk.mode = "FT8";
        expected.push_back(psk);
    }
    // The second interval follows the first.
    EXPECT_EQ(expected[2].time, expected[0].time + 15);
    EXPECT_EQ(expected[1].time, expected[0].time);

    // The run is far shorter than the reporting interval: one datagram, the flush at stop.
    auto const datagrams = collector.datagrams();
    ASSERT_EQ(datagrams.size(), 1u) << first.err;
    IpfixMessage const message = read_ipfix_message(datagrams[0]);
    EXPECT_EQ(message.version, 10);
    EXPECT_EQ(message.sequence, 0u);
    EXPECT_GE(message.export_time, static_cast<std::uint32_t>(began));
    EXPECT_LE(message.export_time, static_cast<std::uint32_t>(ended));
    EXPECT_EQ(message.receiver_call, kCall);
    EXPECT_EQ(message.receiver_grid, kGrid);
    EXPECT_EQ(message.software, "norvane 0.55.0");
    auto by_call = [](PskSpot const& a, PskSpot const& b) { return a.sender_call < b.sender_call; };
    std::vector<PskSpot> received = message.spots;
    std::sort(received.begin(), received.end(), by_call);
    std::sort(expected.begin(), expected.end(), by_call);
    EXPECT_EQ(listing(received), listing(expected));
    EXPECT_THAT(first.err, HasSubstr("\nPSK Reporter: sent 3 spots\n"));
    EXPECT_THAT(statistics_line(first.err),
                HasSubstr("; PSK Reporter: queued=0, sent=3, duplicates=0, dropped=0, failures=0, invalid=0, stale=0"));

    // The state the reporter keeps between runs: private files, the sent batch on record.
    fs::path const dedup = state / "norvane" / "psk-dedup.sqlite3";
    fs::path const reports = state / "norvane" / "psk-reports.sqlite3";
    for (fs::path const& file : {dedup, reports}) {
        struct stat info {};
        ASSERT_EQ(::stat(file.c_str(), &info), 0) << file;
        EXPECT_EQ(info.st_mode & 07777, 0600u) << file;
    }
    {
        SqliteProbe record(reports);
        EXPECT_EQ(record.integer("SELECT count(*) FROM psk_sends"), 1);
        EXPECT_EQ(record.integer("SELECT reports FROM psk_sends"), 3);
        EXPECT_EQ(record.integer("SELECT sent_at FROM psk_sends"), message.export_time);
    }

    auto decoded_intervals = summary_counts(first.err, "FT8");
    EXPECT_EQ(decoded_intervals.at(expected[0].time), 2u);
    EXPECT_EQ(decoded_intervals.at(expected[0].time + 15), 1u);
    expect_history_holds(history, "FT8", 14074000, 15, decoded_intervals);

    // The same stations again within the suppression window, from a new process: decoded and
    // counted, but nothing is sent twice.
    fs::path const all_txt_again = tmp / "ALL-again.TXT";
    ProcessResult const second = receive(on_air, options(all_txt_again), state);
    ASSERT_EQ(second.exit_status, 0) << second.err;
    EXPECT_EQ(all_txt_spots(all_txt_again).size(), stations.size()) << second.err;
    EXPECT_TRUE(collector.datagrams().empty());
    EXPECT_THAT(second.err, Not(HasSubstr("PSK Reporter: sent ")));
    EXPECT_THAT(statistics_line(second.err),
                HasSubstr("; PSK Reporter: queued=0, sent=0, duplicates=3, dropped=0, failures=0, invalid=0, stale=0"));
    EXPECT_EQ(SqliteProbe(reports).integer("SELECT count(*) FROM psk_sends"), 1);

    auto const decoded_again = summary_counts(second.err, "FT8");
    decoded_intervals.insert(decoded_again.begin(), decoded_again.end());
    expect_history_holds(history, "FT8", 14074000, 15, decoded_intervals);
}

TEST_F(PskReporterRun, AnUnreachableCollectorCostsTheReportsButNoDecodes)
{
    PrivateHosts const hosts = service_hosts(kNoRouteAddress, "127.0.0.1");
    SKIP_UNLESS_PRIVATE(hosts);
    fs::path const all_txt = tmp / "ALL.TXT";
    ProcessResult const result = receive(on_air, options(all_txt), state);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_THAT(result.err, Not(HasSubstr("Clipped")));

    std::vector<AllTxtSpot> const decoded = all_txt_spots(all_txt);
    std::set<std::string> messages;
    for (AllTxtSpot const& spot : decoded)
        messages.insert(spot.message);
    EXPECT_EQ(decoded.size(), stations.size()) << file_text(all_txt);
    EXPECT_EQ(messages, (std::set<std::string>{stations[0].message, stations[1].message, stations[2].message}));

    std::string const failure = "Cannot open PSK Reporter UDP socket; ALL.TXT capture continues";
    auto const err = lines_of(result.err);
    EXPECT_EQ(std::count(err.begin(), err.end(), failure), 1) << result.err;
    EXPECT_THAT(result.err, Not(HasSubstr("PSK Reporter: sent ")));
    // The batch was being flushed at stop, so what could not go out is counted as dropped.
    EXPECT_THAT(statistics_line(result.err),
                HasSubstr("; PSK Reporter: queued=0, sent=0, duplicates=0, dropped=3, failures=1, invalid=0, stale=0"));
    // Both transmitted intervals were decoded; an empty interval before them may be too, when the
    // stand-in starts the transmission one boundary later than the test counted on.
    auto const intervals = summary_counts(result.err, "FT8");
    EXPECT_EQ(std::count_if(intervals.begin(), intervals.end(), [](auto const& entry) { return entry.second > 0; }),
              2);
}

// The survey beside the decoders, sharing their reporter: a PSK31 call inside 20 m is spotted,
// one below the band edge is decoded but not reported, and the FT8 call of the last interval,
// which the decoder pool drains only after the survey has stopped, still goes out.
TEST_F(PskReporterRun, TheSurveySpotsOnlyInsideTheBandAndLeavesTheReporterToThePool)
{
    PrivateHosts const hosts = service_hosts("127.0.0.1", "127.0.0.1");
    SKIP_UNLESS_PRIVATE(hosts);
    UdpCollector collector(kCollectorPort);

    testbed::PskSignal psk;
    psk.carrier_hz = 1000.0;
    std::string inside_text;
    std::string outside_text;
    for (int i = 0; i < 3; ++i) {
        inside_text += "CQ CQ DE K2DEF K2DEF PSE K\n";
        outside_text += "CQ CQ DE VE3GHI VE3GHI PSE K\n";
    }
    // Well above the FT8 signals, as a PSK31 station stands out of the noise in its 31 Hz.
    std::vector<testbed::IqSynthSignal> signals = ft8_signals;
    signals.push_back({testbed::scaled_audio(testbed::modulate_psk_text(inside_text, psk), 10), 14070000, 0});
    signals.push_back({testbed::scaled_audio(testbed::modulate_psk_text(outside_text, psk), 10), 13990000, 0});
    Transmission const with_psk = transmission(signals, 15, 30, -6);

    fs::path const all_txt = tmp / "ALL.TXT";
    std::vector<std::string> arguments = options(all_txt);
    arguments.insert(arguments.end(), {"--survey", "--survey-journal", (tmp / "survey.jsonl").string()});
    // The run ends half a second after the transmission: the last interval is still queued or
    // being decoded when the survey stops.
    ProcessResult const result = receive(with_psk, arguments, state, 0.5);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_THAT(result.err, HasSubstr(", PSK Reporter spots on\n"));
    EXPECT_THAT(result.err, HasSubstr("VE3GHI")) << "the call below the band was not decoded";
    ASSERT_EQ(all_txt_spots(all_txt).size(), stations.size()) << file_text(all_txt) << result.err;

    std::map<std::string, PskSpot> sent;
    for (auto const& datagram : collector.datagrams()) {
        for (PskSpot const& spot : read_ipfix_message(datagram).spots)
            sent[spot.sender_call] = spot;
    }
    for (OnAir const& station : stations)
        EXPECT_EQ(sent.count(station.call), 1u) << station.call << " not sent\n" << result.err;
    ASSERT_EQ(sent.count("K2DEF"), 1u) << result.err;
    EXPECT_EQ(sent["K2DEF"].mode, "PSK31");
    EXPECT_NEAR(sent["K2DEF"].frequency_hz, 14071000.0, 50.0);
    EXPECT_EQ(sent.count("VE3GHI"), 0u);
    EXPECT_EQ(sent.size(), stations.size() + 1);

    // Whichever decoder finishes a line first has its spot sent, so the check above alone only
    // sometimes catches a call copied at a wrong frequency (a mirror image in the audio of the
    // FT8 station 3700 Hz above, say). Every survey line naming the call is at its frequency.
    for (std::string const& line : lines_of(result.err)) {
        if (line.rfind("SIG HAM ", 0) != 0 || line.find("K2DEF") == std::string::npos)
            continue;
        std::size_t const unit = line.find(" MHz: ");
        ASSERT_NE(unit, std::string::npos) << line;
        std::size_t const number = line.rfind(' ', unit - 1) + 1;
        EXPECT_NEAR(std::stod(line.substr(number, unit - number)), 14.071, 50e-6) << line;
    }
}

TEST(WsprnetRun, EveryDecodedSpotIsPostedOnce)
{
    PrivateHosts const hosts = service_hosts("127.0.0.1", "127.0.0.1");
    SKIP_UNLESS_PRIVATE(hosts);
    FormServer endpoint({200, "2 spot(s) added\n", false}, 80);

    TempDir tmp;
    std::vector<OnAir> const stations = {{"K1ABC FN42 33", 1450, "K1ABC", "FN42"},
                                         {"G4XYZ IO91 23", 1560, "G4XYZ", "IO91"}};
    auto const first = testbed::wspr_audio(tmp.path(), stations[0].message, stations[0].audio_hz);
    auto const second = testbed::wspr_audio(tmp.path(), stations[1].message, stations[1].audio_hz);
    // The audio holds the whole 120 s interval, the transmission one second into it.
    Transmission const on_air = transmission({{first, 14095600, 0}, {second, 14095600, 0}}, 120, 120, -8);

    fs::path const all_txt = tmp / "ALL.TXT";
    ProcessResult const result =
        receive(on_air,
                {"--frequencies", "WSPR:14.0956M", "--all-txt", all_txt.string(), "--wsprnet", "--callsign", kCall,
                 "--grid", kGrid},
                tmp / "state", 60.0);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_THAT(result.err, Not(HasSubstr("Clipped")));
    EXPECT_THAT(result.err, HasSubstr("\nWSPRnet enabled: receiver=W1AW, grid=FN31; live WSPR uploads\n"));

    std::vector<AllTxtSpot> const decoded = all_txt_spots(all_txt);
    ASSERT_EQ(decoded.size(), stations.size()) << file_text(all_txt) << result.err;
    std::vector<std::string> const posts = endpoint.requests();
    ASSERT_EQ(posts.size(), stations.size()) << result.err;
    std::map<std::string, std::map<std::string, std::string>> posted;  // by sender call
    for (std::string const& post : posts) {
        EXPECT_EQ(post.rfind("POST /post/ HTTP/1.1\r\n", 0), 0u) << post;
        EXPECT_THAT(post, HasSubstr("\r\nHost: wsprnet.org\r\n"));
        auto const fields = form_fields(post.substr(post.find("\r\n\r\n") + 4));
        posted[fields.count("tcall") != 0 ? fields.at("tcall") : ""] = fields;
    }

    for (OnAir const& station : stations) {
        auto const spot = std::find_if(decoded.begin(), decoded.end(), [&](AllTxtSpot const& s) {
            return s.message.rfind(station.message + " [drift=", 0) == 0;
        });
        ASSERT_NE(spot, decoded.end()) << station.message << " missing from\n" << file_text(all_txt);
        EXPECT_NEAR(spot->audio_hz, station.audio_hz, 3);
        std::int64_t const interval = utc_stamp_seconds(spot->utc);
        EXPECT_EQ(interval % 120, 0) << spot->utc;
        int const drift = std::stoi(spot->message.substr(spot->message.find("[drift=") + 7));
        char tqrg[32];
        std::snprintf(tqrg, sizeof tqrg, "%.6f", (14095600.0 + spot->audio_hz) / 1e6);
        char dt[16];
        std::snprintf(dt, sizeof dt, "%.1f", spot->dt);
        std::istringstream words(station.message);
        std::string call, grid, dbm;
        words >> call >> grid >> dbm;
        std::map<std::string, std::string> const expected = {
            {"date", spot->utc.substr(0, 6)},
            {"dbm", dbm},
            {"drift", std::to_string(drift)},
            {"dt", dt},
            {"function", "wspr"},
            {"mode", "2"},
            {"rcall", kCall},
            {"rgrid", kGrid},
            {"rqrg", "14.095600"},
            {"sig", std::to_string(spot->snr)},
            {"tcall", call},
            {"tgrid", grid},
            {"time", spot->utc.substr(7, 4)},
            {"tqrg", tqrg},
            {"version", "norvane 0.55.0"},
        };
        EXPECT_EQ(posted[station.call], expected);
    }
    EXPECT_THAT(result.err, Not(HasSubstr("WSPRnet upload failed")));
    EXPECT_THAT(statistics_line(result.err),
                HasSubstr("; WSPRnet: queued=0, accepted=2, sent=2, failed=0, duplicates=0, dropped=0"));
}

}  // namespace
