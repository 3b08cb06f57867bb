// See presence.h: every statement on the fleet's servers table.
#include "fleet/presence.h"
#include "fleet/schema.h"
#include "base/log.h"
#include "base/loop_thread.h"

#include <cmath>
#include <cstdlib>

namespace dvs {

namespace {

// The numbers of a PostgreSQL array in its text form, "{1,2.5,3}".
std::vector<double> Numbers(const std::string &array)
{
    std::vector<double> numbers;
    if (array.size() < 2 || array.front() != '{' || array.back() != '}')
        return numbers;
    std::string item;
    for (size_t i = 1; i < array.size(); ++i) {
        if (array[i] == ',' || i + 1 == array.size()) {
            char *end = nullptr;
            double value = std::strtod(item.c_str(), &end);
            if (!item.empty() && end && *end == '\0' && std::isfinite(value))
                numbers.push_back(value);
            item.clear();
        } else {
            item += array[i];
        }
    }
    return numbers;
}

// Numbers as array text, with this many decimals.
template <typename T>
std::string NumbersText(const std::vector<T> &values, int decimals)
{
    std::vector<std::string> texts;
    char number[40];
    for (const T &value : values) {
        snprintf(number, sizeof number, "%.*f", decimals, static_cast<double>(value));
        texts.push_back(number);
    }
    return pg::ArrayText(texts);
}

}  // namespace

FleetPresence::FleetPresence(std::string conninfo, Self self) : conninfo_(std::move(conninfo)), self_(std::move(self))
{
    thread_ = std::thread([this] { Run(); });
}

FleetPresence::~FleetPresence()
{
    Stop();
}

void FleetPresence::Stop()
{
    StopLoopThread(mutex_, stopping_, wake_, thread_);
}

std::shared_ptr<const std::vector<ServerView>> FleetPresence::Servers(std::chrono::steady_clock::time_point &readAt) const
{
    std::lock_guard lock(mutex_);
    readAt = readAt_;
    return servers_;
}

void FleetPresence::Run()
{
    bool failing = false;
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        lock.unlock();
        std::string error;
        bool done = WriteAndRead(error);
        if (!done && !failing)
            LogLine("fleet: cannot write this server's row of the servers table: %s", error.c_str());
        if (done && failing)
            LogLine("fleet: the servers table is written again");
        failing = !done;
        lock.lock();
        wake_.wait_for(lock, kActivityEvery, [this] { return stopping_; });
    }
}

