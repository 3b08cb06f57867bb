#include "fleet/fleet_reports.h"
#include "fleet/schema.h"
#include "reports/sqlite_report_store.h"
#include "base/loop_thread.h"
#include "base/log.h"
#include "fleet/postgres.h"

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>

namespace dvs {

namespace {

using namespace std::chrono_literals;

constexpr int kShipBatch = 5000;

// key: for an outbox an older server left with MAC addresses in it, which are hashed in
// place; none: such an outbox is refused.
sqlite3 *OpenOutbox(const std::filesystem::path &file, int busyMs, const MachineKey *key, std::string &error)
{
    sqlite3 *db = OpenReportFile(file, busyMs, error);
    if (!db)
        return nullptr;
    if (HasColumn(db, "outbox", "mac") && !MigrateToMachineHashes(db, "outbox", key, file, error)) {
        error = file.string() + ": " + error;
        sqlite3_close(db);
        return nullptr;
    }
    // The outbox holds the only copy until PostgreSQL has it: each commit reaches the disk.
    // AUTOINCREMENT: a row number is never given twice, even after the rows were deleted.
    const char *schema =
        "PRAGMA journal_mode=WAL;"
        "PRAGMA synchronous=FULL;"
        "PRAGMA secure_delete=ON;"
        "CREATE TABLE IF NOT EXISTS outbox ("
        "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
        "  received INTEGER NOT NULL,"
        "  agent INTEGER NOT NULL,"
        "  machine BLOB NOT NULL);"  // keyed hash of the MAC, as in the single server's file
        "CREATE TABLE IF NOT EXISTS outbox_origin (origin TEXT NOT NULL);";
    if (!ExecSql(db, schema, error)) {
        error = file.string() + ": " + error;
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

// The outbox's name in PostgreSQL, made once with the file: a new file (a new machine, a
// file deleted) starts its row numbers again under a name of its own.
std::string OutboxOrigin(sqlite3 *db, std::string &error)
{
    if (!ExecSql(db, "BEGIN IMMEDIATE", error))
        return {};
    std::string origin;
    sqlite3_stmt *query = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT origin FROM outbox_origin", -1, &query, nullptr) == SQLITE_OK &&
        sqlite3_step(query) == SQLITE_ROW)
        origin = reinterpret_cast<const char *>(sqlite3_column_text(query, 0));
    sqlite3_finalize(query);
    if (origin.empty()) {
        std::random_device random;
        char text[33];
        snprintf(text, sizeof text, "%08x%08x%08x%08x", random(), random(), random(), random());
        origin = text;
        std::string insert = "INSERT INTO outbox_origin VALUES ('" + origin + "')";
        if (!ExecSql(db, insert.c_str(), error)) {
            std::string ignored;
            ExecSql(db, "ROLLBACK", ignored);
            return {};
        }
    }
    return ExecSql(db, "COMMIT", error) ? origin : std::string();
}

int64_t CountWaiting(sqlite3 *db)
{
    sqlite3_stmt *query = nullptr;
    int64_t count = 0;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM outbox", -1, &query, nullptr) == SQLITE_OK &&
        sqlite3_step(query) == SQLITE_ROW)
        count = sqlite3_column_int64(query, 0);
    sqlite3_finalize(query);
    return count;
}

// The machine's reports and its place among each day's machines deleted, and the days'
// counts lowered by as much, in one statement; the count of reports deleted is its answer.
const char *ForgetSql()
{
    return "WITH gone AS (DELETE FROM reports WHERE machine = $1 RETURNING received, agent),"
           " unseen AS (DELETE FROM day_machines WHERE machine = $1 RETURNING day, agent),"
           " lowered AS (SELECT day, agent, sum(reports) AS reports, sum(machines) AS machines FROM ("
           "   SELECT to_char(to_timestamp(received) AT TIME ZONE 'UTC', 'YYYY-MM-DD') AS day, agent,"
           "   count(*) AS reports, 0 AS machines FROM gone GROUP BY 1, 2"
           "   UNION ALL SELECT day, agent, 0, count(*) FROM unseen GROUP BY 1, 2) AS both_counts GROUP BY 1, 2),"
           " counted AS (UPDATE daily_counts SET reports = daily_counts.reports - lowered.reports,"
           "   machines = daily_counts.machines - lowered.machines FROM lowered"
           "   WHERE daily_counts.day = lowered.day AND daily_counts.agent = lowered.agent RETURNING 1)"
           " SELECT (SELECT count(*) FROM gone), (SELECT count(*) FROM counted)";
}

class FleetStore : public ReportStore {
public:
    FleetStore(sqlite3 *writeDb, sqlite3 *shipDb, std::filesystem::path outbox, std::string origin,
               std::string conninfo, std::string server, const MachineKey &key, Metrics &metrics)
        : writeDb_(writeDb), shipDb_(shipDb), outbox_(std::move(outbox)), origin_(std::move(origin)),
          conninfo_(std::move(conninfo)), server_(std::move(server)), key_(key), metrics_(metrics)
    {
        metrics_.reportsOutbox = CountWaiting(shipDb_);
        metrics_.outboxAtStart = metrics_.reportsOutbox;
        leftByLastRun_ = metrics_.outboxAtStart;
        appended_ = leftByLastRun_ > 0;  // what the last run left ships at once
        thread_ = std::thread([this] { Ship(); });
    }

