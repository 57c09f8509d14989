// Signal analysis through the whole program: norvane replays (and, for PSK Reporter, receives
// live from an rtl_tcp stand-in) an IQ recording that carries a PSK31 QSO from our modulator,
// an RTTY bulletin from minimodem and a CW call from ebook2cw, each at its own frequency. What
// the analysis channels make of it is read back from standard error ("SIG" lines, field by
// field), from the signal journal (by Python's json module, record by record) and from the
// PSK Reporter datagrams (by the independent IPFIX reader).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/outside_modems.hpp"
#include "testbed/lib/paced_iq_stream.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/rtl_tcp_server.hpp"
#include "testbed/lib/test_signal.hpp"
#include "tests/support/background_process.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/ipfix_reader.hpp"
#include "tests/support/private_network.hpp"
#include "tests/support/udp_collector.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/utc_stamp.hpp"

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::Not;

namespace {

constexpr char kStartUtc[] = "20240501_120000";
constexpr double kStartS = 1714564800.0;  // kStartUtc as UNIX seconds
constexpr double kCentreHz = 14070000.0;
constexpr int kReplayRateHz = 64000;
constexpr double kRecordingS = 26.0;
constexpr std::uint32_t kFirstFixedTrack = 2147483648u;

// ---------------------------------------------------------------------------------------------
// The recording

// One transmission: who sends what, in which mode, and where it lands in the capture.
struct Station {
    std::string mode;      // the label its SIG lines carry
    std::string call;      // the call it signs with ("DE call")
    std::string message;   // what a reader should copy
    double rf_hz = 0;      // the signal's centre on the air
    double start_s = 0;    // where it begins in the recording
    double audio_hz = 0;   // its centre in the audio below
    std::vector<float> audio;

    double end_s() const { return start_s + static_cast<double>(audio.size()) / testbed::kIqSynthAudioRateHz; }
};

// The same power for every signal, so no signal is favoured by its source's level.
std::vector<float> at_unit_power(std::vector<float> audio)
{
    double const gain = 1.0 / std::sqrt(testbed::mean_power(audio));
    for (float& v : audio)
        v = static_cast<float>(v * gain * 0.5);
    return audio;
}

// The four transmissions, audio made once: the PSK31 QSO (a CQ and its answer on the same
// frequency), the RTTY bulletin and the CW call. Frequencies and starts are set per recording.
std::vector<Station> const& stations()
{
    static std::vector<Station> const made = [] {
        testbed::PskSignal psk;
        psk.carrier_hz = 1000.0;
        psk.phase_rad = 0.7;
        std::vector<Station> s(4);
        s[0] = {"PSK31", "Q1ABC", "CQ CQ DE Q1ABC Q1ABC PSE K", 0, 0.5, 1000.0,
                at_unit_power(testbed::modulate_psk_text("CQ CQ DE Q1ABC Q1ABC PSE K ", psk))};
        s[1] = {"PSK31", "Q4GHI", "Q1ABC DE Q4GHI Q4GHI K", 0, 0, 1000.0,
                at_unit_power(testbed::modulate_psk_text("Q1ABC DE Q4GHI Q4GHI K ", psk))};
        s[1].start_s = s[0].end_s() + 1.5;
        s[2] = {"RTTY-45.45/170", "Q2XYZ", "QST DE Q2XYZ BULLETIN THE BAND IS OPEN", 0, 2.0, 1500.0,
                at_unit_power(testbed::minimodem_rtty_audio("QST DE Q2XYZ BULLETIN THE BAND IS OPEN\n", 1415, 1585))};
        s[3] = {"CW", "Q3DEF", "CQ CQ DE Q3DEF Q3DEF K", 0, 4.0, 700.0,
                at_unit_power(testbed::ebook2cw_audio("CQ CQ DE Q3DEF Q3DEF K", 25, 700))};
        return s;
    }();
    return made;
}

// The stations with their places on the air: the PSK QSO near 14071 kHz, the RTTY bulletin
// near 14084.5 kHz and the CW call near 14047.4 kHz (inside the known-channel windows there), or
// all three side by side in the 5 kHz above 14072 kHz.
std::vector<Station> placed(bool side_by_side)
{
    std::vector<Station> s = stations();
    double const spread[] = {14071000, 14071000, 14084500, 14047400};
    double const packed[] = {14073000, 14073000, 14074500, 14076000};
    for (std::size_t k = 0; k < s.size(); ++k)
        s[k].rf_hz = side_by_side ? packed[k] : spread[k];
    return s;
}

std::vector<std::complex<float>> capture(std::vector<Station> const& on_air, int rate_hz, double gain_db)
{
    testbed::IqSynthConfig config;
    config.center_hz = kCentreHz;
    config.rate_hz = rate_hz;
    config.duration_s = kRecordingS;
    config.add_noise = true;
    config.snr_db = 20;
    config.seed = 11;
    config.gain_db = gain_db;
    std::vector<testbed::IqSynthSignal> signals;
    for (Station const& s : on_air)
        signals.push_back({s.audio, s.rf_hz - s.audio_hz, s.start_s});
    return testbed::synthesize_iq(config, signals);
}

// ---------------------------------------------------------------------------------------------
// Reading what norvane wrote

// One "SIG" line taken apart: the common head and the key=value fields after it (the quoted
// text unescaped).
struct SigLine {
    std::string raw;
    std::string mode;
    std::string stamp;
    double rf_hz = 0;
    std::string kind;
    std::uint32_t track = 0;
    std::map<std::string, std::string> fields;  // ch, bw, snr, text, calls, call, conf, grid

