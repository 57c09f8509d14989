#include "report/psk_suppression.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/error_of.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr std::int64_t W = 1700000000;

PskSpot spot(std::string call, std::uint32_t frequency_hz = 14075000, std::string mode = "FT8",
             std::uint32_t time = static_cast<std::uint32_t>(W))
{
    return PskSpot{std::move(call), "", frequency_hz, time, 0, std::move(mode)};
}

std::vector<std::string> calls(std::vector<PskSpot> const& spots)
{
    std::vector<std::string> out;
    for (PskSpot const& s : spots)
        out.push_back(s.sender_call);
    return out;
}

// (sender, band, mode, wall, observed, owner), in key order.
using Row = std::tuple<std::string, std::int64_t, std::string, std::int64_t, std::int64_t, std::string>;

std::vector<Row> rows(sqlite3* db)
{
    std::vector<Row> out;
    SqliteStatement const query = prepare_sql(
        db, "SELECT sender,band,mode,wall,observed,owner FROM reports WHERE receiver='K1ABC' ORDER BY sender,band,mode");
    while (sqlite3_step(query.get()) == SQLITE_ROW) {
        auto text = [&](int column) { return std::string(reinterpret_cast<char const*>(sqlite3_column_text(query.get(), column))); };
        out.emplace_back(text(0), sqlite3_column_int64(query.get(), 1), text(2), sqlite3_column_int64(query.get(), 3),
                         sqlite3_column_int64(query.get(), 4), text(5));
    }
    return out;
}

class PskSuppression : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = (dir / "state" / "psk-dedup.sqlite3").string();
    SqliteConnection db = open_suppression_db(path);

    std::vector<PskSpot> filter(std::vector<PskSpot> batch, std::int64_t wall, std::string const& owner = "1:2:3")
    {
        suppress_duplicates(db.get(), "K1ABC", batch, wall, owner);
        return batch;
    }
};

struct BandCase {
    std::uint32_t frequency_hz;
    std::int64_t key;
};

class PskBandKey : public ::testing::TestWithParam<BandCase> {};

TEST_P(PskBandKey, IsTheBandsLowerEdgeElseTheWholeMegahertz)
{
    EXPECT_EQ(suppression_band_key(GetParam().frequency_hz), GetParam().key);
}

INSTANTIATE_TEST_SUITE_P(Table, PskBandKey,
                         ::testing::Values(BandCase{1800000, 1800000}, BandCase{2000000, 1800000},
                                           BandCase{2000001, 2000000}, BandCase{3573000, 3500000},
                                           BandCase{5357000, 5000000}, BandCase{7074000, 7000000},
                                           BandCase{10136000, 10100000}, BandCase{10150001, 10000000},
                                           BandCase{14074000, 14000000}, BandCase{18100000, 18068000},
                                           BandCase{21074000, 21000000}, BandCase{24915000, 24890000},
                                           BandCase{28074000, 28000000}, BandCase{29700000, 28000000},
                                           BandCase{50313000, 50000000}, BandCase{70154000, 70000000},
                                           BandCase{144174000, 144000000}, BandCase{450000000, 420000000},
                                           BandCase{450000001, 450000000}, BandCase{999999, 0},
                                           BandCase{4294967295u, 4294000000}));

TEST_F(PskSuppression, EmptyStateKeepsEverySpotAndRecordsEach)
{
    EXPECT_THAT(calls(filter({spot("W1AW"), spot("DL1XYZ", 7074000, "FT4", W - 30)}, W, "9:8:1")),
                ElementsAre("W1AW", "DL1XYZ"));
    EXPECT_THAT(rows(db.get()), ElementsAre(Row{"DL1XYZ", 7000000, "FT4", W, W - 30, "9:8:1"},
                                            Row{"W1AW", 14000000, "FT8", W, W, "9:8:1"}));
    // The receiver is part of the key: another station's reports do not hold ours back.
    std::vector<PskSpot> other{spot("W1AW")};
    suppress_duplicates(db.get(), "N0CALL", other, W, "9:8:2");
    EXPECT_EQ(other.size(), 1u);
}

TEST_F(PskSuppression, SenderIsHeldBackOnEveryBandAndModeForThreeHundredSeconds)
{
    filter({spot("W1AW")}, W);
    EXPECT_TRUE(filter({spot("W1AW", 7074000, "FT4", W + 299)}, W + 299).empty());
    EXPECT_EQ(filter({spot("W1AW", 7074000, "FT4", W + 300)}, W + 300).size(), 1u);
    // Due by wall clock, but observed less than 300 s after the stored observation.
    EXPECT_TRUE(filter({spot("W1AW", 3573000, "FT8", W + 599)}, W + 700).empty());
    EXPECT_EQ(rows(db.get()).size(), 2u);
}

