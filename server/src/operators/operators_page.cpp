#include "operators/operators_page.h"
#include "base/log.h"
#include "release/signed_manifest.h"

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
      release_(std::move(release)), keeper_(keeper), startedAt_(static_cast<int64_t>(std::time(nullptr)))
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
    Sample sample{static_cast<int64_t>(std::time(nullptr)), metrics_.openConnections.load(std::memory_order_relaxed), {}};
    SessionCounters all;
    metrics_.SumThreads(all);
    for (int i = 0; i < static_cast<int>(Outcome::kCount); ++i)
        sample.counted.ended[i] = static_cast<double>(all.sessions[i].load());
    sample.counted.refused = static_cast<double>(metrics_.refusedConnections.load());
    sample.counted.bytes = static_cast<double>(all.bytesSent.load());
    sample.counted.checks = static_cast<double>(all.checks.load());
    sample.counted.checksCurrent = static_cast<double>(all.checksCurrent.load());
    sample.counted.reports = static_cast<double>(all.reports.load());
    return sample;
}

// The samples taken, and one of this moment.
std::vector<OperatorsPage::Sample> OperatorsPage::Samples() const
{
    std::vector<Sample> samples;
    {
        std::lock_guard lock(samplesMutex_);
        samples.assign(samples_.begin(), samples_.end());
    }
    Sample now = Now();
    if (samples.empty() || samples.back().at < now.at)
        samples.push_back(now);
    return samples;
}

namespace {

double Ended(const Tally &tally)
{
    double sum = 0;
    for (double value : tally.ended)
        sum += value;
    return sum;
}

// later - earlier, per second of seconds.
Tally Rates(const Tally &later, const Tally &earlier, double seconds)
{
    Tally rates;
    for (int i = 0; i < static_cast<int>(Outcome::kCount); ++i)
        rates.ended[i] = (later.ended[i] - earlier.ended[i]) / seconds;
    rates.refused = (later.refused - earlier.refused) / seconds;
    rates.bytes = (later.bytes - earlier.bytes) / seconds;
    rates.checks = (later.checks - earlier.checks) / seconds;
    rates.checksCurrent = (later.checksCurrent - earlier.checksCurrent) / seconds;
    rates.reports = (later.reports - earlier.reports) / seconds;
    return rates;
}

}  // namespace

// The counters now, their rates over the last minute (or since the oldest sample, when the
// server is younger), the rollout's share per sample interval.
ServerStats OperatorsPage::Stats(const Sample &now, const std::vector<Sample> &samples) const
{
    ServerStats stats;
    stats.version = DVS_VERSION;
    stats.startedAt = startedAt_;
    stats.open = now.open;
    stats.cap = metrics_.connectionCap.load();
    stats.total = now.counted;
    const Sample *from = nullptr;
    for (const Sample &sample : samples)
        if (sample.at <= now.at - 60 || (!from && sample.at < now.at))
            from = &sample;
    if (from) {
        stats.windowSeconds = now.at - from->at;
        stats.perSecond = Rates(now.counted, from->counted, static_cast<double>(stats.windowSeconds));
    }
    for (size_t i = 1; i < samples.size(); ++i) {
        double checks = samples[i].counted.checks - samples[i - 1].counted.checks;
        if (checks > 0)
            stats.rollout.emplace_back(samples[i].at,
                                       (samples[i].counted.checksCurrent - samples[i - 1].counted.checksCurrent) / checks);
    }
    stats.filesSent = metrics_.FilesSent();
    stats.reportQueue = std::max<int64_t>(0, metrics_.reportsQueued.load());
    stats.reportWriteFailures = metrics_.reportWriteFailures.load();
    stats.reportsDropped = metrics_.reportsDropped.load();
    stats.reloads = metrics_.reloadsDone.load();
    stats.reloadsRefused = metrics_.reloadsRefused.load();
    return stats;
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
    std::vector<Sample> samples = Samples();
    const Sample &now = samples.back();
    ServerView self{name_, address_, release->id, release->number, true, now.at, {}};
    for (size_t i = 1; i < samples.size(); ++i) {
        const Sample &before = samples[i - 1], &sample = samples[i];
        double seconds = static_cast<double>(std::max<int64_t>(1, sample.at - before.at));
        self.activity.push_back({sample.at, (Ended(sample.counted) - Ended(before.counted)) / seconds, sample.open,
                                 sample.counted.checks - before.counted.checks,
                                 sample.counted.checksCurrent - before.counted.checksCurrent});
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
    std::vector<Sample> samples = Samples();
    view.stats = Stats(samples.back(), samples);
    view.firstDay = counts.firstDay;
    view.days = kDaysShown;
    view.installations = counts.rows;
    view.countedAt = counts.countedAt;
    view.countingSince = keeper_.CountingSince();
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
