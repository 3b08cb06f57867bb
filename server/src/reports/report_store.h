// Action reports: where they are kept (a store behind a small interface; SQLite is the
// embedded default) and the one writer that takes them off the network threads.
#pragma once
#include "reports/machine_key.h"
#include "base/metrics.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace dvs {

// What is kept of an installation report: when, which agent, and the keyed hash of the
// machine's MAC (never the address itself, nor the player's IP address).
struct Report {
    int64_t unixSeconds = 0;
    uint32_t agent = 0;
    MachineHash machine{};
};

// One row of the installations table: reports of one agent on one (UTC) day.
struct DailyInstallations {
    std::string day;        // YYYY-MM-DD
    uint32_t agent = 0;
    uint64_t reports = 0;
    uint64_t machines = 0;  // distinct machines
};

// What a retention run deleted.
struct Expired {
    uint64_t reports = 0;
    int days = 0;
};

class ReportStore {
public:
    virtual ~ReportStore() = default;
    // Stores a batch as one unit; false with a message when nothing was stored.
    virtual bool Append(std::span<const Report> batch, std::string &error) = 0;
    // The installations of the days from since (Unix seconds, UTC) on; 0: all days.
    virtual std::vector<DailyInstallations> Daily(int64_t since, std::string &error) = 0;
    // Deletes the reports received before dayStart (a UTC midnight), one day at a time;
    // each day's counts are kept (they hold nothing personal), so Daily still gives them.
    virtual bool ExpireBefore(int64_t dayStart, Expired &expired, std::string &error) = 0;
    // Deletes every report of one machine (a player who asks for it); how many, or -1.
    virtual int64_t Forget(const MachineHash &machine, std::string &error) = 0;
};

// The SQLite file (created with its tables when missing), in WAL mode. A write waits up
// to busyMs for another program's lock before it fails. A file an older server wrote,
// with MAC addresses and peer addresses in it, is rewritten in place with the keys' hashes
// and without the peers (no row lost, no old byte left in the file), with
// migrationKey; without one, such a file is refused.
std::unique_ptr<ReportStore> OpenSqliteStore(const std::filesystem::path &file, std::string &error,
                                             int busyMs = 5000, const MachineKey *migrationKey = nullptr);

// A table of an older server's file (or outbox) with the columns mac and peer: each MAC
// becomes its keyed hash under key (the column machine) and peer goes, in one transaction;
// then the file is written anew and its log emptied, so that no page keeps an old address.
bool MigrateToMachineHashes(sqlite3 *db, const std::string &table, const MachineKey *key,
                            const std::filesystem::path &file, std::string &error);
bool HasColumn(sqlite3 *db, const char *table, const char *column);

// Opens (or creates) a report file for one thread's use, waiting up to busyMs for another
// program's lock; none, with the file and SQLite's message in error.
sqlite3 *OpenReportFile(const std::filesystem::path &file, int busyMs, std::string &error);
// Runs sql on db; false with SQLite's message.
bool ExecSql(sqlite3 *db, const char *sql, std::string &error);
// The batch through insert (received, agent, machine) in one transaction of db: all of it
// stored, or none of it.
bool InsertReports(sqlite3 *db, sqlite3_stmt *insert, std::span<const Report> batch, std::string &error);

// The installations table as aligned text or as CSV with a header line.
std::string FormatDaily(const std::vector<DailyInstallations> &rows, bool csv);

// Collects reports from any thread and writes them from its own thread: a report is
// written once it has waited batchMs, together with everything waiting then, or at once
// after the write before it when that took longer. A write the store refuses stays
// queued and is tried again, after 100 ms and then twice as long each time up to 5 s,
// with every report that arrived meanwhile. Only reports beyond queueLimit waiting are
// dropped (and counted), rather than let memory grow while the store is away. Stop writes
// what is waiting, trying for up to stopRetry when the store refuses.
class ReportWriter {
public:
    ReportWriter(ReportStore &store, Metrics &metrics, size_t queueLimit, int batchMs,
                 std::chrono::milliseconds stopRetry = std::chrono::seconds(10));
    ~ReportWriter();
    void Submit(Report report);
    // Writes what is waiting and ends the thread.
    void Stop();

private:
    using Clock = std::chrono::steady_clock;
    void Run();
    // Waits until the next write is due and moves what is waiting behind batch; false
    // when the writer stops and nothing is left to write.
    bool TakeDue(std::vector<Report> &batch, Clock::time_point retryAt);
    void Store(std::vector<Report> &batch, Clock::time_point &retryAt);

    ReportStore &store_;
    Metrics &metrics_;
    size_t queueLimit_;
    std::chrono::milliseconds batch_;
    std::chrono::milliseconds stopRetry_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Report> waiting_;
    Clock::time_point firstWaiting_;  // when the oldest of waiting_ arrived
    size_t writing_ = 0;              // reports taken for the store, not yet stored
    bool stopping_ = false;
    Clock::time_point stopBy_;
    std::chrono::milliseconds backoff_{0};
    int failures_ = 0;                // writes refused in a row
    Clock::time_point lastFailureLog_;
    std::thread thread_;
};

}  // namespace dvs
