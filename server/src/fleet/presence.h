// The fleet's servers table, and all that is written to it and read from it: each server's
// row (its release, its state as a follower, its activity for the operators' page), the
// rows read back for the page and for `releases`, and which releases a server served lately.
#pragma once
#include "fleet/postgres.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace dvs {

// One point of a server's recent activity.
struct ActivitySample {
    int64_t at = 0;                  // Unix seconds
    double sessionsPerSecond = 0;    // sessions ended per second since the sample before
    int64_t open = 0;                // connections open then
    double checks = 0;               // sessions that checked their files since the sample before,
    double checksCurrent = 0;        // and of them those that already held the release
};

struct ServerView {
    std::string name;
    std::string address;             // where the Launchers connect
    std::string release;             // id of the release it serves
    uint32_t releaseNumber = 0;
    bool up = false;
    int64_t lastSeen = 0;            // Unix seconds
    std::vector<ActivitySample> activity;  // oldest first, the last minutes
};

// How often the activity is sampled, and how many samples are kept (15 minutes).
constexpr std::chrono::seconds kActivityEvery{10};
constexpr size_t kActivitySamples = 91;

// A server of a fleet in the fleet's servers table: every kActivityEvery it writes its
// release and activity there, and reads every server's row for the page (on a thread and
// a PostgreSQL connection of its own). A server is up when its row was written within
// kFleetUpWithin.
constexpr std::chrono::seconds kFleetUpWithin{35};

class FleetPresence {
public:
    // self: this server as the page shows it, its activity up to now; called on the
    // presence's thread.
    using Self = std::function<ServerView()>;
    FleetPresence(std::string conninfo, Self self);
    ~FleetPresence();
    void Stop();
    // The fleet's servers as last read (the oldest first by name), with when they were
    // read (steady clock); nothing before the first read.
    std::shared_ptr<const std::vector<ServerView>> Servers(std::chrono::steady_clock::time_point &readAt) const;

private:
    void Run();
    bool WriteAndRead(std::string &error);

    const std::string conninfo_;
    Self self_;
    std::unique_ptr<pg::Connection> db_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::shared_ptr<const std::vector<ServerView>> servers_;
    std::chrono::steady_clock::time_point readAt_{};
    std::thread thread_;
};

// A follower's row: the release it serves (by the fleet's number) and its state.
bool RecordServed(pg::Connection &db, const std::string &server, int number, const std::string &state,
                  std::string &error);

// Every server's row for `releases`: name, release number ("-" when none), seconds since
// its row was written, state; by name.
struct ServerRow {
    std::string name, release, secondsAgo, state;
};
bool ReadServerRows(pg::Connection &db, std::vector<ServerRow> &rows, std::string &error);

// SQL that is true when a server wrote within the last hour that it serves the release
// whose number is the SQL expression number.
std::string ServedLatelySql(const std::string &number);

}  // namespace dvs
