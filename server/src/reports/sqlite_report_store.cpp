// See sqlite_report_store.h.
#include "reports/sqlite_report_store.h"
#include "base/loop_thread.h"
#include "base/log.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <map>

namespace dvs {

namespace {


// A prepared statement, finalized with its owner.
struct Statement {
    Statement(sqlite3 *db, const char *sql) { ok = sqlite3_prepare_v2(db, sql, -1, &handle, nullptr) == SQLITE_OK; }
    ~Statement() { sqlite3_finalize(handle); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    sqlite3_stmt *handle = nullptr;
    bool ok = false;
};

// machine_hash(mac): the keyed hash of an old row's MAC field, for the migration.
void MachineHashFunction(sqlite3_context *context, int, sqlite3_value **values)
{
    const auto *key = static_cast<const MachineKey *>(sqlite3_user_data(context));
    const auto *bytes = static_cast<const uint8_t *>(sqlite3_value_blob(values[0]));
    MachineHash hash = key->Hash({bytes, static_cast<size_t>(sqlite3_value_bytes(values[0]))});
    sqlite3_result_blob(context, hash.data(), static_cast<int>(hash.size()), SQLITE_TRANSIENT);
}

}  // namespace

sqlite3 *OpenReportFile(const std::filesystem::path &file, int busyMs, std::string &error)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        error = file.string() + ": " + (db ? sqlite3_errmsg(db) : "cannot open");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, busyMs);
    return db;
}

bool ExecSql(sqlite3 *db, const char *sql, std::string &error)
{
    char *message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    error = message ? message : "sqlite error";
    sqlite3_free(message);
    return false;
}

// One run of a prepared statement that returns no rows, made ready for the next; false
// with SQLite's message.
static bool StepOnce(sqlite3 *db, sqlite3_stmt *statement, std::string &error)
{
    int status = sqlite3_step(statement);
    sqlite3_reset(statement);
    if (status == SQLITE_DONE)
        return true;
    error = sqlite3_errmsg(db);
    return false;
}

bool InsertReports(sqlite3 *db, sqlite3_stmt *insert, std::span<const Report> batch, std::string &error,
                   const std::function<bool(std::string &error)> &alsoDo)
{
    if (!ExecSql(db, "BEGIN", error))
        return false;
    for (const Report &report : batch) {
        sqlite3_bind_int64(insert, 1, report.unixSeconds);
        sqlite3_bind_int64(insert, 2, report.agent);
        sqlite3_bind_blob(insert, 3, report.machine.data(), static_cast<int>(report.machine.size()), SQLITE_STATIC);
        if (!StepOnce(db, insert, error)) {
            std::string ignored;
            ExecSql(db, "ROLLBACK", ignored);
            return false;
        }
    }
    if ((!alsoDo || alsoDo(error)) && ExecSql(db, "COMMIT", error))
        return true;
    std::string ignored;
    ExecSql(db, "ROLLBACK", ignored);  // a commit that failed may leave the transaction open
    return false;
}

bool HasColumn(sqlite3 *db, const char *table, const char *column)
{
    Statement query(db, "SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2");
    sqlite3_bind_text(query.handle, 1, table, -1, SQLITE_STATIC);
    sqlite3_bind_text(query.handle, 2, column, -1, SQLITE_STATIC);
    return query.ok && sqlite3_step(query.handle) == SQLITE_ROW;
}