    std::string field(std::string const& key) const
    {
        auto const found = fields.find(key);
        return found == fields.end() ? "" : found->second;
    }
};

std::string unescape(std::string const& quoted)
{
    std::string text;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] != '\\' || i + 1 >= quoted.size()) {
            text += quoted[i];
        } else if (quoted[i + 1] == 'x' && i + 3 < quoted.size()) {
            text += static_cast<char>(std::stoi(quoted.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            text += quoted[++i];
        }
    }
    return text;
}

std::optional<SigLine> parse_sig_line(std::string const& line)
{
    static std::regex const head(R"(^SIG (\S+) (\d{6}_\d{6}) (\d+\.\d{6}) MHz: (\S+) track=(\d+)(.*)$)");
    std::smatch m;
    if (!std::regex_match(line, m, head))
        return std::nullopt;
    SigLine sig;
    sig.raw = line;
    sig.mode = m[1];
    sig.stamp = m[2];
    sig.rf_hz = std::stod(m[3]) * 1e6;
    sig.kind = m[4];
    sig.track = static_cast<std::uint32_t>(std::stoul(m[5]));
    std::string rest = m[6];
    while (!rest.empty()) {
        if (rest[0] != ' ')
            return std::nullopt;
        std::size_t const eq = rest.find('=');
        if (eq == std::string::npos)
            return std::nullopt;
        std::string const key = rest.substr(1, eq - 1);
        std::size_t end = eq + 1;
        if (end < rest.size() && rest[end] == '"') {
            ++end;
            while (end < rest.size() && rest[end] != '"')
                end += rest[end] == '\\' ? 2 : 1;
            if (end >= rest.size())
                return std::nullopt;
            sig.fields[key] = unescape(rest.substr(eq + 2, end - eq - 2));
            ++end;
        } else {
            end = rest.find(' ', end);
            if (end == std::string::npos)
                end = rest.size();
            sig.fields[key] = rest.substr(eq + 1, end - eq - 1);
        }
        rest = rest.substr(end);
    }
    return sig;
}

// Every SIG line of a run, checked for form; the others are left out.
std::vector<SigLine> sig_lines(std::string const& err)
{
    std::vector<SigLine> found;
    for (std::string const& line : lines_of(err)) {
        if (line.rfind("SIG ", 0) != 0)
            continue;
        auto parsed = parse_sig_line(line);
        EXPECT_TRUE(parsed.has_value()) << "malformed: " << line;
        if (parsed)
            found.push_back(*parsed);
    }
    return found;
}

std::vector<SigLine> of_channel(std::vector<SigLine> const& lines, std::string const& channel)
{
    std::vector<SigLine> found;
    for (SigLine const& line : lines)
        if (line.field("ch") == channel)
            found.push_back(line);
    return found;
}

