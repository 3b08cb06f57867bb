// See report_writer.h: batching, retries and the bounded queue of the report writer.
#include "reports/report_writer.h"
#include "base/log.h"
#include "base/loop_thread.h"

#include <algorithm>

namespace dvs {

ReportWriter::ReportWriter(ReportStore &store, Metrics &metrics, size_t queueLimit, int batchMs,
                           std::chrono::milliseconds stopRetry)
    : store_(store), metrics_(metrics), queueLimit_(queueLimit), batch_(batchMs), stopRetry_(stopRetry)
{
    thread_ = std::thread([this] { Run(); });
}

ReportWriter::~ReportWriter()
{
    Stop();
}

void ReportWriter::Submit(Report report)
{
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        if (waiting_.size() + writing_ >= queueLimit_ || stopping_) {
            metrics_.reportsDropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        first = waiting_.empty();
        if (first)
            firstWaiting_ = Clock::now();
        waiting_.push_back(std::move(report));
        metrics_.reportsQueued.fetch_add(1, std::memory_order_relaxed);
    }
    if (first)
        wake_.notify_one();  // the writer now has a time to wake at
}

void ReportWriter::Stop()
{
    StopLoopThread(mutex_, stopping_, wake_, thread_, [this] { stopBy_ = Clock::now() + stopRetry_; });
}

bool ReportWriter::TakeDue(std::vector<Report> &batch, Clock::time_point retryAt)
{
    std::unique_lock lock(mutex_);
    bool giveUp = false;
    for (;;) {
        if (batch.empty() && waiting_.empty()) {
            if (stopping_)
                return false;
            wake_.wait(lock);
            continue;
        }
        // A refused batch is tried again at its time; a new one is due when its oldest
        // report has waited the batch time, or at once when the writer stops.
        Clock::time_point due = !batch.empty() ? retryAt
                                : stopping_    ? Clock::time_point::min()
                                               : firstWaiting_ + batch_;
        giveUp = stopping_ && !batch.empty() && retryAt > stopBy_;
        if (giveUp)
            break;  // the store still refuses and the time to stop has come
        if (Clock::now() >= due)
            break;
        wake_.wait_until(lock, due);
    }
    writing_ += waiting_.size();
    if (batch.empty())
        batch.swap(waiting_);
    else
        std::move(waiting_.begin(), waiting_.end(), std::back_inserter(batch));
    waiting_.clear();
    return !giveUp;
}

void ReportWriter::Store(std::vector<Report> &batch, Clock::time_point &retryAt)
{
    std::string error;
    if (store_.Append(batch, error)) {
        metrics_.reportsStored.fetch_add(batch.size(), std::memory_order_relaxed);
        metrics_.reportsQueued.fetch_sub(static_cast<int64_t>(batch.size()), std::memory_order_relaxed);
        if (failures_ > 0)
            LogLine("reports: stored again after %d failed writes (%zu reports)", failures_, batch.size());
        {
            std::lock_guard lock(mutex_);
            writing_ -= batch.size();
        }
        batch.clear();
        failures_ = 0;
        backoff_ = std::chrono::milliseconds(0);
        return;
    }
    metrics_.reportWriteFailures.fetch_add(1, std::memory_order_relaxed);
    backoff_ = std::min<std::chrono::milliseconds>(std::max<std::chrono::milliseconds>(backoff_ * 2, std::chrono::milliseconds(100)),
                                                   std::chrono::seconds(5));
    Clock::time_point now = Clock::now();
    retryAt = now + backoff_;
    // One line when the store starts refusing, then at most one a minute.
    if (failures_++ == 0 || now - lastFailureLog_ >= std::chrono::minutes(1)) {
        lastFailureLog_ = now;
        LogLine("reports: %zu waiting, not stored: %s; trying again", batch.size(), error.c_str());
    }
}

void ReportWriter::Run()
{
    std::vector<Report> batch;
    Clock::time_point retryAt{};
    while (TakeDue(batch, retryAt))
        Store(batch, retryAt);
    if (!batch.empty()) {
        metrics_.reportsDropped.fetch_add(batch.size(), std::memory_order_relaxed);
        metrics_.reportsQueued.fetch_sub(static_cast<int64_t>(batch.size()), std::memory_order_relaxed);
        LogLine("reports: %zu dropped at the stop: the store refused them for %lld ms", batch.size(),
                static_cast<long long>(stopRetry_.count()));
    }
}

}  // namespace dvs