    ~FleetStore() override
    {
        StopLoopThread(mutex_, stopping_, wake_, thread_);
        sqlite3_finalize(insert_);
        sqlite3_close(writeDb_);
        sqlite3_close(shipDb_);
    }

    bool Append(std::span<const Report> batch, std::string &error) override
    {
        if (!insert_ && sqlite3_prepare_v2(writeDb_, "INSERT INTO outbox(received, agent, machine) VALUES(?,?,?)",
                                           -1, &insert_, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(writeDb_);
            return false;
        }
        if (!InsertReports(writeDb_, insert_, batch, error))
            return false;
        metrics_.reportsOutbox.fetch_add(static_cast<int64_t>(batch.size()));
        {
            std::lock_guard lock(mutex_);
            appended_ = true;
        }
        wake_.notify_one();
        return true;
    }

    // The fleet's counts, retention and forgetting act on PostgreSQL, on a connection of
    // their own (the keeper's thread, or a command's).
    // A connection kept from an earlier call that PostgreSQL's restart broke fails its
    // next statement: then once more on a new one.
    std::vector<DailyInstallations> Daily(int64_t since, std::string &error) override
    {
        std::lock_guard lock(queryMutex_);
        for (int attempt = 0; attempt < 2; ++attempt) {
            error.clear();
            bool reused = query_ != nullptr;
            if (!ConnectQuery(error))
                return {};
            std::vector<DailyInstallations> rows = FleetDailyOn(*query_, since, error);
            if (error.empty())
                return rows;
            query_.reset();
            if (!reused)
                break;
        }
        return {};
    }

    bool ExpireBefore(int64_t dayStart, Expired &expired, std::string &error) override
    {
        std::lock_guard lock(queryMutex_);
        for (int attempt = 0; attempt < 2; ++attempt) {
            bool reused = query_ != nullptr;
            if (!ConnectQuery(error))
                return false;
            if (FleetExpireBefore(*query_, dayStart, expired, error))
                return true;
            query_.reset();
            if (!reused)
                break;
        }
        return false;
    }

    // The machine's reports in PostgreSQL and those still waiting in this outbox.
    int64_t Forget(const MachineHash &machine, std::string &error) override
    {
        std::lock_guard lock(queryMutex_);
        if (!ConnectQuery(error))
            return -1;
        pg::Result removed = query_->Exec(ForgetSql(), {pg::Param::Bytes(machine)});
        if (!removed.Ok()) {
            error = removed.Error();
            query_.reset();
            return -1;
        }
        sqlite3 *db = OpenOutbox(outbox_, 5000, &key_, error);
        if (!db)
            return -1;
        sqlite3_stmt *remove = nullptr;
        bool done = sqlite3_prepare_v2(db, "DELETE FROM outbox WHERE machine = ?", -1, &remove, nullptr) == SQLITE_OK;
        if (done) {
            sqlite3_bind_blob(remove, 1, machine.data(), static_cast<int>(machine.size()), SQLITE_STATIC);
            done = sqlite3_step(remove) == SQLITE_DONE;
        }
        int64_t waiting = done ? sqlite3_changes(db) : 0;
        if (!done)
            error = sqlite3_errmsg(db);
        sqlite3_finalize(remove);
        sqlite3_close(db);
        if (waiting > 0)
            metrics_.reportsOutbox.fetch_sub(waiting);
        return done ? removed.Int(0, 0, 0, INT64_MAX, 0) + waiting : -1;
    }

private:
    // Ships whenever reports arrive; after a failure again after a back-off of 0.5 s
    // doubling to 5 s, so that the backlog of an outage starts draining within 5 s of
    // PostgreSQL's return. A stop makes one last attempt.
    void Ship()
    {
        std::chrono::milliseconds delay = 5s, backoff = 500ms;
        bool failing = false;
        for (;;) {
            bool last;
            {
                std::unique_lock lock(mutex_);
                wake_.wait_for(lock, delay, [this, failing] { return stopping_ || (appended_ && !failing); });
                appended_ = false;
                last = stopping_;
            }
            std::string error;
            if (ShipWaiting(error)) {
                if (failing)
                    LogLine("reports: PostgreSQL takes reports again; the outbox is empty");
                if (leftByLastRun_ > 0) {
                    LogLine("reports: the %lld reports an earlier run left in the outbox are in PostgreSQL",
                            static_cast<long long>(leftByLastRun_));
                    leftByLastRun_ = 0;
                }
                failing = false;
                backoff = 500ms;
                delay = 5s;
            } else {
                if (!failing)
                    LogLine("reports: cannot ship to PostgreSQL, %lld wait in the outbox: %s",
                            static_cast<long long>(metrics_.reportsOutbox.load()), error.c_str());
                failing = true;
                delay = backoff;
                backoff = std::min<std::chrono::milliseconds>(backoff * 2, 5s);
            }
            if (last) {
                if (failing)
                    LogLine("reports: %lld left in the outbox for the next start",
                            static_cast<long long>(metrics_.reportsOutbox.load()));
                return;
            }
        }
    }

    bool Connect(std::string &error)
    {
        if (pg_ && pg_->Healthy())
            return true;
        pg_ = pg::Connection::Open(conninfo_, error);
        if (pg_ && (!pg::EnsureSchema(*pg_, error, &key_) || !CheckFleetKey(*pg_, key_, error)))
            pg_.reset();
        metrics_.fleetDatabaseUp = pg_ ? 1 : 0;
        return pg_ != nullptr;
    }

    bool ConnectQuery(std::string &error)
    {
        if (query_ && query_->Healthy())
            return true;
        query_ = pg::Connection::Open(conninfo_, error);
        if (query_ && !pg::EnsureSchema(*query_, error, &key_))
            query_.reset();
        return query_ != nullptr;
    }

    // Every batch waiting, oldest first, until the outbox is empty.
    bool ShipWaiting(std::string &error)
    {
        for (;;) {
            std::vector<std::string> ids, received, agents, machines;
            int64_t last = 0;
            int rows = 0;
            sqlite3_stmt *query = nullptr;
            if (sqlite3_prepare_v2(shipDb_, "SELECT id, received, agent, hex(machine) FROM outbox ORDER BY id LIMIT ?",
                                   -1, &query, nullptr) != SQLITE_OK) {
                error = sqlite3_errmsg(shipDb_);
                return false;
            }
            sqlite3_bind_int(query, 1, kShipBatch);
            while (sqlite3_step(query) == SQLITE_ROW) {
                ++rows;
                last = sqlite3_column_int64(query, 0);
                ids.push_back(std::to_string(last));
                received.push_back(std::to_string(sqlite3_column_int64(query, 1)));
                agents.push_back(std::to_string(sqlite3_column_int64(query, 2)));
                machines.push_back(reinterpret_cast<const char *>(sqlite3_column_text(query, 3)));
            }
            sqlite3_finalize(query);
            if (rows == 0)
                return true;
            if (!Connect(error))
                return false;
            pg::Result stored = pg_->Exec(
                "INSERT INTO reports (origin, local_id, server, received, agent, machine) "
                "SELECT $1, r.id, $2, r.received, r.agent, decode(r.machine, 'hex') "
                "FROM unnest($3::bigint[], $4::bigint[], $5::bigint[], $6::text[]) "
                "AS r(id, received, agent, machine) ON CONFLICT DO NOTHING",
                {pg::Param::Text(origin_), pg::Param::Text(server_), pg::Param::Text(pg::ArrayText(ids)),
                 pg::Param::Text(pg::ArrayText(received)), pg::Param::Text(pg::ArrayText(agents)),
                 pg::Param::Text(pg::ArrayText(machines))});
            if (!stored.Ok()) {
                error = stored.Error();
                pg_.reset();
                metrics_.fleetDatabaseUp = 0;
                return false;
            }
            // Committed in PostgreSQL; should the server die before this delete, the next
            // start ships the rows again and PostgreSQL keeps the first copy.
            std::string remove = "DELETE FROM outbox WHERE id <= " + std::to_string(last);
            if (!ExecSql(shipDb_, remove.c_str(), error))
                return false;
            metrics_.reportsShipped.fetch_add(static_cast<uint64_t>(rows));
            metrics_.reportsOutbox.fetch_sub(rows);
        }
    }

    sqlite3 *writeDb_;
    sqlite3 *shipDb_;
    sqlite3_stmt *insert_ = nullptr;
    const std::filesystem::path outbox_;
    const std::string origin_, conninfo_, server_;
    const MachineKey key_;
    Metrics &metrics_;
    std::unique_ptr<pg::Connection> pg_;     // the shipping thread's
    std::mutex queryMutex_;
    std::unique_ptr<pg::Connection> query_;  // counts, retention, forget
    std::mutex mutex_;
    std::condition_variable wake_;
    bool appended_ = false;
    int64_t leftByLastRun_ = 0;          // shipping thread only, once started
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<ReportStore> OpenFleetReportStore(const std::filesystem::path &outbox, const std::string &conninfo,
                                                  const std::string &serverName, const MachineKey &key,
                                                  Metrics &metrics, std::string &error, int busyMs)
{
    sqlite3 *writeDb = OpenOutbox(outbox, busyMs, &key, error);
    if (!writeDb)
        return nullptr;
    std::string origin = OutboxOrigin(writeDb, error);
    sqlite3 *shipDb = origin.empty() ? nullptr : OpenOutbox(outbox, 5000, &key, error);
    if (!shipDb) {
        error = outbox.string() + ": " + error;
        sqlite3_close(writeDb);
        return nullptr;
    }
    return std::make_unique<FleetStore>(writeDb, shipDb, outbox, origin, conninfo, serverName, key, metrics);
}

bool CheckFleetKey(pg::Connection &connection, const MachineKey &key, std::string &error)
{
    MachineHash fingerprint = pg::KeyFingerprint(key);
    pg::Result same = connection.Exec(
        "WITH made AS (INSERT INTO machine_key (fingerprint) VALUES ($1) ON CONFLICT DO NOTHING RETURNING fingerprint) "
        "SELECT fingerprint = $1 FROM made UNION ALL SELECT fingerprint = $1 FROM machine_key",
        {pg::Param::Bytes(fingerprint)});
    if (!same.Ok()) {
        error = same.Error();
        return false;
    }
    if (same.Rows() < 1 || same.Text(0, 0) != "t") {
        error = "this server's machine key is not the one the fleet's reports were hashed with: give every server of "
                "the fleet the same key file (paths.machine_key)";
        return false;
    }
    return true;
}

std::vector<DailyInstallations> FleetDailyOn(pg::Connection &connection, int64_t since, std::string &error)
{
    std::vector<DailyInstallations> rows;
    std::string sinceText = std::to_string(since);
    // The counts kept as reports arrive (the reports table's trigger): never a scan of the
    // reports, however many are kept.
    pg::Result result = connection.Exec(
        "SELECT day, agent, reports, machines FROM daily_counts "
        "WHERE day >= to_char(to_timestamp($1::bigint) AT TIME ZONE 'UTC', 'YYYY-MM-DD') ORDER BY day, agent",
        {pg::Param::Text(sinceText)});
    if (!result.Ok()) {
        error = result.Error();
        return rows;
    }
    for (int row = 0; row < result.Rows(); ++row) {
        DailyInstallations daily;
        daily.day = result.Text(row, 0);
        daily.agent = static_cast<uint32_t>(result.Int(row, 1, 0, UINT32_MAX, 0));
        daily.reports = static_cast<uint64_t>(result.Int(row, 2, 0, INT64_MAX, 0));
        daily.machines = static_cast<uint64_t>(result.Int(row, 3, 0, INT64_MAX, 0));
        rows.push_back(daily);
    }
    return rows;
}

bool FleetExpireBefore(pg::Connection &connection, int64_t dayStart, Expired &expired, std::string &error)
{
    dayStart = DayStartOf(dayStart);
    std::string before = std::to_string(dayStart);
    for (;;) {
        // One day a transaction; every server of the fleet runs the retention, and the
        // lock makes the one that comes second find the day done.
        if (!connection.Run("BEGIN", error) ||
            !connection.Run("SELECT pg_advisory_xact_lock(hashtext('dorera-version-server retention'))", error)) {
            std::string ignored;
            connection.Run("ROLLBACK", ignored);
            return false;
        }
        pg::Result oldest = connection.Exec("SELECT min(received) FROM reports WHERE received < $1::bigint",
                                            {pg::Param::Text(before)});
        int64_t first = oldest.Ok() && !oldest.Null(0, 0) ? oldest.Int(0, 0, INT64_MIN, INT64_MAX, 0) : 0;
        if (!oldest.Ok() || oldest.Null(0, 0)) {
            if (!oldest.Ok())
                error = oldest.Error();
            std::string ignored;
            connection.Run(oldest.Ok() ? "COMMIT" : "ROLLBACK", ignored);
            return oldest.Ok();
        }
        int64_t from = DayStartOf(first), to = std::min(from + kSecondsADay, dayStart);
        std::string fromText = std::to_string(from), toText = std::to_string(to);
        // The day's counts stay; its machines are forgotten with its reports.
        bool done = connection.Run(
            "DELETE FROM day_machines WHERE day = to_char(to_timestamp($1::bigint) AT TIME ZONE 'UTC', 'YYYY-MM-DD')",
            error, {pg::Param::Text(fromText)});
        pg::Result removed = connection.Exec("DELETE FROM reports WHERE received >= $1::bigint AND received < $2::bigint",
                                             {pg::Param::Text(fromText), pg::Param::Text(toText)});
        if (done && !removed.Ok())
            error = removed.Error();
        if (!done || !removed.Ok() || !connection.Run("COMMIT", error)) {
            std::string ignored;
            connection.Run("ROLLBACK", ignored);
            return false;
        }
        expired.reports += static_cast<uint64_t>(removed.Changed());
        expired.days += 1;
    }
}

namespace {

// The fleet's counts for a command that only reads them: no outbox, no machine key.
class FleetCounts : public ReportStore {
public:
    explicit FleetCounts(std::string conninfo) : conninfo_(std::move(conninfo)) {}
    bool Append(std::span<const Report>, std::string &error) override { return Refuse(error); }
    std::vector<DailyInstallations> Daily(int64_t since, std::string &error) override
    {
        auto connection = pg::Connection::Open(conninfo_, error);
        if (!connection || !pg::EnsureSchema(*connection, error))
            return {};
        return FleetDailyOn(*connection, since, error);
    }
    bool ExpireBefore(int64_t, Expired &, std::string &error) override { return Refuse(error); }
    int64_t Forget(const MachineHash &, std::string &error) override { return Refuse(error) ? 0 : -1; }

private:
    static bool Refuse(std::string &error)
    {
        error = "the fleet's counts are opened for reading only";
        return false;
    }
    const std::string conninfo_;
};

}  // namespace

std::unique_ptr<ReportStore> OpenFleetCounts(const std::string &conninfo)
{
    return std::make_unique<FleetCounts>(conninfo);
}

}  // namespace dvs
