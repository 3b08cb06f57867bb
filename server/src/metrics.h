// Counters the server keeps and their Prometheus text form, served by a small HTTP
// endpoint of its own (127.0.0.1 by default).
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib { class Server; }

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
enum class Violation { UnknownCommand, ChecksumCount, ReportParam, kCount };
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

struct Metrics {
    std::atomic<uint64_t> sessions[static_cast<int>(Outcome::kCount)] = {};
    std::atomic<uint64_t> violations[static_cast<int>(Violation::kCount)] = {};
    std::atomic<uint64_t> requests{0};
    std::atomic<uint64_t> bytesSent{0};
    std::atomic<uint64_t> reports{0};
    std::atomic<uint64_t> reportsDropped{0};
    std::atomic<uint64_t> reportsStored{0};
    std::atomic<uint64_t> refusedConnections{0};
    std::atomic<int64_t> openConnections{0};
    std::atomic<uint64_t> reloadsDone{0};
    std::atomic<uint64_t> reloadsRefused{0};
    std::atomic<uint64_t> proxyRefused[static_cast<int>(ProxyRefusal::kCount)] = {};
    std::atomic<uint64_t> balancerChecks{0};
    // In a fleet (shown only then): reports shipped to PostgreSQL, those still waiting in
    // the outbox, whether the database answered last time, the release number served.
    bool fleet = false;
    std::atomic<uint64_t> reportsShipped{0};
    std::atomic<int64_t> reportsOutbox{0};
    std::atomic<int64_t> fleetDatabaseUp{0};
    std::atomic<int64_t> fleetRelease{0};

    void Count(Outcome outcome) { sessions[static_cast<int>(outcome)].fetch_add(1, std::memory_order_relaxed); }
    void Count(Violation violation) { violations[static_cast<int>(violation)].fetch_add(1, std::memory_order_relaxed); }
    void Count(ProxyRefusal refusal) { proxyRefused[static_cast<int>(refusal)].fetch_add(1, std::memory_order_relaxed); }

    // A counter of files sent under this name; the same one for the server's life.
    std::atomic<uint64_t> *FileCounter(const std::string &name);
    void SetRelease(const std::string &id);
    std::string Render();

private:
    std::mutex mutex_;
    std::string releaseId_;
    std::map<std::string, std::unique_ptr<std::atomic<uint64_t>>> files_;
};

// GET /metrics on its own thread.
class MetricsEndpoint {
public:
    explicit MetricsEndpoint(Metrics &metrics);
    ~MetricsEndpoint();
    // Binds (port 0: any free port) and starts serving; false when the port cannot be bound.
    bool Start(const std::string &address, uint16_t port);
    uint16_t Port() const { return port_; }
    void Stop();

private:
    Metrics &metrics_;
    std::unique_ptr<httplib::Server> http_;
    std::thread thread_;
    uint16_t port_ = 0;
};

}  // namespace dvs
