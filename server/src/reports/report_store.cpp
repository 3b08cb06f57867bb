// See report_store.h: the installations table in the operator's two forms.
#include "reports/report_store.h"

#include <cstdio>

namespace dvs {

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

}  // namespace dvs
