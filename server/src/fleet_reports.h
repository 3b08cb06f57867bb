// Reports of a server in a fleet. A report is written first to the server's own SQLite
// file, the outbox, as the single server writes its database; a thread of the store ships
// the outbox to PostgreSQL in batches and deletes what PostgreSQL committed. Each row
// carries the outbox's random name and its row number there, which PostgreSQL keeps as
// its key: a batch shipped twice (the server killed between PostgreSQL's commit and the
// outbox's delete) is stored once. While PostgreSQL is down or unreachable the reports
// wait on disk, and a stop leaves them there for the next start.
#pragma once
#include "metrics.h"
#include "report_store.h"

#include <filesystem>
#include <memory>
#include <string>

namespace dvs {

// A write to the outbox waits up to busyMs for another program's lock before it fails
// (and the writer tries it again).
std::unique_ptr<ReportStore> OpenFleetReportStore(const std::filesystem::path &outbox, const std::string &conninfo,
                                                  const std::string &serverName, Metrics &metrics,
                                                  std::string &error, int busyMs = 5000);

// The fleet's installations table, read from PostgreSQL.
std::vector<DailyInstallations> FleetDaily(const std::string &conninfo, std::string &error);

}  // namespace dvs
