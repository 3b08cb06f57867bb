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
