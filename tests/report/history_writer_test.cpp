#include "report/history_writer.hpp"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <regex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "report/history_database.hpp"
#include "tests/support/sqlite_probe.hpp"
#include "tests/support/temp_dir.hpp"

namespace fs = std::filesystem;

namespace {

using ::testing::HasSubstr;

using Row = MinutesRow;
using Db = SqliteProbe;

// The start of the WSPR interval now running: recent enough to stay inside any retention.
double current_interval_s() { return static_cast<double>(std::time(nullptr) / 120 * 120); }

std::int64_t minute_of(double time_s) { return static_cast<std::int64_t>(time_s) / 60; }

HistoryObservation observation(std::string mode, double time_s, std::uint64_t count,
                               double frequency_hz = 14074000.0)
{
    return HistoryObservation{"rx", std::move(mode), frequency_hz, time_s, count};
}

// Runs one writer over the observations (its last pass writes them) and returns what it wrote
// to standard error.
std::string write_history(fs::path const& path, std::vector<HistoryObservation> const& observations,
                          int retention_days = 7)
{
    ::testing::internal::CaptureStderr();
    {
        HistoryWriter writer(path.string(), retention_days);
        for (HistoryObservation const& o : observations)
            writer.record(o);
    }
    return ::testing::internal::GetCapturedStderr();
}

class HistoryWriterTest : public ::testing::Test {
protected:
    TempDir dir;
    fs::path const path = dir / "history.sqlite3";
    double const start = current_interval_s();
};

TEST_F(HistoryWriterTest, Ft8IntervalsOfOneMinuteShareOneRow)
{
    EXPECT_EQ(write_history(path, {observation("FT8", start, 3, 14074000.4), observation("FT8", start + 15, 0),
                                   observation("FT8", start + 30, 7), observation("FT8", start + 45, 123456789012)}),
              "");
    std::vector<Row> const rows = Db(path).rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].receiver, "rx");
    EXPECT_EQ(rows[0].frequency, 14074000);
    EXPECT_EQ(rows[0].mode, "FT8");
    EXPECT_EQ(rows[0].minute, minute_of(start));
    EXPECT_EQ(rows[0].mask, 15);
    ASSERT_EQ(rows[0].counts.size(), 64u);
    EXPECT_EQ(slot_count(rows[0].counts, 0), 3u);
    EXPECT_EQ(slot_count(rows[0].counts, 1), 0u);
    EXPECT_EQ(slot_count(rows[0].counts, 2), 7u);
    EXPECT_EQ(slot_count(rows[0].counts, 3), 123456789012u);
    EXPECT_EQ(rows[0].counts.substr(32), std::string(32, '\0'));
}

struct SlotCase {
    char const* mode;
    double offset_s;  // into the minute
    int slot;
    std::size_t counts_bytes;
};

std::ostream& operator<<(std::ostream& out, SlotCase const& c) { return out << c.mode << "@" << c.offset_s; }

class HistorySlots : public HistoryWriterTest, public ::testing::WithParamInterface<SlotCase> {};

TEST_P(HistorySlots, EachModeFillsItsSlotOfTheMinute)
{
    SlotCase const& c = GetParam();
    write_history(path, {observation(c.mode, start + c.offset_s, 42)});
    std::vector<Row> const rows = Db(path).rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].mode, c.mode);
    EXPECT_EQ(rows[0].mask, std::int64_t{1} << c.slot);
    ASSERT_EQ(rows[0].counts.size(), c.counts_bytes);
    EXPECT_EQ(slot_count(rows[0].counts, c.slot), 42u);
}

INSTANTIATE_TEST_SUITE_P(Table, HistorySlots,
                         ::testing::Values(SlotCase{"FT8", 45, 3, 64}, SlotCase{"FT4", 52.5, 7, 64},
                                           SlotCase{"JS8", 15, 1, 64}, SlotCase{"JS8-FAST", 50, 5, 64},
                                           SlotCase{"JS8-TURBO", 54, 9, 80}, SlotCase{"JS8-SLOW", 30, 1, 64},
                                           SlotCase{"WSPR", 0, 0, 64}));

