// The report store and its writer: what is stored, when, and the installations table.
#include "base/files.h"
#include "fleet/fleet_reports.h"
#include "fleet/postgres.h"
#include "fleet/schema.h"
#include "reports/report_keeper.h"
#include "reports/sqlite_report_store.h"
#include "reports/report_writer.h"
#include "release/signed_manifest.h"
#include "test_client.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>

#include <atomic>
#include <ctime>
#include <future>
#include <fstream>
#include <functional>
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

long long CountRows(const fs::path &file, const std::string &table = "reports")
{
    sqlite3 *db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt *query = nullptr;
    long long rows = -1;
    if (sqlite3_prepare_v2(db, ("SELECT COUNT(*) FROM " + table).c_str(), -1, &query, nullptr) == SQLITE_OK &&
        sqlite3_step(query) == SQLITE_ROW)
        rows = sqlite3_column_int64(query, 0);
    sqlite3_finalize(query);
    sqlite3_close(db);
    return rows;
}

// MakeReport's machine as the first byte's hex digits.
std::string MachineHex(size_t machine)
{
    char hex[3];
    snprintf(hex, sizeof hex, "%02X", static_cast<unsigned>(machine));
    return hex;
}

const MachineKey kFleetKey(std::array<uint8_t, 32>{5, 4, 3});

// The cluster the fleet's cases share, started with the first of them.
test::PostgresCluster &Cluster()
{
    static test::PostgresCluster cluster;
    return cluster;
}

long long Number(const std::string &text)
{
    return text.empty() ? -1 : std::atoll(text.c_str());
}

// Both stores over their SQLite file: a single server's own, and a fleet server's outbox
// (table outbox), whose reports ship on to PostgreSQL. A store's writes wait busyMs for
// another program's lock.
struct Store {
    const char *name;
    const char *table;  // where the file keeps the reports
    std::function<std::unique_ptr<ReportStore>(const fs::path &, Metrics &, std::string &, int busyMs)> open;
    // Reports kept for good: in the file, and for the fleet in PostgreSQL as well.
    std::function<long long(const fs::path &)> kept;
    // Those of MakeReport's machine number among them.
    std::function<long long(const fs::path &, size_t machine)> keptOf;
};

std::vector<Store> Stores()
{
    return {
        {"sqlite", "reports",
         [](const fs::path &file, Metrics &, std::string &error, int busyMs) {
             return OpenSqliteStore(file, error, busyMs);
         },
         [](const fs::path &file) { return CountRows(file); },
         [](const fs::path &file, size_t machine) {
             return CountRows(file, "reports WHERE hex(machine) LIKE '" + MachineHex(machine) + "%'");
         }},
        {"fleet", "outbox",
         [](const fs::path &file, Metrics &metrics, std::string &error, int busyMs) {
             return OpenFleetReportStore(file, Cluster().Conninfo(), file.parent_path().filename().string(), kFleetKey, metrics,
                                         error, busyMs);
         },
         [](const fs::path &file) {
             return CountRows(file, "outbox") +
                    Number(Cluster().Sql("SELECT count(*) FROM reports WHERE server = '" +
                                         file.parent_path().filename().string() + "'"));
         },
         [](const fs::path &file, size_t machine) {
             return CountRows(file, "outbox WHERE hex(machine) LIKE '" + MachineHex(machine) + "%'") +
                    Number(Cluster().Sql("SELECT count(*) FROM reports WHERE server = '" +
                                         file.parent_path().filename().string() + "' AND machine = '\\x" +
                                         MachineHex(machine) + std::string(62, '0') + "'::bytea"));
         }},
    };
}

