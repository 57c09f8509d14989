#include "sig/journal_sink.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/background_process.hpp"
#include "tests/support/file_size_limit.hpp"
#include "tests/support/file_text.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Debian's interpreter: the first python3 on PATH may be another one.
constexpr char kPython[] = "/usr/bin/python3";

sig::ChannelInfo channel() {
    sig::ChannelInfo c;
    c.channel = "psk20";
    c.receiver = "rsp1a";
    c.dial_hz = 14069500.0;
    return c;
}

sig::Event event(sig::EventKind kind, double t = 1714564800.25) {
    sig::Event e;
    e.kind = kind;
    e.t = t;
    e.mode = sig::Mode::PSK31;
    e.rf_hz = 14071500.4;
    e.audio_hz = 2000.04;
    e.bw_hz = 62.5;
    e.snr = 12.34;
    e.track = 3;
    return e;
}

// --- JSON string literals ------------------------------------------------------------------------

struct EscapeCase {
    const char* name;
    std::string bytes;
    const char* literal;
};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.name; }

class JsonEscape : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(JsonEscape, WritesValidStringLiterals) { EXPECT_EQ(sig::json_escape(GetParam().bytes), GetParam().literal); }

INSTANTIATE_TEST_SUITE_P(
    Table, JsonEscape,
    ::testing::Values(
        EscapeCase{"plain", "CQ de Q1ABC", "\"CQ de Q1ABC\""},
        EscapeCase{"quote_and_backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        EscapeCase{"named_controls", "\t\n\r", "\"\\t\\n\\r\""},
        EscapeCase{"other_controls", std::string("\x00\x01\x1F\x7F", 4), "\"\\u0000\\u0001\\u001F\\u007F\""},
        EscapeCase{"valid_sequences_unchanged", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xBB \xED\x9F\xBF \xEF\xBF\xBF \xF4\x8F\xBF\xBF",
                   "\"\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xBB \xED\x9F\xBF \xEF\xBF\xBF \xF4\x8F\xBF\xBF\""},
        EscapeCase{"lone_lead_at_the_end", "ab\xC3", "\"ab\\uFFFD\""},
        EscapeCase{"stray_continuation", "\x80x", "\"\\uFFFDx\""},
        EscapeCase{"cut_sequence", "\xE2\x82z", "\"\\uFFFD\\uFFFDz\""},
        EscapeCase{"overlong_two_bytes", "\xC0\xAF\xC1\xBF", "\"\\uFFFD\\uFFFD\\uFFFD\\uFFFD\""},
        EscapeCase{"overlong_three_bytes", "\xE0\x80\xAF", "\"\\uFFFD\\uFFFD\\uFFFD\""},
        EscapeCase{"overlong_four_bytes", "\xF0\x8F\xBF\xBF", "\"\\uFFFD\\uFFFD\\uFFFD\\uFFFD\""},
        EscapeCase{"surrogate", "\xED\xA0\x80", "\"\\uFFFD\\uFFFD\\uFFFD\""},
        EscapeCase{"beyond_U10FFFF", "\xF4\x90\x80\x80", "\"\\uFFFD\\uFFFD\\uFFFD\\uFFFD\""},
        EscapeCase{"never_a_lead", "\xF5\xFF", "\"\\uFFFD\\uFFFD\""},
        EscapeCase{"lead_then_ascii", "\xC3" "A", "\"\\uFFFDA\""}),
    [](const ::testing::TestParamInfo<EscapeCase>& info) { return std::string(info.param.name); });

// --- Records --------------------------------------------------------------------------------------