// One journal record as Python's json module reads it. Python prints each record's keys in
// file order and its values re-encoded as JSON, one key per line: the test compares them with
// the SIG lines without parsing JSON itself.
struct JournalRecord {
    std::vector<std::string> keys;
    std::map<std::string, std::string> values;  // strings unquoted, numbers as Python writes them
    std::vector<std::string> calls;             // "CALL:GRID:conf:EVIDENCE" of the calls array
};

std::vector<JournalRecord> read_journal(fs::path const& path)
{
    std::string const script =
        "import json, sys\n"
        "for line in open(sys.argv[1], encoding='utf-8').read().split('\\n')[:-1]:\n"
        "    r = json.loads(line)\n"
        "    print('record')\n"
        "    for k, v in r.items():\n"
        "        if k == 'calls':\n"
        "            for c in v:\n"
        "                print('call\\t' + ':'.join([c['call'], c['grid'], '%.2f' % c['conf'], c['evidence']]))\n"
        "            print('key\\tcalls\\t')\n"
        "        else:\n"
        "            print('key\\t' + k + '\\t' + (v if isinstance(v, str) else repr(v)))\n";
    ProcessResult const read = run_process({"/usr/bin/python3", "-c", script, path.string()});
    EXPECT_EQ(read.exit_status, 0) << read.err;
    std::vector<JournalRecord> records;
    for (std::string const& line : lines_of(read.out)) {
        if (line == "record") {
            records.emplace_back();
            continue;
        }
        if (records.empty())
            continue;
        std::size_t const tab = line.find('\t');
        std::string const what = line.substr(0, tab);
        std::string const rest = line.substr(tab + 1);
        if (what == "call") {
            records.back().calls.push_back(rest);
        } else {
            std::size_t const second = rest.find('\t');
            std::string const key = rest.substr(0, second);
            records.back().keys.push_back(key);
            records.back().values[key] = rest.substr(second + 1);
        }
    }
    return records;
}

// The record that a SIG line reports, field by field: the same event in both sinks.
void expect_same_event(SigLine const& sig, JournalRecord const& record, std::string const& channel)
{
    SCOPED_TRACE(sig.raw);
    auto const value = [&](std::string const& key) {
        auto const found = record.values.find(key);
        return found == record.values.end() ? std::string("<absent>") : found->second;
    };
    EXPECT_EQ(value("channel"), channel);
    EXPECT_EQ(value("kind"), sig.kind);
    std::string const mode = sig.mode.substr(0, sig.mode.find('-'));
    EXPECT_EQ(value("mode"), mode);
    if (sig.mode.find('-') != std::string::npos) {
        EXPECT_EQ(value("variant"), sig.mode.substr(sig.mode.find('-') + 1));
    }
    EXPECT_EQ(value("track"), std::to_string(sig.track));
    EXPECT_NEAR(std::stod(value("rf_hz")), sig.rf_hz, 1.0);
    // "2024-05-01T12:00:03.250Z" and "240501_120003" name the same second.
    std::string const t = value("t");
    ASSERT_EQ(t.size(), 24u) << t;
    EXPECT_EQ(t.substr(2, 2) + t.substr(5, 2) + t.substr(8, 2) + "_" + t.substr(11, 2) + t.substr(14, 2) +
                  t.substr(17, 2),
              sig.stamp);
    EXPECT_EQ(t.back(), 'Z');
    if (sig.fields.count("snr") != 0) {
        EXPECT_NEAR(std::stod(value("snr")), std::stod(sig.field("snr")), 0.051);
    }
    if (sig.kind == "detected") {
        EXPECT_NEAR(std::stod(value("bw_hz")), std::stod(sig.field("bw")), 0.5);
    }
    if (sig.kind == "text") {
        EXPECT_EQ(value("text"), sig.field("text"));
        std::string listed;
        for (std::string const& c : record.calls) {
            // "CALL:GRID:conf:EVIDENCE" against the SIG line's "CALL:conf".
            std::size_t const first = c.find(':');
            std::size_t const second = c.find(':', first + 1);
            listed += (listed.empty() ? "" : ",") + c.substr(0, first) + ":" +
                      c.substr(second + 1, c.find(':', second + 1) - second - 1);
        }
        EXPECT_EQ(listed, sig.field("calls"));
        EXPECT_EQ(record.keys.back(), "calls");
    }
    if (sig.kind == "spot") {
        EXPECT_EQ(value("call"), sig.field("call"));
        EXPECT_EQ(value("conf"), sig.field("conf"));
        EXPECT_EQ(value("evidence"), "DE");
    }
    // Keys in their fixed order, the kind's own keys after the common ones.
    std::vector<std::string> const common = {"t", "receiver", "channel", "mode"};
    ASSERT_GE(record.keys.size(), common.size());
    EXPECT_TRUE(std::equal(common.begin(), common.end(), record.keys.begin()));
}