bool MigrateToMachineHashes(sqlite3 *db, const std::string &table, const MachineKey *key,
                            const std::filesystem::path &file, std::string &error)
{
    if (!key) {
        error = "holds MAC addresses an older server stored; the server replaces them with their keyed hashes "
                "at its next start";
        return false;
    }
    auto started = std::chrono::steady_clock::now();
    sqlite3_create_function_v2(db, "machine_hash", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC,
                               const_cast<MachineKey *>(key), MachineHashFunction, nullptr, nullptr, nullptr);
    long long rows = 0;
    std::string ignored;
    bool done = ExecSql(db, "BEGIN IMMEDIATE", error);
    if (done) {
        Statement count(db, ("SELECT COUNT(*) FROM " + table).c_str());
        done = count.ok && sqlite3_step(count.handle) == SQLITE_ROW;
        rows = done ? sqlite3_column_int64(count.handle, 0) : 0;
    }
    std::string rewrite = "UPDATE " + table + " SET mac = machine_hash(mac); ALTER TABLE " + table +
                          " RENAME COLUMN mac TO machine;";
    done = done && ExecSql(db, rewrite.c_str(), error);
    if (done && HasColumn(db, table.c_str(), "peer"))
        done = ExecSql(db, ("ALTER TABLE " + table + " DROP COLUMN peer").c_str(), error);
    if (!done || !ExecSql(db, "COMMIT", error)) {
        ExecSql(db, "ROLLBACK", ignored);
        error = "migration to keyed hashes failed, the file is unchanged: " + error;
        return false;
    }
    if (!ExecSql(db, "VACUUM; PRAGMA wal_checkpoint(TRUNCATE);", error)) {
        error = "migrated, but the old pages could not be written over: " + error;
        return false;
    }
    LogLine("reports: %s migrated: %lld reports kept, MAC addresses replaced by their keyed hashes, peer addresses "
            "removed (%lld ms)",
            file.c_str(), rows,
            static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - started)
                                       .count()));
    return true;
}

namespace {

class SqliteStore : public ReportStore {
public:
    SqliteStore(sqlite3 *db, std::filesystem::path file) : db_(db), file_(std::move(file)) {}
    ~SqliteStore() override
    {
        sqlite3_finalize(insert_);
        sqlite3_finalize(seen_);
        sqlite3_finalize(count_);
        sqlite3_close(db_);
    }

