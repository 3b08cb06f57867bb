// The one place that chooses where reports are kept, for the server and for the commands
// alike: the SQLite file of a single server, or in a fleet the outbox that ships to
// PostgreSQL (or, for a command that only counts, PostgreSQL itself).
#pragma once
#include "base/config.h"
#include "base/metrics.h"
#include "reports/machine_key.h"
#include "reports/report_store.h"

#include <memory>
#include <string>

namespace dvs {

enum class ReportStoreUse {
    Serve,   // stored into: an older file is moved to machine hashes with the key
    Forget,  // one machine's reports deleted, with the key
    Count,   // only read: no key needed
};

// The store config names for this use. serverName: this server's name in the fleet's
// tables; key: the machine key (Serve and Forget). Nothing, with the reason, when it
// cannot be opened.
std::unique_ptr<ReportStore> OpenReportStore(const Config &config, ReportStoreUse use, const MachineKey *key,
                                             const std::string &serverName, Metrics &metrics, std::string &error);

}  // namespace dvs