struct SkippedCase {
    char const* name;
    char const* mode;
    double offset_s;
    double frequency_hz;
};

std::ostream& operator<<(std::ostream& out, SkippedCase const& c) { return out << c.name; }

class HistorySkipped : public HistoryWriterTest, public ::testing::WithParamInterface<SkippedCase> {};

TEST_P(HistorySkipped, ObservationsNamingNoSlotAreLeftOutSilently)
{
    SkippedCase const& c = GetParam();
    EXPECT_EQ(write_history(path, {observation(c.mode, start + c.offset_s, 5, c.frequency_hz),
                                   observation("FT8", start + 15, 1)}),
              "");
    std::vector<Row> const rows = Db(path).rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].mode, "FT8");
    EXPECT_EQ(rows[0].mask, 2);
}

double const nan = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Table, HistorySkipped,
    ::testing::Values(SkippedCase{"unknown_mode", "PSK31", 0, 14074000.0},
                      SkippedCase{"lower_case_mode", "ft8", 0, 14074000.0},
                      SkippedCase{"between_ft8_slots", "FT8", 7.5, 14074000.0},
                      SkippedCase{"wspr_odd_minute", "WSPR", 60, 14074000.0},
                      SkippedCase{"time_nan", "FT8", nan, 14074000.0},
                      SkippedCase{"time_negative", "FT8", -1e12, 14074000.0},
                      SkippedCase{"time_past_9e12", "FT8", 9.1e12, 14074000.0},
                      SkippedCase{"frequency_999", "FT8", 0, 999.0},
                      SkippedCase{"frequency_above_2ghz", "FT8", 0, 2000000001.0},
                      SkippedCase{"frequency_nan", "FT8", 0, nan}),
    [](auto const& info) { return std::string(info.param.name); });

TEST_F(HistoryWriterTest, FirstCountOfASlotStaysAcrossPassesAndRuns)
{
    write_history(path, {observation("FT8", start, 5), observation("FT8", start, 9)});
    write_history(path, {observation("FT8", start, 11), observation("FT8", start + 15, 2)});
    std::vector<Row> const rows = Db(path).rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].mask, 3);
    EXPECT_EQ(slot_count(rows[0].counts, 0), 5u);
    EXPECT_EQ(slot_count(rows[0].counts, 1), 2u);
}

TEST_F(HistoryWriterTest, RowsAreKeptApartByReceiverFrequencyAndMode)
{
    write_history(path, {observation("FT8", start, 1), observation("FT8", start, 2, 7074000.0),
                         observation("JS8", start, 3), HistoryObservation{"other", "FT8", 14074000.0, start, 4}});
    EXPECT_EQ(Db(path).rows().size(), 4u);
}

