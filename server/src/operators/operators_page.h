// What the operators' page shows, gathered from the running server: the release served,
// this server's activity over the last minutes (sampled on its event loop), the
// installations counted by the report keeper, and the refusals by kind.
#pragma once
#include "base/config.h"
#include "base/metrics.h"
#include "operators/page.h"
#include "fleet/presence.h"
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
        int64_t open;
        Tally counted;      // since the start
    };
    Sample Now() const;
    void TakeSample();
    ServerStats Stats(const Sample &now, const std::vector<Sample> &samples) const;
    std::vector<Sample> Samples() const;

    const std::string name_;
    const std::string address_;
    Metrics &metrics_;
    CurrentRelease release_;
    ReportKeeper &keeper_;
    const FleetPresence *fleet_ = nullptr;
    const int64_t startedAt_;
    mutable std::mutex samplesMutex_;
    std::deque<Sample> samples_;
    std::unique_ptr<asio::steady_timer> timer_;
};

}  // namespace dvs