// The same table from a single server's SQLite file and from the fleet's PostgreSQL,
// which the fleet's store reaches through its outbox.
TEST(ReportStore, InstallationsPerAgentPerDay)
{
    ASSERT_TRUE(Cluster().Running());
    Cluster().Sql("DROP SCHEMA public CASCADE; CREATE SCHEMA public");
    for (const Store &c : Stores()) {
        SCOPED_TRACE(c.name);
        fs::path file = test::TempFolder(std::string("store-") + c.name) / "reports.sqlite";
        std::string error;
        Metrics metrics;
        auto store = c.open(file, metrics, error, 5000);
        ASSERT_TRUE(store) << error;
        {
            ReportWriter writer(*store, metrics, 1000, 50);
            for (auto report : {MakeReport(kDay1 + 10, 7, 1), MakeReport(kDay1 + 20, 7, 2), MakeReport(kDay1 + 30, 7, 2),
                                MakeReport(kDay1 + 40, 1234, 1), MakeReport(kDay2 + 86399, 7, 3)})
                writer.Submit(report);
            writer.Stop();
        }
        EXPECT_EQ(metrics.reportsStored, 5u);
        store.reset();  // the fleet's store ships what waits before it closes
        auto reopened = c.open(file, metrics, error, 5000);
        ASSERT_TRUE(reopened) << error;
        auto rows = reopened->Daily(0, error);
        EXPECT_EQ(error, "");
        EXPECT_EQ(FormatDaily(rows, true),
                  "day,agent,reports,machines\n"
                  "2026-12-07,7,3,2\n"
                  "2026-12-07,1234,1,1\n"
                  "2026-12-08,7,1,1\n");
        EXPECT_EQ(FormatDaily(rows, false).substr(0, 4), "day ");

        // A machine a day has seen in an earlier batch is not counted again; forgetting one
        // takes its reports and itself out of its days' counts.
        const Report later[] = {MakeReport(kDay1 + 50, 7, 2), MakeReport(kDay1 + 60, 7, 9), MakeReport(kDay2, 1234, 1)};
        ASSERT_TRUE(reopened->Append(later, error)) << error;
        for (int i = 0; i < 500 && c.table != std::string("reports") && CountRows(file, c.table) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the outbox shipped to PostgreSQL
        ASSERT_EQ(c.kept(file), 8);
        EXPECT_EQ(FormatDaily(reopened->Daily(0, error), true),
                  "day,agent,reports,machines\n"
                  "2026-12-07,7,5,3\n"
                  "2026-12-07,1234,1,1\n"
                  "2026-12-08,7,1,1\n"
                  "2026-12-08,1234,1,1\n");
        EXPECT_EQ(reopened->Forget(later[0].machine, error), 3) << error;
        EXPECT_EQ(FormatDaily(reopened->Daily(kDay1, error), true),
                  "day,agent,reports,machines\n"
                  "2026-12-07,7,2,2\n"
                  "2026-12-07,1234,1,1\n"
                  "2026-12-08,7,1,1\n"
                  "2026-12-08,1234,1,1\n");
    }
}

// A file of a server from before the counts were kept (reports, and counts only of the
// days the retention ended) gets its counts once as it opens, the same table as before.
TEST(ReportStore, AnOlderFileGetsItsCountsOnceAsItOpens)
{
    fs::path file = test::TempFolder("older-counts") / "reports.sqlite";
    std::string error;
    auto store = OpenSqliteStore(file, error);
    ASSERT_TRUE(store) << error;
    std::vector<Report> reports;
    for (int i = 0; i < 40; ++i)
        reports.push_back(MakeReport(kDay1 + (i % 3) * 86400 + i, 7 + i % 2, static_cast<uint8_t>(i % 5)));
    ASSERT_TRUE(store->Append(reports, error)) << error;
    Expired expired;
    ASSERT_TRUE(store->ExpireBefore(kDay2, expired, error)) << error;
    const std::string table = FormatDaily(store->Daily(0, error), true);
    store.reset();
    // As an older server left it.
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE day_machines; DELETE FROM daily_counts WHERE day >= '2026-12-08';"
                               "PRAGMA user_version = 0;", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    EXPECT_EQ(CountRows(file, "daily_counts"), 2) << "only the expired day's counts are left";

    auto older = OpenSqliteStore(file, error);
    ASSERT_TRUE(older) << error;
    EXPECT_EQ(FormatDaily(older->Daily(0, error), true), table);
    // Its machines are known again: one seen before adds a report to its day, not a machine.
    const Report again[] = {MakeReport(kDay2 + 99, 7, 0)};
    ASSERT_TRUE(older->Append(again, error)) << error;
    older.reset();
    auto reopened = OpenSqliteStore(file, error);  // and the counts are not made twice
    ASSERT_TRUE(reopened) << error;
    std::string expected = table;
    size_t at = expected.find("2026-12-08,7,");
    ASSERT_NE(at, std::string::npos) << table;
    size_t comma = expected.find(',', at + 13);
    int reportsOfDay = std::stoi(expected.substr(at + 13, comma - at - 13));
    expected.replace(at + 13, comma - at - 13, std::to_string(reportsOfDay + 1));
    EXPECT_EQ(FormatDaily(reopened->Daily(0, error), true), expected);
}

// PostgreSQL away while reports arrive, back, and a batch shipped a second time (the
// server killed after PostgreSQL's commit, before the outbox's delete): every report is
// in PostgreSQL exactly once.
TEST(ReportStore, FleetOutboxShipsEachReportOnce)
{
    test::PostgresCluster &cluster = Cluster();
    ASSERT_TRUE(cluster.Running());
    cluster.Sql("DROP SCHEMA public CASCADE; CREATE SCHEMA public");
    fs::path folder = test::TempFolder("outbox");
    fs::path outbox = folder / "outbox.sqlite";
    auto submit = [](ReportWriter &writer, int from, int count) {
        for (int i = from; i < from + count; ++i)
            writer.Submit(MakeReport(kDay1 + i, static_cast<uint32_t>(i), static_cast<uint8_t>(i)));
    };
    auto waitFor = [](const auto &value, auto wanted) {
        for (int i = 0; i < 150 && value.load() != wanted; ++i)  // 3 s: shipping starts at once
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return value.load();
    };
    const std::string count = "SELECT count(*) FROM reports";
    std::string error;
    {
        Metrics metrics;
        auto store = OpenFleetReportStore(outbox, cluster.Conninfo(), "vs-once", kFleetKey, metrics, error);
        ASSERT_TRUE(store) << error;
        ReportWriter writer(*store, metrics, 10000, 20);
        submit(writer, 0, 500);
        EXPECT_EQ(waitFor(metrics.reportsShipped, 500u), 500u);
        EXPECT_EQ(metrics.reportsOutbox, 0);
        EXPECT_EQ(metrics.fleetDatabaseUp, 1);

        ASSERT_TRUE(cluster.Stop());
        submit(writer, 500, 300);
        EXPECT_EQ(waitFor(metrics.reportsOutbox, 300), 300) << "the reports wait in the outbox";
        EXPECT_EQ(waitFor(metrics.fleetDatabaseUp, 0), 0);
        writer.Stop();
    }
    // The outbox as a kill between PostgreSQL's commit and the delete would leave it.
    for (const char *suffix : {"", "-wal"})
        if (fs::exists(outbox.string() + suffix))
            fs::copy_file(outbox.string() + suffix, folder / (std::string("copy") + suffix));
    ASSERT_TRUE(cluster.Start());
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round == 0 ? "PostgreSQL back" : "the same 300 shipped again");
        Metrics metrics;
        auto store = OpenFleetReportStore(outbox, cluster.Conninfo(), "vs-once", kFleetKey, metrics, error);
        ASSERT_TRUE(store) << error;
        EXPECT_EQ(metrics.reportsOutbox, 300);
        EXPECT_EQ(waitFor(metrics.reportsShipped, 300u), 300u);
        EXPECT_EQ(metrics.reportsOutbox, 0);
        EXPECT_EQ(Number(cluster.Sql(count)), 800);
        EXPECT_EQ(Number(cluster.Sql("SELECT count(DISTINCT agent) FROM reports")), 800);
        store.reset();
        for (const char *suffix : {"", "-wal"}) {
            fs::remove(outbox.string() + suffix);
            if (fs::exists(folder / (std::string("copy") + suffix)))
                fs::copy_file(folder / (std::string("copy") + suffix), outbox.string() + suffix);
        }
    }

    // A database a later server has moved on is left alone.
    cluster.Sql("UPDATE dorera_schema SET version = version + 1");
    OpenFleetCounts(cluster.Conninfo())->Daily(0, error);
    EXPECT_NE(error.find("update the server"), std::string::npos) << error;
    cluster.Sql("UPDATE dorera_schema SET version = version - 1");
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
    ASSERT_TRUE(Cluster().Running());
    for (const Store &c : Stores()) {
        SCOPED_TRACE(c.name);
        fs::path file = test::TempFolder(std::string("refused-") + c.name) / "reports.sqlite";
        std::string error;
        Metrics metrics;
        auto store = c.open(file, metrics, error, 5000);
        ASSERT_TRUE(store) << error;
        OtherConnection other(file);
        ASSERT_TRUE(other.Exec((std::string("CREATE TRIGGER refuse BEFORE INSERT ON ") + c.table +
                                " WHEN NEW.agent = 666 BEGIN SELECT RAISE(ABORT, 'refused'); END")
                                   .c_str()));
        std::vector<Report> batch{MakeReport(kDay1, 1, 1), MakeReport(kDay1, 666, 2), MakeReport(kDay1, 3, 3)};
        EXPECT_FALSE(store->Append(batch, error));
        EXPECT_NE(error.find("refused"), std::string::npos) << error;
        EXPECT_EQ(c.kept(file), 0);

        ReportWriter writer(*store, metrics, 1000, 10, std::chrono::milliseconds(300));
        for (const Report &report : batch)
            writer.Submit(report);
        writer.Stop();
        EXPECT_EQ(metrics.reportsStored, 0u);
        EXPECT_EQ(metrics.reportsDropped, 3u) << "given up at the stop, and counted";
        store.reset();
        EXPECT_EQ(c.kept(file), 0);
    }
}