TEST_F(PskSuppression, SecondSpotOfASenderInOneBatchIsSuppressed)
{
    EXPECT_THAT(calls(filter({spot("W1AW"), spot("K2XYZ"), spot("W1AW", 7074000)}, W)), ElementsAre("W1AW", "K2XYZ"));
}

TEST_F(PskSuppression, OneRowPerBandAndMode)
{
    filter({spot("W1AW", 14074000)}, W);
    filter({spot("W1AW", 7074000, "FT8", W + 400)}, W + 400);
    EXPECT_THAT(rows(db.get()), ElementsAre(Row{"W1AW", 7000000, "FT8", W + 400, W + 400, "1:2:3"},
                                            Row{"W1AW", 14000000, "FT8", W, W, "1:2:3"}));
}

TEST_F(PskSuppression, RowsExpireAfterADay)
{
    filter({spot("W1AW")}, W);
    filter({spot("K2XYZ", 14074000, "FT8", W + 86401)}, W + 86401);
    EXPECT_THAT(rows(db.get()), ElementsAre(Row{"K2XYZ", 14000000, "FT8", W + 86401, W + 86401, "1:2:3"}));
}

// Band keys from 2.148 GHz on no longer fit 32 bits: the undo must name the row it wrote.
class PskSuppressionRollback : public PskSuppression, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(PskSuppressionRollback, RestoresReplacedRowsExactlyAndRemovesNewOnes)
{
    std::uint32_t const f = GetParam();
    filter({spot("W1AW", f, "FT8", W - 10)}, W, "old:1:1");
    std::vector<Row> const before = rows(db.get());
    std::vector<PskSpot> batch{spot("W1AW", f + 1, "FT8", W + 400), spot("K2XYZ", f, "FT4", W + 400)};
    auto const undo = suppress_duplicates(db.get(), "K1ABC", batch, W + 400, "new:1:2");
    ASSERT_EQ(undo.size(), 2u);
    EXPECT_TRUE(undo[0].had_replaced);
    EXPECT_FALSE(undo[1].had_replaced);
    rollback_suppression(db.get(), "K1ABC", undo);
    EXPECT_EQ(rows(db.get()), before);
}

INSTANTIATE_TEST_SUITE_P(Frequencies, PskSuppressionRollback,
                         ::testing::Values(14074000u, 2147483647u, 2147483648u, 2148000000u, 4294967294u));

TEST_F(PskSuppression, RollbackLeavesRowsThatAnotherOwnerWroteSince)
{
    std::vector<PskSpot> batch{spot("W1AW")};
    auto const undo = suppress_duplicates(db.get(), "K1ABC", batch, W, "mine:1:1");
    exec_sql(db.get(), "UPDATE reports SET owner='theirs:2:1',wall=wall+5");
    std::vector<Row> const overwritten = rows(db.get());
    rollback_suppression(db.get(), "K1ABC", undo);
    EXPECT_EQ(rows(db.get()), overwritten);
}

TEST_F(PskSuppression, FailedFilterLeavesBatchAndStateUnchanged)
{
    filter({spot("W1AW")}, W);
    std::vector<Row> const before = rows(db.get());
    // Another connection holds the write lock past the busy timeout.
    SqliteConnection const other = open_suppression_db(path);
    exec_sql(other.get(), "BEGIN IMMEDIATE");
    std::vector<PskSpot> batch{spot("K2XYZ"), spot("W1AW")};
    EXPECT_THAT(error_of([&] { suppress_duplicates(db.get(), "K1ABC", batch, W + 400, "1:2:4"); }),
                HasSubstr("locked"));
    EXPECT_EQ(batch.size(), 2u);
    exec_sql(other.get(), "ROLLBACK");
    EXPECT_EQ(rows(db.get()), before);
}

