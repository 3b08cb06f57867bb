// Action reports: where they are kept (a store behind a small interface; SQLite is the
// embedded default) and the one writer that takes them off the network threads.
#pragma once
#include "metrics.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace dvs {

struct Report {
    int64_t unixSeconds = 0;
    uint32_t agent = 0;
    std::array<uint8_t, 8> mac{};
    std::string peer;       // "address:port"
};

// One row of the installations table: reports of one agent on one (UTC) day.
struct DailyInstallations {
    std::string day;        // YYYY-MM-DD
    uint32_t agent = 0;
    uint64_t reports = 0;
    uint64_t machines = 0;  // distinct MAC fields
};

class ReportStore {
public:
    virtual ~ReportStore() = default;
    // Stores a batch as one unit; false with a message when nothing was stored.
    virtual bool Append(std::span<const Report> batch, std::string &error) = 0;
    virtual std::vector<DailyInstallations> Daily(std::string &error) = 0;
};

// The SQLite file (created with its table when missing), in WAL mode.
std::unique_ptr<ReportStore> OpenSqliteStore(const std::filesystem::path &file, std::string &error);

// The installations table as aligned text or as CSV with a header line.
std::string FormatDaily(const std::vector<DailyInstallations> &rows, bool csv);

// Collects reports from any thread and writes them from its own thread, a batch at least
// every batchMs. Reports beyond queueLimit waiting are dropped (and counted) rather than
// let memory grow while the disk stalls.
class ReportWriter {
public:
    ReportWriter(ReportStore &store, Metrics &metrics, size_t queueLimit, int batchMs);
    ~ReportWriter();
    void Submit(Report report);
    // Writes what is waiting and ends the thread.
    void Stop();

private:
    void Run();

    ReportStore &store_;
    Metrics &metrics_;
    size_t queueLimit_;
    int batchMs_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Report> waiting_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace dvs