TEST_F(HistoryWriterTest, NewFileIsPrivateWithSchemaVersion2)
{
    write_history(path / ".." / "state" / "history.sqlite3", {observation("FT8", start, 1)});
    fs::path const file = dir / "state" / "history.sqlite3";
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_uid, ::geteuid());
    ASSERT_EQ(::stat((dir / "state").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    Db db(file);
    EXPECT_EQ(db.integer("PRAGMA user_version"), 2);
    EXPECT_EQ(db.integer("SELECT count(*) FROM sqlite_master WHERE type='index' AND name='minute_time'"), 1);
    EXPECT_EQ(db.integer("SELECT instr(sql,'WITHOUT ROWID')>0 FROM sqlite_master WHERE name='minutes'"), 1);
}

TEST_F(HistoryWriterTest, ExistingFileIsMadePrivate)
{
    {
        Db db(path);
        db.exec("PRAGMA user_version=0");
    }
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    write_history(path, {observation("FT8", start, 1)});
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(Db(path).rows().size(), 1u);
}

class HistoryVersions : public HistoryWriterTest, public ::testing::WithParamInterface<int> {};

TEST_P(HistoryVersions, OlderSchemasAreBroughtToVersion2)
{
    {
        Db db(path);
        db.exec("CREATE TABLE unrelated(x)");
        db.exec("PRAGMA user_version=" + std::to_string(GetParam()));
    }
    SqliteConnection const connection = open_history_db(path.string());
    Db db(path);
    EXPECT_EQ(db.integer("PRAGMA user_version"), 2);
    EXPECT_EQ(db.integer("SELECT count(*) FROM sqlite_master WHERE name IN ('minutes','minute_time','unrelated')"), 3);
}

INSTANTIATE_TEST_SUITE_P(Table, HistoryVersions, ::testing::Values(0, 1, 2));

std::string open_failure(fs::path const& path)
{
    try {
        open_history_db(path.string());
    } catch (std::runtime_error const& error) {
        return error.what();
    }
    return "opened";
}

TEST_F(HistoryWriterTest, NewerSchemaIsRefusedAndLeftAlone)
{
    {
        Db db(path);
        db.exec("PRAGMA user_version=3");
    }
    EXPECT_EQ(open_failure(path), "Unsupported history schema");
    EXPECT_EQ(write_history(path, {observation("FT8", start, 1)}),
              "History storage unavailable: Unsupported history schema; reception continues\n"
              "History dropped 1 observations\n");
    Db db(path);
    EXPECT_EQ(db.integer("PRAGMA user_version"), 3);
    EXPECT_EQ(db.integer("SELECT count(*) FROM sqlite_master"), 0);
}

TEST_F(HistoryWriterTest, SymbolicLinkIsNeverFollowed)
{
    fs::path const target = dir.write_file("precious.txt", "keep me");
    fs::create_symlink(target, path);
    EXPECT_EQ(open_failure(path), "Cannot open history file");
    fs::create_symlink(dir / "missing.sqlite3", dir / "dangling.sqlite3");
    EXPECT_EQ(open_failure(dir / "dangling.sqlite3"), "Cannot open history file");
    EXPECT_FALSE(fs::exists(dir / "missing.sqlite3"));
    write_history(path, {observation("FT8", start, 1)});
    std::ifstream in(target);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "keep me");
}

TEST_F(HistoryWriterTest, FileOfAnotherUserIsRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a file to another user";
    {
        Db db(path);
        db.exec("PRAGMA user_version=2");
    }
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    EXPECT_EQ(open_failure(path), "History file must be owned by this user");
    fs::create_directory(dir / "directory.sqlite3");
    EXPECT_EQ(open_failure(dir / "directory.sqlite3"), "Cannot open history file");
}

// A history path that names some other file of the user's (ALL.TXT, notes) is refused with
// sqlite's own text before anything about the file changes: not its content, not its mode.
TEST_F(HistoryWriterTest, FileThatIsNoDatabaseIsRefusedUntouched)
{
    std::string const all_txt_line = "240315_120415    14.074 Rx FT8    -12  0.3 1500 CQ W9XYZ EN37\n";
    for (std::string const& content : {std::string(4096, 'x'), all_txt_line, std::string("SQLite format 3")}) {
        SCOPED_TRACE(content.substr(0, 20));
        dir.write_file("history.sqlite3", content);
        ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
        EXPECT_EQ(open_failure(path), "file is not a database");
        struct stat status {};
        ASSERT_EQ(::stat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0644u);
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), content);
    }
}

struct BadRowCase {
    char const* name;
    char const* mode;
    std::int64_t mask;
    std::size_t counts_bytes;
};

std::ostream& operator<<(std::ostream& out, BadRowCase const& c) { return out << c.name; }

class HistoryBadRows : public HistoryWriterTest, public ::testing::WithParamInterface<BadRowCase> {};

TEST_P(HistoryBadRows, StoredRowOfTheWrongShapeFailsThePassAndIsKept)
{
    BadRowCase const& c = GetParam();
    std::int64_t const minute = minute_of(start);
    {
        Db db(path);
        db.exec("PRAGMA user_version=2");
        db.exec(
            "CREATE TABLE minutes(receiver TEXT NOT NULL,frequency INTEGER NOT NULL,mode TEXT NOT NULL,minute INTEGER "
            "NOT NULL,mask INTEGER NOT NULL,counts BLOB NOT NULL,PRIMARY KEY(receiver,frequency,mode,minute)) "
            "WITHOUT ROWID");
        db.put(c.mode, minute, c.mask, std::string(c.counts_bytes, '\0'));
    }
    EXPECT_EQ(write_history(path, {observation("FT8", start - 60, 1), observation(c.mode, start + 30, 1)}),
              "History storage unavailable: Invalid history counts; reception continues\n"
              "History dropped 2 observations\n");
    std::vector<Row> const rows = Db(path).rows();
    ASSERT_EQ(rows.size(), 1u);  // the whole pass was rolled back
    EXPECT_EQ(rows[0].mask, c.mask);
}

