#include "base/config.h"
#include "base/toml_text.h"

#include <asio/ip/address.hpp>
#include <toml.hpp>

#include <algorithm>
#include <cctype>
#include <set>

namespace dvs {

namespace fs = std::filesystem;

namespace {

template <typename T>
void ReadInt(const toml::value &table, const char *key, T &target, long long low, long long high)
{
    if (!table.contains(key))
        return;
    long long value = toml::find<long long>(table, key);
    if (value < low || value > high)
        throw std::runtime_error(std::string(key) + " must be between " + std::to_string(low) +
                                 " and " + std::to_string(high));
    target = static_cast<T>(value);
}

void ReadText(const toml::value &table, const char *key, std::string &target)
{
    if (table.contains(key))
        target = toml::find<std::string>(table, key);
}

void ReadPath(const toml::value &table, const char *key, const fs::path &base, fs::path &target)
{
    if (!table.contains(key))
        return;
    fs::path value = toml::find<std::string>(table, key);
    target = value.empty() ? value : value.is_relative() ? base / value : value;  // empty: the default
}

// A DNS name (letters, digits, '-' and '.'), an IP address, or an IPv6 address in brackets.
bool HostNameOrAddress(const std::string &text)
{
    std::error_code bad;
    const bool bracketed = text.size() > 2 && text.front() == '[' && text.back() == ']';
    asio::ip::make_address(bracketed ? text.substr(1, text.size() - 2) : text, bad);
    if (!bad)
        return true;
    return !text.empty() && text.size() <= 253 && text.front() != '.' && text.front() != '-' &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '.'; });
}

void RefuseUnknown(const toml::value &table, const std::string &where, const std::set<std::string> &known)
{
    for (const auto &[key, value] : table.as_table())
        if (!known.contains(key))
            throw std::runtime_error("unknown key " + where + key);
}

}  // namespace

bool LoadConfig(const fs::path &file, Config &config, std::string &error)
{
    try {
        toml::value root = ParseTomlFile(file);
        fs::path base = fs::absolute(file).parent_path();
        RefuseUnknown(root, "", {"listen", "metrics", "paths", "limits", "reports", "signing", "fleet"});
        if (root.contains("listen")) {
            const toml::value &listen = toml::find(root, "listen");
            RefuseUnknown(listen, "listen.", {"address", "port", "proxy_protocol", "balancers"});
            ReadText(listen, "address", config.listenAddress);
            ReadInt(listen, "port", config.port, 0, 65535);
            if (listen.contains("proxy_protocol"))
                config.proxyProtocol = toml::find<bool>(listen, "proxy_protocol");
            if (listen.contains("balancers"))
                config.balancers = toml::find<std::vector<std::string>>(listen, "balancers");
            for (const std::string &balancer : config.balancers) {
                std::error_code bad;
                asio::ip::make_address(balancer, bad);
                if (bad)
                    throw std::runtime_error("listen.balancers: \"" + balancer + "\" is not an IP address");
            }
            if (config.proxyProtocol && config.balancers.empty())
                throw std::runtime_error("listen.proxy_protocol needs listen.balancers, the balancers' addresses");
        }
        if (root.contains("metrics")) {
            const toml::value &metrics = toml::find(root, "metrics");
            RefuseUnknown(metrics, "metrics.", {"enabled", "address", "port", "token", "hosts"});
            if (metrics.contains("enabled"))
                config.metricsEnabled = toml::find<bool>(metrics, "enabled");
            ReadText(metrics, "address", config.metricsAddress);
            ReadInt(metrics, "port", config.metricsPort, 0, 65535);
            ReadText(metrics, "token", config.metricsToken);
            if (metrics.contains("token") && config.metricsToken.size() < 16)
                throw std::runtime_error("metrics.token must be at least 16 characters (openssl rand -hex 24 makes one)");
            if (metrics.contains("hosts"))
                config.metricsHosts = toml::find<std::vector<std::string>>(metrics, "hosts");
            for (const std::string &host : config.metricsHosts)
                if (!HostNameOrAddress(host))
                    throw std::runtime_error("metrics.hosts: \"" + host +
                                             "\" is neither a host name nor an IP address (give no port)");
        }
        if (root.contains("paths")) {
            const toml::value &paths = toml::find(root, "paths");
            RefuseUnknown(paths, "paths.", {"release", "cache", "database", "machine_key"});
            ReadPath(paths, "release", base, config.release);
            ReadPath(paths, "cache", base, config.cache);
            ReadPath(paths, "database", base, config.database);
            ReadPath(paths, "machine_key", base, config.machineKey);
        }
        if (root.contains("limits")) {
            const toml::value &limits = toml::find(root, "limits");
            RefuseUnknown(limits, "limits.", {"max_connections", "idle_seconds", "session_seconds",
                                              "stop_grace_seconds", "drain_seconds", "threads",
                                              "report_queue", "report_batch_ms"});
            ReadInt(limits, "max_connections", config.maxConnections, 1, 1000000);
            ReadInt(limits, "idle_seconds", config.idleSeconds, 1, 3600);
            ReadInt(limits, "session_seconds", config.sessionSeconds, 1, 86400);
            ReadInt(limits, "stop_grace_seconds", config.stopGraceSeconds, 0, 3600);
            ReadInt(limits, "drain_seconds", config.drainSeconds, 0, 3600);
            ReadInt(limits, "threads", config.threads, 0, 256);
            ReadInt(limits, "report_queue", config.reportQueue, 1, 10000000);
            ReadInt(limits, "report_batch_ms", config.reportBatchMs, 1, 100);
        }
        if (root.contains("reports")) {
            const toml::value &reports = toml::find(root, "reports");
            RefuseUnknown(reports, "reports.", {"retention_days"});
            ReadInt(reports, "retention_days", config.retentionDays, 1, 36500);
        }
        if (root.contains("signing")) {
            const toml::value &signing = toml::find(root, "signing");
            RefuseUnknown(signing, "signing.", {"public_keys"});
            // A [signing] table that names no key is a mistake, never "signing off".
            auto keys = toml::find<std::vector<std::string>>(signing, "public_keys");
            if (keys.empty())
                throw std::runtime_error("signing.public_keys names no key file");
            config.publicKeys.clear();
            for (const std::string &key : keys) {
                fs::path path = key;
                config.publicKeys.push_back(path.is_relative() ? base / path : path);
            }
        }
        if (root.contains("fleet")) {
            const toml::value &fleet = toml::find(root, "fleet");
            RefuseUnknown(fleet, "fleet.", {"database", "name", "releases", "poll_seconds"});
            ReadText(fleet, "database", config.fleetDatabase);
            ReadText(fleet, "name", config.serverName);
            if (fleet.contains("releases"))
                config.fleetReleases = toml::find<bool>(fleet, "releases");
            ReadInt(fleet, "poll_seconds", config.fleetPollSeconds, 1, 3600);
            if (config.fleetReleases && config.fleetDatabase.empty())
                throw std::runtime_error("fleet.releases needs fleet.database");
        }
    } catch (const std::exception &caught) {
        error = file.string() + ": " + caught.what();
        return false;
    }
    return true;
}

}  // namespace dvs