bool FleetPresence::WriteAndRead(std::string &error)
{
    if (!db_ || !db_->Healthy()) {
        db_ = pg::Connection::Open(conninfo_, error);
        if (db_ && !pg::EnsureSchema(*db_, error))
            db_.reset();
        if (!db_)
            return false;
    }
    ServerView self = self_();
    std::vector<int64_t> at, open;
    std::vector<double> rate, checks, current;
    for (const ActivitySample &sample : self.activity) {
        at.push_back(sample.at);
        rate.push_back(sample.sessionsPerSecond);
        open.push_back(sample.open);
        checks.push_back(sample.checks);
        current.push_back(sample.checksCurrent);
    }
    const ActivitySample latest = self.activity.empty() ? ActivitySample{} : self.activity.back();
    std::string number = std::to_string(self.releaseNumber), perSecond = std::to_string(latest.sessionsPerSecond),
                openNow = std::to_string(latest.open), atText = NumbersText(at, 0),
                rateText = NumbersText(rate, 3), openText = NumbersText(open, 0),
                checksText = NumbersText(checks, 0), currentText = NumbersText(current, 0);
    // The release columns a following server's own writes keep; a server that does not
    // follow names only the id of what it serves.
    if (!db_->Run("INSERT INTO servers (name, release_id, state, seen, address, release_number, sessions_per_second, "
                  "open_connections, sample_at, sample_rate, sample_open, sample_checks, sample_current) "
                  "VALUES ($1, $2, 'serving', now(), $3, $4::bigint, $5::double precision, $6::bigint, $7::bigint[], "
                  "$8::double precision[], $9::bigint[], $10::double precision[], $11::double precision[]) "
                  "ON CONFLICT (name) DO UPDATE SET release_id = EXCLUDED.release_id, seen = now(), "
                  "address = EXCLUDED.address, release_number = EXCLUDED.release_number, "
                  "sessions_per_second = EXCLUDED.sessions_per_second, open_connections = EXCLUDED.open_connections, "
                  "sample_at = EXCLUDED.sample_at, sample_rate = EXCLUDED.sample_rate, "
                  "sample_open = EXCLUDED.sample_open, sample_checks = EXCLUDED.sample_checks, "
                  "sample_current = EXCLUDED.sample_current",
                  error,
                  {pg::Param::Text(self.name), pg::Param::Text(self.release), pg::Param::Text(self.address),
                   pg::Param::Text(number), pg::Param::Text(perSecond), pg::Param::Text(openNow),
                   pg::Param::Text(atText), pg::Param::Text(rateText), pg::Param::Text(openText),
                   pg::Param::Text(checksText), pg::Param::Text(currentText)})) {
        db_.reset();
        return false;
    }
    pg::Result rows = db_->Exec(
        "SELECT name, coalesce(address, ''), coalesce(release_id, ''), coalesce(release_number, 0), "
        "extract(epoch FROM seen)::bigint, now() - seen < $1::bigint * interval '1 second', "
        "coalesce(sample_at, '{}'), coalesce(sample_rate, '{}'), coalesce(sample_open, '{}'), "
        "coalesce(sample_checks, '{}'), coalesce(sample_current, '{}') FROM servers ORDER BY name",
        {pg::Param::Text(std::to_string(kFleetUpWithin.count()))});
    if (!rows.Ok()) {
        error = rows.Error();
        db_.reset();
        return false;
    }
    auto servers = std::make_shared<std::vector<ServerView>>();
    for (int row = 0; row < rows.Rows(); ++row) {
        ServerView server;
        server.name = rows.Text(row, 0);
        server.address = rows.Text(row, 1);
        server.release = rows.Text(row, 2);
        server.releaseNumber = static_cast<uint32_t>(rows.Int(row, 3, 0, UINT32_MAX, 0));
        server.lastSeen = rows.Int(row, 4, 0, INT64_MAX, 0);
        server.up = rows.Text(row, 5) == "t";
        std::vector<double> sampleAt = Numbers(rows.Text(row, 6)), sampleRate = Numbers(rows.Text(row, 7)),
                            sampleOpen = Numbers(rows.Text(row, 8)), sampleChecks = Numbers(rows.Text(row, 9)),
                            sampleCurrent = Numbers(rows.Text(row, 10));
        for (size_t i = 0; i < sampleAt.size() && i < sampleRate.size() && i < sampleOpen.size(); ++i) {
            // A server of the version before writes no checks: none are counted for it.
            bool checked = i < sampleChecks.size() && i < sampleCurrent.size();
            server.activity.push_back({static_cast<int64_t>(sampleAt[i]), sampleRate[i],
                                       static_cast<int64_t>(sampleOpen[i]), checked ? sampleChecks[i] : 0,
                                       checked ? sampleCurrent[i] : 0});
        }
        servers->push_back(std::move(server));
    }
    std::lock_guard lock(mutex_);
    servers_ = std::move(servers);
    readAt_ = std::chrono::steady_clock::now();
    return true;
}

bool RecordServed(pg::Connection &db, const std::string &server, int number, const std::string &state,
                  std::string &error)
{
    return db.Run("INSERT INTO servers (name, release, release_id, state, seen) "
                  "VALUES ($1, $2::integer, (SELECT id FROM releases WHERE number = $2::integer), $3, now()) "
                  "ON CONFLICT (name) DO UPDATE SET release = EXCLUDED.release, release_id = EXCLUDED.release_id, "
                  "state = EXCLUDED.state, seen = now()",
                  error, {pg::Param::Text(server), pg::Param::Text(std::to_string(number)), pg::Param::Text(state)});
}

bool ReadServerRows(pg::Connection &db, std::vector<ServerRow> &rows, std::string &error)
{
    pg::Result servers = db.Exec(
        "SELECT name, coalesce(release::text, '-'), extract(epoch FROM now() - seen)::bigint, state "
        "FROM servers ORDER BY name");
    if (!servers.Ok()) {
        error = servers.Error();
        return false;
    }
    for (int row = 0; row < servers.Rows(); ++row)
        rows.push_back({servers.Text(row, 0), servers.Text(row, 1), servers.Text(row, 2), servers.Text(row, 3)});
    return true;
}

std::string ServedLatelySql(const std::string &number)
{
    return "EXISTS (SELECT 1 FROM servers s WHERE s.release = " + number + " AND s.seen > now() - interval '1 hour')";
}

}  // namespace dvs
