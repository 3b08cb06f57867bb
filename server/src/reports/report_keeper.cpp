#include "reports/report_keeper.h"
#include "base/loop_thread.h"
#include "base/log.h"

#include <ctime>

namespace dvs {

namespace {

int64_t Today()
{
    return DayStartOf(static_cast<int64_t>(std::time(nullptr)));
}

std::string DayText(int64_t unixSeconds)
{
    time_t time = static_cast<time_t>(unixSeconds);
    tm day{};
    gmtime_r(&time, &day);
    char text[16];
    strftime(text, sizeof text, "%Y-%m-%d", &day);
    return text;
}

}  // namespace

ReportKeeper::ReportKeeper(ReportStore &store, const Metrics &metrics, int retentionDays)
    : store_(store), metrics_(metrics), retentionDays_(retentionDays),
      countingSince_(static_cast<int64_t>(std::time(nullptr))), counts_(std::make_shared<InstallationCounts>())
{
    std::const_pointer_cast<InstallationCounts>(counts_)->firstDay = Today() - (kDaysShown - 1) * kSecondsADay;
    thread_ = std::thread([this] { Run(); });
}

ReportKeeper::~ReportKeeper()
{
    Stop();
}

void ReportKeeper::Stop()
{
    StopLoopThread(mutex_, stopping_, wake_, thread_);
}

std::shared_ptr<const InstallationCounts> ReportKeeper::Counts(bool &coming)
{
    std::lock_guard lock(mutex_);
    bool outOfDate = storedAtCount_ != metrics_.reportsStored.load(std::memory_order_relaxed) ||
                     counts_->firstDay != Today() - (kDaysShown - 1) * kSecondsADay ||
                     Clock::now() - countedAt_ > std::chrono::seconds(30);
    if (outOfDate && !countWanted_) {
        countWanted_ = true;
        wake_.notify_one();
    }
    coming = countWanted_;
    return counts_;
}

void ReportKeeper::Run()
{
    // The counts first, so that the page knows them at once after a start; the retention
    // keeps every day's counts, so they do not change with it.
    Count();
    Expire();
    Clock::time_point nextExpiry = Clock::now() + std::chrono::hours(1);
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        Clock::time_point now = Clock::now();
        if (countWanted_ && now >= nextCountFrom_) {
            lock.unlock();
            Count();
            lock.lock();
            continue;
        }
        if (now >= nextExpiry) {
            lock.unlock();
            Expire();
            lock.lock();
            nextExpiry = Clock::now() + std::chrono::hours(1);
            continue;
        }
        wake_.wait_until(lock, countWanted_ ? std::min(nextCountFrom_, nextExpiry) : nextExpiry);
    }
}

// Counts the days shown. However large the store, counting takes no more than a tenth of
// the thread's time: the next count waits nine times as long as this one took.
void ReportKeeper::Count()
{
    auto fresh = std::make_shared<InstallationCounts>();
    uint64_t stored = metrics_.reportsStored.load(std::memory_order_relaxed);
    Clock::time_point started = Clock::now();
    fresh->firstDay = Today() - (kDaysShown - 1) * kSecondsADay;
    fresh->rows = store_.Daily(fresh->firstDay, fresh->error);
    fresh->countedAt = static_cast<int64_t>(std::time(nullptr));
    Clock::time_point ended = Clock::now();
    std::lock_guard lock(mutex_);
    fresh->generation = counts_->generation + 1;
    counts_ = std::move(fresh);
    storedAtCount_ = stored;
    countedAt_ = ended;
    nextCountFrom_ = ended + 9 * (ended - started);
    countWanted_ = false;
}

void ReportKeeper::Expire()
{
    int64_t before = Today() - static_cast<int64_t>(retentionDays_) * kSecondsADay;
    Expired expired;
    std::string error;
    bool done = store_.ExpireBefore(before, expired, error);
    if (expired.reports > 0 || expired.days > 0)
        LogLine("reports: retention of %d days: %llu reports of %d days before %s deleted, their daily counts kept",
                retentionDays_, static_cast<unsigned long long>(expired.reports), expired.days,
                DayText(before).c_str());
    if (!done)
        LogLine("reports: retention: not done, tried again in an hour: %s", error.c_str());
}

}  // namespace dvs
