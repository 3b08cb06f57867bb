// Counters the server keeps and their Prometheus text form (served by OperatorsEndpoint).
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace dvs {

// How a session ended.
enum class Outcome {
    Closed,      // the client closed between requests
    Cut,         // the client closed inside a request
    Idle,        // no byte from the client within the idle time
    TooLong,     // the session reached its longest allowed length
    Violation,   // a request outside the protocol
    Error,       // a socket error
    Shutdown,    // the server stopped
    kCount
};
const char *OutcomeName(Outcome outcome);

// Requests outside the protocol; each closes its connection.
enum class Violation { UnknownCommand, ChecksumCount, ReportParam, ReportCount, ManifestParam, kCount };
const char *ViolationName(Violation violation);

// Connections refused before their first request when the listener takes PROXY headers.
enum class ProxyRefusal {
    NotBalancer,  // from an address the config does not name as a balancer
    NoHeader,     // the first bytes are not a PROXY v2 header
    BadHeader,    // a header that breaks its own rules
    Incomplete,   // closed or silent before the header was whole
    kCount
};
const char *ProxyRefusalName(ProxyRefusal refusal);

// The counters of one network thread's sessions. Only that thread writes them (a plain
// add, no locked instruction, on cache lines no other thread writes); a scrape sums the
// threads' counters.
struct alignas(64) SessionCounters {
    std::atomic<uint64_t> sessions[static_cast<int>(Outcome::kCount)] = {};
    std::atomic<uint64_t> violations[static_cast<int>(Violation::kCount)] = {};
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> bytesSent{0};
    std::atomic<uint64_t> reports{0};
    std::atomic<uint64_t> proxyRefused[static_cast<int>(ProxyRefusal::kCount)] = {};
    std::atomic<uint64_t> balancerChecks{0};
    // Sessions that checked their launch files, and those of them whose first check had
    // nothing to send: the Launcher already held the release served (the rollout's share).
    std::atomic<uint64_t> checks{0};
    std::atomic<uint64_t> checksCurrent{0};

    static void Add(std::atomic<uint64_t> &counter, uint64_t n)
    {
        counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
    void Count(Outcome outcome) { Add(sessions[static_cast<int>(outcome)], 1); }
    void Count(Violation violation) { Add(violations[static_cast<int>(violation)], 1); }
    void Count(ProxyRefusal refusal) { Add(proxyRefused[static_cast<int>(refusal)], 1); }
};

struct Metrics {
    std::atomic<uint64_t> reportsDropped{0};
    std::atomic<uint64_t> reportsStored{0};
    std::atomic<uint64_t> reportWriteFailures{0};
    std::atomic<int64_t> reportsQueued{0};
    std::atomic<uint64_t> refusedConnections{0};
    std::atomic<int64_t> openConnections{0};
    // Connections served at once: max_connections, lowered to fit the descriptor limit.
    std::atomic<int64_t> connectionCap{0};
    std::atomic<uint64_t> reloadsDone{0};
    std::atomic<uint64_t> reloadsRefused{0};
    // A stop under way that still serves while the balancers' checks fail.
    std::atomic<bool> draining{false};
    // In a fleet (shown only then): reports shipped to PostgreSQL, those still waiting in
    // the outbox, whether the database answered last time, the release number served.
    bool fleet = false;
    std::atomic<uint64_t> reportsShipped{0};
    std::atomic<int64_t> reportsOutbox{0};
    std::atomic<int64_t> fleetDatabaseUp{0};
    std::atomic<int64_t> fleetRelease{0};
    int64_t outboxAtStart = 0;           // reports an earlier run left waiting, for the start line

    // Counters for one more network thread; they live as long as the Metrics.
    SessionCounters &ThreadCounters();
    // Sessions ended so far, in all threads.
    uint64_t SessionsEnded();
    // The threads' counters added up into all (a scrape, the page).
    void SumThreads(SessionCounters &all);

    // A counter of files sent under this name; the same one for the server's life.
    std::atomic<uint64_t> *FileCounter(const std::string &name);
    // Every file's count so far, by name.
    std::vector<std::pair<std::string, uint64_t>> FilesSent();
    // The release served: its id, number (0: none) and signature state.
    void SetRelease(const std::string &id, uint32_t number, const std::string &signature);
    std::string Render();

private:
    std::mutex mutex_;
    std::string releaseId_;
    uint32_t releaseNumber_ = 0;
    std::string releaseSignature_;
    std::map<std::string, std::unique_ptr<std::atomic<uint64_t>>> files_;
    std::vector<std::unique_ptr<SessionCounters>> threads_;
};

}  // namespace dvs