// ---------------------------------------------------------------------------------------------
// Running norvane

ProcessResult replay(fs::path const& iq, std::vector<std::string> const& options)
{
    ProcessRun run;
    run.argv = {NORVANE_EXE, "--iq-file", iq.string(), "--iq-rate", std::to_string(kReplayRateHz), "--start-utc",
                kStartUtc, "--center-frequency", "14.07M"};
    run.argv.insert(run.argv.end(), options.begin(), options.end());
    run.timeout_ms = 300000;
    return run_process(run);
}

fs::path write_recording(TempDir const& tmp, bool side_by_side)
{
    fs::path const iq = tmp / "keyboard.iq";
    EXPECT_EQ(testbed::write_iq_file(iq, capture(placed(side_by_side), kReplayRateHz, -20)), 0u);
    return iq;
}

// The words of the stations' texts as one channel's text lines carry them.
std::string text_of(std::vector<SigLine> const& lines)
{
    std::string all;
    for (SigLine const& line : lines)
        if (line.kind == "text")
            all += line.field("text") + " ";
    return all;
}

// The run modes a recording is replayed in.
class FixedModeChannels : public testing::TestWithParam<std::string> {};

// One analysis channel per signal with its mode fixed: each channel announces its listening
// place at once, follows the signal it finds, copies its text and spots every call that signs
// with "DE"; the journal holds the same events as the SIG lines, in the same order.
TEST_P(FixedModeChannels, EachSignalIsDetectedCopiedAndSpotted)
{
    TempDir tmp;
    fs::path const iq = write_recording(tmp, false);
    fs::path const journal = tmp / "journal" / "signal-events.jsonl";
    std::vector<std::string> options = {
        "--mode", GetParam(), "--signal-journal", journal.string(),
        "--analysis-channel", "id=psk,frequency=14069500,bandwidth=3000,modes=psk31",
        "--analysis-channel", "id=rtty,frequency=14083000,bandwidth=3000,modes=rtty,rtty=45.45/170",
        "--analysis-channel", "id=cw,frequency=14046700,bandwidth=1400,modes=cw"};
    if (GetParam() == "hybrid")
        options.insert(options.end(), {"--frequencies", "14.074M", "--all-txt", (tmp / "ALL.TXT").string()});
    ProcessResult const run = replay(iq, options);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("Signal analysis: 3 channel(s); journal=" + journal.string() + ", wefax-images="));
    EXPECT_THAT(run.err, Not(HasSubstr("PSK Reporter spots on")));
    EXPECT_THAT(run.err, Not(HasSubstr("disabled:")));
    EXPECT_THAT(run.err, Not(HasSubstr("dropped")));

    std::vector<Station> const on_air = placed(false);
    struct Expected {
        std::string channel;
        std::string label;
        double listen_hz;  // dial + half the bandwidth: where a fixed track listens first
        std::string bandwidth;
        std::vector<Station> senders;
    };
    std::vector<Expected> const expected = {
        {"psk", "PSK31", 14071000, "3000", {on_air[0], on_air[1]}},
        {"rtty", "RTTY-45.45/170", 14084500, "3000", {on_air[2]}},
        {"cw", "CW", 14047400, "1400", {on_air[3]}}};

    std::vector<SigLine> const all = sig_lines(run.err);
    for (Expected const& e : expected) {
        SCOPED_TRACE(e.channel);
        std::vector<SigLine> const lines = of_channel(all, e.channel);
        ASSERT_GE(lines.size(), 3u) << run.err;
        // Announced at the first block, where the channel listens, before anything is heard. The
        // first block's time is half a channelizer hop before the first frame, so the stamp may
        // name the second before the recording began.
        char first[160];
        std::snprintf(first, sizeof first, "SIG %s %s %.6f MHz: detected track=%u ch=%s bw=%s snr=0.0",
                      e.label.c_str(), lines[0].stamp.c_str(), e.listen_hz / 1e6, kFirstFixedTrack,
                      e.channel.c_str(), e.bandwidth.c_str());
        EXPECT_EQ(lines[0].raw, first);
        EXPECT_NEAR(utc_stamp_seconds(lines[0].stamp), kStartS, 1.0);

        std::set<std::string> spotted;
        for (SigLine const& line : lines) {
            SCOPED_TRACE(line.raw);
            EXPECT_EQ(line.mode, e.label);
            EXPECT_EQ(line.track, kFirstFixedTrack);
            double const t = utc_stamp_seconds(line.stamp);
            EXPECT_GE(t, kStartS - 1);
            EXPECT_LE(t, kStartS + kRecordingS + 2);
            if (&line == &lines[0])
                continue;
            // Everything after the first line is about the signal, where it is.
            EXPECT_NEAR(line.rf_hz, e.senders[0].rf_hz, 3.0);
            if (line.kind == "detected") {
                EXPECT_GT(std::stod(line.field("snr")), 10.0);
                EXPECT_GT(std::stod(line.field("bw")), 0.0);
            } else if (line.kind == "text") {
                EXPECT_GT(std::stod(line.field("snr")), 10.0);
            } else if (line.kind == "spot") {
                EXPECT_EQ(line.field("conf"), "0.95");
                EXPECT_GT(std::stod(line.field("snr")), 10.0);
                EXPECT_EQ(line.fields.count("grid"), 0u);
                EXPECT_TRUE(spotted.insert(line.field("call")).second) << "spotted twice";
                // A call is spotted only once it was copied.
                EXPECT_THAT(text_of(std::vector<SigLine>(lines.begin(), lines.begin() + (&line - lines.data()))),
                            HasSubstr("DE " + line.field("call")));
            } else {
                ADD_FAILURE() << "unexpected kind " << line.kind;
            }
        }
        std::set<std::string> calls;
        for (Station const& s : e.senders) {
            EXPECT_THAT(text_of(lines), HasSubstr(s.message));
            calls.insert(s.call);
        }
        EXPECT_EQ(spotted, calls);
    }
    // Nothing else was reported: every SIG line belongs to one of the channels.
    EXPECT_EQ(of_channel(all, "psk").size() + of_channel(all, "rtty").size() + of_channel(all, "cw").size(),
              all.size());

    // The journal: one record per SIG line, in the same order, with the same content.
    std::vector<JournalRecord> const records = read_journal(journal);
    ASSERT_EQ(records.size(), all.size());
    for (std::size_t k = 0; k < records.size(); ++k)
        expect_same_event(all[k], records[k], all[k].field("ch"));
    for (JournalRecord const& record : records) {
        // A replay is labelled by its recording, not by the backend option's default.
        EXPECT_EQ(record.values.at("receiver"), "iq-file keyboard.iq");
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, FixedModeChannels, testing::Values("receivers", "hybrid"));

