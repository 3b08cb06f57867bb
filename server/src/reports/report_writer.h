// The one writer that takes reports off the network threads and hands them to the store.
#pragma once
#include "base/metrics.h"
#include "reports/report_store.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace dvs {

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
