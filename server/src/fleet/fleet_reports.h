// Reports of a server in a fleet. A report is written first to the server's own SQLite
// file, the outbox, as the single server writes its database; a thread of the store ships
// the outbox to PostgreSQL in batches and deletes what PostgreSQL committed. Each row
// carries the outbox's random name and its row number there, which PostgreSQL keeps as
// its key: a batch shipped twice (the server killed between PostgreSQL's commit and the
// outbox's delete) is stored once. While PostgreSQL is down or unreachable the reports
// wait on disk, and a stop leaves them there for the next start.
#pragma once
#include "base/metrics.h"
#include "fleet/postgres.h"
#include "reports/report_store.h"

#include <filesystem>
#include <memory>
#include <string>

namespace dvs {

// A write to the outbox waits up to busyMs for another program's lock before it fails
// (and the writer tries it again).
// key: the machine key every server of the fleet shares; PostgreSQL keeps its fingerprint,
// and a server whose key differs ships nothing (its reports wait) until it is given the
// fleet's. Counts, retention and forgetting act on PostgreSQL (forget on the outbox too).
std::unique_ptr<ReportStore> OpenFleetReportStore(const std::filesystem::path &outbox, const std::string &conninfo,
                                                  const std::string &serverName, const MachineKey &key,
                                                  Metrics &metrics, std::string &error, int busyMs = 5000);

// Records the key's fingerprint when the fleet has none yet; false when it has another.
bool CheckFleetKey(pg::Connection &connection, const MachineKey &key, std::string &error);

// The fleet's installations table from PostgreSQL: the days from since on (0: all).
std::vector<DailyInstallations> FleetDailyOn(pg::Connection &connection, int64_t since, std::string &error);
// The fleet's installations for a command that only reads them (Daily; the rest refuses).
std::unique_ptr<ReportStore> OpenFleetCounts(const std::string &conninfo);
// The fleet's retention, as ReportStore::ExpireBefore.
bool FleetExpireBefore(pg::Connection &connection, int64_t dayStart, Expired &expired, std::string &error);

}  // namespace dvs