INSTANTIATE_TEST_SUITE_P(Table, HistoryBadRows,
                         ::testing::Values(BadRowCase{"turbo_with_64_bytes", "JS8-TURBO", 0, 64},
                                           BadRowCase{"fast_with_80_bytes", "JS8-FAST", 0, 80},
                                           BadRowCase{"turbo_mask_too_wide", "JS8-TURBO", 1024, 80},
                                           BadRowCase{"negative_mask", "JS8-TURBO", -1, 80}),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(HistoryWriterTest, RetentionDeletesAtMost60ExpiredMinutesPerPass)
{
    std::int64_t const now_minute = static_cast<std::int64_t>(std::time(nullptr)) / 60;
    std::int64_t const oldest_kept = now_minute - 2 * 1440 + 5;
    {
        HistoryWriter create(path.string(), 2);  // makes nothing: no observation
    }
    ASSERT_FALSE(fs::exists(path));
    open_history_db(path.string());
    {
        Db db(path);
        db.exec("BEGIN");
        for (int i = 0; i < 100; ++i) {
            db.put("FT8", now_minute - 2 * 1440 - 1 - i, 1, std::string(64, '\0'));
            db.put("FT4", now_minute - 2 * 1440 - 1 - i, 1, std::string(64, '\0'));
        }
        db.put("FT8", oldest_kept, 1, std::string(64, '\0'));
        db.exec("COMMIT");
    }
    write_history(path, {observation("FT8", start, 1)}, 2);
    Db db(path);
    EXPECT_EQ(db.integer("SELECT count(DISTINCT minute) FROM minutes WHERE minute<" +
                         std::to_string(now_minute - 2 * 1440)),
              40);
    EXPECT_EQ(db.integer("SELECT min(minute) FROM minutes"), now_minute - 2 * 1440 - 40);
    EXPECT_EQ(db.integer("SELECT count(*) FROM minutes WHERE minute>=" + std::to_string(oldest_kept)), 2);

    write_history(path, {observation("FT8", start + 15, 1)}, 2);
    EXPECT_EQ(db.integer("SELECT count(*) FROM minutes"), 2);
}

int count_matches(std::string const& text, std::regex const& line)
{
    return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), line), std::sregex_iterator()));
}

TEST_F(HistoryWriterTest, UnavailableStorageIsReportedOnceAndEveryLossCounted)
{
    fs::create_directory(path);  // cannot be opened as the history file
    constexpr int recorded = 10000;
    std::vector<HistoryObservation> observations;
    for (int i = 0; i < recorded; ++i)
        observations.push_back(observation("FT8", start + 15.0 * (i % 4), 1, 14074000.0 + i));
    std::string const err = write_history(path, observations);

    EXPECT_EQ(count_matches(err, std::regex("History storage unavailable: Cannot open history file; reception "
                                            "continues\n")),
              1);
    int const queue_full = count_matches(err, std::regex("History queue full; oldest observation skipped\n"));
    std::regex const dropped_line("History dropped ([0-9]+) observations\n");
    int dropped = 0;
    for (auto it = std::sregex_iterator(err.begin(), err.end(), dropped_line); it != std::sregex_iterator(); ++it)
        dropped += std::stoi((*it)[1].str());
    // Nothing is lost without a word: the writer holds at most one batch and the queue 4096.
    EXPECT_EQ(queue_full + dropped, recorded);
    EXPECT_GE(queue_full, recorded - 2 * 4096);
    std::string remainder = std::regex_replace(err, std::regex("History (storage unavailable|queue full|dropped)[^\n]*\n"), "");
    EXPECT_EQ(remainder, "");
}

}  // namespace
