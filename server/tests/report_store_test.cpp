// The report store and its writer: what is stored, when, and the installations table.
#include "report_store.h"
#include "test_client.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <latch>
#include <thread>

namespace dvs {
namespace {

namespace fs = std::filesystem;

const int64_t kDay1 = 1796601600;  // 2026-12-07 00:00:00 UTC
const int64_t kDay2 = kDay1 + 86400;

Report MakeReport(int64_t when, uint32_t agent, uint8_t machine)
{
    Report report;
    report.unixSeconds = when;
    report.agent = agent;
    report.machine[0] = machine;
    return report;
}

long long CountRows(const fs::path &file)
{
    sqlite3 *db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *query = nullptr;
    long long rows = -1;
    if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM reports", -1, &query, nullptr) == SQLITE_OK &&
        sqlite3_step(query) == SQLITE_ROW)
        rows = sqlite3_column_int64(query, 0);
    sqlite3_finalize(query);
    sqlite3_close(db);
    return rows;
}

TEST(ReportStore, InstallationsPerAgentPerDay)
{
    fs::path file = test::TempFolder("store") / "reports.sqlite";
    std::string error;
    auto store = OpenSqliteStore(file, error);
    ASSERT_TRUE(store) << error;
    Metrics metrics;
    {
        ReportWriter writer(*store, metrics, 1000, 50);
        for (auto report : {MakeReport(kDay1 + 10, 7, 1), MakeReport(kDay1 + 20, 7, 2), MakeReport(kDay1 + 30, 7, 2),
                            MakeReport(kDay1 + 40, 1234, 1), MakeReport(kDay2 + 86399, 7, 3)})
            writer.Submit(report);
        writer.Stop();
    }
    EXPECT_EQ(metrics.reportsStored, 5u);
    auto rows = store->Daily(0, error);
    EXPECT_EQ(FormatDaily(rows, true),
              "day,agent,reports,machines\n"
              "2026-12-07,7,3,2\n"
              "2026-12-07,1234,1,1\n"
              "2026-12-08,7,1,1\n");
    EXPECT_EQ(FormatDaily(rows, false).substr(0, 4), "day ");

    store.reset();  // the file reopens with what was written
    auto reopened = OpenSqliteStore(file, error);
    ASSERT_TRUE(reopened) << error;
    EXPECT_EQ(reopened->Daily(0, error).size(), 3u);
}

// Runs SQL on a connection of its own, as another program on the same file would.
struct OtherConnection {
    explicit OtherConnection(const fs::path &file) { sqlite3_open(file.c_str(), &db); }
    ~OtherConnection() { sqlite3_close(db); }
    bool Exec(const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
    sqlite3 *db = nullptr;
};

// A batch is stored whole or not at all, and only a stored one counts as stored.
TEST(ReportStore, ABatchWithAFailingInsertIsNotStored)
{
    fs::path file = test::TempFolder("refused") / "reports.sqlite";
    std::string error;
    auto store = OpenSqliteStore(file, error);
    ASSERT_TRUE(store) << error;
    OtherConnection other(file);
    ASSERT_TRUE(other.Exec("CREATE TRIGGER refuse BEFORE INSERT ON reports WHEN NEW.agent = 666 "
                           "BEGIN SELECT RAISE(ABORT, 'refused'); END"));
    std::vector<Report> batch{MakeReport(kDay1, 1, 1), MakeReport(kDay1, 666, 2), MakeReport(kDay1, 3, 3)};
    EXPECT_FALSE(store->Append(batch, error));
    EXPECT_NE(error.find("refused"), std::string::npos) << error;
    EXPECT_EQ(CountRows(file), 0);

    Metrics metrics;
    ReportWriter writer(*store, metrics, 1000, 10, std::chrono::milliseconds(300));
    for (const Report &report : batch)
        writer.Submit(report);
    writer.Stop();
    EXPECT_EQ(metrics.reportsStored, 0u);
    EXPECT_EQ(metrics.reportsDropped, 3u) << "given up at the stop, and counted";
    EXPECT_EQ(CountRows(file), 0);
}

// Another program holds the write lock for longer than the store waits for it: the
// reports stay queued and are all stored once it lets go.
TEST(ReportStore, ReportsWaitOutALockedDatabase)
{
    fs::path file = test::TempFolder("locked") / "reports.sqlite";
    std::string error;
    auto store = OpenSqliteStore(file, error, 50);
    ASSERT_TRUE(store) << error;
    Metrics metrics;
    ReportWriter writer(*store, metrics, 1000, 10);
    OtherConnection other(file);
    ASSERT_TRUE(other.Exec("BEGIN EXCLUSIVE"));
    for (int i = 0; i < 100; ++i) {
        writer.Submit(MakeReport(kDay1 + i, 7, static_cast<uint8_t>(i)));
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    ASSERT_TRUE(other.Exec("COMMIT"));
    for (int waited = 0; waited < 300 && metrics.reportsStored < 100; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(metrics.reportsStored, 100u);
    EXPECT_EQ(metrics.reportsDropped, 0u);
    EXPECT_GE(metrics.reportWriteFailures, 2u);
    EXPECT_EQ(CountRows(file), 100);
    writer.Stop();
}

TEST(ReportStore, BatchesReachTheDiskWithoutAStop)
{
    fs::path file = test::TempFolder("batch") / "reports.sqlite";
    std::string error;
    auto store = OpenSqliteStore(file, error);
    ASSERT_TRUE(store) << error;
    Metrics metrics;
    ReportWriter writer(*store, metrics, 100000, 100);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&writer, t] {
            for (int i = 0; i < 1000; ++i)
                writer.Submit(MakeReport(kDay1 + i, static_cast<uint32_t>(t), static_cast<uint8_t>(i)));
        });
    for (auto &thread : threads)
        thread.join();
    // A crash now would lose at most one batch: after a few batch times all is on disk.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(CountRows(file), 4000);
    writer.Stop();
}

// A store that holds the writer until released, as a stalled disk would.
class StalledStore : public ReportStore {
public:
    std::latch release{1};
    std::atomic<size_t> stored{0};
    bool Append(std::span<const Report> batch, std::string &) override
    {
        release.wait();
        stored += batch.size();
        return true;
    }
    std::vector<DailyInstallations> Daily(int64_t, std::string &) override { return {}; }
    bool ExpireBefore(int64_t, Expired &, std::string &) override { return true; }
};

// A store whose every write takes 100 ms, as a busy disk would, fed a report every
// millisecond: when a write begins, its oldest report waited at most the batch time (or
// the write before it, when that took longer). That is what a crash can lose.
class SlowStore : public ReportStore {
public:
    std::vector<std::chrono::steady_clock::time_point> submitted = std::vector<std::chrono::steady_clock::time_point>(4000);
    std::chrono::steady_clock::duration oldest{};
    bool Append(std::span<const Report> batch, std::string &) override
    {
        oldest = std::max(oldest, std::chrono::steady_clock::now() - submitted[batch.front().agent]);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return true;
    }
    std::vector<DailyInstallations> Daily(int64_t, std::string &) override { return {}; }
    bool ExpireBefore(int64_t, Expired &, std::string &) override { return true; }
};

TEST(ReportStore, AReportWaitsNoLongerThanTheBatchTimeOrTheWriteBeforeIt)
{
    SlowStore store;
    Metrics metrics;
    ReportWriter writer(store, metrics, 100000, 100);
    for (uint32_t i = 0; i < 1200; ++i) {
        store.submitted[i] = std::chrono::steady_clock::now();
        writer.Submit(MakeReport(kDay1, i, 1));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    writer.Stop();
    EXPECT_EQ(metrics.reportsStored, 1200u);
    EXPECT_LT(store.oldest, std::chrono::milliseconds(150))
        << std::chrono::duration_cast<std::chrono::milliseconds>(store.oldest).count() << " ms";
}

TEST(ReportStore, AStalledStoreDropsBeyondTheQueueAndNeverBlocksSubmit)
{
    StalledStore store;
    Metrics metrics;
    ReportWriter writer(store, metrics, 100, 1);
    writer.Submit(MakeReport(kDay1, 1, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the writer now waits in Append
    auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 150; ++i)
        writer.Submit(MakeReport(kDay1, 1, 1));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(200));
    EXPECT_EQ(metrics.reportsDropped, 51u) << "the report being written counts against the queue";
    EXPECT_EQ(metrics.reportsQueued, 100);
    store.release.count_down();
    writer.Stop();
    EXPECT_EQ(store.stored, 100u);
    EXPECT_EQ(metrics.reportsQueued, 0);
}

}  // namespace
}  // namespace dvs
