// What the operators' page shows, gathered from the running server: the release served,
// this server's activity over the last minutes (sampled on its event loop), the
// installations counted by the report keeper, and the refusals by kind.
#pragma once
#include "base/config.h"
#include "base/metrics.h"
#include "operators/page.h"
#include "fleet/postgres.h"
#include "release/release.h"
#include "reports/report_keeper.h"

#include <asio.hpp>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace dvs {

// How often the activity is sampled, and how many samples are kept (15 minutes).
constexpr std::chrono::seconds kActivityEvery{10};
constexpr size_t kActivitySamples = 91;

class FleetPresence;

class OperatorsPage {
public:
    using CurrentRelease = std::function<std::shared_ptr<const Release>()>;
    // name: this server's (in a fleet, its name in the fleet's tables); address: where
    // the Launchers connect to it.
    OperatorsPage(std::string name, std::string address, Metrics &metrics, CurrentRelease release,
                  ReportKeeper &keeper);
    // Samples the activity now and then every kActivityEvery, on io's thread; View must be
    // called on that thread too.
    void Start(asio::io_context &io);
    void Stop();
    ReportKeeper &Keeper() { return keeper_; }
    // In a fleet: the page shows every server the fleet's table names.
    void ShowFleet(const FleetPresence *fleet) { fleet_ = fleet; }
    PageView View(const InstallationCounts &counts);
    // This server as the page shows it, its activity up to now; from any thread.
    ServerView Self();

private:
    struct Sample {
        int64_t at;
        uint64_t sessions;  // ended since the start
        int64_t open;
    };
    Sample Now() const;
    void TakeSample();

    const std::string name_;
    const std::string address_;
    Metrics &metrics_;
    CurrentRelease release_;
    ReportKeeper &keeper_;
    const FleetPresence *fleet_ = nullptr;
    std::mutex samplesMutex_;
    std::deque<Sample> samples_;
    std::unique_ptr<asio::steady_timer> timer_;
};

// A server of a fleet in the fleet's servers table: every kActivityEvery it writes its
// release and activity there, and reads every server's row for the page (on a thread and
// a PostgreSQL connection of its own). A server is up when its row was written within
// kFleetUpWithin.
constexpr std::chrono::seconds kFleetUpWithin{35};

class FleetPresence {
public:
    FleetPresence(std::string conninfo, OperatorsPage &page);
    ~FleetPresence();
    void Stop();
    // The fleet's servers as last read (the oldest first by name), with when they were
    // read (steady clock); nothing before the first read.
    std::shared_ptr<const std::vector<ServerView>> Servers(std::chrono::steady_clock::time_point &readAt) const;

private:
    void Run();
    bool WriteAndRead(std::string &error);

    const std::string conninfo_;
    OperatorsPage &page_;
    std::unique_ptr<pg::Connection> db_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::shared_ptr<const std::vector<ServerView>> servers_;
    std::chrono::steady_clock::time_point readAt_{};
    std::thread thread_;
};

}  // namespace dvs