TEST_F(PskSuppression, StateOutlivesTheConnection)
{
    filter({spot("W1AW")}, W);
    db.reset();
    db = open_suppression_db(path);
    EXPECT_TRUE(filter({spot("W1AW")}, W + 100).empty());
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(dir / "state").permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST(PskSuppressionMemory, InMemoryStateIsPrivateToItsConnection)
{
    SqliteConnection const first = open_suppression_db(":memory:");
    SqliteConnection const second = open_suppression_db(":memory:");
    std::vector<PskSpot> batch{spot("W1AW")};
    suppress_duplicates(first.get(), "K1ABC", batch, W, "1:1:1");
    batch = {spot("W1AW")};
    suppress_duplicates(second.get(), "K1ABC", batch, W, "1:1:1");
    EXPECT_EQ(batch.size(), 1u);
    batch = {spot("W1AW")};
    suppress_duplicates(first.get(), "K1ABC", batch, W, "1:1:2");
    EXPECT_TRUE(batch.empty());
    EXPECT_FALSE(fs::exists(":memory:"));
}

TEST(PskSuppressionFile, OnlyTheUsersOwnRegularFileIsOpened)
{
    TempDir dir;
    fs::path const target = dir.write_file("target", "");
    fs::create_symlink(target, dir / "link");
    EXPECT_THAT(error_of([&] { open_suppression_db((dir / "link").string()); }),
                StartsWith("Cannot open PSK suppression state " + (dir / "link").string() + ": "));
    fs::create_directory(dir / "directory");
    EXPECT_THAT(error_of([&] { open_suppression_db((dir / "directory").string()); }),
                StartsWith("Cannot open PSK suppression state " + (dir / "directory").string() + ": "));
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    // A FIFO without a reader is refused at once instead of blocking.
    EXPECT_THAT(error_of([&] { open_suppression_db((dir / "fifo").string()); }),
                StartsWith("Cannot open PSK suppression state " + (dir / "fifo").string() + ": "));

    fs::path const loose = dir.write_file("loose", "");
    fs::permissions(loose, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    open_suppression_db(loose.string());
    EXPECT_EQ(fs::status(loose).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    if (::geteuid() != 0)
        GTEST_SKIP() << "another user's file needs root to create";
    fs::path const foreign = dir.write_file("foreign", "");
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    EXPECT_EQ(error_of([&] { open_suppression_db(foreign.string()); }),
              "PSK suppression state must be a regular file owned by this user");
}

// Two processes filter the same senders at the same moment on one file: each sender is kept by
// exactly one of them.
TEST(PskSuppressionProcesses, SharedFileLetsEachSenderThroughOnce)
{
    TempDir dir;
    std::string const path = (dir / "psk-dedup.sqlite3").string();
    open_suppression_db(path);
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    std::vector<pid_t> children;
    std::vector<int> results;
    for (int child = 0; child < 2; ++child) {
        int result[2];
        ASSERT_EQ(::pipe(result), 0);
        pid_t const pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(go[1]);
            char byte = 0;
            if (::read(go[0], &byte, 1) != 0)
                ::_exit(3);
            std::string kept;
            try {
                SqliteConnection const db = open_suppression_db(path);
                for (int attempt = 0;; ++attempt) {
                    std::vector<PskSpot> batch;
                    for (char const* call : {"W1AW", "K2XYZ", "DL1XYZ", "JA1ABC", "VK2DEF"})
                        batch.push_back(spot(call));
                    try {
                        suppress_duplicates(db.get(), "K1ABC", batch, W, "1:" + std::to_string(::getpid()) + ":1");
                    } catch (std::exception const&) {
                        if (attempt < 50)
                            continue;  // the other process held the lock past the busy timeout
                        throw;
                    }
                    for (PskSpot const& s : batch)
                        kept += s.sender_call + " ";
                    break;
                }
            } catch (...) {
                ::_exit(2);
            }
            ssize_t const written = ::write(result[1], kept.data(), kept.size());
            ::_exit(written == static_cast<ssize_t>(kept.size()) ? 0 : 4);
        }
        ::close(result[1]);
        children.push_back(pid);
        results.push_back(result[0]);
    }
    ::close(go[0]);
    ::close(go[1]);  // both start now
    std::string all;
    for (std::size_t i = 0; i < children.size(); ++i) {
        int status = 0;
        char buffer[256];
        for (ssize_t n; (n = ::read(results[i], buffer, sizeof buffer)) > 0;)
            all.append(buffer, static_cast<std::size_t>(n));
        ::close(results[i]);
        ASSERT_EQ(::waitpid(children[i], &status, 0), children[i]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    for (char const* call : {"W1AW ", "K2XYZ ", "DL1XYZ ", "JA1ABC ", "VK2DEF "}) {
        std::size_t const first = all.find(call);
        EXPECT_NE(first, std::string::npos) << call;
        EXPECT_EQ(all.find(call, first + 1), std::string::npos) << call;
    }
    SqliteConnection const db = open_suppression_db(path);
    EXPECT_EQ(rows(db.get()).size(), 5u);
}

}  // namespace
