// The stored reports' upkeep, on a thread and a store connection of its own so that no
// network thread ever waits on the disk for it: the installations of the last days, as
// the operators' page shows them, counted again when asked for and out of date; and the
// retention, which deletes the reports of days past it (their daily counts stay).
#pragma once
#include "base/metrics.h"
#include "reports/report_store.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace dvs {

constexpr int kDaysShown = 30;

struct InstallationCounts {
    int64_t firstDay = 0;                    // Unix seconds of the first day counted (UTC midnight)
    int64_t countedAt = 0;                   // Unix seconds
    std::vector<DailyInstallations> rows;    // from firstDay on, day then agent
    std::string error;                       // the store's, when the count failed
    uint64_t generation = 0;                 // one more with every count
};

class ReportKeeper {
public:
    // store: one the keeper's thread may use beside the writer's (a connection of its own,
    // or the fleet's store, whose counts go to PostgreSQL); metrics: its stored-report
    // count tells when a count is out of date.
    ReportKeeper(ReportStore &store, const Metrics &metrics, int retentionDays);
    ~ReportKeeper();

    // The latest counts. When they are out of date (reports stored since, another day
    // begun, or older than 30 s), a new count is begun and coming says so: it shows as a
    // higher generation in a later call.
    std::shared_ptr<const InstallationCounts> Counts(bool &coming);
    int RetentionDays() const { return retentionDays_; }
    // Unix seconds when the keeper began: until its first count, the counts are not known.
    int64_t CountingSince() const { return countingSince_; }
    void Stop();

private:
    using Clock = std::chrono::steady_clock;
    void Run();
    void Count();
    void Expire();

    ReportStore &store_;
    const Metrics &metrics_;
    const int retentionDays_;
    const int64_t countingSince_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::shared_ptr<const InstallationCounts> counts_;
    uint64_t storedAtCount_ = 0;      // metrics' stored reports when counts_ began
    Clock::time_point countedAt_{};
    Clock::time_point nextCountFrom_{};
    bool countWanted_ = true;         // the first count comes at once
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace dvs