    bool Prepare(const MachineKey *migrationKey, std::string &error)
    {
        // secure_delete: a deleted report's bytes are overwritten in the file, not left
        // in a free page.
        if (!Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA secure_delete=ON;", error))
            return false;
        if (HasColumn(db_, "reports", "mac") && !MigrateToMachineHashes(db_, "reports", migrationKey, file_, error))
            return false;
        const char *schema =
            "CREATE TABLE IF NOT EXISTS reports ("
            "  id INTEGER PRIMARY KEY,"
            "  received INTEGER NOT NULL,"   // Unix seconds, UTC
            "  agent INTEGER NOT NULL,"
            "  machine BLOB NOT NULL);"      // HMAC-SHA256 of the MAC field under the machine key
            "CREATE INDEX IF NOT EXISTS reports_received ON reports(received);"
            // Each day's counts per agent, kept up to date with every batch; the retention
            // deletes a day's reports and keeps its counts.
            "CREATE TABLE IF NOT EXISTS daily_counts ("
            "  day TEXT NOT NULL,"           // YYYY-MM-DD, UTC
            "  agent INTEGER NOT NULL,"
            "  reports INTEGER NOT NULL,"
            "  machines INTEGER NOT NULL,"
            "  PRIMARY KEY (day, agent));"
            // The machines a day has seen per agent, so that each counts once: kept as long
            // as the day's reports.
            "CREATE TABLE IF NOT EXISTS day_machines ("
            "  day INTEGER NOT NULL,"        // Unix seconds / 86400
            "  agent INTEGER NOT NULL,"
            "  machine BLOB NOT NULL,"
            "  PRIMARY KEY (day, agent, machine)) WITHOUT ROWID;";
        if (!Exec(schema, error) || !CountKeptReports(error))
            return false;
        if (sqlite3_prepare_v2(db_, "INSERT INTO reports(received, agent, machine) VALUES(?,?,?)", -1, &insert_,
                               nullptr) != SQLITE_OK ||
            sqlite3_prepare_v2(db_, "INSERT INTO day_machines(day, agent, machine) VALUES(?,?,?) ON CONFLICT DO NOTHING",
                               -1, &seen_, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v2(db_,
                               "INSERT INTO daily_counts(day, agent, reports, machines)"
                               " VALUES(date(?1 * 86400, 'unixepoch'), ?2, ?3, ?4) ON CONFLICT(day, agent) DO UPDATE"
                               " SET reports = reports + excluded.reports, machines = machines + excluded.machines",
                               -1, &count_, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(db_);
            return false;
        }
        return true;
    }

    bool Append(std::span<const Report> batch, std::string &error) override
    {
        return InsertReports(db_, insert_, batch, error, [&](std::string &countError) { return Count(batch, countError); });
    }

    std::vector<DailyInstallations> Daily(int64_t since, std::string &error) override
    {
        std::vector<DailyInstallations> rows;
        Statement query(db_,
                        "SELECT day, agent, reports, machines FROM daily_counts WHERE day >= date(?1, 'unixepoch')"
                        " ORDER BY day, agent");
        if (!query.ok) {
            error = sqlite3_errmsg(db_);
            return rows;
        }
        sqlite3_bind_int64(query.handle, 1, since);
        int status;
        while ((status = sqlite3_step(query.handle)) == SQLITE_ROW) {
            DailyInstallations row;
            row.day = reinterpret_cast<const char *>(sqlite3_column_text(query.handle, 0));
            row.agent = static_cast<uint32_t>(sqlite3_column_int64(query.handle, 1));
            row.reports = static_cast<uint64_t>(sqlite3_column_int64(query.handle, 2));
            row.machines = static_cast<uint64_t>(sqlite3_column_int64(query.handle, 3));
            rows.push_back(row);
        }
        if (status != SQLITE_DONE)
            error = sqlite3_errmsg(db_);
        return rows;
    }

    bool ExpireBefore(int64_t dayStart, Expired &expired, std::string &error) override
    {
        dayStart = DayStartOf(dayStart);
        for (;;) {
            int64_t oldest = 0;
            {
                Statement query(db_, "SELECT MIN(received) FROM reports WHERE received < ?");
                sqlite3_bind_int64(query.handle, 1, dayStart);
                if (!query.ok || sqlite3_step(query.handle) != SQLITE_ROW) {
                    error = sqlite3_errmsg(db_);
                    return false;
                }
                if (sqlite3_column_type(query.handle, 0) == SQLITE_NULL)
                    return true;
                oldest = sqlite3_column_int64(query.handle, 0);
            }
            // One day a transaction, so the writer never waits long for the lock.
            int64_t from = DayStartOf(oldest), to = std::min(from + kSecondsADay, dayStart);
            if (!Exec("BEGIN IMMEDIATE", error))
                return false;
            // The day's machines go with its reports; its counts stay.
            Statement machines(db_, "DELETE FROM day_machines WHERE day >= ?1 / 86400 AND day < ?2 / 86400");
            Statement remove(db_, "DELETE FROM reports WHERE received >= ?1 AND received < ?2");
            bool done = machines.ok && remove.ok;
            for (Statement *step : {&machines, &remove}) {
                if (!done)
                    break;
                sqlite3_bind_int64(step->handle, 1, from);
                sqlite3_bind_int64(step->handle, 2, to);
                done = sqlite3_step(step->handle) == SQLITE_DONE;
            }
            uint64_t deleted = static_cast<uint64_t>(sqlite3_changes(db_));
            if (!done || !Exec("COMMIT", error)) {
                if (!done)
                    error = sqlite3_errmsg(db_);
                std::string ignored;
                Exec("ROLLBACK", ignored);
                return false;
            }
            expired.reports += deleted;
            expired.days += 1;
        }
    }

    int64_t Forget(const MachineHash &machine, std::string &error) override
    {
        // Its reports leave their days' counts, and the machine each day's set.
        const char *steps[] = {
            "UPDATE daily_counts SET reports = daily_counts.reports - forgotten.n, machines = daily_counts.machines - 1"
            " FROM (SELECT date(received, 'unixepoch') AS day, agent, COUNT(*) AS n FROM reports"
            "       WHERE machine = ?1 GROUP BY 1, 2) AS forgotten"
            " WHERE daily_counts.day = forgotten.day AND daily_counts.agent = forgotten.agent",
            "DELETE FROM daily_counts WHERE reports <= 0",
            "DELETE FROM day_machines WHERE machine = ?1",
            "DELETE FROM reports WHERE machine = ?1",
        };
        if (!Exec("BEGIN IMMEDIATE", error))
            return -1;
        bool done = true;
        for (const char *sql : steps) {
            Statement step(db_, sql);
            if (step.ok && sqlite3_bind_parameter_count(step.handle) > 0)
                sqlite3_bind_blob(step.handle, 1, machine.data(), static_cast<int>(machine.size()), SQLITE_STATIC);
            done = step.ok && sqlite3_step(step.handle) == SQLITE_DONE;
            if (!done)
                break;
        }
        int64_t deleted = sqlite3_changes(db_);
        if (!done || !Exec("COMMIT", error)) {
            if (!done)
                error = sqlite3_errmsg(db_);
            std::string ignored;
            Exec("ROLLBACK", ignored);
            return -1;
        }
        return deleted;
    }

private:
    bool Exec(const char *sql, std::string &error) { return ExecSql(db_, sql, error); }

    // The batch added to its days' counts, inside the transaction that stores it: one report
    // more each, and one machine more where the day had not seen it for that agent.
    bool Count(std::span<const Report> batch, std::string &error)
    {
        std::map<std::pair<int64_t, uint32_t>, std::pair<int64_t, int64_t>> added;  // (day, agent): reports, machines
        for (const Report &report : batch) {
            const int64_t day = report.unixSeconds / kSecondsADay;
            sqlite3_bind_int64(seen_, 1, day);
            sqlite3_bind_int64(seen_, 2, report.agent);
            sqlite3_bind_blob(seen_, 3, report.machine.data(), static_cast<int>(report.machine.size()), SQLITE_STATIC);
            if (!StepOnce(db_, seen_, error))
                return false;
            auto &[reports, machines] = added[{day, report.agent}];
            reports += 1;
            machines += sqlite3_changes(db_);
        }
        for (const auto &[key, value] : added) {
            sqlite3_bind_int64(count_, 1, key.first);
            sqlite3_bind_int64(count_, 2, key.second);
            sqlite3_bind_int64(count_, 3, value.first);
            sqlite3_bind_int64(count_, 4, value.second);
            if (!StepOnce(db_, count_, error))
                return false;
        }
        return true;
    }

    // A file from before the counts were kept gets them once, from the reports it holds
    // (whose days are not in daily_counts yet: that held only the days the retention ended).
    bool CountKeptReports(std::string &error)
    {
        if (!Exec("BEGIN IMMEDIATE", error))
            return false;
        long long version = -1, reports = 0;
        {
            Statement query(db_, "SELECT (SELECT user_version FROM pragma_user_version), (SELECT COUNT(*) FROM reports)");
            if (query.ok && sqlite3_step(query.handle) == SQLITE_ROW) {
                version = sqlite3_column_int64(query.handle, 0);
                reports = sqlite3_column_int64(query.handle, 1);
            }
        }
        if (version != 0) {
            std::string ignored;
            Exec("COMMIT", ignored);
            if (version < 0)
                error = "cannot read the file's version: " + std::string(sqlite3_errmsg(db_));
            return version > 0;
        }
        auto started = std::chrono::steady_clock::now();
        bool done = Exec("INSERT INTO day_machines(day, agent, machine)"
                         " SELECT DISTINCT received / 86400, agent, machine FROM reports WHERE true"
                         " ON CONFLICT DO NOTHING;"
                         "INSERT INTO daily_counts(day, agent, reports, machines)"
                         " SELECT date(received, 'unixepoch'), agent, COUNT(*), COUNT(DISTINCT machine) FROM reports"
                         " WHERE true GROUP BY 1, 2 ON CONFLICT(day, agent) DO UPDATE"
                         " SET reports = reports + excluded.reports, machines = machines + excluded.machines;"
                         "PRAGMA user_version = 1;",
                         error);
        if (!done || !Exec("COMMIT", error)) {
            std::string ignored;
            Exec("ROLLBACK", ignored);
            error = "the daily counts could not be made, the file is unchanged: " + error;
            return false;
        }
        if (reports > 0)
            LogLine("reports: %s: daily counts made from its %lld reports (%lld ms), kept with each batch from now on",
                    file_.c_str(), reports,
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - started)
                                               .count()));
        return true;
    }

    sqlite3 *db_;
    std::filesystem::path file_;
    sqlite3_stmt *insert_ = nullptr;
    sqlite3_stmt *seen_ = nullptr;   // a machine of a day and agent, when new
    sqlite3_stmt *count_ = nullptr;  // a day's and agent's counts, raised
};

}  // namespace

std::unique_ptr<ReportStore> OpenSqliteStore(const std::filesystem::path &file, std::string &error, int busyMs,
                                             const MachineKey *migrationKey)
{
    sqlite3 *db = OpenReportFile(file, busyMs, error);
    if (!db)
        return nullptr;
    auto store = std::make_unique<SqliteStore>(db, file);
    if (!store->Prepare(migrationKey, error)) {
        error = file.string() + ": " + error;
        return nullptr;
    }
    return store;
}

}  // namespace dvs
