// The SQLite report store (the embedded default), and the SQLite pieces a fleet's outbox
// uses too: a report file opened, a batch inserted in one transaction, an older server's
// file moved to machine hashes.
#pragma once
#include "reports/report_store.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace dvs {

// The SQLite file (created with its tables when missing), in WAL mode. A write waits up
// to busyMs for another program's lock before it fails. Each day's counts per agent are
// kept beside the reports, in the transaction that stores them, so that counting costs the
// same however many reports are kept; a file without them gets them once, as it opens. A file an older server wrote,
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
// The batch through insert (received, agent, machine) in one transaction of db, with what
// alsoDo adds to the same transaction (a store's counts): all of it stored, or none of it.
bool InsertReports(sqlite3 *db, sqlite3_stmt *insert, std::span<const Report> batch, std::string &error,
                   const std::function<bool(std::string &error)> &alsoDo = {});

}  // namespace dvs