// Another program holds the write lock for longer than the store waits for it: the
// reports stay queued and are all stored once it lets go.
TEST(ReportStore, ReportsWaitOutALockedDatabase)
{
    ASSERT_TRUE(Cluster().Running());
    for (const Store &c : Stores()) {
        SCOPED_TRACE(c.name);
        fs::path file = test::TempFolder(std::string("locked-") + c.name) / "reports.sqlite";
        std::string error;
        Metrics metrics;
        auto store = c.open(file, metrics, error, 50);
        ASSERT_TRUE(store) << error;
        ReportWriter writer(*store, metrics, 1000, 10);
        OtherConnection other(file);
        ASSERT_TRUE(other.Exec("BEGIN EXCLUSIVE"));
        for (int i = 0; i < 100; ++i) {
            writer.Submit(MakeReport(kDay1 + i, 7, static_cast<uint8_t>(i)));
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
        EXPECT_EQ(metrics.reportsStored, 0u);
        ASSERT_TRUE(other.Exec("COMMIT"));
        for (int waited = 0; waited < 300 && metrics.reportsStored < 100; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(metrics.reportsStored, 100u);
        EXPECT_EQ(metrics.reportsDropped, 0u);
        EXPECT_GE(metrics.reportWriteFailures, 2u);
        writer.Stop();
        store.reset();  // the fleet's store ships what waits before it closes
        EXPECT_EQ(c.kept(file), 100);
    }
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
    std::this_thread::sleep_for(std::chrono::milliseconds(500) * test::kSanitizerSlowdown);
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
    int64_t Forget(const MachineHash &, std::string &) override { return 0; }
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
    int64_t Forget(const MachineHash &, std::string &) override { return 0; }
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
    EXPECT_LT(store.oldest, std::chrono::milliseconds(100 + 50 * test::kSanitizerSlowdown))
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

// A machine's hash is HMAC-SHA256(secret, MAC) (the values below from Python's hmac), the
// same from every thread and every copy of the key: stored hashes stay comparable.
TEST(ReportStore, TheMachineHashIsHmacSha256InEveryThread)
{
    std::vector<uint8_t> hundred(100);
    for (size_t i = 0; i < hundred.size(); ++i)
        hundred[i] = static_cast<uint8_t>(i);
    const struct {
        std::vector<uint8_t> mac;
        const char *hmac;
    } vectors[] = {
        {{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0, 0}, "53b2472bd8b3b24009b38b0260121f0941b798ecbe0e093fe5e3ba74d4017d48"},
        {{}, "b6f22da94e9f0cf0197f2b257eaeeffdc3b1736b00ab2aeef020a37accdbda17"},
        {hundred, "c638d4e89dd80d914fa55e134871079513da3f711f6c7154ac6696878b67e49e"},
    };
    const MachineKey copy = kFleetKey;
    for (const auto &vector : vectors) {
        EXPECT_EQ(Hex(kFleetKey.Hash(vector.mac)), vector.hmac);
        EXPECT_EQ(Hex(copy.Hash(vector.mac)), vector.hmac);
    }
    std::vector<MachineHash> once(1000);
    for (size_t i = 0; i < once.size(); ++i)
        once[i] = kFleetKey.Hash(std::array<uint8_t, 6>{1, 2, 3, 4, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)});
    std::atomic<int> differing{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (size_t i = 0; i < once.size(); ++i)
                if (copy.Hash(std::array<uint8_t, 6>{1, 2, 3, 4, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}) !=
                    once[i])
                    ++differing;
        });
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(differing, 0);
}

// The secret is made once, with no other reader than its owner, and read back as the same
// key; a file that holds anything but 64 hex digits is refused rather than replaced.
TEST(ReportStore, TheMachineKeyIsMadeOnceAndReadAgain)
{
    fs::path folder = test::TempFolder("key"), file = folder / "machine.key";
    const std::array<uint8_t, 8> mac{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0, 0};
    bool made = false;
    std::string error;
    std::optional<MachineKey> first = MachineKey::LoadOrCreate(file, made, error);
    ASSERT_TRUE(first) << error;
    EXPECT_TRUE(made);
    struct stat status {};
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    std::optional<MachineKey> again = MachineKey::LoadOrCreate(file, made, error);
    ASSERT_TRUE(again) << error;
    EXPECT_FALSE(made);
    EXPECT_EQ(first->Hash(mac), again->Hash(mac));
    std::optional<MachineKey> other = MachineKey::LoadOrCreate(folder / "other.key", made, error);
    ASSERT_TRUE(other) << error;
    EXPECT_NE(first->Hash(mac), other->Hash(mac)) << "each key its own hashes";

    const std::string digits(64, 'a');
    struct Case {
        std::string text;
        bool read;
    } cases[] = {{digits + "\n", true}, {"  " + std::string(64, 'F') + "  \n", true}, {"", false},
                 {digits.substr(1), false}, {digits + "ab", false}, {digits.substr(1) + "g", false}};
    for (const Case &c : cases) {
        std::ofstream(folder / "given.key") << c.text;
        EXPECT_EQ(MachineKey::LoadOrCreate(folder / "given.key", made, error).has_value(), c.read) << c.text;
        EXPECT_FALSE(made);
    }
}

bool FileHolds(const fs::path &file, const std::vector<uint8_t> &bytes)
{
    std::ifstream in(file, std::ios::binary);
    std::vector<uint8_t> content((std::istreambuf_iterator<char>(in)), {});
    return std::search(content.begin(), content.end(), bytes.begin(), bytes.end()) != content.end();
}

// A file an older server wrote, MAC and player's addresses in every row, is rewritten in
// place: every row kept, the counts unchanged, no byte of an address left in the file or
// its log; a machine seen before the migration still counts as that machine after it.
TEST(ReportStore, AnOlderFileIsMigratedToKeyedHashesInPlace)
{
    fs::path file = test::TempFolder("migrate") / "reports.sqlite";
    struct Old {
        int64_t when;
        uint32_t agent;
        uint8_t machine;
    } rows[] = {{kDay1 + 10, 7, 1},    {kDay1 + 20, 7, 2},  {kDay1 + 30, 7, 2},       {kDay1 + 40, 1234, 1},
                {kDay2 + 5, 7, 3},     {kDay2 + 6, 7, 3},   {kDay2 + 86399, 1234, 4}, {kDay2 + 7, 1234, 1}};
    auto macOf = [](uint8_t machine) { return std::vector<uint8_t>{0x00, 0x1A, 0x2B, 0x3C, 0x4D, machine, 0, 0}; };
    auto peerOf = [](uint8_t machine) { return "198.51.100." + std::to_string(machine) + ":40" + std::to_string(machine); };
    {
        OtherConnection old(file);  // the table as the older server made it
        ASSERT_TRUE(old.Exec("PRAGMA journal_mode=WAL;"
                             "CREATE TABLE reports (id INTEGER PRIMARY KEY, received INTEGER NOT NULL, agent INTEGER "
                             "NOT NULL, mac BLOB NOT NULL, peer TEXT NOT NULL);"
                             "CREATE INDEX reports_received ON reports(received);"));
        sqlite3_stmt *insert = nullptr;
        sqlite3_prepare_v2(old.db, "INSERT INTO reports(received, agent, mac, peer) VALUES(?,?,?,?)", -1, &insert, nullptr);
        for (const Old &row : rows) {
            std::vector<uint8_t> mac = macOf(row.machine);
            std::string peer = peerOf(row.machine);
            sqlite3_bind_int64(insert, 1, row.when);
            sqlite3_bind_int64(insert, 2, row.agent);
            sqlite3_bind_blob(insert, 3, mac.data(), static_cast<int>(mac.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 4, peer.c_str(), -1, SQLITE_TRANSIENT);
            ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
    }
    auto anyAddressIn = [&](const fs::path &path) {
        for (const Old &row : rows) {
            std::string peer = peerOf(row.machine);
            if (FileHolds(path, macOf(row.machine)) || FileHolds(path, std::vector<uint8_t>(peer.begin(), peer.end())))
                return true;
        }
        return false;
    };
    ASSERT_TRUE(anyAddressIn(file) || anyAddressIn(file.string() + "-wal")) << "the old file holds them";
    const std::string counted = "day,agent,reports,machines\n"
                                "2026-12-07,7,3,2\n"
                                "2026-12-07,1234,1,1\n"
                                "2026-12-08,7,2,1\n"
                                "2026-12-08,1234,2,2\n";

    std::string error;
    EXPECT_FALSE(OpenSqliteStore(file, error)) << "no key, no migration";
    EXPECT_NE(error.find("holds MAC addresses"), std::string::npos) << error;
    const MachineKey key(std::array<uint8_t, 32>{9, 8, 7});
    auto store = OpenSqliteStore(file, error, 5000, &key);
    ASSERT_TRUE(store) << error;
    EXPECT_EQ(CountRows(file), static_cast<long long>(std::size(rows)));
    EXPECT_EQ(FormatDaily(store->Daily(0, error), true), counted);
    for (const char *part : {"", "-wal", "-shm"})
        EXPECT_FALSE(anyAddressIn(file.string() + part)) << "an address left in reports.sqlite" << part;

    Report again;  // machine 3 once more on the second day, through the live path's hash
    again.unixSeconds = kDay2 + 100;
    again.agent = 7;
    std::vector<uint8_t> mac = macOf(3);
    again.machine = key.Hash(mac);
    ASSERT_TRUE(store->Append(std::span<const Report>(&again, 1), error)) << error;
    EXPECT_NE(FormatDaily(store->Daily(0, error), true).find("2026-12-08,7,3,1\n"), std::string::npos);
    store.reset();
    EXPECT_TRUE(OpenSqliteStore(file, error)) << "a migrated file opens without the key: " << error;

    // A fleet of the older servers: half the rows in PostgreSQL (schema version 1), half
    // still in an outbox. Moving the schema on needs the key; with it, both are hashed,
    // the same machine counts once across them, and the addresses are gone.
    ASSERT_TRUE(Cluster().Running());
    Cluster().Sql("DROP SCHEMA public CASCADE; CREATE SCHEMA public;"
                  "CREATE TABLE dorera_schema (version integer NOT NULL); INSERT INTO dorera_schema VALUES (1);"
                  "CREATE TABLE reports (origin text NOT NULL, local_id bigint NOT NULL, server text NOT NULL,"
                  " received bigint NOT NULL, agent bigint NOT NULL, mac bytea NOT NULL, peer text NOT NULL,"
                  " PRIMARY KEY (origin, local_id));"
                  "CREATE TABLE servers (name text PRIMARY KEY, release integer, release_id text, state text NOT NULL,"
                  " seen timestamptz NOT NULL DEFAULT now())");
    fs::path outbox = test::TempFolder("migrate-outbox") / "outbox.sqlite";
    {
        OtherConnection old(outbox);
        ASSERT_TRUE(old.Exec("CREATE TABLE outbox (id INTEGER PRIMARY KEY AUTOINCREMENT, received INTEGER NOT NULL,"
                             " agent INTEGER NOT NULL, mac BLOB NOT NULL, peer TEXT NOT NULL);"
                             "CREATE TABLE outbox_origin (origin TEXT NOT NULL); INSERT INTO outbox_origin VALUES ('o2');"));
    }
    for (size_t i = 0; i < std::size(rows); ++i) {
        std::string mac;
        for (uint8_t byte : macOf(rows[i].machine))
            mac += MachineHex(byte);
        std::string values = std::to_string(rows[i].when) + ", " + std::to_string(rows[i].agent) + ", ";
        if (i % 2 == 0) {
            Cluster().Sql("INSERT INTO reports VALUES ('o1', " + std::to_string(i) + ", 'old', " + values + "'\\x" + mac +
                          "', '" + peerOf(rows[i].machine) + "')");
        } else {
            OtherConnection old(outbox);
            ASSERT_TRUE(old.Exec(("INSERT INTO outbox(received, agent, mac, peer) VALUES (" + values + "x'" + mac +
                                  "', '" + peerOf(rows[i].machine) + "')")
                                     .c_str()));
        }
    }
    EXPECT_TRUE(OpenFleetCounts(Cluster().Conninfo())->Daily(0, error).empty());
    EXPECT_NE(error.find("start one first"), std::string::npos) << error;
    EXPECT_EQ(Number(Cluster().Sql("SELECT version FROM dorera_schema")), 1);
    {
        Metrics metrics;
        auto fleet = OpenFleetReportStore(outbox, Cluster().Conninfo(), "new", kFleetKey, metrics, error);
        ASSERT_TRUE(fleet) << error;
        EXPECT_FALSE(anyAddressIn(outbox) || anyAddressIn(outbox.string() + "-wal")) << "the outbox is hashed at once";
        for (int i = 0; i < 150 && metrics.reportsShipped.load() < std::size(rows) / 2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        error.clear();
        EXPECT_EQ(FormatDaily(fleet->Daily(0, error), true), counted) << error;
    }
    EXPECT_EQ(Number(Cluster().Sql("SELECT version FROM dorera_schema")), pg::kSchemaVersion);
    EXPECT_EQ(Number(Cluster().Sql("SELECT count(*) FROM information_schema.columns WHERE table_name = 'reports' AND "
                                   "column_name IN ('mac', 'peer')")),
              0);
    MachineHash first = kFleetKey.Hash(macOf(1));
    EXPECT_EQ(Number(Cluster().Sql("SELECT count(*) FROM reports WHERE machine = '\\x" + Hex(first) + "'")), 3)
        << "machine 1's rows from PostgreSQL and from the outbox, under the fleet's key";
    Metrics metrics;
    const MachineKey otherKey(std::array<uint8_t, 32>{1});
    auto stranger = OpenFleetReportStore(test::TempFolder("other-key") / "outbox.sqlite", Cluster().Conninfo(), "stranger",
                                         otherKey, metrics, error);
    ASSERT_TRUE(stranger) << error;
    Report report = MakeReport(kDay2, 9, 1);
    ASSERT_TRUE(stranger->Append(std::span<const Report>(&report, 1), error)) << error;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(metrics.reportsShipped.load(), 0u) << "a server with another key ships nothing";
    EXPECT_EQ(metrics.reportsOutbox.load(), 1);
}

// A fleet database from before the counts were kept (reports, and counts only of the days
// the retention ended) gets its counts once as a server connects; from then on they are
// read without a look at the reports, and kept by whatever inserts reports.
TEST(ReportStore, AnOlderFleetDatabaseGetsItsCountsOnceAndTheyAreReadWithoutTheReports)
{
    ASSERT_TRUE(Cluster().Running());
    Cluster().Sql("DROP SCHEMA public CASCADE; CREATE SCHEMA public");
    fs::path outbox = test::TempFolder("older-fleet") / "outbox.sqlite";
    std::string error;
    Metrics metrics;
    auto store = OpenFleetReportStore(outbox, Cluster().Conninfo(), "older", kFleetKey, metrics, error);
    ASSERT_TRUE(store) << error;
    std::vector<Report> reports;
    for (int i = 0; i < 40; ++i)
        reports.push_back(MakeReport(kDay1 + (i % 3) * 86400 + i, 7 + i % 2, static_cast<uint8_t>(i % 5)));
    ASSERT_TRUE(store->Append(reports, error)) << error;
    for (int i = 0; i < 250 && metrics.reportsShipped.load() < reports.size(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Expired expired;
    ASSERT_TRUE(store->ExpireBefore(kDay2, expired, error)) << error;
    const std::string table = FormatDaily(store->Daily(0, error), true);
    ASSERT_NE(table.find("2026-12-09,"), std::string::npos) << table << error;
    store.reset();
    // As a server of the version before left it.
    Cluster().Sql("DROP TRIGGER reports_counted ON reports; DROP FUNCTION dorera_count_reports();"
                  "DROP TABLE day_machines; DELETE FROM daily_counts WHERE day >= '2026-12-08';"
                  "ALTER TABLE servers DROP COLUMN sample_checks, DROP COLUMN sample_current;"
                  "UPDATE dorera_schema SET version = 2");
    EXPECT_EQ(FormatDaily(OpenFleetCounts(Cluster().Conninfo())->Daily(0, error), true), table) << error;
    EXPECT_EQ(Number(Cluster().Sql("SELECT version FROM dorera_schema")), pg::kSchemaVersion);

    // A server of the version before, still running, inserts one more report of a machine
    // the day has seen: one report more, no machine more.
    Cluster().Sql("INSERT INTO reports SELECT origin, local_id + 1000, server, received, agent, machine FROM reports "
                  "WHERE received = " + std::to_string(kDay2 + 1));
    std::string expected = table;
    const std::string day = "2026-12-08,8,";
    size_t at = expected.find(day);
    ASSERT_NE(at, std::string::npos) << table;
    size_t comma = expected.find(',', at + day.size());
    int reportsOfDay = std::stoi(expected.substr(at + day.size(), comma - at - day.size()));
    expected.replace(at + day.size(), comma - at - day.size(), std::to_string(reportsOfDay + 1));
    EXPECT_EQ(FormatDaily(OpenFleetCounts(Cluster().Conninfo())->Daily(0, error), true), expected) << error;

    // The counts answer while another transaction holds every row of the reports locked.
    auto holder = pg::Connection::Open(Cluster().Conninfo(), error);
    ASSERT_TRUE(holder) << error;
    ASSERT_TRUE(holder->Run("BEGIN", error) && holder->Run("LOCK TABLE reports IN ACCESS EXCLUSIVE MODE", error)) << error;
    auto counted = std::async(std::launch::async, [&] {
        std::string countError;
        return FormatDaily(OpenFleetCounts(Cluster().Conninfo())->Daily(0, countError), true) + countError;
    });
    bool answered = counted.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    holder->Run("ROLLBACK", error);
    EXPECT_TRUE(answered) << "the count waited for the reports table";
    EXPECT_EQ(counted.get(), expected);
}

// On an SQLite built without secure delete (Debian's has it), the pages an UPDATE or a
// dropped column leaves behind still hold the old bytes; an older outbox migrates before
// its own secure_delete is set. The migration must write the file anew: with the pragma
// off on its connection, no MAC address or player's address is left in the file or its log.
TEST(ReportStore, TheMigrationLeavesNoOldByteWithoutSecureDelete)
{
    auto macOf = [](int row) {
        return std::vector<uint8_t>{0x00, 0x1A, 0x2B, 0x3C, static_cast<uint8_t>(row >> 8), static_cast<uint8_t>(row), 0, 0};
    };
    auto peerOf = [](int row) { return "198.51.100." + std::to_string(row % 250) + ":" + std::to_string(40000 + row); };
    const int kRows = 300;  // several pages
    for (const char *table : {"reports", "outbox"}) {
        SCOPED_TRACE(table);
        fs::path file = test::TempFolder(std::string("migrate-plain-") + table) / "old.sqlite";
        {
            OtherConnection old(file);
            ASSERT_TRUE(old.Exec((std::string("PRAGMA secure_delete=0; PRAGMA journal_mode=WAL; CREATE TABLE ") + table +
                                  " (id INTEGER PRIMARY KEY, received INTEGER NOT NULL, agent INTEGER NOT NULL,"
                                  " mac BLOB NOT NULL, peer TEXT NOT NULL)")
                                     .c_str()));
            sqlite3_stmt *insert = nullptr;
            sqlite3_prepare_v2(old.db, (std::string("INSERT INTO ") + table + "(received, agent, mac, peer) VALUES(?,?,?,?)").c_str(),
                               -1, &insert, nullptr);
            for (int row = 0; row < kRows; ++row) {
                std::vector<uint8_t> mac = macOf(row);
                sqlite3_bind_int64(insert, 1, kDay1 + row);
                sqlite3_bind_int64(insert, 2, 7);
                sqlite3_bind_blob(insert, 3, mac.data(), static_cast<int>(mac.size()), SQLITE_TRANSIENT);
                sqlite3_bind_text(insert, 4, peerOf(row).c_str(), -1, SQLITE_TRANSIENT);
                ASSERT_EQ(sqlite3_step(insert), SQLITE_DONE);
                sqlite3_reset(insert);
            }
            sqlite3_finalize(insert);
        }
        std::string error;
        sqlite3 *db = OpenReportFile(file, 5000, error);
        ASSERT_TRUE(db) << error;
        ASSERT_TRUE(ExecSql(db, "PRAGMA secure_delete=0", error)) << error;
        sqlite3_stmt *pragma = nullptr;
        sqlite3_prepare_v2(db, "PRAGMA secure_delete", -1, &pragma, nullptr);
        ASSERT_EQ(sqlite3_step(pragma), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(pragma, 0), 0) << "the connection deletes without overwriting";
        sqlite3_finalize(pragma);
        const MachineKey key(std::array<uint8_t, 32>{4, 4, 4});
        EXPECT_TRUE(MigrateToMachineHashes(db, table, &key, file, error)) << error;
        sqlite3_close(db);
        EXPECT_EQ(CountRows(file, table), kRows);
        EXPECT_EQ(CountRows(file, std::string(table) + " WHERE length(machine) = 32"), kRows);
        for (const char *part : {"", "-wal", "-shm"}) {
            int left = 0;
            for (int row = 0; row < kRows; ++row) {
                std::string peer = peerOf(row);
                left += FileHolds(file.string() + part, macOf(row)) ? 1 : 0;
                left += FileHolds(file.string() + part, std::vector<uint8_t>(peer.begin(), peer.end())) ? 1 : 0;
            }
            EXPECT_EQ(left, 0) << "addresses left in old.sqlite" << part;
        }
    }
}

// The report keeper's retention of N days keeps today and the N days before it whole: a
// report at the first second of the oldest day kept stays, one at the last second of the
// day before it goes. For the fleet, in PostgreSQL.
TEST(ReportStore, TheKeeperCutsExactlyAtItsRetention)
{
    ASSERT_TRUE(Cluster().Running());
    Cluster().Sql("DROP SCHEMA public CASCADE; CREATE SCHEMA public");
    const int kRetention = 30;
    while (std::time(nullptr) % 86400 > 86400 - 60)  // the keeper's today must be the test's
        std::this_thread::sleep_for(std::chrono::seconds(1));
    const int64_t now = static_cast<int64_t>(std::time(nullptr)), today = now - now % 86400;
    const int64_t oldestKept = today - kRetention * 86400;
    for (const Store &c : Stores()) {
        SCOPED_TRACE(c.name);
        fs::path file = test::TempFolder(std::string("keeper-") + c.name) / "reports.sqlite";
        std::string error;
        Metrics metrics;
        auto store = c.open(file, metrics, error, 5000);
        ASSERT_TRUE(store) << error;
        struct Case {
            int64_t when;
            bool kept;
        } cases[] = {{oldestKept - 86400, false}, {oldestKept - 1, false}, {oldestKept, true},
                     {oldestKept + 86399, true},  {oldestKept + 86400, true}, {today, true}};
        std::vector<Report> reports;
        for (const Case &k : cases)
            reports.push_back(MakeReport(k.when, 7, static_cast<uint8_t>(reports.size())));
        ASSERT_TRUE(store->Append(reports, error)) << error;
        for (int i = 0; i < 150 && c.kept(file) - CountRows(file, c.table) < 6 && c.table != std::string("reports"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // shipped to PostgreSQL
        ASSERT_EQ(c.kept(file), 6);

        ReportKeeper keeper(*store, metrics, kRetention);
        bool coming = false;
        for (int i = 0; i < 250 && keeper.Counts(coming)->generation == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the first count follows the retention
        ASSERT_GE(keeper.Counts(coming)->generation, 1u);
        keeper.Stop();
        for (size_t i = 0; i < std::size(cases); ++i)
            EXPECT_EQ(c.keptOf(file, i), cases[i].kept ? 1 : 0) << "report " << (cases[i].when - oldestKept) << " s after the oldest day kept began";
    }
}

// The retention deletes the reports of the days before the cut, and only those, one day
// at a time; their counts stay, so the installations table is the same before and after.
// Forgetting a machine deletes its reports and no other's. For the fleet, in PostgreSQL.
TEST(ReportStore, RetentionDeletesOnlyTheDaysBeforeTheCutAndKeepsTheirCounts)
{
    ASSERT_TRUE(Cluster().Running());
    Cluster().Sql("DROP SCHEMA public CASCADE; CREATE SCHEMA public");
    for (const Store &c : Stores()) {
        SCOPED_TRACE(c.name);
        fs::path file = test::TempFolder(std::string("retention-") + c.name) / "reports.sqlite";
        std::string error;
        Metrics metrics;
        auto store = c.open(file, metrics, error, 5000);
        ASSERT_TRUE(store) << error;
        const int64_t cut = kDay1 + 3 * 86400;
        struct Case {
            int64_t when;
            bool kept;
        } cases[] = {{cut - 3 * 86400 + 5, false}, {cut - 86400, false}, {cut - 1, false},
                     {cut, true},                  {cut + 1, true},      {cut + 86400 + 7, true}};
        std::vector<Report> reports;
        for (const Case &c : cases)
            reports.push_back(MakeReport(c.when, 7, static_cast<uint8_t>(reports.size())));
        ASSERT_TRUE(store->Append(reports, error)) << error;
        for (int i = 0; i < 150 && c.kept(file) - CountRows(file, c.table) < 6 && c.table != std::string("reports"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // shipped to PostgreSQL
        const std::string before = FormatDaily(store->Daily(0, error), true);
        ASSERT_NE(before.find("2026-12-07,7,1,1\n"), std::string::npos) << before << error;

        Expired expired;
        ASSERT_TRUE(store->ExpireBefore(cut + 3600, expired, error)) << error;  // taken down to its midnight
        EXPECT_EQ(expired.reports, 3u);
        EXPECT_EQ(expired.days, 2);
        EXPECT_EQ(c.kept(file), 3);
        for (size_t i = 0; i < std::size(cases); ++i)
            EXPECT_EQ(c.keptOf(file, i), cases[i].kept ? 1 : 0) << "report at cut " << cases[i].when - cut << " s";
        EXPECT_EQ(FormatDaily(store->Daily(0, error), true), before) << "the days deleted are still counted";
        EXPECT_EQ(FormatDaily(store->Daily(cut, error), true), "day,agent,reports,machines\n"
                                                               "2026-12-10,7,2,2\n"
                                                               "2026-12-11,7,1,1\n");
        Expired again;
        ASSERT_TRUE(store->ExpireBefore(cut, again, error)) << error;
        EXPECT_EQ(again.reports, 0u);
        EXPECT_EQ(FormatDaily(store->Daily(0, error), true), before) << "a second run counts nothing twice";

        EXPECT_EQ(store->Forget(reports[4].machine, error), 1) << error;
        EXPECT_EQ(store->Forget(reports[0].machine, error), 0) << "its day was expired: only counts are left";
        EXPECT_EQ(c.keptOf(file, 4), 0);
        EXPECT_EQ(c.kept(file), 2);
        EXPECT_EQ(FormatDaily(store->Daily(cut, error), true), "day,agent,reports,machines\n"
                                                               "2026-12-10,7,1,1\n"
                                                               "2026-12-11,7,1,1\n");
    }
}

}  // namespace
}  // namespace dvs