TEST(JournalRecord, KeysInOrderForEachKind) {
    sig::Event text = event(sig::EventKind::TEXT);
    text.variant = "x";
    text.text = "CQ DE Q1ABC";
    text.calls = {{"Q1ABC", "FN42", 0.95f, "DE"}, {"Q2XYZ", "", 0.3f, "BARE"}};
    EXPECT_EQ(sig::format_journal_record(channel(), text),
              "{\"t\":\"2024-05-01T12:00:00.250Z\",\"receiver\":\"rsp1a\",\"channel\":\"psk20\",\"mode\":\"PSK31\","
              "\"variant\":\"x\",\"rf_hz\":14071500,\"audio_hz\":2000.0,\"bw_hz\":62,\"track\":3,\"kind\":\"text\","
              "\"snr\":12.3,\"text\":\"CQ DE Q1ABC\",\"calls\":[{\"call\":\"Q1ABC\",\"grid\":\"FN42\",\"conf\":0.95,"
              "\"evidence\":\"DE\"},{\"call\":\"Q2XYZ\",\"grid\":\"\",\"conf\":0.30,\"evidence\":\"BARE\"}]}");

    const std::string common = "{\"t\":\"2024-05-01T12:00:00.250Z\",\"receiver\":\"rsp1a\",\"channel\":\"psk20\","
                               "\"mode\":\"PSK31\",\"rf_hz\":14071500,\"audio_hz\":2000.0,\"bw_hz\":62,\"track\":3,";
    sig::Event bare = event(sig::EventKind::TEXT);
    EXPECT_EQ(sig::format_journal_record(channel(), bare), common + "\"kind\":\"text\",\"snr\":12.3,\"text\":\"\",\"calls\":[]}");

    sig::Event spot = event(sig::EventKind::SPOT);
    spot.call = "Q1ABC";
    spot.conf = 0.9f;
    spot.calls = {{"Q1ABC", "", 0.9f, "CQ"}};
    EXPECT_EQ(sig::format_journal_record(channel(), spot),
              common + "\"kind\":\"spot\",\"snr\":12.3,\"call\":\"Q1ABC\",\"conf\":0.90,\"grid\":\"\",\"evidence\":\"CQ\"}");
    spot.calls.clear();
    EXPECT_EQ(sig::format_journal_record(channel(), spot),
              common + "\"kind\":\"spot\",\"snr\":12.3,\"call\":\"Q1ABC\",\"conf\":0.90}");

    sig::Event start = event(sig::EventKind::WEFAX_START);
    start.lpm = 120;
    start.ioc = -576;
    EXPECT_EQ(sig::format_journal_record(channel(), start),
              common + "\"kind\":\"wefax-start\",\"snr\":12.3,\"lpm\":120,\"ioc\":-576}");
    sig::Event progress = event(sig::EventKind::WEFAX_PROGRESS);
    progress.lines = 50;
    EXPECT_EQ(sig::format_journal_record(channel(), progress),
              common + "\"kind\":\"wefax-progress\",\"snr\":12.3,\"lines\":50}");
    sig::Event image = event(sig::EventKind::WEFAX_IMAGE);
    image.lines = 800;
    image.text = "/w/\"a\".png";
    EXPECT_EQ(sig::format_journal_record(channel(), image),
              common + "\"kind\":\"wefax-image\",\"snr\":12.3,\"lines\":800,\"path\":\"/w/\\\"a\\\".png\"}");
    sig::Event lost = event(sig::EventKind::LOST);
    EXPECT_EQ(sig::format_journal_record(channel(), lost), common + "\"kind\":\"lost\",\"snr\":12.3}");
    sig::Event odd = event(static_cast<sig::EventKind>(9));
    odd.text = "never written";
    EXPECT_EQ(sig::format_journal_record(channel(), odd), common + "\"kind\":\"unknown\",\"snr\":12.3}");
}

TEST(JournalRecord, TimesOutsideTheCalendarAreWrittenAsTheEpoch) {
    struct Case {
        double t;
        const char* stamp;
    };
    const Case cases[] = {
        {1.9996, "1970-01-01T00:00:02.000Z"},
        {0.25, "1970-01-01T00:00:00.250Z"},
        {-0.25, "1969-12-31T23:59:59.750Z"},
        {std::numeric_limits<double>::quiet_NaN(), "1970-01-01T00:00:00.000Z"},
        {-std::numeric_limits<double>::infinity(), "1970-01-01T00:00:00.000Z"},
        {1e30, "1970-01-01T00:00:00.000Z"},
        {-1e30, "1970-01-01T00:00:00.000Z"},
        {-62167219200.0, "0000-01-01T00:00:00.000Z"},
        {253402300799.25, "9999-12-31T23:59:59.250Z"},
        {253402300799.9996, "1970-01-01T00:00:00.000Z"},  // rounds into year 10000
    };
    for (const Case& c : cases) {
        sig::Event e = event(sig::EventKind::LOST, c.t);
        const std::string record = sig::format_journal_record(channel(), e);
        EXPECT_EQ(record.substr(0, 32), std::string("{\"t\":\"") + c.stamp + "\",") << c.t;
    }
}