// Another process holds the journal for the whole run: analysis goes on, the journal says so
// once, and at the end it says how many records it dropped: one per SIG line, none untold.
TEST(JournalHeldElsewhere, AnalysisGoesOnAndTheDroppedRecordsAreCounted)
{
    TempDir tmp;
    fs::path const iq = write_recording(tmp, false);
    fs::path const journal = tmp / "signal-events.jsonl";
    BackgroundProcess holder({"/usr/bin/python3", "-c",
                              "import fcntl, os, sys, time\n"
                              "fd = os.open(sys.argv[1], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)\n"
                              "fcntl.flock(fd, fcntl.LOCK_EX)\n"
                              "sys.stderr.write('locked\\n')\n"
                              "sys.stderr.flush()\n"
                              "time.sleep(3600)\n",
                              journal.string()},
                             environment_with({}), "/dev/null");
    ASSERT_TRUE(holder.wait_for_error_text("locked\n", std::chrono::seconds(30))) << holder.errors();

    ProcessResult const run = replay(iq, {"--mode", "receivers", "--signal-journal", journal.string(),
                                          "--analysis-channel", "id=psk,frequency=14069500,bandwidth=3000,modes=psk31"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    std::size_t const events = of_channel(sig_lines(run.err), "psk").size();
    EXPECT_GE(events, 3u) << run.err;
    std::string const said = "Signal journal " + journal.string() + ": ";
    std::vector<std::string> told;
    for (std::string const& line : lines_of(run.err))
        if (line.rfind(said, 0) == 0)
            told.push_back(line.substr(said.size()));
    EXPECT_EQ(told, (std::vector<std::string>{
                        "lock: another writer held the journal for more than 1000 ms; records are dropped without "
                        "waiting until it lets go",
                        std::to_string(events) + " record(s) dropped"}));
    EXPECT_EQ(file_text(journal), "");
}

// The same recording with the known channels on: the presets whose passbands fit the capture
// (14041.2 to 14098.8 kHz) are watched, and the signals in them are reported under the
// presets' names.
TEST(KnownChannels, PresetsThatFitAreWatchedAndNamed)
{
    TempDir tmp;
    fs::path const iq = write_recording(tmp, false);
    fs::path const journal = tmp / "signal-events.jsonl";
    ProcessResult const run =
        replay(iq, {"--mode", "receivers", "--known-channels", "--signal-journal", journal.string()});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    // psk20, w1aw20, jtty20, cw20 and rtty20; ibp20 and olw20 reach past the capture's top.
    EXPECT_THAT(run.err, HasSubstr("Signal analysis: 5 channel(s); journal=" + journal.string()));

    std::vector<SigLine> const all = sig_lines(run.err);
    std::set<std::string> named;
    for (SigLine const& line : all)
        named.insert(line.field("ch"));
    // w1aw20 hears nothing and says nothing.
    EXPECT_EQ(named, (std::set<std::string>{"psk20", "rtty20", "cw20", "jtty20"})) << run.err;

    // The fixed JTTY preset listens in the middle of its 3 kHz from the first block.
    std::vector<SigLine> const jtty = of_channel(all, "jtty20");
    ASSERT_FALSE(jtty.empty());
    EXPECT_EQ(jtty[0].raw, "SIG JTTY " + jtty[0].stamp +
                               " 14.091500 MHz: detected track=2147483648 ch=jtty20 bw=3000 snr=0.0");
    EXPECT_NEAR(utc_stamp_seconds(jtty[0].stamp), kStartS, 1.0);

    std::vector<Station> const on_air = placed(false);
    struct Expected {
        std::string channel;
        std::string mode;
        std::vector<Station> senders;
    };
    for (Expected const& e : {Expected{"psk20", "PSK31", {on_air[0], on_air[1]}},
                              Expected{"rtty20", "RTTY", {on_air[2]}}, Expected{"cw20", "CW", {on_air[3]}}}) {
        SCOPED_TRACE(e.channel);
        std::vector<SigLine> const lines = of_channel(all, e.channel);
        bool detected = false;
        for (SigLine const& line : lines) {
            if (line.kind != "detected" || line.mode.rfind(e.mode, 0) != 0)
                continue;
            detected = true;
            EXPECT_NEAR(line.rf_hz, e.senders[0].rf_hz, 15.0) << line.raw;
        }
        EXPECT_TRUE(detected) << run.err;
        for (Station const& s : e.senders)
            EXPECT_THAT(text_of(lines), HasSubstr(s.message));
    }
    // The journal names the presets as the SIG lines do.
    std::vector<JournalRecord> const records = read_journal(journal);
    ASSERT_EQ(records.size(), all.size());
    for (std::size_t k = 0; k < records.size(); ++k)
        expect_same_event(all[k], records[k], all[k].field("ch"));
}

// One wide channel in automatic mode over all three signals: each is found and named, its modem
// starts where it is, its text reaches the SIG lines and the journal, and its track is lost
// within a few seconds of its end.
TEST(AutomaticChannel, FindsNamesDecodesAndLosesEachSignal)
{
    TempDir tmp;
    fs::path const iq = write_recording(tmp, true);
    fs::path const journal = tmp / "signal-events.jsonl";
    ProcessResult const run =
        replay(iq, {"--mode", "receivers", "--signal-journal", journal.string(), "--analysis-channel",
                    "id=wide,frequency=14072000,bandwidth=5000,modes=auto"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("Signal analysis: 1 channel(s); journal=" + journal.string()));

    std::vector<SigLine> const all = sig_lines(run.err);
    std::vector<Station> const on_air = placed(true);
    // Which station a line is about: the nearest in frequency, and for the PSK QSO the over on
    // the air when the line was made.
    auto const station_of = [&](SigLine const& line) -> std::size_t {
        std::size_t best = on_air.size();
        for (std::size_t k = 0; k < on_air.size(); ++k)
            if (std::fabs(on_air[k].rf_hz - line.rf_hz) < 40.0 && best == on_air.size())
                best = k;
        return best;
    };

    // The tracks each station got, by the mode of their detection.
    std::map<std::uint32_t, std::string> track_mode;
    std::map<std::uint32_t, double> track_lost_s;
    std::map<std::uint32_t, std::size_t> track_station;
    for (SigLine const& line : all) {
        SCOPED_TRACE(line.raw);
        EXPECT_EQ(line.field("ch"), "wide");
        std::size_t const k = station_of(line);
        if (line.kind == "detected" && line.mode != "UNKNOWN") {
            ASSERT_LT(k, on_air.size()) << "a modem started where no signal is";
            EXPECT_EQ(line.mode, on_air[k].mode);
            EXPECT_NEAR(line.rf_hz, on_air[k].rf_hz, on_air[k].mode == "CW" ? 10.0 : 5.0);
            track_mode[line.track] = line.mode;
            track_station[line.track] = k;
        }
        if (line.kind == "lost")
            track_lost_s[line.track] = utc_stamp_seconds(line.stamp) - kStartS;
        if (line.kind == "text" || line.kind == "spot") {
            EXPECT_EQ(track_mode.count(line.track), 1u) << "text from a track never named";
        }
    }
    for (std::size_t k = 1; k < on_air.size(); ++k) {
        Station const& s = on_air[k];
        SCOPED_TRACE(s.mode);
        // The PSK QSO is one signal on one frequency: its two overs may share a track.
        std::vector<SigLine> lines;
        for (SigLine const& line : all)
            if (track_station.count(line.track) != 0 && on_air[track_station.at(line.track)].mode == s.mode)
                lines.push_back(line);
        ASSERT_FALSE(lines.empty()) << s.mode << " never named\n" << run.err;
        EXPECT_THAT(text_of(lines), HasSubstr(s.message));
        bool spotted = false;
        for (SigLine const& line : lines)
            spotted = spotted || (line.kind == "spot" && line.field("call") == s.call);
        EXPECT_TRUE(spotted) << s.call;
        // Lost after the signal ended, within the classifier's hold and a frame or two.
        double last_lost = -1;
        for (SigLine const& line : lines)
            if (line.kind == "lost")
                last_lost = std::max(last_lost, track_lost_s.at(line.track));
        EXPECT_GE(last_lost, s.end_s() - 1.0);
        EXPECT_LE(last_lost, s.end_s() + 6.0);
        EXPECT_LT(last_lost, kRecordingS) << "lost only when the replay ended";
    }
    EXPECT_THAT(text_of(all), HasSubstr(on_air[0].message));

    std::vector<JournalRecord> const records = read_journal(journal);
    ASSERT_EQ(records.size(), all.size());
    for (std::size_t k = 0; k < records.size(); ++k)
        expect_same_event(all[k], records[k], "wide");
}

// ---------------------------------------------------------------------------------------------
// PSK Reporter: live reception only (a replay is never published)

constexpr char kCollectorHost[] = "report.pskreporter.info";
constexpr int kCollectorPort = 4739;
constexpr int kLiveRateHz = 240000;

std::string isolation_failure = "not isolated";

class PrivateNetwork : public testing::Environment {
public:
    void SetUp() override
    {
        isolation_failure = enter_private_network();
        if (isolation_failure.empty()) {
            auto const sources = host_lookup_sources();
            if (sources && !sources->empty() && sources->front() != "files")
                isolation_failure = "/etc/nsswitch.conf does not look host names up in files first";
        }
        ::setenv("no_proxy", "*", 1);
        ::setenv("NO_PROXY", "*", 1);
    }
};

testing::Environment* const private_network = testing::AddGlobalTestEnvironment(new PrivateNetwork);

// Each call that signs with "DE" reaches the collector once, with its mode and frequency.
TEST(AnalysisSpots, EachCallReachesPskReporterOnce)
{
    if (!isolation_failure.empty())
        GTEST_SKIP() << isolation_failure;
    PrivateHosts const hosts(std::vector<std::pair<std::string, std::string>>{{kCollectorHost, "127.0.0.1"}});
    if (!hosts.failure().empty())
        GTEST_SKIP() << hosts.failure();
    UdpCollector collector(kCollectorPort);

    std::vector<Station> const on_air = placed(false);
    // 8-bit samples: the noise fills a few steps of the range, the signals stay far from its top.
    testbed::RtlTcpServerScript script;
    script.generator = testbed::paced_iq_generator(
        {testbed::rtl_tcp_bytes(capture(on_air, kLiveRateHz, -26)), kLiveRateHz, 0.0});
    testbed::RtlTcpServer server(std::move(script));

    TempDir tmp;
    std::time_t const began = std::time(nullptr);
    ProcessRun run;
    run.argv = {NORVANE_EXE, "--mode", "receivers", "--backend", "rtl-sdr", "--rtl-port",
                std::to_string(server.port()), "--sample-rate", std::to_string(kLiveRateHz), "--center-frequency",
                "14.07M", "--duration", std::to_string(static_cast<int>(kRecordingS) + 4), "--pskreporter",
                "--callsign", "K1RX", "--grid", "FN31", "--signal-journal", "off",
                "--analysis-channel", "id=psk,frequency=14069500,bandwidth=3000,modes=psk31",
                "--analysis-channel", "id=rtty,frequency=14083000,bandwidth=3000,modes=rtty,rtty=45.45/170",
                "--analysis-channel", "id=cw,frequency=14046700,bandwidth=1400,modes=cw"};
    run.env = environment_with({"XDG_STATE_HOME=" + (tmp / "state").string()});
    run.timeout_ms = 180000;
    ProcessResult const result = run_process(run);
    std::time_t const ended = std::time(nullptr);
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_THAT(result.err, HasSubstr("Signal analysis: 3 channel(s); journal=off, wefax-images="));
    EXPECT_THAT(result.err, HasSubstr(", PSK Reporter spots on\n"));

    std::map<std::string, PskSpot> sent;
    for (auto const& datagram : collector.datagrams()) {
        IpfixMessage const message = read_ipfix_message(datagram);
        EXPECT_EQ(message.receiver_call, "K1RX");
        EXPECT_EQ(message.receiver_grid, "FN31");
        for (PskSpot const& spot : message.spots)
            EXPECT_TRUE(sent.emplace(spot.sender_call, spot).second) << spot.sender_call << " sent twice";
    }
    std::map<std::string, std::string> modes;
    for (auto const& [call, spot] : sent)
        modes[call] = spot.mode;
    EXPECT_EQ(modes, (std::map<std::string, std::string>{
                         {"Q1ABC", "PSK31"}, {"Q4GHI", "PSK31"}, {"Q2XYZ", "RTTY"}, {"Q3DEF", "CW"}}))
        << result.err;
    for (Station const& s : on_air) {
        if (sent.count(s.call) == 0)
            continue;
        PskSpot const& spot = sent.at(s.call);
        SCOPED_TRACE(s.call);
        EXPECT_NEAR(static_cast<double>(spot.frequency_hz), s.rf_hz, 3.0);
        EXPECT_EQ(spot.sender_grid, "");
        EXPECT_GE(spot.time, static_cast<std::uint32_t>(began));
        EXPECT_LE(spot.time, static_cast<std::uint32_t>(ended));
        EXPECT_GT(spot.snr, 5);
        // The spot is the one the SIG line announced.
        bool announced = false;
        for (SigLine const& line : sig_lines(result.err))
            announced = announced || (line.kind == "spot" && line.field("call") == s.call &&
                                      std::labs(std::lround(line.rf_hz) - static_cast<long>(spot.frequency_hz)) <= 1);
        EXPECT_TRUE(announced);
    }
}

}  // namespace
