// Reading the server's config file: one table names every option once (its TOML table and
// key, the field of Config it sets, the range of a number); the rules that tie options
// together follow it. The defaults are the fields' first values in config.h.
#include "base/config.h"
#include "base/toml_text.h"

#include <asio/ip/address.hpp>
#include <toml.hpp>

#include <algorithm>
#include <cctype>
#include <variant>

namespace dvs {

namespace fs = std::filesystem;

namespace {

using Field = std::variant<std::string Config::*, std::optional<std::string> Config::*, bool Config::*,
                           int Config::*, uint16_t Config::*, fs::path Config::*,
                           std::vector<std::string> Config::*, std::vector<fs::path> Config::*>;

struct Option {
    const char *table;
    const char *key;
    Field field;
    long long low = 0, high = 0;  // the range of a number
};

const Option kOptions[] = {
    {"listen", "address", &Config::listenAddress},
    {"listen", "port", &Config::port, 0, 65535},
    {"listen", "proxy_protocol", &Config::proxyProtocol},
    {"listen", "balancers", &Config::balancers},
    {"metrics", "enabled", &Config::metricsEnabled},
    {"metrics", "address", &Config::metricsAddress},
    {"metrics", "port", &Config::metricsPort, 0, 65535},
    {"metrics", "token", &Config::metricsToken},
    {"metrics", "hosts", &Config::metricsHosts},
    {"paths", "release", &Config::release},
    {"paths", "cache", &Config::cache},
    {"paths", "database", &Config::database},
    {"paths", "machine_key", &Config::machineKey},
    {"limits", "max_connections", &Config::maxConnections, 1, 1000000},
    {"limits", "idle_seconds", &Config::idleSeconds, 1, 3600},
    {"limits", "session_seconds", &Config::sessionSeconds, 1, 86400},
    {"limits", "stop_grace_seconds", &Config::stopGraceSeconds, 0, 3600},
    {"limits", "drain_seconds", &Config::drainSeconds, 0, 3600},
    {"limits", "threads", &Config::threads, 0, 256},
    {"limits", "report_queue", &Config::reportQueue, 1, 10000000},
    {"limits", "report_batch_ms", &Config::reportBatchMs, 1, 100},
    {"reports", "retention_days", &Config::retentionDays, 1, 36500},
    {"signing", "public_keys", &Config::publicKeys},
    {"fleet", "database", &Config::fleetDatabase},
    {"fleet", "name", &Config::serverName},
    {"fleet", "releases", &Config::fleetReleases},
    {"fleet", "poll_seconds", &Config::fleetPollSeconds, 1, 3600},
};

const Option *FindOption(const std::string &table, const std::string &key)
{
    for (const Option &option : kOptions)
        if (table == option.table && key == option.key)
            return &option;
    return nullptr;
}

bool KnownTable(const std::string &table)
{
    return std::any_of(std::begin(kOptions), std::end(kOptions),
                       [&](const Option &option) { return table == option.table; });
}

// A path as written, taken from the config file's folder when relative; empty stays empty
// (the default where a field has one, such as the machine key beside the database).
fs::path FromFolder(const fs::path &written, const fs::path &folder)
{
    return written.empty() || written.is_absolute() ? written : folder / written;
}

// One option's value into its field, of the field's type; a number within its range.
void ReadOption(const Option &option, const toml::value &value, const fs::path &folder, Config &config)
{
    const std::string name = std::string(option.table) + "." + option.key;
    auto number = [&]() {
        long long read = toml::get<long long>(value);
        if (read < option.low || read > option.high)
            throw std::runtime_error(name + " must be between " + std::to_string(option.low) + " and " +
                                     std::to_string(option.high));
        return read;
    };
    std::visit(
        [&](auto field) {
            using T = std::remove_reference_t<decltype(config.*field)>;
            if constexpr (std::is_same_v<T, int> || std::is_same_v<T, uint16_t>)
                config.*field = static_cast<T>(number());
            else if constexpr (std::is_same_v<T, std::optional<std::string>>)
                config.*field = toml::get<std::string>(value);
            else if constexpr (std::is_same_v<T, fs::path>)
                config.*field = FromFolder(toml::get<std::string>(value), folder);
            else if constexpr (std::is_same_v<T, std::vector<fs::path>>) {
                (config.*field).clear();
                for (const std::string &path : toml::get<std::vector<std::string>>(value))
                    (config.*field).push_back(FromFolder(path, folder));
            } else
                config.*field = toml::get<T>(value);
        },
        option.field);
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

// The rules between options, and of values no type says.
void CheckConfig(const toml::value &root, const Config &config)
{
    for (const std::string &balancer : config.balancers) {
        std::error_code bad;
        asio::ip::make_address(balancer, bad);
        if (bad)
            throw std::runtime_error("listen.balancers: \"" + balancer + "\" is not an IP address");
    }
    if (config.proxyProtocol && config.balancers.empty())
        throw std::runtime_error("listen.proxy_protocol needs listen.balancers, the balancers' addresses");
    for (const std::string &host : config.metricsHosts)
        if (!HostNameOrAddress(host))
            throw std::runtime_error("metrics.hosts: \"" + host + "\" is neither a host name nor an IP address (give no port)");
    // A [signing] table that names no key is a mistake, never "signing off".
    if (root.contains("signing") && config.publicKeys.empty())
        throw std::runtime_error("signing.public_keys names no key file");
    if (config.fleetReleases && config.fleetDatabase.empty())
        throw std::runtime_error("fleet.releases needs fleet.database");
}

}  // namespace

bool LoadConfig(const fs::path &file, Config &config, std::string &error)
{
    try {
        toml::value root = ParseTomlFile(file);
        const fs::path folder = fs::absolute(file).parent_path();
        for (const auto &[table, values] : root.as_table()) {
            if (!KnownTable(table) || !values.is_table())
                throw std::runtime_error("unknown key " + table);
            for (const auto &[key, value] : values.as_table()) {
                const Option *option = FindOption(table, key);
                if (!option)
                    throw std::runtime_error("unknown key " + table + "." + key);
                ReadOption(*option, value, folder, config);
            }
        }
        CheckConfig(root, config);
    } catch (const std::exception &caught) {
        error = file.string() + ": " + caught.what();
        return false;
    }
    return true;
}

std::string MetricsAccessProblem(const Config &config)
{
    if (config.metricsToken && config.metricsToken->size() < 16)
        return "metrics.token must be at least 16 characters (openssl rand -hex 24 makes one)";
    std::error_code badAddress;
    asio::ip::address address = asio::ip::make_address(config.metricsAddress, badAddress);
    if (config.metricsEnabled && !badAddress && !address.is_loopback() && !config.metricsToken)
        return "metrics.address " + config.metricsAddress +
               " is not a loopback address: set metrics.token, which every request must then carry";
    return "";
}

}  // namespace dvs