TEST(JournalRecord, NumbersThatAreNotFiniteAreWrittenAsZero) {
    sig::Event e = event(sig::EventKind::SPOT);
    e.rf_hz = std::numeric_limits<double>::quiet_NaN();
    e.audio_hz = std::numeric_limits<double>::infinity();
    e.snr = -std::numeric_limits<double>::infinity();
    e.conf = std::numeric_limits<float>::quiet_NaN();
    const std::string record = sig::format_journal_record(channel(), e);
    EXPECT_NE(record.find("\"rf_hz\":0,\"audio_hz\":0.0,"), std::string::npos) << record;
    EXPECT_NE(record.find("\"snr\":0.0,\"call\":\"\",\"conf\":0.00}"), std::string::npos) << record;
}

// --- The sink on real files ----------------------------------------------------------------------

// Every record of the file, decoded by Python's json module and printed back one per line as
// "key=value|key=value..." in the file's key order (values as json.dumps writes them).
std::vector<std::string> decode_with_python(const fs::path& journal) {
    const std::string script =
        "import json, sys\n"
        "for n, line in enumerate(open(sys.argv[1], 'rb').read().decode('utf-8').split('\\n')):\n"
        "    if not line: continue\n"
        "    record = json.loads(line)\n"
        "    print('|'.join(k + '=' + json.dumps(v, ensure_ascii=False) for k, v in record.items()))\n";
    const ProcessResult result = run_process({kPython, "-c", script, journal.string()});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    std::vector<std::string> lines;
    std::istringstream in(result.out);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(JournalSink, RecordsReadBackByAnIndependentParser) {
    TempDir dir;
    sig::JournalSink sink((dir / "journal.jsonl").string());
    std::vector<sig::Event> events;
    sig::Event text = event(sig::EventKind::TEXT);
    text.text = "caf\xC3\xA9 \"x\" \\ \x01 \xC3";
    text.calls = {{"Q1ABC", "FN42", 0.95f, "DE"}};
    events.push_back(text);
    sig::Event spot = event(sig::EventKind::SPOT, 1e30);
    spot.variant = "45.45/170";
    spot.mode = sig::Mode::RTTY;
    spot.call = "Q1ABC";
    spot.conf = 0.95f;
    spot.calls = {{"Q1ABC", "FN42", 0.95f, "DE"}};
    events.push_back(spot);
    sig::Event image = event(sig::EventKind::WEFAX_IMAGE);
    image.mode = sig::Mode::WEFAX;
    image.lines = 1200;
    image.text = "/tmp/fax.png";
    events.push_back(image);
    for (const sig::Event& e : events) sink.on_event(channel(), e);

    const std::string head = "t=\"2024-05-01T12:00:00.250Z\"|receiver=\"rsp1a\"|channel=\"psk20\"|";
    const std::string place = "rf_hz=14071500|audio_hz=2000.0|bw_hz=62|track=3|";
    EXPECT_EQ(decode_with_python(dir / "journal.jsonl"),
              (std::vector<std::string>{
                  head + "mode=\"PSK31\"|" + place +
                      "kind=\"text\"|snr=12.3|text=\"café \\\"x\\\" \\\\ \\u0001 \xEF\xBF\xBD\"|calls=[{\"call\": "
                      "\"Q1ABC\", \"grid\": \"FN42\", \"conf\": 0.95, \"evidence\": \"DE\"}]",
                  "t=\"1970-01-01T00:00:00.000Z\"|receiver=\"rsp1a\"|channel=\"psk20\"|mode=\"RTTY\"|variant=\"45.45/"
                  "170\"|" + place + "kind=\"spot\"|snr=12.3|call=\"Q1ABC\"|conf=0.95|grid=\"FN42\"|evidence=\"DE\"",
                  head + "mode=\"WEFAX\"|" + place + "kind=\"wefax-image\"|snr=12.3|lines=1200|path=\"/tmp/fax.png\"",
              }));
}

TEST(JournalSink, RecordsNeverMixWithAnotherProcessWritingUnderTheLock) {
    TempDir dir;
    const fs::path journal = dir / "journal.jsonl";
    // Another process appends its own records to the same file, each in pieces, under the
    // exclusive lock, pausing inside it, while two sinks of ours write all along.
    const std::string writer =
        "import fcntl, json, sys, os, time\n"
        "fd = os.open(sys.argv[1], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)\n"
        "for n in range(50):\n"
        "    fcntl.flock(fd, fcntl.LOCK_EX)\n"
        "    data = (json.dumps({'other': n, 'pad': 'y' * 3000}) + '\\n').encode()\n"
        "    for k in range(0, len(data), 700):\n"
        "        os.write(fd, data[k:k + 700])\n"
        "        time.sleep(0.001)\n"
        "    fcntl.flock(fd, fcntl.LOCK_UN)\n";
    std::atomic<bool> other_done{false};
    ProcessResult other;
    std::thread process([&] {
        other = run_process({kPython, "-c", writer, journal.string()});
        other_done = true;
    });

    sig::JournalSink first(journal.string());
    sig::JournalSink second(journal.string());
    std::atomic<std::uint32_t> written[2] = {0, 0};
    auto write = [&](sig::JournalSink& sink, std::uint32_t base, std::atomic<std::uint32_t>& count) {
        while (!other_done.load() || count < 200) {
            sig::Event e = event(sig::EventKind::TEXT);
            e.track = base + count;
            e.text = std::string(300, 'x');
            sink.on_event(channel(), e);
            ++count;
        }
    };
    std::thread a([&] { write(first, 0, written[0]); });
    std::thread b([&] { write(second, 1000000, written[1]); });
    a.join();
    b.join();
    process.join();
    ASSERT_EQ(other.exit_status, 0) << other.err;

    const std::string script =
        "import json, sys\n"
        "tracks, others = [], []\n"
        "for line in open(sys.argv[1]).read().split('\\n')[:-1]:\n"
        "    r = json.loads(line)\n"
        "    if 'other' in r: others.append(r['other'])\n"
        "    else: assert r['text'] == 'x' * 300; tracks.append(r['track'])\n"
        "a = sorted(t for t in tracks if t < 1000000)\n"
        "b = sorted(t - 1000000 for t in tracks if t >= 1000000)\n"
        "print(a == list(range(len(a))), b == list(range(len(b))), len(a), len(b), others == list(range(50)))\n";
    const ProcessResult check = run_process({kPython, "-c", script, journal.string()});
    EXPECT_EQ(check.exit_status, 0) << check.err;
    EXPECT_EQ(check.out, "True True " + std::to_string(written[0].load()) + " " + std::to_string(written[1].load()) +
                             " True\n");
}

// The journal locked by another holder (another open file description, as another process
// would have it) for as long as this object lives.
class ForeignLock {
public:
    explicit ForeignLock(const fs::path& path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ < 0 || ::flock(fd_, LOCK_EX) != 0) throw std::runtime_error("cannot lock " + path.string());
    }
    ~ForeignLock() { release(); }
    void release() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

TEST(JournalSink, WaitsForAnotherWritersLock) {
    TempDir dir;
    const fs::path journal = dir / "journal.jsonl";
    sig::JournalSink sink(journal.string());
    ForeignLock lock(journal);
    const auto start = std::chrono::steady_clock::now();
    std::thread release([&] {
        std::this_thread::sleep_for(300ms);
        lock.release();
    });
    testing::internal::CaptureStderr();
    sink.on_event(channel(), event(sig::EventKind::LOST));
    const auto waited = std::chrono::steady_clock::now() - start;
    release.join();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_GE(waited, 250ms);  // it did wait for the lock
    EXPECT_EQ(file_text(journal), sig::format_journal_record(channel(), event(sig::EventKind::LOST)) + "\n");
}

// A full disk (a file size limit: the write that reaches it is cut short, like one that fills
// the disk): the record cut short is taken back off, so every line stays a whole record, and
// the failure is said once. Once there is room again the journal says what it dropped, and
// the next run appends after the whole records.
TEST(JournalSink, AFullDiskLeavesOnlyWholeRecords) {
    TempDir dir;
    const fs::path journal = dir / "journal.jsonl";
    sig::Event text = event(sig::EventKind::TEXT);
    text.text = std::string(200, 'x');
    const std::string record = sig::format_journal_record(channel(), text) + "\n";
    sig::JournalSink(journal.string()).on_event(channel(), text);  // an earlier run's record

    sig::JournalSink sink(journal.string());
    testing::internal::CaptureStderr();
    {
        // Room for one more record and half of the next.
        const FileSizeLimit full(2 * record.size() + record.size() / 2);
        for (int n = 0; n < 5; ++n) sink.on_event(channel(), text);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Signal journal " + journal.string() + ": write: File too large\n");
    EXPECT_EQ(file_text(journal), record + record);
    EXPECT_EQ(decode_with_python(journal).size(), 2u);

    testing::internal::CaptureStderr();
    sink.on_event(channel(), text);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Signal journal " + journal.string() + ": writing again; 4 record(s) dropped\n");
    sig::JournalSink next_run(journal.string());
    for (int n = 0; n < 2; ++n) next_run.on_event(channel(), text);
    EXPECT_EQ(decode_with_python(journal).size(), 5u);
    EXPECT_EQ(file_text(journal), record + record + record + record + record);
}

// The journal locked by another process until it is stopped.
class LockingProcess {
public:
    explicit LockingProcess(const fs::path& journal)
        : process_({kPython, "-c",
                    "import fcntl, os, sys, time\n"
                    "fd = os.open(sys.argv[1], os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)\n"
                    "fcntl.flock(fd, fcntl.LOCK_EX)\n"
                    "sys.stderr.write('locked\\n')\n"
                    "sys.stderr.flush()\n"
                    "time.sleep(3600)\n",
                    journal.string()},
                   environment_with({}), "/dev/null") {
        if (!process_.wait_for_error_text("locked\n", 30s))
            throw std::runtime_error("the locking process did not lock: " + process_.errors());
    }
    void release() { process_.stop(SIGTERM); }

private:
    BackgroundProcess process_;
};

// Another process holds the journal for as long as it likes: one event waits for it, the
// events after it do not (analysis keeps its pace), and once it lets go the journal takes
// records again and says what it dropped. A later hold is a new outage: waited for once and
// said once more.
TEST(JournalSink, ALockHeldForEverCostsOneWaitNotOnePerEvent) {
    TempDir dir;
    const fs::path journal = dir / "journal.jsonl";
    const std::string held = "Signal journal " + journal.string() +
                             ": lock: another writer held the journal for more than 1000 ms; records are dropped "
                             "without waiting until it lets go\n";
    auto sink = std::make_unique<sig::JournalSink>(journal.string());
    {
        LockingProcess other(journal);
        testing::internal::CaptureStderr();
        for (int n = 0; n < 12; ++n) sink->on_event(channel(), event(sig::EventKind::LOST));
        EXPECT_EQ(sink->lock_timeouts(), 1u);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), held);
        other.release();
    }
    testing::internal::CaptureStderr();
    sink->on_event(channel(), event(sig::EventKind::TEXT));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Signal journal " + journal.string() + ": writing again; 12 record(s) dropped\n");
    EXPECT_EQ(file_text(journal), sig::format_journal_record(channel(), event(sig::EventKind::TEXT)) + "\n");

    {
        LockingProcess other(journal);
        testing::internal::CaptureStderr();
        for (int n = 0; n < 3; ++n) sink->on_event(channel(), event(sig::EventKind::LOST));
        EXPECT_EQ(sink->lock_timeouts(), 2u);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), held);
        other.release();
    }
    // Records still dropped when the sink goes are said then.
    testing::internal::CaptureStderr();
    sink.reset();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Signal journal " + journal.string() + ": 3 record(s) dropped\n");
}

