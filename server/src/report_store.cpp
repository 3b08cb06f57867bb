#include "report_store.h"
#include "log.h"

#include <sqlite3.h>

#include <cstdio>

namespace dvs {

namespace {

class SqliteStore : public ReportStore {
public:
    explicit SqliteStore(sqlite3 *db) : db_(db) {}
    ~SqliteStore() override
    {
        sqlite3_finalize(insert_);
        sqlite3_close(db_);
    }

    bool Prepare(std::string &error)
    {
        const char *schema =
            "PRAGMA journal_mode=WAL;"
            "PRAGMA synchronous=NORMAL;"
            "CREATE TABLE IF NOT EXISTS reports ("
            "  id INTEGER PRIMARY KEY,"
            "  received INTEGER NOT NULL,"   // Unix seconds, UTC
            "  agent INTEGER NOT NULL,"
            "  mac BLOB NOT NULL,"
            "  peer TEXT NOT NULL);"
            "CREATE INDEX IF NOT EXISTS reports_received ON reports(received);";
        if (!Exec(schema, error))
            return false;
        if (sqlite3_prepare_v2(db_, "INSERT INTO reports(received, agent, mac, peer) VALUES(?,?,?,?)", -1,
                               &insert_, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(db_);
            return false;
        }
        return true;
    }

    bool Append(std::span<const Report> batch, std::string &error) override
    {
        if (!Exec("BEGIN", error))
            return false;
        for (const Report &report : batch) {
            sqlite3_bind_int64(insert_, 1, report.unixSeconds);
            sqlite3_bind_int64(insert_, 2, report.agent);
            sqlite3_bind_blob(insert_, 3, report.mac.data(), static_cast<int>(report.mac.size()), SQLITE_STATIC);
            sqlite3_bind_text(insert_, 4, report.peer.c_str(), -1, SQLITE_STATIC);
            int status = sqlite3_step(insert_);
            sqlite3_reset(insert_);
            if (status != SQLITE_DONE) {
                error = sqlite3_errmsg(db_);
                std::string ignored;
                Exec("ROLLBACK", ignored);
                return false;
            }
        }
        if (Exec("COMMIT", error))
            return true;
        std::string ignored;
        Exec("ROLLBACK", ignored);  // a commit that failed may leave the transaction open
        return false;
    }

    std::vector<DailyInstallations> Daily(std::string &error) override
    {
        std::vector<DailyInstallations> rows;
        sqlite3_stmt *query = nullptr;
        const char *sql =
            "SELECT date(received, 'unixepoch') AS day, agent, COUNT(*), COUNT(DISTINCT mac) "
            "FROM reports GROUP BY day, agent ORDER BY day, agent";
        if (sqlite3_prepare_v2(db_, sql, -1, &query, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(db_);
            return rows;
        }
        while (sqlite3_step(query) == SQLITE_ROW) {
            DailyInstallations row;
            row.day = reinterpret_cast<const char *>(sqlite3_column_text(query, 0));
            row.agent = static_cast<uint32_t>(sqlite3_column_int64(query, 1));
            row.reports = static_cast<uint64_t>(sqlite3_column_int64(query, 2));
            row.machines = static_cast<uint64_t>(sqlite3_column_int64(query, 3));
            rows.push_back(row);
        }
        sqlite3_finalize(query);
        return rows;
    }

private:
    bool Exec(const char *sql, std::string &error)
    {
        char *message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK)
            return true;
        error = message ? message : "sqlite error";
        sqlite3_free(message);
        return false;
    }

    sqlite3 *db_;
    sqlite3_stmt *insert_ = nullptr;
};

}  // namespace

std::unique_ptr<ReportStore> OpenSqliteStore(const std::filesystem::path &file, std::string &error, int busyMs)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        error = file.string() + ": " + (db ? sqlite3_errmsg(db) : "cannot open");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, busyMs);
    auto store = std::make_unique<SqliteStore>(db);
    if (!store->Prepare(error)) {
        error = file.string() + ": " + error;
        return nullptr;
    }
    return store;
}

std::string FormatDaily(const std::vector<DailyInstallations> &rows, bool csv)
{
    std::string out = csv ? "day,agent,reports,machines\n" : "day         agent       reports   machines\n";
    char line[128];
    for (const DailyInstallations &row : rows) {
        snprintf(line, sizeof line, csv ? "%s,%u,%llu,%llu\n" : "%-10s  %10u  %8llu  %9llu\n", row.day.c_str(),
                 row.agent, static_cast<unsigned long long>(row.reports),
                 static_cast<unsigned long long>(row.machines));
        out += line;
    }
    return out;
}

