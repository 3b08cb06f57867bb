#include "operators/operators_page.h"
#include "base/loop_thread.h"
#include "base/log.h"
#include "release/signing.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace dvs {

namespace {

// What each kind of violation is, in the operator's words.
const char *ViolationMeaning(Violation violation)
{
    switch (violation) {
    case Violation::UnknownCommand: return "a request outside the protocol";
    case Violation::ChecksumCount: return "more checksums than launch slots";
    case Violation::ReportParam: return "a report whose parameter is not 2";
    case Violation::ReportCount: return "a fifth report in one session";
    case Violation::ManifestParam: return "a manifest request whose parameter is not 0";
    case Violation::kCount: break;
    }
    return "";
}

const char *ProxyRefusalMeaning(ProxyRefusal refusal)
{
    switch (refusal) {
    case ProxyRefusal::NotBalancer: return "behind balancers: a connection from an address not named as one";
    case ProxyRefusal::NoHeader: return "behind balancers: the first bytes were no PROXY v2 header";
    case ProxyRefusal::BadHeader: return "behind balancers: a PROXY header that breaks its own rules";
    case ProxyRefusal::Incomplete: return "behind balancers: closed or silent before the PROXY header was whole";
    case ProxyRefusal::kCount: break;
    }
    return "";
}

ReleaseView ViewOf(const Release &release)
{
    ReleaseView view{release.id, release.number, release.loadedAt, release.signatureState, release.signature, {}};
    for (const ServedFile &file : release.launch)
        view.files.push_back({"launch", file.slot, file.name, file.size, Hex(file.md5), Hex(file.sha256)});
    for (const auto &[id, file] : release.solo)
        view.files.push_back({"solo", file.slot, file.name, file.size, Hex(file.md5), Hex(file.sha256)});
    return view;
}

}  // namespace

OperatorsPage::OperatorsPage(std::string name, std::string address, Metrics &metrics, CurrentRelease release,
                             ReportKeeper &keeper)
    : name_(std::move(name)), address_(std::move(address)), metrics_(metrics),
      release_(std::move(release)), keeper_(keeper)
{
}

void OperatorsPage::Start(asio::io_context &io)
{
    timer_ = std::make_unique<asio::steady_timer>(io);
    TakeSample();
}

void OperatorsPage::Stop()
{
    if (timer_)
        timer_->cancel();
}

OperatorsPage::Sample OperatorsPage::Now() const
{
    return {static_cast<int64_t>(std::time(nullptr)), metrics_.SessionsEnded(), metrics_.openConnections.load(std::memory_order_relaxed)};
}

void OperatorsPage::TakeSample()
{
    {
        std::lock_guard lock(samplesMutex_);
        samples_.push_back(Now());
        if (samples_.size() > kActivitySamples)
            samples_.pop_front();
    }
    timer_->expires_after(kActivityEvery);
    timer_->async_wait([this](const std::error_code &error) {
        if (!error)
            TakeSample();
    });
}

ServerView OperatorsPage::Self()
{
    std::shared_ptr<const Release> release = release_();
    std::vector<Sample> samples;
    {
        std::lock_guard lock(samplesMutex_);
        samples.assign(samples_.begin(), samples_.end());
    }
    // The samples taken, and one of this moment.
    Sample now = Now();
    if (samples.empty() || samples.back().at < now.at)
        samples.push_back(now);
    ServerView self{name_, address_, release->id, release->number, true, now.at, {}};
    for (size_t i = 1; i < samples.size(); ++i) {
        const Sample &before = samples[i - 1], &sample = samples[i];
        double seconds = static_cast<double>(std::max<int64_t>(1, sample.at - before.at));
        self.activity.push_back({sample.at, static_cast<double>(sample.sessions - before.sessions) / seconds, sample.open});
    }
    return self;
}

