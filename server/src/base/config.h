// The server's settings, read from its TOML config file; every key is optional and the
// defaults below are the ones the sample config documents. config.cpp names each key once,
// in its table of options.
#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace dvs {

struct Config {
    std::string listenAddress = "0.0.0.0";
    uint16_t port = 18920;               // 0: any free port
    bool proxyProtocol = false;          // each connection starts with a PROXY v2 header
    std::vector<std::string> balancers;  // the only peers allowed to send one
    std::string metricsAddress = "127.0.0.1";
    uint16_t metricsPort = 18921;        // 0: any free port
    bool metricsEnabled = true;
    // Asked of every request to the metrics address (page and metrics alike); required
    // when that address is not a loopback one. None: not asked (an empty one is refused).
    std::optional<std::string> metricsToken;
    // Further names (or addresses) the operators' browsers reach the metrics address by,
    // through a TLS proxy or a tunnel; a request with any other Host is refused.
    std::vector<std::string> metricsHosts;
    std::filesystem::path release = "/var/lib/dorera-version-server/release";
    std::filesystem::path cache = "/var/cache/dorera-version-server";
    std::filesystem::path database = "/var/lib/dorera-version-server/reports.sqlite";
    // The secret of the keyed hash reports keep instead of the MAC; made when missing.
    // Empty: machine.key beside the database.
    std::filesystem::path machineKey;
    int retentionDays = 90;              // reports older are deleted, their daily counts kept
    int maxConnections = 20000;
    int idleSeconds = 60;                // nothing received or taken for this long ends a session
    int sessionSeconds = 600;            // longest session
    int stopGraceSeconds = 10;           // how long a stop waits for sessions in flight
    // Behind balancers: how long a stop keeps accepting and serving while the balancers'
    // health checks fail, before it closes its listeners (the checks' inter x fall, and
    // some). A server on its own closes them at once.
    int drainSeconds = 6;
    int threads = 0;                     // network threads; 0: one per core
    int reportQueue = 100000;            // reports waiting for the disk before new ones are dropped
    int reportBatchMs = 100;             // longest wait before waiting reports are written
    // Public keys (PEM) a served release must be signed with, one of them at least; none:
    // releases may be unsigned, and a signed one is served without its signature checked.
    std::vector<std::filesystem::path> publicKeys;
    // A fleet: reports (and, with fleetReleases, the release) in PostgreSQL. database is
    // then the outbox reports wait in until PostgreSQL has them.
    std::string fleetDatabase;           // libpq connection string; empty: on its own
    std::string serverName;              // in the fleet's tables; empty: the host name
    bool fleetReleases = false;
    int fleetPollSeconds = 30;           // the active release is read this often besides NOTIFY
};

// Reads the file over the defaults. Relative paths are taken from the file's folder.
// Returns false with a message on a syntax error, an unknown key or a value out of range.
bool LoadConfig(const std::filesystem::path &file, Config &config, std::string &error);

// Who may read the metrics address: a token, when one is set, of at least 16 characters,
// and beyond the loopback only with one. Empty when the config is fit to serve it (the
// server checks it as it starts; the other commands never open that address).
std::string MetricsAccessProblem(const Config &config);

}  // namespace dvs
