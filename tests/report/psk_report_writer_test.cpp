#include "report/psk_report_writer.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "report/history_database.hpp"
#include "tests/support/error_of.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

using Row = std::tuple<std::string, std::int64_t, std::int64_t>;  // id, sent_at, reports

std::vector<Row> sends(fs::path const& path)
{
    sqlite3* raw = nullptr;
    sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    SqliteConnection const db(raw);
    std::vector<Row> out;
    SqliteStatement const query = prepare_sql(db.get(), "SELECT id,sent_at,reports FROM psk_sends ORDER BY sent_at,id");
    while (sqlite3_step(query.get()) == SQLITE_ROW)
        out.emplace_back(reinterpret_cast<char const*>(sqlite3_column_text(query.get(), 0)),
                         sqlite3_column_int64(query.get(), 1), sqlite3_column_int64(query.get(), 2));
    return out;
}

std::int64_t scalar(fs::path const& path, char const* sql)
{
    sqlite3* raw = nullptr;
    sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    SqliteConnection const db(raw);
    SqliteStatement const query = prepare_sql(db.get(), sql);
    return sqlite3_step(query.get()) == SQLITE_ROW ? sqlite3_column_int64(query.get(), 0) : -1;
}

std::string prefix_of(std::string const& id) { return id.substr(0, id.find(':')); }

TEST(PskReportWriter, RecordsEveryBatchUnderOneRunPrefix)
{
    TempDir dir;
    fs::path const path = dir / "state" / "psk-reports.sqlite3";
    std::int64_t const now = std::time(nullptr);
    {
        PskReportWriter writer(path.string());
        writer.record_batch(12, now - 60);
        writer.record_batch(0, now - 50);  // nothing was sent: nothing to record
        writer.record_batch(3, now - 40);
        writer.record_batch(40, now - 30);
    }
    std::vector<Row> const rows = sends(path);
    ASSERT_EQ(rows.size(), 3u);
    std::string const prefix = prefix_of(std::get<0>(rows[0]));
    EXPECT_TRUE(std::regex_match(prefix, std::regex("[0-9a-f]{32}"))) << prefix;
    EXPECT_THAT(rows, ElementsAre(Row{prefix + ":0", now - 60, 12}, Row{prefix + ":1", now - 40, 3},
                                  Row{prefix + ":2", now - 30, 40}));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // The file is a history-style file: its minutes table and schema version are there too.
    EXPECT_EQ(scalar(path, "PRAGMA user_version"), 2);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM minutes"), 0);
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM sqlite_master WHERE name='psk_send_time'"), 1);

    // Another run adds its own rows under a prefix of its own.
    {
        PskReportWriter writer(path.string());
        writer.record_batch(5, now - 20);
    }
    std::vector<Row> const more = sends(path);
    ASSERT_EQ(more.size(), 4u);
    EXPECT_NE(prefix_of(std::get<0>(more[3])), prefix);
    EXPECT_EQ(std::get<0>(more[3]).substr(32), ":0");
}

TEST(PskReportWriter, BatchesOlderThanAWeekAreDeletedByTheNextWrite)
{
    TempDir dir;
    fs::path const path = dir / "psk-reports.sqlite3";
    std::int64_t const now = std::time(nullptr);
    {
        PskReportWriter writer(path.string());
        writer.record_batch(1, now - 604800 - 100);
    }
    EXPECT_TRUE(sends(path).empty());
    {
        PskReportWriter writer(path.string());
        writer.record_batch(2, now - 604800 + 100);
    }
    ASSERT_EQ(sends(path).size(), 1u);
    EXPECT_EQ(std::get<2>(sends(path)[0]), 2);
}

struct BadBatch {
    std::uint64_t reports;
    std::int64_t sent_at;
};

class PskReportWriterRefuses : public ::testing::TestWithParam<BadBatch> {};

TEST_P(PskReportWriterRefuses, NegativeCountOrTimeOutOfRange)
{
    TempDir dir;
    PskReportWriter writer((dir / "psk-reports.sqlite3").string());
    EXPECT_EQ(error_of([&] { writer.record_batch(GetParam().reports, GetParam().sent_at); }),
              "Invalid sent PSK report batch");
}

INSTANTIATE_TEST_SUITE_P(Table, PskReportWriterRefuses,
                         ::testing::Values(BadBatch{static_cast<std::uint64_t>(-1), 1700000000},
                                           BadBatch{1, 9000000000001}, BadBatch{1, -1}));

TEST(PskReportWriter, LatestAllowedTimeIsAccepted)
{
    TempDir dir;
    PskReportWriter writer((dir / "psk-reports.sqlite3").string());
    EXPECT_EQ(error_of([&] { writer.record_batch(1, 9000000000000); }), "");
}

TEST(PskReportWriter, InertWriterIgnoresEverything)
{
    TempDir dir;
    PskReportWriter writer("");
    EXPECT_EQ(error_of([&] {
                  writer.record_batch(1, 1700000000);
                  writer.record_batch(static_cast<std::uint64_t>(-1), -1);
              }),
              "");
}

// A record file that cannot be opened: reported once, batches kept up to the bound, the rest and
// whatever is left at the end counted as dropped.
TEST(PskReportWriter, UnavailableFileIsReportedOnceAndTheQueueIsBounded)
{
    TempDir dir;
    fs::create_directory(dir / "psk-reports.sqlite3");
    ::testing::internal::CaptureStderr();
    std::string full;
    {
        PskReportWriter writer((dir / "psk-reports.sqlite3").string());
        for (int i = 0; i < 20000 && full.empty(); ++i)
            full = error_of([&] { writer.record_batch(1, 1700000000 + i); });
    }
    std::string const err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(full, "PSK report history queue full");
    std::size_t const first = err.find("PSK report history unavailable: Cannot open history file; reporting continues\n");
    EXPECT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find("PSK report history unavailable", first + 1), std::string::npos) << err;
    EXPECT_THAT(err, HasSubstr(" send batches\n"));
    EXPECT_TRUE(std::regex_search(err, std::regex("PSK report history dropped [0-9]+ send batches\n$"))) << err;
}

TEST(PskReportWriter, FileOfANewerSchemaIsLeftAlone)
{
    TempDir dir;
    fs::path const path = dir / "psk-reports.sqlite3";
    {
        sqlite3* raw = nullptr;
        sqlite3_open(path.c_str(), &raw);
        SqliteConnection const db(raw);
        exec_sql(db.get(), "PRAGMA user_version=3");
    }
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    ::testing::internal::CaptureStderr();
    {
        PskReportWriter writer(path.string());
        writer.record_batch(7, 1700000000);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "PSK report history unavailable: Unsupported history schema; reporting continues\n"
              "PSK report history dropped 1 send batches\n");
    EXPECT_EQ(scalar(path, "SELECT count(*) FROM sqlite_master WHERE name='psk_sends'"), 0);
}

}  // namespace