// Said once, then counted: the failure when it starts, the records it cost when the journal
// takes records again (or when the sink goes).
TEST(JournalSink, AFailureIsPrintedOnceUntilARecordIsWrittenAgain) {
    TempDir dir;
    const fs::path journal = dir / "later" / "journal.jsonl";
    auto sink = std::make_unique<sig::JournalSink>(journal.string());
    const std::string said = "Signal journal " + journal.string() + ": ";
    const std::string failure = said + "No such file or directory\n";

    testing::internal::CaptureStderr();
    for (int n = 0; n < 3; ++n) sink->on_event(channel(), event(sig::EventKind::LOST));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), failure);

    fs::create_directory(dir / "later");
    testing::internal::CaptureStderr();
    sink->on_event(channel(), event(sig::EventKind::DETECTED));
    sink->on_event(channel(), event(sig::EventKind::DETECTED));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), said + "writing again; 3 record(s) dropped\n");
    EXPECT_EQ(file_text(journal), sig::format_journal_record(channel(), event(sig::EventKind::DETECTED)) + "\n" +
                                      sig::format_journal_record(channel(), event(sig::EventKind::DETECTED)) + "\n");

    fs::remove_all(dir / "later");
    testing::internal::CaptureStderr();
    sink->on_event(channel(), event(sig::EventKind::LOST));
    sink->on_event(channel(), event(sig::EventKind::LOST));
    sink.reset();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), failure + said + "2 record(s) dropped\n");
}

