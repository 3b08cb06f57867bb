// See report_backend.h.
#include "service/report_backend.h"
#include "fleet/fleet_reports.h"
#include "reports/sqlite_report_store.h"

namespace dvs {

std::unique_ptr<ReportStore> OpenReportStore(const Config &config, ReportStoreUse use, const MachineKey *key,
                                             const std::string &serverName, Metrics &metrics, std::string &error)
{
    const bool counting = use == ReportStoreUse::Count;
    if (config.fleetDatabase.empty())
        return OpenSqliteStore(config.database, error, 5000, counting ? nullptr : key);
    if (counting)
        return OpenFleetCounts(config.fleetDatabase);
    if (!key) {
        error = "no machine key";
        return nullptr;
    }
    return OpenFleetReportStore(config.database, config.fleetDatabase, serverName, *key, metrics, error);
}

}  // namespace dvs
