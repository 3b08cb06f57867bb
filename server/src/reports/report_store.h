// Action reports: what is kept of one, and the small interface of the store that keeps
// them (SQLite embedded, or a fleet's outbox shipping to PostgreSQL). No store's library
// shows through here: the network code that hands reports on sees only these.
#pragma once
#include "reports/machine_key.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace dvs {

// What is kept of an installation report: when, which agent, and the keyed hash of the
// machine's MAC (never the address itself, nor the player's IP address).
struct Report {
    int64_t unixSeconds = 0;
    uint32_t agent = 0;
    MachineHash machine{};
};

// Days are UTC days of Unix time.
constexpr int64_t kSecondsADay = 86400;
// The start of the day a Unix time falls in (before 1970 too).
constexpr int64_t DayStartOf(int64_t unixSeconds)
{
    return unixSeconds - ((unixSeconds % kSecondsADay) + kSecondsADay) % kSecondsADay;
}

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

// The installations table as aligned text or as CSV with a header line.
std::string FormatDaily(const std::vector<DailyInstallations> &rows, bool csv);

}  // namespace dvs
