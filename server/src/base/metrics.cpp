#include "base/metrics.h"

#include <algorithm>

namespace dvs {

const char *OutcomeName(Outcome outcome)
{
    static const char *const kNames[] = {"closed", "cut", "idle", "too_long", "violation", "error", "shutdown"};
    return kNames[static_cast<int>(outcome)];
}

const char *ViolationName(Violation violation)
{
    static const char *const kNames[] = {"unknown_command", "checksum_count", "report_param", "report_count",
                                         "manifest_param"};
    return kNames[static_cast<int>(violation)];
}

const char *ProxyRefusalName(ProxyRefusal refusal)
{
    static const char *const kNames[] = {"not_balancer", "no_header", "bad_header", "incomplete"};
    return kNames[static_cast<int>(refusal)];
}

std::atomic<uint64_t> *Metrics::FileCounter(const std::string &name)
{
    std::lock_guard lock(mutex_);
    auto &slot = files_[name];
    if (!slot)
        slot = std::make_unique<std::atomic<uint64_t>>(0);
    return slot.get();
}

std::vector<std::pair<std::string, uint64_t>> Metrics::FilesSent()
{
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::string, uint64_t>> counts;
    for (const auto &[name, counter] : files_)
        counts.emplace_back(name, counter->load(std::memory_order_relaxed));
    return counts;
}

SessionCounters &Metrics::ThreadCounters()
{
    std::lock_guard lock(mutex_);
    threads_.push_back(std::make_unique<SessionCounters>());
    return *threads_.back();
}

uint64_t Metrics::SessionsEnded()
{
    std::lock_guard lock(mutex_);
    uint64_t total = 0;
    for (const auto &thread : threads_)
        for (const auto &count : thread->sessions)
            total += count.load(std::memory_order_relaxed);
    return total;
}

void Metrics::SumThreads(SessionCounters &all)
{
    std::lock_guard lock(mutex_);
    auto sum = [](std::atomic<uint64_t> &total, const std::atomic<uint64_t> &part) {
        SessionCounters::Add(total, part.load(std::memory_order_relaxed));
    };
    for (const auto &thread : threads_) {
        for (int i = 0; i < static_cast<int>(Outcome::kCount); ++i)
            sum(all.sessions[i], thread->sessions[i]);
        for (int i = 0; i < static_cast<int>(Violation::kCount); ++i)
            sum(all.violations[i], thread->violations[i]);
        sum(all.requests, thread->requests);
        sum(all.bytesSent, thread->bytesSent);
        sum(all.reports, thread->reports);
        for (int i = 0; i < static_cast<int>(ProxyRefusal::kCount); ++i)
            sum(all.proxyRefused[i], thread->proxyRefused[i]);
        sum(all.balancerChecks, thread->balancerChecks);
        sum(all.checks, thread->checks);
        sum(all.checksCurrent, thread->checksCurrent);
    }
}

void Metrics::SetRelease(const std::string &id, uint32_t number, const std::string &signature)
{
    std::lock_guard lock(mutex_);
    releaseId_ = id;
    releaseNumber_ = number;
    releaseSignature_ = signature;
}

static std::string LabelValue(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string Metrics::Render()
{
    std::string out;
    auto line = [&out](const std::string &name, const std::string &labels, uint64_t value) {
        out += name;
        if (!labels.empty())
            out += "{" + labels + "}";
        out += " " + std::to_string(value) + "\n";
    };
    auto help = [&out](const char *name, const char *type, const char *text) {
        out += std::string("# HELP ") + name + " " + text + "\n# TYPE " + name + " " + type + "\n";
    };
    SessionCounters all;
    SumThreads(all);
    help("dorera_sessions_total", "counter", "Sessions ended, by how they ended.");
    for (int i = 0; i < static_cast<int>(Outcome::kCount); ++i)
        line("dorera_sessions_total", std::string("outcome=\"") + OutcomeName(Outcome(i)) + "\"", all.sessions[i]);
    help("dorera_protocol_violations_total", "counter", "Requests outside the protocol (connection closed).");
    for (int i = 0; i < static_cast<int>(Violation::kCount); ++i)
        line("dorera_protocol_violations_total", std::string("kind=\"") + ViolationName(Violation(i)) + "\"",
             all.violations[i]);
    help("dorera_requests_total", "counter", "Requests answered or accepted.");
    line("dorera_requests_total", "", all.requests);
    help("dorera_sent_bytes_total", "counter", "Bytes sent to clients.");
    line("dorera_sent_bytes_total", "", all.bytesSent);
    help("dorera_reports_total", "counter", "Action reports received.");
    line("dorera_reports_total", "", all.reports);
    help("dorera_reports_stored_total", "counter", "Action reports written to the store.");
    line("dorera_reports_stored_total", "", reportsStored);
    help("dorera_reports_dropped_total", "counter",
         "Action reports dropped: beyond the queue while the store fell behind or refused, or refused at the stop.");
    line("dorera_reports_dropped_total", "", reportsDropped);
    help("dorera_reports_queued", "gauge", "Action reports received and not yet stored.");
    line("dorera_reports_queued", "", static_cast<uint64_t>(std::max<int64_t>(0, reportsQueued)));
    help("dorera_report_write_failures_total", "counter", "Writes the report store refused (tried again).");
    line("dorera_report_write_failures_total", "", reportWriteFailures);
    help("dorera_refused_connections_total", "counter", "Connections closed at once because the server was full.");
    line("dorera_refused_connections_total", "", refusedConnections);
    help("dorera_open_connections", "gauge", "Connections open now.");
    line("dorera_open_connections", "", static_cast<uint64_t>(std::max<int64_t>(0, openConnections)));
    help("dorera_connection_cap", "gauge", "Connections served at once: max_connections, lowered to fit the descriptor limit.");
    line("dorera_connection_cap", "", static_cast<uint64_t>(std::max<int64_t>(0, connectionCap)));
    help("dorera_reloads_total", "counter", "Release reloads, by result.");
    line("dorera_reloads_total", "result=\"done\"", reloadsDone);
    line("dorera_reloads_total", "result=\"refused\"", reloadsRefused);
    help("dorera_proxy_refused_total", "counter", "Connections refused for want of a valid PROXY header from a balancer.");
    for (int i = 0; i < static_cast<int>(ProxyRefusal::kCount); ++i)
        line("dorera_proxy_refused_total", std::string("reason=\"") + ProxyRefusalName(ProxyRefusal(i)) + "\"",
             all.proxyRefused[i]);
    help("dorera_balancer_checks_total", "counter",
         "Health checks of a balancer (PROXY header LOCAL): answered, or failed on purpose while draining.");
    line("dorera_balancer_checks_total", "", all.balancerChecks);
    help("dorera_launch_checks_total", "counter", "Sessions that checked their launch files.");
    line("dorera_launch_checks_total", "", all.checks);
    help("dorera_launch_checks_current_total", "counter",
         "Sessions whose first check of the launch files had nothing to send: the Launcher held the release served.");
    line("dorera_launch_checks_current_total", "", all.checksCurrent);
    help("dorera_draining", "gauge", "1 while a stop drains: serving, but failing the balancers' checks.");
    line("dorera_draining", "", draining.load() ? 1 : 0);
    if (fleet) {
        help("dorera_reports_shipped_total", "counter", "Action reports shipped from the outbox to PostgreSQL.");
        line("dorera_reports_shipped_total", "", reportsShipped);
        help("dorera_reports_outbox", "gauge", "Action reports in the outbox waiting for PostgreSQL.");
        line("dorera_reports_outbox", "", static_cast<uint64_t>(std::max<int64_t>(0, reportsOutbox)));
        help("dorera_fleet_database_up", "gauge", "1 when PostgreSQL answered the last attempt.");
        line("dorera_fleet_database_up", "", static_cast<uint64_t>(fleetDatabaseUp.load()));
        help("dorera_fleet_release", "gauge", "The number of the fleet's release served (0: none from the fleet).");
        line("dorera_fleet_release", "", static_cast<uint64_t>(fleetRelease.load()));
    }
    std::lock_guard lock(mutex_);
    help("dorera_files_sent_total", "counter", "Files sent, by name.");
    for (const auto &[name, counter] : files_)
        line("dorera_files_sent_total", "name=\"" + LabelValue(name) + "\"", *counter);
    help("dorera_release_info", "gauge", "The release being served; signature: unsigned, unverified or verified.");
    line("dorera_release_info",
         "id=\"" + LabelValue(releaseId_) + "\",signature=\"" + LabelValue(releaseSignature_) + "\"", 1);
    help("dorera_release_number", "gauge", "Number of the release being served (0: none given).");
    line("dorera_release_number", "", releaseNumber_);
    return out;
}

}  // namespace dvs
