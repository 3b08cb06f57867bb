// What the operators' page shows, gathered from the running server: the release served,
// this server's activity over the last minutes (sampled on its event loop), the
// installations counted by the report keeper, and the refusals by kind.
#pragma once
#include "config.h"
#include "metrics.h"
#include "page.h"
#include "release.h"
#include "report_keeper.h"

#include <asio.hpp>

#include <deque>
#include <functional>
#include <memory>

namespace dvs {

// How often the activity is sampled, and how many samples are kept (15 minutes).
constexpr std::chrono::seconds kActivityEvery{10};
constexpr size_t kActivitySamples = 91;

class OperatorsPage {
public:
    using CurrentRelease = std::function<std::shared_ptr<const Release>()>;
    // address: where the Launchers connect to this server.
    OperatorsPage(std::string address, Metrics &metrics, CurrentRelease release, ReportKeeper &keeper);
    // Samples the activity now and then every kActivityEvery, on io's thread; View must be
    // called on that thread too.
    void Start(asio::io_context &io);
    void Stop();
    ReportKeeper &Keeper() { return keeper_; }
    PageView View(const InstallationCounts &counts);

private:
    struct Sample {
        int64_t at;
        uint64_t sessions;  // ended since the start
        int64_t open;
    };
    Sample Now() const;
    void TakeSample();

    const std::string address_;
    const std::string host_;
    Metrics &metrics_;
    CurrentRelease release_;
    ReportKeeper &keeper_;
    std::deque<Sample> samples_;
    std::unique_ptr<asio::steady_timer> timer_;
};

}  // namespace dvs