PageView OperatorsPage::View(const InstallationCounts &counts)
{
    PageView view;
    view.now = static_cast<int64_t>(std::time(nullptr));
    view.host = name_;  // the host name, or in a fleet the server's name there
    std::shared_ptr<const Release> release = release_();
    view.release = ViewOf(*release);

    ServerView self = Self();
    std::chrono::steady_clock::time_point readAt;
    auto fleet = fleet_ ? fleet_->Servers(readAt) : nullptr;
    if (fleet) {
        // Rows read more than the up time ago say nothing of the servers now.
        bool stale = std::chrono::steady_clock::now() - readAt > kFleetUpWithin;
        for (const ServerView &server : *fleet) {
            if (server.name == self.name)
                continue;
            view.servers.push_back(server);
            view.servers.back().up = server.up && !stale;
        }
        auto at = std::find_if(view.servers.begin(), view.servers.end(),
                               [&](const ServerView &server) { return server.name > self.name; });
        view.servers.insert(at, std::move(self));
    } else {
        view.servers.push_back(std::move(self));
    }
    view.firstDay = counts.firstDay;
    view.days = kDaysShown;
    view.installations = counts.rows;
    view.countedAt = counts.countedAt;
    view.countError = counts.error;
    view.retentionDays = keeper_.RetentionDays();

    view.refusals.push_back({"refused_connection", "closed at once: the server was full or out of descriptors",
                             metrics_.refusedConnections.load()});
    SessionCounters all;
    metrics_.SumThreads(all);
    for (int i = 0; i < static_cast<int>(Violation::kCount); ++i)
        view.refusals.push_back({ViolationName(Violation(i)), ViolationMeaning(Violation(i)), all.violations[i].load()});
    for (int i = 0; i < static_cast<int>(ProxyRefusal::kCount); ++i)
        view.refusals.push_back({std::string("proxy_") + ProxyRefusalName(ProxyRefusal(i)),
                                 ProxyRefusalMeaning(ProxyRefusal(i)), all.proxyRefused[i].load()});
    view.refusals.push_back({"report_dropped", "reports dropped: the queue was full, or the store refused them at the stop",
                             metrics_.reportsDropped.load()});
    view.refusals.push_back({"reload_refused", "releases refused at a reload", metrics_.reloadsRefused.load()});
    return view;
}

}  // namespace dvs

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

FleetPresence::FleetPresence(std::string conninfo, OperatorsPage &page) : conninfo_(std::move(conninfo)), page_(page)
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
    ServerView self = page_.Self();
    std::vector<int64_t> at, open;
    std::vector<double> rate;
    for (const ActivitySample &sample : self.activity) {
        at.push_back(sample.at);
        rate.push_back(sample.sessionsPerSecond);
        open.push_back(sample.open);
    }
    const ActivitySample latest = self.activity.empty() ? ActivitySample{} : self.activity.back();
    std::string number = std::to_string(self.releaseNumber), perSecond = std::to_string(latest.sessionsPerSecond),
                openNow = std::to_string(latest.open), atText = NumbersText(at, 0),
                rateText = NumbersText(rate, 3), openText = NumbersText(open, 0);
    // The release columns a following server's own writes keep; a server that does not
    // follow names only the id of what it serves.
    if (!db_->Run("INSERT INTO servers (name, release_id, state, seen, address, release_number, sessions_per_second, "
                  "open_connections, sample_at, sample_rate, sample_open) "
                  "VALUES ($1, $2, 'serving', now(), $3, $4::bigint, $5::double precision, $6::bigint, $7::bigint[], "
                  "$8::double precision[], $9::bigint[]) "
                  "ON CONFLICT (name) DO UPDATE SET release_id = EXCLUDED.release_id, seen = now(), "
                  "address = EXCLUDED.address, release_number = EXCLUDED.release_number, "
                  "sessions_per_second = EXCLUDED.sessions_per_second, open_connections = EXCLUDED.open_connections, "
                  "sample_at = EXCLUDED.sample_at, sample_rate = EXCLUDED.sample_rate, "
                  "sample_open = EXCLUDED.sample_open",
                  error,
                  {pg::Param::Text(self.name), pg::Param::Text(self.release), pg::Param::Text(self.address),
                   pg::Param::Text(number), pg::Param::Text(perSecond), pg::Param::Text(openNow),
                   pg::Param::Text(atText), pg::Param::Text(rateText), pg::Param::Text(openText)})) {
        db_.reset();
        return false;
    }
    pg::Result rows = db_->Exec(
        "SELECT name, coalesce(address, ''), coalesce(release_id, ''), coalesce(release_number, 0), "
        "extract(epoch FROM seen)::bigint, now() - seen < $1::bigint * interval '1 second', "
        "coalesce(sample_at, '{}'), coalesce(sample_rate, '{}'), coalesce(sample_open, '{}') FROM servers ORDER BY name",
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
                            sampleOpen = Numbers(rows.Text(row, 8));
        for (size_t i = 0; i < sampleAt.size() && i < sampleRate.size() && i < sampleOpen.size(); ++i)
            server.activity.push_back({static_cast<int64_t>(sampleAt[i]), sampleRate[i],
                                       static_cast<int64_t>(sampleOpen[i])});
        servers->push_back(std::move(server));
    }
    std::lock_guard lock(mutex_);
    servers_ = std::move(servers);
    readAt_ = std::chrono::steady_clock::now();
    return true;
}

}  // namespace dvs