TEST(JournalSink, EachSinkReportsItsOwnFailure) {
    TempDir dir;
    sig::JournalSink one((dir / "a" / "j").string());
    sig::JournalSink two((dir / "b" / "j").string());
    testing::internal::CaptureStderr();
    for (int n = 0; n < 3; ++n) {
        one.on_event(channel(), event(sig::EventKind::LOST));
        two.on_event(channel(), event(sig::EventKind::LOST));
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Signal journal " + (dir / "a" / "j").string() + ": No such file or directory\n" +
                  "Signal journal " + (dir / "b" / "j").string() + ": No such file or directory\n");
}

TEST(JournalSink, WritesOnlyIntoARegularFile) {
    TempDir dir;
    const fs::path target = dir / "target.jsonl";
    { std::ofstream(target) << "kept\n"; }
    fs::create_symlink(target, dir / "link.jsonl");
    fs::create_directory(dir / "directory");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((dir / "read-fifo").c_str(), 0600), 0);
    const int reader = ::open((dir / "read-fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);

    struct Case {
        fs::path path;
        std::string failure;
    };
    const Case cases[] = {
        {dir / "link.jsonl", "Too many levels of symbolic links"},  // a planted link is not followed
        {dir / "directory", "Is a directory"},
        {dir / "fifo", "No such device or address"},  // no reader: the open fails at once, no wait
        {dir / "read-fifo", "not a regular file"},    // a reader: refused before a byte is written
        {"/dev/null", "not a regular file"},
    };
    for (const Case& c : cases) {
        sig::JournalSink sink(c.path.string());
        testing::internal::CaptureStderr();
        std::promise<void> returned;
        std::future<void> done = returned.get_future();
        std::thread writer([&] {
            sink.on_event(channel(), event(sig::EventKind::LOST));
            returned.set_value();
        });
        if (done.wait_for(2s) != std::future_status::ready) {
            ADD_FAILURE() << "writing to " << c.path << " blocked";
            // A blocked open of a FIFO returns once a reader comes.
            const int unblock = ::open(c.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            writer.join();
            if (unblock >= 0) ::close(unblock);
        } else {
            writer.join();
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Signal journal " + c.path.string() + ": " + c.failure + "\n");
    }
    char byte;
    EXPECT_LE(::read(reader, &byte, 1), 0);  // nothing reached the FIFO's reader
    ::close(reader);
    EXPECT_EQ(file_text(target), "kept\n");
}

}  // namespace