ReportWriter::ReportWriter(ReportStore &store, Metrics &metrics, size_t queueLimit, int batchMs,
                           std::chrono::milliseconds stopRetry)
    : store_(store), metrics_(metrics), queueLimit_(queueLimit), batch_(batchMs), stopRetry_(stopRetry)
{
    thread_ = std::thread([this] { Run(); });
}

ReportWriter::~ReportWriter()
{
    Stop();
}

void ReportWriter::Submit(Report report)
{
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        if (waiting_.size() + writing_ >= queueLimit_ || stopping_) {
            metrics_.reportsDropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        first = waiting_.empty();
        if (first)
            firstWaiting_ = Clock::now();
        waiting_.push_back(std::move(report));
        metrics_.reportsQueued.fetch_add(1, std::memory_order_relaxed);
    }
    if (first)
        wake_.notify_one();  // the writer now has a time to wake at
}

void ReportWriter::Stop()
{
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            stopping_ = true;
            stopBy_ = Clock::now() + stopRetry_;
        }
    }
    wake_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

bool ReportWriter::TakeDue(std::vector<Report> &batch, Clock::time_point retryAt)
{
    std::unique_lock lock(mutex_);
    bool giveUp = false;
    for (;;) {
        if (batch.empty() && waiting_.empty()) {
            if (stopping_)
                return false;
            wake_.wait(lock);
            continue;
        }
        // A refused batch is tried again at its time; a new one is due when its oldest
        // report has waited the batch time, or at once when the writer stops.
        Clock::time_point due = !batch.empty() ? retryAt
                                : stopping_    ? Clock::time_point::min()
                                               : firstWaiting_ + batch_;
        giveUp = stopping_ && !batch.empty() && retryAt > stopBy_;
        if (giveUp)
            break;  // the store still refuses and the time to stop has come
        if (Clock::now() >= due)
            break;
        wake_.wait_until(lock, due);
    }
    writing_ += waiting_.size();
    if (batch.empty())
        batch.swap(waiting_);
    else
        std::move(waiting_.begin(), waiting_.end(), std::back_inserter(batch));
    waiting_.clear();
    return !giveUp;
}

void ReportWriter::Store(std::vector<Report> &batch, Clock::time_point &retryAt)
{
    std::string error;
    if (store_.Append(batch, error)) {
        metrics_.reportsStored.fetch_add(batch.size(), std::memory_order_relaxed);
        metrics_.reportsQueued.fetch_sub(static_cast<int64_t>(batch.size()), std::memory_order_relaxed);
        if (failures_ > 0)
            LogLine("reports: stored again after %d failed writes (%zu reports)", failures_, batch.size());
        {
            std::lock_guard lock(mutex_);
            writing_ -= batch.size();
        }
        batch.clear();
        failures_ = 0;
        backoff_ = std::chrono::milliseconds(0);
        return;
    }
    metrics_.reportWriteFailures.fetch_add(1, std::memory_order_relaxed);
    backoff_ = std::min<std::chrono::milliseconds>(std::max<std::chrono::milliseconds>(backoff_ * 2, std::chrono::milliseconds(100)),
                                                   std::chrono::seconds(5));
    Clock::time_point now = Clock::now();
    retryAt = now + backoff_;
    // One line when the store starts refusing, then at most one a minute.
    if (failures_++ == 0 || now - lastFailureLog_ >= std::chrono::minutes(1)) {
        lastFailureLog_ = now;
        LogLine("reports: %zu waiting, not stored: %s; trying again", batch.size(), error.c_str());
    }
}

void ReportWriter::Run()
{
    std::vector<Report> batch;
    Clock::time_point retryAt{};
    while (TakeDue(batch, retryAt))
        Store(batch, retryAt);
    if (!batch.empty()) {
        metrics_.reportsDropped.fetch_add(batch.size(), std::memory_order_relaxed);
        metrics_.reportsQueued.fetch_sub(static_cast<int64_t>(batch.size()), std::memory_order_relaxed);
        LogLine("reports: %zu dropped at the stop: the store refused them for %lld ms", batch.size(),
                static_cast<long long>(stopRetry_.count()));
    }
}

}  // namespace dvs
